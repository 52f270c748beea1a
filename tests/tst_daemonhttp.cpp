// The real usb16relayd with --http, as a process, against simulated boards on ptys (in-process,
// so that the test reads their byte logs, makes them report other states and unplugs them), with
// a real HTTP client and raw sockets for what a well-behaved client never sends.
#include "boardports.h"
#include "localbroker.h"
#include "mqttprobe.h"
#include "serviceprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int kWait = 10000;
const QByteArray kToken = "0123456789abcdef0123456789abcdef";

using Service = ServiceProcess;

struct Answer
{
    int status = 0;
    QByteArray body;
    QMap<QByteArray, QByteArray> headers;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// A raw connection, read with the event loop turning (the boards answer on it).
class RawClient final
{
public:
    explicit RawClient(quint16 port) { m_socket.connectToHost(QStringLiteral("127.0.0.1"), port); }
    bool connected()
    {
        return QTest::qWaitFor([&] { return m_socket.state() == QAbstractSocket::ConnectedState; },
                               kWait);
    }
    void send(const QByteArray &bytes) { m_socket.write(bytes); }
    // Waits until `pattern` has arrived (or the connection closed); everything read so far.
    QByteArray readUntil(const QByteArray &pattern, int ms = kWait)
    {
        // Whether it came is for the caller to judge from what was read.
        static_cast<void>(QTest::qWaitFor(
            [&] {
                m_read += m_socket.readAll();
                return m_read.contains(pattern) ||
                       m_socket.state() == QAbstractSocket::UnconnectedState;
            },
            ms));
        m_read += m_socket.readAll();
        return m_read;
    }
    void close() { m_socket.abort(); }
    QByteArray read() const { return m_read; }

private:
    QTcpSocket m_socket;
    QByteArray m_read;
};

int statusOf(const QByteArray &response)
{
    return response.startsWith("HTTP/1.1 ") ? response.mid(9, 3).toInt() : 0;
}

} // namespace

class TestDaemonHttp final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void api_data();
    void api();
    void pulse();
    void boardReportsAnotherState();
    void offline();
    void events();
    void refusedBeforeRead_data();
    void refusedBeforeRead();
    void token_data();
    void token();
    void refusedAtStart_data();
    void refusedAtStart();
    void streamsLeaveRoomForRequests();
    void stalledStreamIsDropped();
    void hostile_data();
    void hostile();
    void besideMqtt();
    void allowedOrigin();

private:
    QString writeFile(const QByteArray &content,
                      QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner);
    std::unique_ptr<Service> start(const QByteArray &http = {}, const QByteArray &board = {});
    Answer call(const QByteArray &method, const QString &path, const QByteArray &body = {},
                const QByteArray &authorization = {});

    QTemporaryDir m_dir;
    std::unique_ptr<BoardPorts> m_ports;
    QNetworkAccessManager m_network;
    int m_port = 0;
    int m_files = 0;
};

void TestDaemonHttp::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestDaemonHttp::init()
{
    m_ports = std::make_unique<BoardPorts>();
    QVERIFY(m_ports->isValid());
    m_port = LocalBroker::freePort();
    QVERIFY(m_port > 0);
}

void TestDaemonHttp::cleanup()
{
    m_ports.reset();
}

QString TestDaemonHttp::writeFile(const QByteArray &content, QFile::Permissions permissions)
{
    const QString path = m_dir.filePath(QStringLiteral("file%1").arg(++m_files));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.setPermissions(permissions))
        return {};
    return path;
}

// One board on COM1 with named relays and an interlock, served over HTTP only.
std::unique_ptr<Service> TestDaemonHttp::start(const QByteArray &http, const QByteArray &board)
{
    const QString config =
        writeFile("[http]\nlisten = 127.0.0.1:" + QByteArray::number(m_port) + "\n" + http +
                  "\n[com1]\nport = 1\npoll_interval = 200\nrelay5 = Pump\n"
                  "interlock = 1,2\n" +
                  board);
    auto service = std::make_unique<Service>(QStringList{QStringLiteral("--config"), config});
    const bool online = QTest::qWaitFor(
        [&] {
            return call("GET", QStringLiteral("/api/v1/boards/com1"), {}, "Bearer " + kToken)
                .json()
                .value("online")
                .toBool();
        },
        kWait);
    if (!online) {
        qWarning("the service did not serve com1 online; it said:\n%s", service->log().constData());
        return nullptr;
    }
    return service;
}

