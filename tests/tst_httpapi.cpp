// The HTTP front without a socket: request heads, its routes, a table of good and bad requests,
// the answers' JSON, the token check and the token file's permissions, and the [http] section.
#include "config.h"
#include "httpaccess.h"
#include "httpapi.h"
#include "httprequest.h"
#include "httptransport.h"
#include "localsocket.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

class TestHttpApi final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void requestHead_data();
    void requestHead();
    void heads_data();
    void heads();
    void chunkedBody_data();
    void chunkedBody();
    void requests_data();
    void requests();
    void boardJson();
    void tokenCompare_data();
    void tokenCompare();
    void tokenFile_data();
    void tokenFile();
    void listen_data();
    void listen();
    void httpSection();
    void transportThatCannotStart();
    void socketPath_data();
    void socketPath();
    // Last: it moves this process into a network namespace of its own.
    void connectionsPerAddress();

private:
    QString write(const QString &name, const QByteArray &content, QFile::Permissions permissions);

    QTemporaryDir m_dir;
    int m_files = 0;
};

void TestHttpApi::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString TestHttpApi::write(const QString &name, const QByteArray &content,
                           QFile::Permissions permissions)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size() || !file.setPermissions(permissions))
        return {};
    return path;
}

void TestHttpApi::requestHead_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status"); // 0: accepted
    QTest::addColumn<QString>("path");

    QTest::newRow("percent-decoded UTF-8")
        << QByteArray("/b/%C3%A9?x=%0A") << 0 << QStringLiteral("/b/\u00e9");
    QTest::newRow("line feed once decoded") << QByteArray("/b%0A") << 400 << QString();
    QTest::newRow("NEL once decoded as UTF-8") << QByteArray("/b%C2%85") << 400 << QString();
    QTest::newRow("C1 control once decoded") << QByteArray("/%C2%9Fb") << 400 << QString();
}

void TestHttpApi::requestHead()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QString, path);

    const auto parsed =
        parseRequestHead("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", {});
    if (const auto *refusal = std::get_if<HttpRefusal>(&parsed)) {
        QCOMPARE(refusal->status, status);
        return;
    }
    QCOMPARE(status, 0);
    QCOMPARE(std::get<HttpHead>(parsed).request.path, path);
}

// Whole heads as real clients and proxies send them: what the parser makes of each.
void TestHttpApi::heads_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("status"); // 0: accepted
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<bool>("closeAfter");

    const QByteArray host = "Host: 127.0.0.1\r\n";
    QTest::newRow("absolute-form: its authority stands for Host")
        << QByteArray("GET http://127.0.0.1:8080/api/v1/boards HTTP/1.1\r\nHost: other\r\n\r\n")
        << 0 << "/api/v1/boards" << QByteArray("127.0.0.1:8080") << false << false;
    QTest::newRow("absolute-form with a user") << QByteArray("GET http://u@h/ HTTP/1.1\r\n\r\n")
                                               << 400 << "" << QByteArray() << false << false;
    QTest::newRow("absolute-form with a control character in its host")
        << QByteArray("GET https://boards\x01 HTTP/1.1\r\n\r\n") << 400 << "" << QByteArray()
        << false << false;
    QTest::newRow("OPTIONS *") << "OPTIONS * HTTP/1.1\r\n" + host + "\r\n"
                               << 0 << "*" << QByteArray("127.0.0.1") << false << false;
    QTest::newRow("GET *") << "GET * HTTP/1.1\r\n" + host + "\r\n"
                           << 400 << "" << QByteArray() << false << false;
    QTest::newRow("chunked") << "PUT / HTTP/1.1\r\n" + host + "Transfer-Encoding: Chunked\r\n\r\n"
                             << 0 << "/" << QByteArray("127.0.0.1") << true << false;
    QTest::newRow("chunked and Content-Length")
        << "PUT / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n"
        << 400 << "" << QByteArray() << false << false;
    QTest::newRow("gzip, chunked")
        << "PUT / HTTP/1.1\r\n" + host + "Transfer-Encoding: gzip, chunked\r\n\r\n"
        << 501 << "" << QByteArray() << false << false;
    QTest::newRow("vertical tab around Content-Length")
        << "PUT / HTTP/1.1\r\n" + host + "Content-Length:\x0b3\x0b\r\n\r\n"
        << 400 << "" << QByteArray() << false << false;
    QTest::newRow("tab and space around a value")
        << QByteArray("GET / HTTP/1.1\r\nHost: \t127.0.0.1 \t\r\n\r\n") << 0 << "/"
        << QByteArray("127.0.0.1") << false << false;
    QTest::newRow("close in the second Connection header")
        << "GET / HTTP/1.1\r\n" + host + "Connection: keep-alive\r\nConnection: Close\r\n\r\n"
        << 0 << "/" << QByteArray("127.0.0.1") << false << true;
    QTest::newRow("close among other tokens")
        << "GET / HTTP/1.1\r\n" + host + "Connection: TE, close\r\n\r\n"
        << 0 << "/" << QByteArray("127.0.0.1") << false << true;
    QTest::newRow("a head over 8 KiB, refused by the parser itself")
        << "GET / HTTP/1.1\r\n" + host + "X-Long: " + QByteArray(9000, 'x') + "\r\n\r\n"
        << 431 << "" << QByteArray() << false << false;
    QTest::newRow("a head ending in LF CR LF")
        << "GET / HTTP/1.1\n" + host + "\n\r\n"
        << 0 << "/" << QByteArray("127.0.0.1") << false << false;
}

