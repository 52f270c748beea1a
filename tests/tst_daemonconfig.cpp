// The service's config file: what a good file gives, and a table of bad files, each stopped with
// the file, the line and the key named.
#include "config.h"

#include <QFile>
#include <QTemporaryDir>

#include "comportpath.h"
#include <QTest>

using namespace std::chrono_literals;

class TestDaemonConfig final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readsEverything();
    void passwordFromEnvironment();
    void refusesBadFiles_data();
    void refusesBadFiles();
    void urls_data();
    void urls();

private:
    QString write(const QString &name, const QByteArray &content);

    QTemporaryDir m_dir;
};

void TestDaemonConfig::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // One device under other names: a link, and COM1 through the port directory.
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), m_dir.filePath(QStringLiteral("null-link"))));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), m_dir.filePath(QStringLiteral("COM1"))));
    qputenv(ComPortPath::kPortDirVariable, QFile::encodeName(m_dir.path()));
}

QString TestDaemonConfig::write(const QString &name, const QByteArray &content)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size())
        return {};
    return path;
}

void TestDaemonConfig::readsEverything()
{
    const QString secret = write(QStringLiteral("secret"), "s3cret\n");
    const QString path = write(QStringLiteral("good.conf"), "; the service\n"
                                                            "[mqtt]\n"
                                                            "url = mqtts://broker.lan:9883\n"
                                                            "username = relays\n"
                                                            "password_file = " +
                                                                secret.toUtf8() +
                                                                "\n"
                                                                "base_topic = house/relays\n"
                                                                "discovery = off\n"
                                                                "\n"
                                                                "[greenhouse]\n"
                                                                "device = /dev/serial/by-id/x\n"
                                                                "name = Greenhouse, east\n"
                                                                "poll_interval = 250\n"
                                                                "relay5 = Pump\n"
                                                                "on_connect = restore\n"
                                                                "interlock = 1,2 3,4,5\n"
                                                                "[com2]\n"
                                                                "port = 2\n");
    QString error;
    const std::optional<Config> config = Config::load(path, &error);
    QVERIFY2(config, qPrintable(error));
    QCOMPARE(config->broker.host, QStringLiteral("broker.lan"));
    QCOMPARE(config->broker.port, 9883);
    QVERIFY(config->broker.tls);
    QCOMPARE(config->broker.username, QStringLiteral("relays"));
    QCOMPARE(config->broker.password, QStringLiteral("s3cret"));
    QCOMPARE(config->broker.baseTopic, QStringLiteral("house/relays"));
    QCOMPARE(config->broker.discoveryPrefix, QStringLiteral("homeassistant"));
    QVERIFY(!config->broker.discovery);
    QCOMPARE(config->boards.size(), 2);
    const BoardConfig &board = config->boards.at(0); // in the file's order
    QCOMPARE(board.id, QStringLiteral("greenhouse"));
    QCOMPARE(board.device, QStringLiteral("/dev/serial/by-id/x"));
    QCOMPARE(board.name, QStringLiteral("Greenhouse, east"));
    QCOMPARE(board.pollInterval, 250ms);
    QCOMPARE(board.relayName(5), QStringLiteral("Pump"));
    QCOMPARE(board.relayName(6), QStringLiteral("Relay 6"));
    QCOMPARE(board.onConnect, OnConnect::Restore);
    QCOMPARE(board.interlocks, (QList<QList<int>>{{1, 2}, {3, 4, 5}}));
    const BoardConfig &second = config->boards.at(1);
    QCOMPARE(second.port, 2);
    QCOMPARE(second.pollInterval, 1000ms);
    QCOMPARE(second.onConnect, OnConnect::Keep);
    QCOMPARE(second.name, QStringLiteral("com2"));
}