Answer TestDaemonHttp::call(const QByteArray &method, const QString &path, const QByteArray &body,
                            const QByteArray &authorization)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    if (!authorization.isEmpty())
        request.setRawHeader("Authorization", authorization);
    request.setTransferTimeout(kWait);
    std::unique_ptr<QNetworkReply> reply(m_network.sendCustomRequest(request, method, body));
    if (!QTest::qWaitFor([&] { return reply->isFinished(); }, kWait + 1000))
        reply->abort();
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    for (const auto &[name, value] : reply->rawHeaderPairs())
        answer.headers.insert(name.toLower(), value);
    return answer;
}

void TestDaemonHttp::api_data()
{
    QTest::addColumn<quint16>("initial");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<quint16>("after");

    using L = QList<QByteArray>;
    const QString relay5 = QStringLiteral("/api/v1/boards/com1/relays/5");
    QTest::newRow("GET boards") << quint16(0x8140) << QByteArray("GET") << "/api/v1/boards"
                                << QByteArray() << 200 << L{} << quint16(0x8140);
    QTest::newRow("GET board") << quint16(0x8140) << QByteArray("GET") << "/api/v1/boards/com1"
                               << QByteArray() << 200 << L{} << quint16(0x8140);
    QTest::newRow("PUT on") << quint16(0) << QByteArray("PUT") << relay5
                            << QByteArray("{\"on\":true}") << 200 << L{"05+//"} << quint16(0x0800);
    QTest::newRow("PUT off") << quint16(0x0801) << QByteArray("PUT") << relay5
                             << QByteArray("{\"on\":false}") << 200 << L{"05-//"}
                             << quint16(0x0001);
    QTest::newRow("toggle") << quint16(0) << QByteArray("POST")
                            << "/api/v1/boards/com1/relays/16/toggle" << QByteArray() << 200
                            << L{"16+//"} << quint16(0x0001);
    QTest::newRow("mask") << quint16(0x0100) << QByteArray("PUT") << "/api/v1/boards/com1"
                          << QByteArray("{\"mask\":\"8140\"}") << 200 << L{"01+//", "10+//"}
                          << quint16(0x8140);
    QTest::newRow("on: its interlocked partner off first")
        << quint16(0x8000) << QByteArray("PUT") << "/api/v1/boards/com1/relays/2"
        << QByteArray("{\"on\":true}") << 200 << L{"01-//", "02+//"} << quint16(0x4000);
    QTest::newRow("409 interlock") << quint16(0) << QByteArray("PUT") << "/api/v1/boards/com1"
                                   << QByteArray("{\"mask\":\"C000\"}") << 409 << L{} << quint16(0);
    QTest::newRow("400 malformed JSON") << quint16(0) << QByteArray("PUT") << relay5
                                        << QByteArray("{on:true}") << 400 << L{} << quint16(0);
    QTest::newRow("400 wrong type") << quint16(0) << QByteArray("PUT") << relay5
                                    << QByteArray("{\"on\":\"yes\"}") << 400 << L{} << quint16(0);
    QTest::newRow("400 pulse of 0 ms")
        << quint16(0) << QByteArray("POST") << "/api/v1/boards/com1/relays/5/pulse"
        << QByteArray("{\"ms\":0}") << 400 << L{} << quint16(0);
    QTest::newRow("400 body of 4 KiB of junk") << quint16(0) << QByteArray("PUT") << relay5
                                               << QByteArray(4096, '{') << 400 << L{} << quint16(0);
    QTest::newRow("404 relay 0") << quint16(0) << QByteArray("PUT")
                                 << "/api/v1/boards/com1/relays/0" << QByteArray("{\"on\":true}")
                                 << 404 << L{} << quint16(0);
    QTest::newRow("404 relay 17") << quint16(0) << QByteArray("PUT")
                                  << "/api/v1/boards/com1/relays/17" << QByteArray("{\"on\":true}")
                                  << 404 << L{} << quint16(0);
    QTest::newRow("404 unknown board")
        << quint16(0) << QByteArray("PUT") << "/api/v1/boards/com2/relays/5"
        << QByteArray("{\"on\":true}") << 404 << L{} << quint16(0);
    QTest::newRow("405 POST on a relay") << quint16(0) << QByteArray("POST") << relay5
                                         << QByteArray("{\"on\":true}") << 405 << L{} << quint16(0);
    QTest::newRow("405 DELETE") << quint16(0) << QByteArray("DELETE") << "/api/v1/boards/com1"
                                << QByteArray() << 405 << L{} << quint16(0);
}