void TestHttpApi::heads()
{
    QFETCH(QByteArray, head);
    QFETCH(int, status);
    QFETCH(QString, path);
    QFETCH(QByteArray, host);
    QFETCH(bool, chunked);
    QFETCH(bool, closeAfter);

    const auto parsed = parseRequestHead(head, {});
    if (const auto *refusal = std::get_if<HttpRefusal>(&parsed)) {
        QCOMPARE(refusal->status, status);
        return;
    }
    QCOMPARE(status, 0);
    const HttpHead &read = std::get<HttpHead>(parsed);
    QCOMPARE(read.request.path, path);
    QCOMPARE(read.request.header("host"), host);
    QCOMPARE(read.chunked, chunked);
    QCOMPARE(read.closeAfter, closeAfter);
}

void TestHttpApi::chunkedBody_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<int>("status"); // 0: decoded, -1: more to come
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("one chunk, then what is pipelined")
        << QByteArray("b\r\n{\"on\":true}\r\n0\r\n\r\nGET") << 0 << QByteArray("{\"on\":true}");
    QTest::newRow("two chunks, an extension, a trailer")
        << QByteArray("4;x=1\r\n{\"on\r\n7\r\n\":true}\r\n0\r\nX-T: 1\r\n\r\n") << 0
        << QByteArray("{\"on\":true}");
    QTest::newRow("bare LF line ends") << QByteArray("2\n{}\n0\n\n") << 0 << QByteArray("{}");
    QTest::newRow("a chunk cut short") << QByteArray("b\r\n{\"on\"") << -1 << QByteArray();
    QTest::newRow("no last chunk yet") << QByteArray("2\r\n{}\r\n") << -1 << QByteArray();
    QTest::newRow("size not hex") << QByteArray("zz\r\n") << 400 << QByteArray();
    QTest::newRow("a negative size") << QByteArray("-1\r\nab\r\n0\r\n\r\n") << 400 << QByteArray();
    QTest::newRow("data longer than its size")
        << QByteArray("1\r\nab\r\n0\r\n\r\n") << 400 << QByteArray();
    QTest::newRow("over the body limit") << QByteArray("1001\r\n") << 413 << QByteArray();
    QTest::newRow("a size past any limit")
        << QByteArray("FFFFFFFFFFFFFFFFFFFF\r\n") << 400 << QByteArray();
    QTest::newRow("endless framing")
        << QByteArray("1\r\nx\r\n").repeated(20000) << 413 << QByteArray();
}

void TestHttpApi::chunkedBody()
{
    QFETCH(QByteArray, in);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    const auto decoded = decodeChunkedBody(in, 4096);
    if (const auto *refusal = std::get_if<HttpRefusal>(&decoded)) {
        QCOMPARE(refusal->status, status);
        return;
    }
    if (std::holds_alternative<HttpNeedMore>(decoded)) {
        QCOMPARE(status, -1);
        return;
    }
    QCOMPARE(status, 0);
    const HttpChunkedBody &whole = std::get<HttpChunkedBody>(decoded);
    QCOMPARE(whole.body, body);
    QCOMPARE(in.mid(whole.consumed), in.endsWith("GET") ? QByteArray("GET") : QByteArray());
}