void TestDaemonConfig::passwordFromEnvironment()
{
    const QString path =
        write(QStringLiteral("env.conf"), "[mqtt]\nusername = u\n[com1]\nport = 1\n");
    qputenv(Config::kPasswordVariable, "from-env");
    QString error;
    const std::optional<Config> config = Config::load(path, &error);
    qunsetenv(Config::kPasswordVariable);
    QVERIFY2(config, qPrintable(error));
    QCOMPARE(config->broker.password, QStringLiteral("from-env"));
}

void TestDaemonConfig::refusesBadFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("reason");

    const QByteArray head = "[mqtt]\nurl = mqtt://127.0.0.1\n\n";
    QTest::newRow("unknown key") << head + "[com1]\nport = 1\ncolour = red\n"
                                 << 6 << "colour"
                                 << "unknown key";
    QTest::newRow("unknown key in [mqtt]")
        << QByteArray("[mqtt]\nurl = mqtt://h\npasword = x\n[a]\nport=1\n") << 3 << "pasword"
        << "unknown key";
    QTest::newRow("key outside sections") << QByteArray("port = 1\n[a]\nport = 1\n") << 1 << "port"
                                          << "outside any section";
    QTest::newRow("relay 0") << head + "[com1]\nport = 1\nrelay0 = Pump\n"
                             << 6 << "relay0"
                             << "bad relay number";
    QTest::newRow("relay 17") << head + "[com1]\nport = 1\n\nrelay17 = Pump\n"
                              << 7 << "relay17"
                              << "bad relay number";
    QTest::newRow("name that is a relay number") << head + "[com1]\nport = 1\nrelay7 = 5\n"
                                                 << 6 << "relay7"
                                                 << "\"on 5\" switches relay 5";
    QTest::newRow("name of another relay, in another case")
        << head + "[com1]\nport = 1\nrelay1 = Pump\nrelay3 = \"pUMP\"\n"
        << 7 << "relay3"
        << "already names relay 1";
    QTest::newRow("name another relay has unnamed") << head + "[com1]\nport = 1\nrelay3 = relay 5\n"
                                                    << 6 << "relay3"
                                                    << "already names relay 5";
    QTest::newRow("relay named twice") << head + "[com1]\nport = 1\nrelay5 = A\nrelay05 = B\n"
                                       << 7 << "relay05"
                                       << "named twice";
    QTest::newRow("interlock relay 17") << head + "[com1]\nport = 1\ninterlock = 1,17\n"
                                        << 6 << "interlock"
                                        << "bad relay number";
    QTest::newRow("interlock relay twice") << head + "[com1]\nport = 1\ninterlock = 1,2 2,3\n"
                                           << 6 << "interlock"
                                           << "two groups";
    QTest::newRow("duplicate device")
        << head + "[a]\ndevice = /dev/ttyUSB0\n[b]\ndevice = /dev/ttyUSB0\n"
        << 7 << "device"
        << "already served by board [a]";
    QTest::newRow("same device through a link")
        << head + "[a]\ndevice = /dev/null\n[b]\ndevice = " +
               QFile::encodeName(m_dir.filePath(QStringLiteral("null-link"))) + "\n"
        << 7 << "device"
        << "already served by board [a]";
    QTest::newRow("COM port beside its device") << head + "[a]\nport = 1\n[b]\ndevice = /dev/null\n"
                                                << 7 << "device"
                                                << "already served by board [a]";
    QTest::newRow("duplicate port") << head + "[a]\nport = 3\n[b]\nport = 3\n"
                                    << 7 << "port"
                                    << "already served";
    QTest::newRow("key twice") << head + "[a]\nport = 3\nport = 4\n"
                               << 6 << "port"
                               << "written twice";
    QTest::newRow("board named general") << head + "[general]\nport = 1\ncolour = red\n"
                                         << 6 << "colour"
                                         << "unknown key";
    QTest::newRow("section twice") << head + "[a]\nport = 3\n[a]\nport = 4\n"
                                   << 6 << "[a]"
                                   << "written twice";
    QTest::newRow("bad id") << head + "[Kitchen]\nport = 1\n"
                            << 4 << "[Kitchen]"
                            << "not a board id";
    QTest::newRow("id too long") << head + "[" + QByteArray(33, 'a') + "]\nport = 1\n"
                                 << 4 << "[" + QString(33, u'a') + "]"
                                 << "not a board id";
    QTest::newRow("poll_interval below 100") << head + "[com1]\nport = 1\npoll_interval = 99\n"
                                             << 6 << "poll_interval"
                                             << "from 100";
    QTest::newRow("poll_interval not a number") << head + "[com1]\nport = 1\npoll_interval = fast\n"
                                                << 6 << "poll_interval"
                                                << "\"fast\"";
    QTest::newRow("no device nor port") << head + "[com1]\nname = x\n"
                                        << 4 << "device"
                                        << "neither";
    QTest::newRow("device and port") << head + "[com1]\nport = 1\ndevice = /dev/x\n"
                                     << 5 << "port"
                                     << "both";
    QTest::newRow("port 17") << head + "[com1]\nport = 17\n"
                             << 5 << "port"
                             << "from 1 to 16";
    QTest::newRow("on_connect") << head + "[com1]\nport = 1\non_connect = restart\n"
                                << 6 << "on_connect"
                                << "keep, restore or all-off";
    QTest::newRow("url scheme") << QByteArray("[mqtt]\nurl = http://h\n[a]\nport = 1\n") << 2
                                << "url"
                                << "mqtt://HOST";
    QTest::newRow("missing password file")
        << QByteArray("[mqtt]\npassword_file = /nonexistent/pw\n[a]\nport = 1\n") << 2
        << "password_file"
        << "/nonexistent/pw";
    QTest::newRow("wildcard base topic")
        << QByteArray("[mqtt]\nbase_topic = a/#\n[a]\nport = 1\n") << 2 << "base_topic"
        << "not a topic";
    QTest::newRow("discovery maybe")
        << QByteArray("[mqtt]\ndiscovery = maybe\n[a]\nport = 1\n") << 2 << "discovery"
        << "neither on nor off";
    QTest::newRow("relative socket")
        << QByteArray("[service]\nsocket = run/http.sock\n[a]\nport = 1\n") << 2 << "socket"
        << "not an absolute path";
}