void TestDaemonHttp::api()
{
    QFETCH(quint16, initial);
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(quint16, after);

    SimulatedBoard *board = m_ports->add(1, initial);
    QVERIFY(board);
    auto service = start();
    QVERIFY(service);
    board->clearReceived();

    const Answer answer = call(method, path, body);
    QVERIFY2(answer.status == status, answer.body.constData());
    QCOMPARE(switching(board), sent);
    QCOMPARE(board->state(), after);
    QCOMPARE(answer.headers.value("x-content-type-options"), QByteArray("nosniff"));
    if (status != 200) {
        QCOMPARE(answer.json().keys(), QStringList{QStringLiteral("error")});
        QVERIFY(answer.json().value("error").toString().size() > 10);
        QVERIFY(!answer.body.contains("\"relays\""));
        return;
    }
    // The board as read, which after a switch is its answer to that very request.
    const QJsonObject json = path == u"/api/v1/boards"
                                 ? QJsonDocument::fromJson(answer.body).array().at(0).toObject()
                                 : answer.json();
    QCOMPARE(json.value("id").toString(), QStringLiteral("com1"));
    QCOMPARE(json.value("mask").toString(), maskText(after));
    QCOMPARE(json.value("online").toBool(), true);
    const QJsonArray relays = json.value("relays").toArray();
    QCOMPARE(relays.size(), 16);
    for (int relay = 1; relay <= 16; ++relay)
        QCOMPARE(relays.at(relay - 1).toBool(), bool(after & (1u << (16 - relay))));
    QCOMPARE(json.value("names").toArray().at(4).toString(), QStringLiteral("Pump"));
    QCOMPARE(json.value("interlocks").toArray(), QJsonArray({QJsonArray{1, 2}}));
    const QDateTime readAt =
        QDateTime::fromString(json.value("read_at").toString(), Qt::ISODateWithMs);
    QVERIFY(readAt.isValid());
    QVERIFY(readAt.secsTo(QDateTime::currentDateTimeUtc()) < 60);
}

void TestDaemonHttp::pulse()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = start();
    QVERIFY(service);
    board->clearReceived();
    QElapsedTimer timer;
    timer.start();
    const Answer answer =
        call("POST", QStringLiteral("/api/v1/boards/com1/relays/3/pulse"), "{\"ms\":300}");
    QVERIFY2(answer.status == 200, answer.body.constData());
    QCOMPARE(answer.json().value("mask").toString(), QStringLiteral("2000"));
    QVERIFY(QTest::qWaitFor([&] { return switching(board).size() == 2; }, kWait));
    QVERIFY(timer.elapsed() >= 300);
    QCOMPARE(switching(board), (QList<QByteArray>{"03+//", "03-//"}));
    QCOMPARE(board->state(), quint16(0));
}

void TestDaemonHttp::boardReportsAnotherState()
{
    // Relay 5 is stuck off.
    SimulatedBoard *board = m_ports->add(1, 0x0001);
    QVERIFY(board);
    connect(board, &SimulatedBoard::stateChanged, board, [board](quint16 state) {
        if (state & 0x0800)
            board->setState(quint16(state & ~0x0800));
    });
    auto service = start();
    QVERIFY(service);
    const Answer answer =
        call("PUT", QStringLiteral("/api/v1/boards/com1/relays/5"), "{\"on\":true}");
    QVERIFY2(answer.status == 502, answer.body.constData());
    QVERIFY2(answer.json().value("error").toString().contains(QStringLiteral("reports 5 "
                                                                             "otherwise")),
             answer.body.constData());
    // What is served afterwards is what the board reported, never what was asked.
    const Answer state = call("GET", QStringLiteral("/api/v1/boards/com1"));
    QCOMPARE(state.json().value("mask").toString(), QStringLiteral("0001"));
}

void TestDaemonHttp::offline()
{
    SimulatedBoard *board = m_ports->add(1, 0x8000);
    QVERIFY(board);
    auto service = start();
    QVERIFY(service);
    board->vanish();
    QVERIFY(QTest::qWaitFor(
        [&] {
            return !call("GET", QStringLiteral("/api/v1/boards/com1"))
                        .json()
                        .value("online")
                        .toBool(true);
        },
        kWait));
    const Answer answer =
        call("PUT", QStringLiteral("/api/v1/boards/com1/relays/5"), "{\"on\":true}");
    QVERIFY2(answer.status == 503, answer.body.constData());
    QVERIFY2(answer.json().value("error").toString().contains(QStringLiteral("offline")),
             answer.body.constData());
}