void TestHttpApi::requests_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");       // 0: goes on to the board or is served
    QTest::addColumn<QString>("errorHas"); // words the error must hold
    QTest::addColumn<QString>("request");  // what reaches the board: kind:relay:value

    const QByteArray huge = "{\"on\":true,\"x\":\"" + QByteArray(5000, 'a') + "\"}";
    // Served, or handed to a board.
    QTest::newRow("page") << QByteArray("GET") << "/" << QByteArray() << 0 << ""
                          << "";
    QTest::newRow("the icon") << QByteArray("GET") << "/favicon.ico" << QByteArray() << 0 << ""
                              << "";
    QTest::newRow("boards") << QByteArray("GET") << "/api/v1/boards" << QByteArray() << 0 << ""
                            << "";
    QTest::newRow("one board") << QByteArray("GET") << "/api/v1/boards/com1" << QByteArray() << 0
                               << ""
                               << "";
    QTest::newRow("read the board")
        << QByteArray("POST") << "/api/v1/boards/com1/read" << QByteArray() << 0 << ""
        << "read:0:0";
    QTest::newRow("switch on") << QByteArray("PUT") << "/api/v1/boards/com1/relays/5"
                               << QByteArray("{\"on\":true}") << 0 << ""
                               << "switch:5:1";
    QTest::newRow("switch off, spaces") << QByteArray("PUT") << "/api/v1/boards/com1/relays/16"
                                        << QByteArray(" { \"on\" : false } ") << 0 << ""
                                        << "switch:16:0";
    QTest::newRow("toggle, no body")
        << QByteArray("POST") << "/api/v1/boards/com1/relays/1/toggle" << QByteArray() << 0 << ""
        << "toggle:1:0";
    QTest::newRow("toggle, {}") << QByteArray("POST") << "/api/v1/boards/com1/relays/2/toggle"
                                << QByteArray("{}") << 0 << ""
                                << "toggle:2:0";
    QTest::newRow("pulse") << QByteArray("POST") << "/api/v1/boards/com1/relays/3/pulse"
                           << QByteArray("{\"ms\":500}") << 0 << ""
                           << "pulse:3:500";
    QTest::newRow("pulse, a day") << QByteArray("POST") << "/api/v1/boards/com1/relays/3/pulse"
                                  << QByteArray("{\"ms\":86400000}") << 0 << ""
                                  << "pulse:3:86400000";
    QTest::newRow("mask") << QByteArray("PUT") << "/api/v1/boards/com1"
                          << QByteArray("{\"mask\":\"81a0\"}") << 0 << ""
                          << "mask:0:33184";
    QTest::newRow("several on") << QByteArray("PUT") << "/api/v1/boards/com1/relays"
                                << QByteArray("{\"relays\":[1,5],\"on\":true}") << 0 << ""
                                << "switch-some:0:69633"; // 0x8800 * 2 + 1
    QTest::newRow("several toggled") << QByteArray("POST") << "/api/v1/boards/com1/relays/toggle"
                                     << QByteArray("{\"relays\":[16]}") << 0 << ""
                                     << "toggle-some:0:1";
    QTest::newRow("several, one out of range")
        << QByteArray("PUT") << "/api/v1/boards/com1/relays"
        << QByteArray("{\"relays\":[1,17],\"on\":true}") << 400 << "relay numbers from 1 to 16"
        << "";
    QTest::newRow("several, none")
        << QByteArray("PUT") << "/api/v1/boards/com1/relays"
        << QByteArray("{\"relays\":[],\"on\":false}") << 400 << "such as [1, 5]"
        << "";
    QTest::newRow("events") << QByteArray("GET") << "/api/v1/events" << QByteArray() << 0 << ""
                            << "";

    // Refused before any board hears of it.
    QTest::newRow("malformed JSON") << QByteArray("PUT") << "/api/v1/boards/com1/relays/5"
                                    << QByteArray("{\"on\":tru") << 400 << "not JSON"
                                    << "";
    QTest::newRow("empty body") << QByteArray("PUT") << "/api/v1/boards/com1/relays/5"
                                << QByteArray() << 400 << "not JSON"
                                << "";
    QTest::newRow("array") << QByteArray("PUT") << "/api/v1/boards/com1/relays/5"
                           << QByteArray("[true]") << 400 << "JSON object"
                           << "";
    QTest::newRow("on as string") << QByteArray("PUT") << "/api/v1/boards/com1/relays/5"
                                  << QByteArray("{\"on\":\"true\"}") << 400 << "true or false"
                                  << "";
    QTest::newRow("on as number") << QByteArray("PUT") << "/api/v1/boards/com1/relays/5"
                                  << QByteArray("{\"on\":1}") << 400 << "true or false"
                                  << "";
    QTest::newRow("on missing") << QByteArray("PUT") << "/api/v1/boards/com1/relays/5"
                                << QByteArray("{}") << 400 << "\"on\" is missing"
                                << "";
    QTest::newRow("unknown field")
        << QByteArray("PUT") << "/api/v1/boards/com1/relays/5"
        << QByteArray("{\"on\":true,\"On\":false}") << 400 << "unknown field \"On\""
        << "";
    QTest::newRow("huge body") << QByteArray("PUT") << "/api/v1/boards/com1/relays/5" << huge << 400
                               << "unknown field"
                               << "";
    QTest::newRow("pulse 0 ms") << QByteArray("POST") << "/api/v1/boards/com1/relays/3/pulse"
                                << QByteArray("{\"ms\":0}") << 400 << "1 to 86400000"
                                << "";
    QTest::newRow("pulse over a day") << QByteArray("POST") << "/api/v1/boards/com1/relays/3/pulse"
                                      << QByteArray("{\"ms\":86400001}") << 400 << "1 to"
                                      << "";
    QTest::newRow("pulse 1.5 ms") << QByteArray("POST") << "/api/v1/boards/com1/relays/3/pulse"
                                  << QByteArray("{\"ms\":1.5}") << 400 << "whole number"
                                  << "";
    QTest::newRow("pulse as string") << QByteArray("POST") << "/api/v1/boards/com1/relays/3/pulse"
                                     << QByteArray("{\"ms\":\"500\"}") << 400 << "whole number"
                                     << "";
    QTest::newRow("toggle with a body")
        << QByteArray("POST") << "/api/v1/boards/com1/relays/2/toggle"
        << QByteArray("{\"on\":true}") << 400 << "unknown field"
        << "";
    QTest::newRow("mask of 3 digits")
        << QByteArray("PUT") << "/api/v1/boards/com1" << QByteArray("{\"mask\":\"814\"}") << 400
        << "four hex digits"
        << "";
    QTest::newRow("mask as number") << QByteArray("PUT") << "/api/v1/boards/com1"
                                    << QByteArray("{\"mask\":8140}") << 400 << "four hex digits"
                                    << "";
    QTest::newRow("mask not hex") << QByteArray("PUT") << "/api/v1/boards/com1"
                                  << QByteArray("{\"mask\":\"81g0\"}") << 400 << "four hex digits"
                                  << "";
    QTest::newRow("mask with a final newline")
        << QByteArray("PUT") << "/api/v1/boards/com1" << QByteArray("{\"mask\":\"8140\\n\"}") << 400
        << "four hex digits"
        << "";
    QTest::newRow("relay with a final newline")
        << QByteArray("PUT") << "/api/v1/boards/com1/relays/5\n"
        << QByteArray("{\"on\":true}") << 404 << "no relay"
        << "";
    QTest::newRow("a field twice, escaped the second time")
        << QByteArray("POST") << "/api/v1/boards/com1/relays/3/pulse"
        << QByteArray("{\"ms\":\"=\",\"\\u006ds\":500}") << 400 << "\"ms\" is given twice"
        << "";
    QTest::newRow("pulse beyond any whole number")
        << QByteArray("POST") << "/api/v1/boards/com1/relays/3/pulse"
        << QByteArray("{\"ms\":1e300}") << 400 << "whole number"
        << "";
    QTest::newRow("relay 0") << QByteArray("PUT") << "/api/v1/boards/com1/relays/0"
                             << QByteArray("{\"on\":true}") << 404 << "1 to 16"
                             << "";
    QTest::newRow("relay 17") << QByteArray("PUT") << "/api/v1/boards/com1/relays/17"
                              << QByteArray("{\"on\":true}") << 404 << "1 to 16"
                              << "";
    QTest::newRow("relay 05") << QByteArray("PUT") << "/api/v1/boards/com1/relays/-5"
                              << QByteArray("{\"on\":true}") << 404 << "no relay \"-5\""
                              << "";
    QTest::newRow("relay x") << QByteArray("POST") << "/api/v1/boards/com1/relays/x/toggle"
                             << QByteArray() << 404 << "no relay \"x\""
                             << "";
    QTest::newRow("unknown board")
        << QByteArray("GET") << "/api/v1/boards/com9" << QByteArray() << 404 << "no board \"com9\""
        << "";
    QTest::newRow("unknown board, switching")
        << QByteArray("PUT") << "/api/v1/boards/COM1/relays/5" << QByteArray("{\"on\":true}") << 404
        << "the boards are: com1, garden"
        << "";
    QTest::newRow("unknown path") << QByteArray("GET") << "/api/v2/boards" << QByteArray() << 404
                                  << "no such path"
                                  << "";
    QTest::newRow("trailing slash")
        << QByteArray("GET") << "/api/v1/boards/" << QByteArray() << 404 << "no board \"\""
        << "";
    QTest::newRow("POST on a relay") << QByteArray("POST") << "/api/v1/boards/com1/relays/5"
                                     << QByteArray("{\"on\":true}") << 405 << "use PUT"
                                     << "";
    QTest::newRow("GET on toggle") << QByteArray("GET") << "/api/v1/boards/com1/relays/5/toggle"
                                   << QByteArray() << 405 << "use POST"
                                   << "";
    QTest::newRow("DELETE a board") << QByteArray("DELETE") << "/api/v1/boards/com1" << QByteArray()
                                    << 405 << "use GET or HEAD or PUT"
                                    << "";
    QTest::newRow("PUT the list") << QByteArray("PUT") << "/api/v1/boards"
                                  << QByteArray("{\"mask\":\"0000\"}") << 405 << "use GET"
                                  << "";
    QTest::newRow("POST the page") << QByteArray("POST") << "/" << QByteArray() << 405 << "use GET"
                                   << "";
}