void TestDaemonConfig::refusesBadFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(int, line);
    QFETCH(QString, key);
    QFETCH(QString, reason);

    const QString path = write(QStringLiteral("bad.conf"), content);
    QVERIFY(!path.isEmpty());
    QString error;
    QVERIFY(!Config::load(path, &error));
    const QString prefix = QStringLiteral("%1:%2: %3: ").arg(path).arg(line).arg(key);
    QVERIFY2(error.startsWith(prefix), qPrintable(error + QStringLiteral(" | wanted ") + prefix));
    QVERIFY2(error.contains(reason), qPrintable(error));
}

void TestDaemonConfig::urls_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("tls");

    QTest::newRow("default port") << "mqtt://broker" << true << "broker" << 1883 << false;
    QTest::newRow("tls default port") << "mqtts://broker" << true << "broker" << 8883 << true;
    QTest::newRow("own port") << "mqtt://127.0.0.1:1999" << true << "127.0.0.1" << 1999 << false;
    QTest::newRow("no scheme") << "broker:1883" << false << "" << 0 << false;
    QTest::newRow("path") << "mqtt://broker/x" << false << "" << 0 << false;
    QTest::newRow("no host") << "mqtt://" << false << "" << 0 << false;
}

void TestDaemonConfig::urls()
{
    QFETCH(QString, url);
    QFETCH(bool, valid);
    BrokerConfig broker;
    QString reason;
    QCOMPARE(Config::parseUrl(url, &broker, &reason), valid);
    if (!valid) {
        QVERIFY(reason.contains(url));
        return;
    }
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, tls);
    QCOMPARE(broker.host, host);
    QCOMPARE(broker.port, port);
    QCOMPARE(broker.tls, tls);
}

QTEST_GUILESS_MAIN(TestDaemonConfig)
#include "tst_daemonconfig.moc"