void TestDaemonHttp::events()
{
    SimulatedBoard *board = m_ports->add(1, 0x8140);
    QVERIFY(board);
    auto service = start();
    QVERIFY(service);
    RawClient stream{quint16(m_port)};
    QVERIFY(stream.connected());
    stream.send("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray got = stream.readUntil("\"mask\":\"8140\"");
    QVERIFY2(got.startsWith("HTTP/1.1 200"), got.constData());
    QVERIFY2(got.contains("text/event-stream"), got.constData());
    QVERIFY2(got.contains("event: board"), got.constData());

    // Changed by someone else, found by the poll.
    board->setState(0x0001);
    got = stream.readUntil("\"mask\":\"0001\"");
    QVERIFY2(got.contains("\"mask\":\"0001\""), got.constData());
    // Changed through the API.
    QCOMPARE(call("PUT", QStringLiteral("/api/v1/boards/com1/relays/1"), "{\"on\":true}").status,
             200);
    got = stream.readUntil("\"mask\":\"8001\"");
    QVERIFY2(got.contains("\"mask\":\"8001\""), got.constData());
    // Unplugged.
    board->vanish();
    got = stream.readUntil("\"online\":false");
    QVERIFY2(got.contains("\"online\":false"), got.constData());
}

void TestDaemonHttp::refusedBeforeRead_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");

    const QByteArray put = "PUT /api/v1/boards/com1/relays/5 HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    // The body is never sent: the answer comes from the headers alone.
    QTest::newRow("413 body of 1 MiB announced")
        << QByteArray(put + "Content-Type: application/json\r\nContent-Length: 1048576\r\n\r\n")
        << 413;
    QTest::newRow("413 body of 4097 bytes announced")
        << QByteArray(put + "Content-Length: 4097\r\n\r\n") << 413;
    QTest::newRow("413 with Expect: 100-continue")
        << QByteArray(put + "Content-Length: 5000\r\nExpect: 100-continue\r\n\r\n") << 413;
    QTest::newRow("501 a transfer coding other than chunked")
        << QByteArray(put + "Transfer-Encoding: gzip, chunked\r\n\r\n") << 501;
    QByteArray many;
    for (int i = 0; i < 100; ++i)
        many += "X-Filler-" + QByteArray::number(i) + ": " + QByteArray(90, 'x') + "\r\n";
    QTest::newRow("431 headers over 8 KiB")
        << QByteArray(put + many + "Content-Length: 11\r\n\r\n{\"on\":true}") << 431;
    QTest::newRow("431 one header line over 8 KiB")
        << QByteArray(put + "X-Long: " + QByteArray(9000, 'x') +
                      "\r\nContent-Length: 11\r\n\r\n{\"on\":true}")
        << 431;
    QTest::newRow("403 a page of another origin")
        << QByteArray(put + "Origin: http://elsewhere.example\r\nContent-Length: "
                            "11\r\n\r\n{\"on\":true}")
        << 403;
    QTest::newRow("403 another host name without a token (rebinding)")
        << QByteArray("PUT /api/v1/boards/com1/relays/5 HTTP/1.1\r\nHost: relays.example\r\n"
                      "Content-Length: 11\r\n\r\n{\"on\":true}")
        << 403;
}

void TestDaemonHttp::refusedBeforeRead()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);

    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = start();
    QVERIFY(service);
    board->clearReceived();
    RawClient client{quint16(m_port)};
    QVERIFY(client.connected());
    client.send(request);
    const QByteArray got = client.readUntil("}");
    QVERIFY2(statusOf(got) == status, got.left(300).constData());
    QVERIFY2(got.contains("{\"error\":"), got.left(300).constData());
    QTest::qWait(300);
    QCOMPARE(switching(board), QList<QByteArray>{});
    QCOMPARE(board->state(), quint16(0));
}