void TestHttpApi::requests()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, errorHas);
    QFETCH(QString, request);

    const HttpApi::Parsed parsed =
        HttpApi::parse(method, path, body, {QStringLiteral("com1"), QStringLiteral("garden")});
    if (status == 0) {
        QVERIFY2(!parsed.reply, parsed.reply ? parsed.reply->body.constData() : "");
    } else {
        QVERIFY(parsed.reply);
        QCOMPARE(parsed.reply->status, status);
        QVERIFY(!parsed.request);
        const QJsonObject json = QJsonDocument::fromJson(parsed.reply->body).object();
        QCOMPARE(json.keys(), QStringList{QStringLiteral("error")});
        QVERIFY2(json.value("error").toString().contains(errorHas), parsed.reply->body.constData());
        if (status == 405)
            QVERIFY(!parsed.reply->allow.isEmpty());
        if (status == 400)
            QVERIFY(
                json.value("error").toString().contains(QStringLiteral("nothing was switched")));
    }
    if (request.isEmpty()) {
        QVERIFY(!parsed.request);
        return;
    }
    QVERIFY(parsed.request);
    QCOMPARE(parsed.board, QStringLiteral("com1"));
    static const char *kinds[] = {"switch", "toggle",      "mask",       "pulse",
                                  "read",   "switch-some", "toggle-some"};
    const BoardRequest &r = *parsed.request;
    // Several relays: their mask, then on or off.
    const qint64 value =
        r.kind == BoardRequest::Kind::Switch       ? qint64(r.on)
        : r.kind == BoardRequest::Kind::SwitchSome ? qint64(r.mask) * 2 + r.on
        : r.kind == BoardRequest::Kind::Mask || r.kind == BoardRequest::Kind::ToggleSome
            ? qint64(r.mask)
        : r.kind == BoardRequest::Kind::Pulse ? qint64(r.length.count())
                                              : 0;
    QCOMPARE(
        QStringLiteral("%1:%2:%3").arg(QLatin1String(kinds[int(r.kind)])).arg(r.relay).arg(value),
        request);
}