void TestDaemonHttp::token_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<int>("status");

    const QByteArray right = "Bearer " + kToken;
    const QByteArray wrong = "Bearer " + QByteArray(kToken).replace('f', 'e');
    const QString relay5 = QStringLiteral("/api/v1/boards/com1/relays/5");
    QTest::newRow("no token, state")
        << QByteArray("GET") << "/api/v1/boards" << QByteArray() << 401;
    QTest::newRow("wrong token, state")
        << QByteArray("GET") << "/api/v1/boards/com1" << wrong << 401;
    QTest::newRow("no token, events")
        << QByteArray("GET") << "/api/v1/events" << QByteArray() << 401;
    QTest::newRow("no token, switch") << QByteArray("PUT") << relay5 << QByteArray() << 401;
    QTest::newRow("wrong token, switch") << QByteArray("PUT") << relay5 << wrong << 401;
    QTest::newRow("token as Basic")
        << QByteArray("PUT") << relay5 << QByteArray("Basic " + kToken) << 401;
    QTest::newRow("no token, unknown board")
        << QByteArray("GET") << "/api/v1/boards/secret" << QByteArray() << 401;
    QTest::newRow("right token, switch") << QByteArray("PUT") << relay5 << right << 200;
    QTest::newRow("no token, the page") << QByteArray("GET") << "/" << QByteArray() << 200;
}

void TestDaemonHttp::token()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, authorization);
    QFETCH(int, status);

    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    const QString tokenFile = writeFile(kToken + "\n");
    auto service = start("token_file = " + tokenFile.toUtf8() + "\n");
    QVERIFY(service);
    board->clearReceived();
    const Answer answer = call(method, path, method == "PUT" ? "{\"on\":true}" : "", authorization);
    QVERIFY2(answer.status == status, answer.body.constData());
    if (status == 401) {
        QCOMPARE(answer.json().keys(), QStringList{QStringLiteral("error")});
        QVERIFY(!answer.body.contains("com1")); // no state, not even which boards there are
        QCOMPARE(answer.headers.value("www-authenticate"), QByteArray("Bearer"));
        QCOMPARE(switching(board), QList<QByteArray>{});
    } else if (method == "PUT") {
        QCOMPARE(switching(board), QList<QByteArray>{"05+//"});
    } else {
        QVERIFY(answer.body.contains("<!doctype html>"));
    }
}

void TestDaemonHttp::refusedAtStart_data()
{
    QTest::addColumn<QByteArray>("http");   // the [http] section, without its listen line
    QTest::addColumn<QByteArray>("listen"); // empty: no [http] section at all
    QTest::addColumn<int>("tokenPermissions");
    QTest::addColumn<QString>("message");

    const int owner = int(QFile::ReadOwner | QFile::WriteOwner);
    QTest::newRow("any address without a token")
        << QByteArray() << QByteArray("0.0.0.0") << owner << "without a token";
    QTest::newRow("token file readable by everyone")
        << QByteArray("token_file") << QByteArray("127.0.0.1") << int(owner | QFile::ReadOther)
        << "chmod 600";
    QTest::newRow("token file readable by the group")
        << QByteArray("token_file") << QByteArray("0.0.0.0") << int(owner | QFile::ReadGroup)
        << "open to others";
    QTest::newRow("no front at all")
        << QByteArray() << QByteArray() << owner << "nothing to serve the boards on";
}

void TestDaemonHttp::refusedAtStart()
{
    QFETCH(QByteArray, http);
    QFETCH(QByteArray, listen);
    QFETCH(int, tokenPermissions);
    QFETCH(QString, message);

    QVERIFY(m_ports->add(1, 0));
    QByteArray section;
    if (!listen.isEmpty()) {
        section = "[http]\nlisten = " + listen + ":" + QByteArray::number(m_port) + "\n";
        if (!http.isEmpty())
            section +=
                "token_file = " + writeFile(kToken, QFile::Permissions(tokenPermissions)).toUtf8() +
                "\n";
    }
    Service service({QStringLiteral("--config"), writeFile(section + "[com1]\nport = 1\n")});
    QVERIFY(service.finish());
    QCOMPARE(service.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.process().exitCode(), 1);
    QVERIFY2(service.log().contains(message.toUtf8()), service.log().constData());
    // Nothing listens.
    QCOMPARE(call("GET", QStringLiteral("/api/v1/boards")).status, 0);
}