void TestHttpApi::boardJson()
{
    HttpApi::BoardView view;
    view.id = QStringLiteral("com1");
    view.name = QStringLiteral("Greenhouse");
    view.names[4] = QStringLiteral("Pump");
    view.online = true;
    view.state = 0x8140;
    view.readAt = QDateTime(QDate(2026, 5, 1), QTime(12, 30, 5, 250), Qt::UTC);
    QJsonObject json = HttpApi::boardJson(view);
    QCOMPARE(json.value("mask").toString(), QStringLiteral("8140"));
    const QJsonArray relays = json.value("relays").toArray();
    QCOMPARE(relays.size(), 16);
    for (int relay = 1; relay <= 16; ++relay)
        QCOMPARE(relays.at(relay - 1).toBool(), relay == 1 || relay == 8 || relay == 10);
    QCOMPARE(json.value("names").toArray().at(4).toString(), QStringLiteral("Pump"));
    QCOMPARE(json.value("names").toArray().at(5).toString(), QStringLiteral("Relay 6"));
    QCOMPARE(json.value("read_at").toString(), QStringLiteral("2026-05-01T12:30:05.250Z"));
    QCOMPARE(json.value("online").toBool(), true);

    // Never read: no relay is claimed on or off.
    view.state.reset();
    view.readAt = {};
    view.online = false;
    view.offlineReason = QStringLiteral("COM1 does not exist");
    json = HttpApi::boardJson(view);
    QVERIFY(json.value("relays").isNull());
    QVERIFY(json.value("mask").isNull());
    QVERIFY(json.value("read_at").isNull());
    QCOMPARE(json.value("offline_reason").toString(), QStringLiteral("COM1 does not exist"));
}