void TestDaemonHttp::streamsLeaveRoomForRequests()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = start();
    QVERIFY(service);
    // More open pages than there ever were request threads.
    std::vector<std::unique_ptr<RawClient>> streams;
    for (int i = 0; i < 80; ++i) {
        streams.push_back(std::make_unique<RawClient>(quint16(m_port)));
        QVERIFY(streams.back()->connected());
        streams.back()->send("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }
    for (auto &stream : streams) {
        const QByteArray got = stream->readUntil("event: board");
        QVERIFY2(got.startsWith("HTTP/1.1 200"), got.left(200).constData());
    }
    QCOMPARE(call("PUT", QStringLiteral("/api/v1/boards/com1/relays/5"), "{\"on\":true}").status,
             200);
    QCOMPARE(call("GET", QStringLiteral("/api/v1/boards")).status, 200);
    QCOMPARE(switching(board), QList<QByteArray>{"05+//"});
    // Every stream hears of it.
    for (auto &stream : streams)
        QVERIFY(stream->readUntil("\"mask\":\"0800\"").contains("\"mask\":\"0800\""));
}

// A client that opens the event stream and never reads again is dropped within seconds, however
// much the kernel would buffer for it.
void TestDaemonHttp::stalledStreamIsDropped()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = start();
    QVERIFY(service);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(fd >= 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(m_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const QByteArray ask = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    QCOMPARE(::send(fd, ask.constData(), size_t(ask.size()), 0), ssize_t(ask.size()));
    // Far more than both sockets' buffers hold: each change is an event of the whole board.
    for (int i = 0; i < 300; ++i)
        QCOMPARE(
            call("POST", QStringLiteral("/api/v1/boards/com1/relays/%1/toggle").arg(i % 16 + 1))
                .status,
            200);
    QTest::qWait(8000);
    // Read what the kernel kept: the service closed its end, so it ends.
    bool closed = false;
    QElapsedTimer reading;
    reading.start();
    char buffer[65536];
    while (!closed && reading.elapsed() < 3000) {
        pollfd readable = {fd, POLLIN, 0};
        if (::poll(&readable, 1, 500) > 0)
            closed = ::recv(fd, buffer, sizeof buffer, 0) <= 0;
    }
    ::close(fd);
    QVERIFY2(closed, "the stream of a client that stopped reading is still open");
    QCOMPARE(call("GET", QStringLiteral("/api/v1/boards")).status, 200);
}

void TestDaemonHttp::hostile_data()
{
    QTest::addColumn<QByteArray>("request"); // sent at once, then one byte a second if slow
    QTest::addColumn<int>("slow");           // connections that trickle it
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<int>("state"); // the board's afterwards
    QTest::addColumn<bool>("terminate");

    const auto put = [](int relay, const QByteArray &extra = {}) {
        return "PUT /api/v1/boards/com1/relays/" + QByteArray::number(relay) +
               " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra +
               "Content-Length: 11\r\n\r\n{\"on\":true}";
    };
    const auto get = [](const QByteArray &path, const QByteArray &host = "127.0.0.1",
                        const QByteArray &method = "GET") {
        return method + ' ' + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    };
    const QByteArray getBoard = get("/api/v1/boards/com1");
    const QByteArray keepBoard = QByteArray(getBoard).replace("Connection: close\r\n", "");
    QTest::newRow("two pipelined PUTs: both answered, in order")
        << put(5) + put(6, "Connection: close\r\n") << 0 << QList<int>{200, 200} << 0x0C00 << false;
    QTest::newRow("three pipelined GETs")
        << keepBoard + keepBoard + getBoard << 0 << QList<int>{200, 200, 200} << 0 << false;
    QTest::newRow("HEAD on the board and the page, then GET")
        << get("/api/v1/boards/com1", "127.0.0.1", "HEAD").replace("Connection: close\r\n", "") +
               get("/", "127.0.0.1", "HEAD").replace("Connection: close\r\n", "") + getBoard
        << 0 << QList<int>{200, 200, 200} << 0 << false;
    QTest::newRow("a refused request behind a served one is answered")
        << keepBoard +
               QByteArray(getBoard).replace("\r\n\r\n", "\r\nOrigin: http://a.example\r\n\r\n")
        << 0 << QList<int>{200, 403} << 0 << false;
    QTest::newRow("the icon") << get("/favicon.ico") << 0 << QList<int>{200} << 0 << false;
    QTest::newRow("a chunked body, as curl -T - sends it")
        << put(5, "Transfer-Encoding: chunked\r\nExpect: 100-continue\r\n")
               .replace("Content-Length: 11\r\n\r\n{\"on\":true}",
                        "\r\n5\r\n{\"on\"\r\n6\r\n:true}\r\n0\r\n\r\n")
        << 0 << QList<int>{200} << 0x0800 << false;
    QTest::newRow("Host in capitals")
        << get("/api/v1/boards/com1", "LOCALHOST") << 0 << QList<int>{200} << 0 << false;
    QTest::newRow("an absolute-form target")
        << QByteArray("GET http://127.0.0.1/api/v1/boards HTTP/1.1\r\nConnection: close\r\n\r\n")
        << 0 << QList<int>{200} << 0 << false;
    QTest::newRow("OPTIONS *") << get("*", "127.0.0.1", "OPTIONS") << 0 << QList<int>{204} << 0
                               << false;
    QTest::newRow("two Host headers; the PUT behind is never run")
        << "GET /api/v1/boards HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: relays.example\r\n\r\n" + put(5)
        << 0 << QList<int>{400} << 0 << false;
    QTest::newRow("two different Content-Length")
        << put(5, "Content-Length: 12\r\n") << 0 << QList<int>{400} << 0 << false;
    QTest::newRow("Content-Length -1") << QByteArray(put(5)).replace("Length: 11", "Length: -1")
                                       << 0 << QList<int>{400} << 0 << false;
    QTest::newRow("a control character in the path")
        << get("/api/v1/boards/com1%0A") << 0 << QList<int>{400} << 0 << false;
    for (const char *host : {"localhost", "localhost:8080", "[::1]", "[::1]:8080", "127.0.0.1"})
        QTest::newRow(qPrintable(QStringLiteral("host %1 without a token").arg(host)))
            << get("/api/v1/boards/com1", host) << 0 << QList<int>{200} << 0 << false;
    for (const char *host : {"localhost.evil", "localhostx", "evil.example", "127.0.0.1.evil"})
        QTest::newRow(qPrintable(QStringLiteral("host %1 without a token").arg(host)))
            << get("/api/v1/boards/com1", host) << 0 << QList<int>{403} << 0 << false;
    QTest::newRow("80 slow heads: each ends at its deadline, others are served")
        << QByteArray("GET /api/v1/boards/com1 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ") << 80
        << QList<int>{408} << 0 << false;
    QTest::newRow("a slow body: ends at its deadline, nothing switched")
        << QByteArray(put(5)).chopped(10) << 1 << QList<int>{408} << 0 << false;
    QTest::newRow("SIGTERM while a client trickles")
        << QByteArray("GET / HTTP/1.1\r\nX-Slow: ") << 1 << QList<int>{} << 0 << true;
}

void TestDaemonHttp::hostile()
{
    QFETCH(QByteArray, request);
    QFETCH(int, slow);
    QFETCH(QList<int>, statuses);
    QFETCH(int, state);
    QFETCH(bool, terminate);

    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = start();
    QVERIFY(service);
    board->clearReceived();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < std::max(slow, 1); ++i) {
        clients.push_back(std::make_unique<RawClient>(quint16(m_port)));
        QVERIFY(clients.back()->connected());
        clients.back()->send(request);
    }
    QTimer trickle;
    connect(&trickle, &QTimer::timeout, this, [&] {
        for (auto &client : clients)
            client->send("x");
    });
    QElapsedTimer timer;
    timer.start();
    if (slow > 0) {
        trickle.start(1000);
        if (terminate) {
            QTest::qWait(500);
            QVERIFY2(service->stop(), "still running 10 s after SIGTERM");
            QCOMPARE(service->process().exitCode(), 0);
            return;
        }
        const Answer fresh = call("GET", QStringLiteral("/api/v1/boards/com1"));
        QVERIFY2(fresh.status == 200, fresh.body.constData());
    }
    for (auto &client : clients) {
        // Every request but the last keeps the connection: it closes once all are answered.
        client->readUntil("\r\n\r\nnever", 2 * kWait);
        QList<int> got;
        for (const auto &match :
             QRegularExpression(QStringLiteral("HTTP/1.1 (\\d{3}) ")).globalMatch(client->read()))
            got.append(match.captured(1).toInt());
        QVERIFY2(got == statuses, client->read().left(600).constData());
    }
    if (slow > 0)
        QVERIFY(timer.elapsed() >= 4000); // the deadline, not the first byte, ended them
    QTest::qWait(300);
    QCOMPARE(board->state(), quint16(state));
}

void TestDaemonHttp::besideMqtt()
{
    if (!QFile::exists(QStringLiteral("/usr/sbin/mosquitto")))
        QSKIP("needs /usr/sbin/mosquitto (Debian package mosquitto)");
    LocalBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    MqttProbe probe;
    QVERIFY(probe.connectTo(broker.port()));
    QVERIFY(probe.subscribe(QStringLiteral("usb16relay/#")));
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    // The [mqtt] section goes after the board's, in a section of its own.
    auto service = start({}, "\n[mqtt]\nurl = " + broker.url().toUtf8() + "\n");
    QVERIFY(service);
    QVERIFY(probe.waitFor(QStringLiteral("usb16relay/com1/availability"), "online", kWait));
    RawClient stream{quint16(m_port)};
    QVERIFY(stream.connected());
    stream.send("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");

    // Switched over HTTP: MQTT publishes the state read, with the time of the very read the
    // page was told of.
    QCOMPARE(call("PUT", QStringLiteral("/api/v1/boards/com1/relays/5"), "{\"on\":true}").status,
             200);
    QVERIFY(probe.waitFor(QStringLiteral("usb16relay/com1/relay/5"), "ON", kWait));
    const auto state = probe.waitFor(
        [](const MqttProbe::Message &message) {
            return message.topic == u"usb16relay/com1/state" && message.payload.contains("0800");
        },
        kWait);
    QVERIFY(state);
    const QByteArray events = stream.readUntil("\"mask\":\"0800\"");
    const QRegularExpression boardEvent(
        QStringLiteral("event: board\ndata: (\\{[^\n]*\"mask\":\"0800\"[^\n]*)"));
    const QRegularExpressionMatch match = boardEvent.match(QString::fromUtf8(events));
    QVERIFY2(match.hasMatch(), events.constData());
    const QString pageReadAt =
        QJsonDocument::fromJson(match.captured(1).toUtf8()).object().value("read_at").toString();
    QCOMPARE(QJsonDocument::fromJson(state->payload).object().value("read_at").toString(),
             pageReadAt);
    // Switched over MQTT: HTTP serves the state read.
    QVERIFY(probe.publish(QStringLiteral("usb16relay/com1/relay/6/set"), "ON"));
    QVERIFY(QTest::qWaitFor(
        [&] {
            return call("GET", QStringLiteral("/api/v1/boards/com1")).json().value("mask") ==
                   QStringLiteral("0C00");
        },
        kWait));
    // A refusal over HTTP is answered there, not published as an MQTT error event.
    probe.clear();
    QCOMPARE(call("PUT", QStringLiteral("/api/v1/boards/com1"), "{\"mask\":\"C000\"}").status, 409);
    QTest::qWait(500);
    QCOMPARE(probe.on(QStringLiteral("usb16relay/com1/error")).size(), 0);
    QCOMPARE(switching(board), (QList<QByteArray>{"05+//", "06+//"}));
}

void TestDaemonHttp::allowedOrigin()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = start("allow_origin = http://panel.example:8123\n");
    QVERIFY(service);
    const QByteArray origin = "Origin: http://panel.example:8123\r\n";

    RawClient preflight{quint16(m_port)};
    QVERIFY(preflight.connected());
    preflight.send("OPTIONS /api/v1/boards/com1/relays/5 HTTP/1.1\r\nHost: 127.0.0.1\r\n" + origin +
                   "Access-Control-Request-Method: PUT\r\n\r\n");
    QByteArray got = preflight.readUntil("\r\n\r\n");
    QVERIFY2(statusOf(got) == 204, got.constData());
    QVERIFY2(got.contains("Access-Control-Allow-Origin: http://panel.example:8123"),
             got.constData());
    QVERIFY2(got.contains("Access-Control-Allow-Methods: GET, HEAD, PUT, POST"), got.constData());

    RawClient put{quint16(m_port)};
    QVERIFY(put.connected());
    put.send("PUT /api/v1/boards/com1/relays/5 HTTP/1.1\r\nHost: 127.0.0.1\r\n" + origin +
             "Content-Length: 11\r\n\r\n{\"on\":true}");
    got = put.readUntil("\"read_at\"");
    QVERIFY2(statusOf(got) == 200, got.constData());
    QVERIFY2(got.contains("Access-Control-Allow-Origin: http://panel.example:8123"),
             got.constData());
    QCOMPARE(switching(board), QList<QByteArray>{"05+//"});

    // A request without that origin gets no such header (another origin: 403, above).
    const Answer plain = call("GET", QStringLiteral("/api/v1/boards"));
    QCOMPARE(plain.headers.value("access-control-allow-origin"), QByteArray());
}

QTEST_GUILESS_MAIN(TestDaemonHttp)
#include "tst_daemonhttp.moc"