void TestHttpApi::tokenCompare_data()
{
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("right") << QByteArray("Bearer 0123456789abcdef") << true;
    QTest::newRow("missing") << QByteArray() << false;
    QTest::newRow("wrong last byte") << QByteArray("Bearer 0123456789abcdeF") << false;
    QTest::newRow("prefix only") << QByteArray("Bearer 0123456789abcde") << false;
    QTest::newRow("longer") << QByteArray("Bearer 0123456789abcdef0") << false;
    QTest::newRow("other scheme") << QByteArray("Basic 0123456789abcdef") << false;
    QTest::newRow("no scheme") << QByteArray("0123456789abcdef") << false;
    QTest::newRow("empty bearer") << QByteArray("Bearer ") << false;
}

void TestHttpApi::tokenCompare()
{
    QFETCH(QByteArray, authorization);
    QFETCH(bool, accepted);
    QCOMPARE(HttpAccess::authorizes("0123456789abcdef", authorization), accepted);
    QVERIFY(!HttpAccess::authorizes({}, authorization)); // no token: nothing matches
}

void TestHttpApi::tokenFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("permissions");
    QTest::addColumn<QString>("errorHas"); // empty: accepted

    const int owner = int(QFile::ReadOwner | QFile::WriteOwner);
    QTest::newRow("owner only") << QByteArray("0123456789abcdef0123\n") << owner << "";
    QTest::newRow("read-only for the owner")
        << QByteArray("0123456789abcdef0123") << int(QFile::ReadOwner) << "";
    QTest::newRow("world-readable")
        << QByteArray("0123456789abcdef0123") << int(owner | QFile::ReadOther) << "chmod 600";
    QTest::newRow("group-readable")
        << QByteArray("0123456789abcdef0123") << int(owner | QFile::ReadGroup) << "open to others";
    QTest::newRow("too short") << QByteArray("secret\n") << owner << "at least 16";
    QTest::newRow("empty") << QByteArray() << owner << "at least 16";
}

void TestHttpApi::tokenFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, permissions);
    QFETCH(QString, errorHas);

    const QString path = write(QStringLiteral("token"), content, QFile::Permissions(permissions));
    QVERIFY(!path.isEmpty());
    QByteArray token;
    QString error;
    const bool read = HttpAccess::readTokenFile(path, &token, &error);
    QCOMPARE(read, errorHas.isEmpty());
    if (read) {
        QCOMPARE(token, content.trimmed());
    } else {
        QVERIFY2(error.contains(errorHas), qPrintable(error));
        QVERIFY2(error.contains(path), qPrintable(error));
    }
    QVERIFY(!HttpAccess::readTokenFile(m_dir.filePath(QStringLiteral("none")), &token, &error));
    QVERIFY(error.contains(QStringLiteral("does not exist")));
}

void TestHttpApi::listen_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("address"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("needsToken");

    QTest::newRow("loopback") << "127.0.0.1:8080"
                              << "127.0.0.1" << 8080 << false;
    QTest::newRow("port only") << ":9000"
                               << "127.0.0.1" << 9000 << false;
    QTest::newRow("IPv6 loopback") << "[::1]:8080"
                                   << "::1" << 8080 << false;
    QTest::newRow("any address") << "0.0.0.0:8080"
                                 << "0.0.0.0" << 8080 << true;
    QTest::newRow("LAN address") << "192.168.1.20:80"
                                 << "192.168.1.20" << 80 << true;
    QTest::newRow("host name") << "localhost:8080"
                               << "" << 0 << false;
    QTest::newRow("no port") << "127.0.0.1"
                             << "" << 0 << false;
    QTest::newRow("port too big") << "127.0.0.1:65536"
                                  << "" << 0 << false;
    QTest::newRow("port not a number") << "127.0.0.1:http"
                                       << "" << 0 << false;
}

void TestHttpApi::listen()
{
    QFETCH(QString, listen);
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(bool, needsToken);

    HttpConfig http;
    QString reason;
    QCOMPARE(HttpConfig::parseListen(listen, &http, &reason), !address.isEmpty());
    if (address.isEmpty()) {
        QVERIFY2(reason.contains(listen), qPrintable(reason));
        return;
    }
    QCOMPARE(http.address, address);
    QCOMPARE(int(http.port), port);
    QString error;
    QCOMPARE(HttpAccess::listenAllowed(http.address, {}, &error), !needsToken);
    if (needsToken)
        QVERIFY2(error.contains(QStringLiteral("token_file")), qPrintable(error));
    QVERIFY(HttpAccess::listenAllowed(http.address, QStringLiteral("/etc/token"), &error));
}

void TestHttpApi::httpSection()
{
    const auto perms = QFile::ReadOwner | QFile::WriteOwner;
    QString error;
    auto config = Config::load(write(QStringLiteral("http.conf"),
                                     "[http]\nlisten = 0.0.0.0:8081\ntoken_file = /etc/t\n"
                                     "allow_origin = https://ha.lan:8123\n[com1]\nport = 1\n",
                                     perms),
                               &error);
    QVERIFY2(config, qPrintable(error));
    QVERIFY(!config->mqtt);
    QVERIFY(config->http);
    QCOMPARE(config->http->address, QStringLiteral("0.0.0.0"));
    QCOMPARE(config->http->port, quint16(8081));
    QCOMPARE(config->http->tokenFile, QStringLiteral("/etc/t"));
    QCOMPARE(config->http->allowOrigin, QStringLiteral("https://ha.lan:8123"));

    config = Config::load(write(QStringLiteral("mqtt.conf"), "[mqtt]\n[com1]\nport = 1\n", perms),
                          &error);
    QVERIFY2(config, qPrintable(error));
    QVERIFY(config->mqtt);
    QVERIFY(!config->http);

    for (const auto &[content, has] :
         {std::pair{QByteArray("[http]\nport = 80\n[com1]\nport = 1\n"), "2: port: unknown key"},
          std::pair{QByteArray("[http]\nlisten = nowhere\n[com1]\nport = 1\n"),
                    "2: listen: \"nowhere\" is not ADDRESS:PORT"},
          std::pair{QByteArray("[http]\nallow_origin = *\n[com1]\nport = 1\n"),
                    "2: allow_origin: \"*\" is not an origin"}}) {
        const QString name = QStringLiteral("bad%1.conf").arg(++m_files);
        QVERIFY(!Config::load(write(name, content, perms), &error));
        QVERIFY2(error.contains(QString::fromLatin1(has)), qPrintable(error));
    }
}

// Out of descriptors for its pipes: start() says so rather than leave a front that never
// answers.
void TestHttpApi::transportThatCannotStart()
{
    HttpTransport transport(
        HttpLimits{}, [](int, const QString &) { return HttpResponse(); },
        [](const HttpRequest &, HttpResponse &) { return true; },
        [](const HttpRequest &, const HttpResponder &) {}, [](const QString &) {});
    rlimit saved = {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    QVERIFY(lowestFree >= 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(lowestFree);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    QString error;
    const bool started = transport.start(&error);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    QVERIFY(!started);
    QVERIFY2(error.contains(QStringLiteral("pipes")), qPrintable(error));
}

void TestHttpApi::socketPath_data()
{
    QTest::addColumn<QString>("layout");  // what stands on the way to the socket
    QTest::addColumn<QString>("refusal"); // empty: it listens

    QTest::newRow("a fresh path") << "plain"
                                  << "";
    QTest::newRow("a directory reached through root's link") << "root link"
                                                             << "";
    QTest::newRow("a directory reached through a stranger's link") << "stranger link"
                                                                   << "on the way to the socket";
    QTest::newRow("a stranger's file at the path: refused, left there")
        << "foreign file"
        << "not a socket this service left";
}

void TestHttpApi::socketPath()
{
    QFETCH(QString, layout);
    QFETCH(QString, refusal);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("real")));
    QString socket = dir.filePath(QStringLiteral("real/http.sock"));
    if (layout.endsWith(u"link")) {
        const QString link = dir.filePath(QStringLiteral("via"));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("real")), link));
        // Tests run as root too: the stranger is nobody.
        const uid_t owner = layout == u"root link" ? 0 : 65534;
        QCOMPARE(::lchown(QFile::encodeName(link).constData(), owner, owner), 0);
        socket = link + QStringLiteral("/http.sock");
    } else if (layout == u"foreign file") {
        QFile file(socket);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(::chown(QFile::encodeName(socket).constData(), 65534, 65534), 0);
    }
    LocalSocket listening;
    QString error;
    const bool listens = listening.listen(socket, gid_t(-1), &error);
    QCOMPARE(listens, refusal.isEmpty());
    if (!listens)
        QVERIFY2(error.contains(refusal), qPrintable(error));
    if (layout == u"foreign file")
        QVERIFY(QFileInfo(socket).isFile());
}

namespace {

// An address of this process's own network namespace, on its loopback device.
bool addAddress(const char *device, const char *address)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request = {};
    std::strncpy(request.ifr_name, device, IFNAMSIZ - 1);
    auto *in = reinterpret_cast<sockaddr_in *>(&request.ifr_addr);
    in->sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in->sin_addr);
    bool done = ::ioctl(fd, SIOCSIFADDR, &request) == 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    done = done && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    return done;
}

int connectFrom(const char *source, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to = from;
    to.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

// The cap on one address's connections, reached from an address other than loopback (which is
// exempt): in a network namespace of this test's own, nothing leaves the machine.
void TestHttpApi::connectionsPerAddress()
{
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0)
        QSKIP("needs a network namespace of its own (root, and unshare allowed)");
    QVERIFY(addAddress("lo", "127.0.0.1"));
    QVERIFY(addAddress("lo:1", "192.0.2.1"));
    HttpLimits limits;
    limits.maxPerAddress = 2;
    HttpTransport transport(
        limits,
        [](int status, const QString &) {
            HttpResponse refused;
            refused.status = status;
            return refused;
        },
        [](const HttpRequest &, HttpResponse &) { return true; },
        [](const HttpRequest &, const HttpResponder &) {}, [](const QString &) {});
    QString error;
    const quint16 port = transport.bind(QStringLiteral("0.0.0.0"), 0, &error);
    QVERIFY2(port > 0 && transport.start(&error), qPrintable(error));
    std::vector<int> held;
    for (int i = 0; i < 3; ++i)
        held.push_back(connectFrom("192.0.2.1", port));
    const auto closeAll = qScopeGuard([&held] {
        for (int fd : held)
            ::close(fd);
    });
    QVERIFY(std::all_of(held.begin(), held.end(), [](int fd) { return fd >= 0; }));
    char answer[64] = {};
    pollfd third = {held.back(), POLLIN, 0};
    QVERIFY(::poll(&third, 1, 5000) == 1);
    QVERIFY(::recv(held.back(), answer, sizeof answer - 1, 0) > 0);
    QVERIFY2(QByteArray(answer).startsWith("HTTP/1.1 503"), answer);
    // The second of that address was let in: nothing is said to it.
    pollfd second = {held.at(1), POLLIN, 0};
    QCOMPARE(::poll(&second, 1, 200), 0);
}

QTEST_GUILESS_MAIN(TestHttpApi)
#include "tst_httpapi.moc"
