// The real usb16relayd, as a process, against a mosquitto of the test's own on loopback,
// simulated boards on ptys (in-process, so the test can unplug them, silence them and read their
// byte logs) and a real MQTT client.
#include "boardports.h"
#include "localbroker.h"
#include "mqttprobe.h"
#include "serviceprocess.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int kWait = 10000;
constexpr int kReconnectWait = 20000;

using Service = ServiceProcess;

bool waitUntil(const std::function<bool()> &condition, int ms = kWait)
{
    return MqttProbe::waitUntil(condition, ms);
}

// The service's own status topic: named after the host unless the config names the service.
QString statusTopic()
{
    QString host = QSysInfo::machineHostName().toLower().section(u'.', 0, 0);
    host.replace(QRegularExpression(QStringLiteral("[^a-z0-9_-]")), QStringLiteral("-"));
    return QStringLiteral("usb16relay/service/%1/status").arg(host.left(32));
}

bool statePublished(const MqttProbe::Message &message, const QString &board, quint16 state)
{
    return message.topic == QStringLiteral("usb16relay/%1/state").arg(board) &&
           QJsonDocument::fromJson(message.payload).object().value("mask").toString() ==
               maskText(state);
}

} // namespace

class TestDaemon final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commands_data();
    void commands();
    void pulse();
    void malformed_data();
    void malformed();
    void retainedCommandIgnored();
    void discovery();
    void interlock();
    void boardReportsAnotherState();
    void unplugAndReplug();
    void onConnect_data();
    void onConnect();
    void silentBoardBesideGoodOne();
    void brokerRestarted();
    void brokerAbsentAtStart();
    void burstBeyondTheQueue();
    void endingSignalDuringPulse_data();
    void endingSignalDuringPulse();
    void killedServiceLeavesItsLastWill();
    void passwordRefusedThenAccepted();
    void tls();
    void secondServiceOnSamePort();
    void systemdNotifications();
    void badConfigStopsStart();
    void withoutConfig_data();
    void withoutConfig();
    void reload();
    void reloadKeepsWhatDidNotChange();
    void restoreAfterKill();
    void twoServicesOneId();
    void twoServicesOneBoardId();
    void anotherServiceJudged_data();
    void anotherServiceJudged();
    void errorsDuringOutage();
    void staleRetainedStates();
    void slowNameServer();

private:
    QString writeConfig(const QByteArray &boards, const QByteArray &mqtt = {});
    QByteArray standardBoard(int port, const QByteArray &extra = {}) const;
    std::unique_ptr<Service> startService(const QString &config,
                                          const QStringList &online = {QStringLiteral("com1")});
    // The service on board com1, relay 4 in a 60 s pulse.
    std::unique_ptr<Service> startServiceInPulse(SimulatedBoard *board);
    bool waitAvailability(const QString &board, const QByteArray &value, int ms = kWait);
    std::optional<MqttProbe::Message> waitError(const QString &board, int ms = kWait);

    QTemporaryDir m_dir;
    std::unique_ptr<BoardPorts> m_ports;
    std::unique_ptr<LocalBroker> m_broker;
    std::unique_ptr<MqttProbe> m_probe;
    int m_configs = 0;
};

void TestDaemon::initTestCase()
{
    QVERIFY(m_dir.isValid());
    if (!QFile::exists(QStringLiteral("/usr/sbin/mosquitto")))
        QSKIP("needs /usr/sbin/mosquitto (Debian package mosquitto)");
}

void TestDaemon::init()
{
    m_ports = std::make_unique<BoardPorts>();
    QVERIFY(m_ports->isValid());
    m_broker = std::make_unique<LocalBroker>();
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    m_probe = std::make_unique<MqttProbe>();
    QVERIFY(m_probe->connectTo(m_broker->port()));
    QVERIFY(m_probe->subscribe(QStringLiteral("usb16relay/#")));
}

void TestDaemon::cleanup()
{
    m_probe.reset();
    m_broker.reset();
    m_ports.reset();
}

QByteArray TestDaemon::standardBoard(int port, const QByteArray &extra) const
{
    return "[com" + QByteArray::number(port) + "]\nport = " + QByteArray::number(port) +
           "\npoll_interval = 200\n" + extra + "\n";
}

QString TestDaemon::writeConfig(const QByteArray &boards, const QByteArray &mqtt)
{
    const QString path = m_dir.filePath(QStringLiteral("service%1.conf").arg(++m_configs));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("[mqtt]\nurl = " + m_broker->url().toUtf8() + "\n" + mqtt + "\n" + boards);
    return path;
}

std::unique_ptr<Service> TestDaemon::startService(const QString &config, const QStringList &online)
{
    auto service = std::make_unique<Service>(QStringList{QStringLiteral("--config"), config});
    for (const QString &board : online) {
        if (!waitAvailability(board, "online")) {
            qWarning("%s did not come online; the service said:\n%s", qPrintable(board),
                     service->log().constData());
            return nullptr;
        }
    }
    return service;
}

std::unique_ptr<Service> TestDaemon::startServiceInPulse(SimulatedBoard *board)
{
    auto service = startService(writeConfig(standardBoard(1)));
    if (!service || !m_probe->publish(QStringLiteral("usb16relay/com1/relay/4/pulse"), "60000") ||
        !m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x1000); }, kWait) ||
        board->state() != 0x1000)
        return nullptr;
    return service;
}

bool TestDaemon::waitAvailability(const QString &board, const QByteArray &value, int ms)
{
    const QString topic = QStringLiteral("usb16relay/%1/availability").arg(board);
    return m_probe->waitUntil(
        [&] {
            const QList<MqttProbe::Message> messages = m_probe->on(topic);
            return !messages.isEmpty() && messages.constLast().payload == value;
        },
        ms);
}

std::optional<MqttProbe::Message> TestDaemon::waitError(const QString &board, int ms)
{
    return m_probe->waitFor(QStringLiteral("usb16relay/%1/error").arg(board), {}, ms);
}

void TestDaemon::commands_data()
{
    QTest::addColumn<quint16>("initial");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<quint16>("expected");
    QTest::addColumn<QList<QByteArray>>("sent");

    QTest::newRow("ON") << quint16(0) << "relay/5/set" << QByteArray("ON") << quint16(0x0800)
                        << QList<QByteArray>{"05+//"};
    QTest::newRow("off, lower case") << quint16(0x0800) << "relay/5/set" << QByteArray("off")
                                     << quint16(0) << QList<QByteArray>{"05-//"};
    QTest::newRow("Toggle on") << quint16(0) << "relay/16/set" << QByteArray("Toggle")
                               << quint16(0x0001) << QList<QByteArray>{"16+//"};
    QTest::newRow("TOGGLE off") << quint16(0x8001) << "relay/1/set" << QByteArray("TOGGLE")
                                << quint16(0x0001) << QList<QByteArray>{"01-//"};
    QTest::newRow("mask") << quint16(0x0100) << "mask/set" << QByteArray("8140") << quint16(0x8140)
                          << QList<QByteArray>{"01+//", "10+//"};
    QTest::newRow("mask, off before on") << quint16(0x8000) << "mask/set" << QByteArray("4000")
                                         << quint16(0x4000) << QList<QByteArray>{"01-//", "02+//"};
    QTest::newRow("mask all off") << quint16(0x8140) << "mask/set" << QByteArray("0000")
                                  << quint16(0) << QList<QByteArray>{"off//"};
}

void TestDaemon::commands()
{
    QFETCH(quint16, initial);
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(quint16, expected);
    QFETCH(QList<QByteArray>, sent);

    SimulatedBoard *board = m_ports->add(1, initial);
    QVERIFY(board);
    auto service = startService(writeConfig(standardBoard(1)));
    QVERIFY(service);
    QVERIFY(
        m_probe->waitFor([&](const auto &m) { return statePublished(m, "com1", initial); }, kWait));
    board->clearReceived();
    m_probe->clear();

    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/") + topic, payload));
    QVERIFY2(
        m_probe->waitFor([&](const auto &m) { return statePublished(m, "com1", expected); }, kWait),
        service->log().constData());
    QCOMPARE(board->state(), expected);
    QCOMPARE(switching(board), sent);
    for (int relay = 1; relay <= 16; ++relay) {
        const quint16 bit = quint16(1u << (16 - relay));
        if ((initial ^ expected) & bit) {
            const QString relayTopic = QStringLiteral("usb16relay/com1/relay/%1").arg(relay);
            QVERIFY(m_probe->waitFor(relayTopic, (expected & bit) ? "ON" : "OFF", kWait));
        }
    }
    QVERIFY(m_probe->on(QStringLiteral("usb16relay/com1/error")).isEmpty());
}

void TestDaemon::pulse()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    QElapsedTimer clock;
    clock.start();
    qint64 onAt = -1;
    qint64 offAt = -1;
    connect(board, &SimulatedBoard::stateChanged, this, [&](quint16 state) {
        if (state & 0x2000)
            onAt = clock.elapsed();
        else if (onAt >= 0 && offAt < 0)
            offAt = clock.elapsed();
    });
    auto service = startService(writeConfig(standardBoard(1)));
    QVERIFY(service);
    QVERIFY(m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0); }, kWait));
    m_probe->clear();
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/3/pulse"), "300"));
    QVERIFY(m_probe->waitFor(QStringLiteral("usb16relay/com1/relay/3"), "ON", kWait));
    QVERIFY2(waitUntil([&] { return offAt >= 0; }), service->log().constData());
    QVERIFY2(offAt - onAt >= 300, qPrintable(QString::number(offAt - onAt)));
    QCOMPARE(switching(board), (QList<QByteArray>{"03+//", "03-//"}));
    QVERIFY(m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0); }, kWait));
    QCOMPARE(m_probe->on(QStringLiteral("usb16relay/com1/relay/3")).constLast().payload,
             QByteArray("OFF"));
}

void TestDaemon::malformed_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("why");

    QTest::newRow("unknown word") << "relay/5/set" << QByteArray("OPEN") << "ON, OFF or TOGGLE";
    QTest::newRow("relay 0") << "relay/0/set" << QByteArray("ON") << "relays are 1 to 16";
    QTest::newRow("relay 17") << "relay/17/set" << QByteArray("ON") << "relays are 1 to 16";
    QTest::newRow("oversized") << "relay/5/set" << QByteArray(300, 'O') << "300 bytes";
    QTest::newRow("pulse 0") << "relay/5/pulse" << QByteArray("0") << "from 1 to 86400000";
    QTest::newRow("pulse too long")
        << "relay/5/pulse" << QByteArray("86400001") << "from 1 to 86400000";
    QTest::newRow("mask of three") << "mask/set" << QByteArray("FFF") << "four hex digits";
}

void TestDaemon::malformed()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QString, why);

    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = startService(writeConfig(standardBoard(1)));
    QVERIFY(service);
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/") + topic, payload));
    const auto error = waitError(QStringLiteral("com1"));
    QVERIFY2(error, service->log().constData());
    QVERIFY(!error->retained);
    const QJsonObject event = QJsonDocument::fromJson(error->payload).object();
    QVERIFY2(event.value("error").toString().contains(why), error->payload.constData());
    QVERIFY(event.value("command").toString().contains(topic));
    QCOMPARE(event.value("kind").toString(), QStringLiteral("bad-request"));
    // A good command after it runs, alone: the bad one sent nothing.
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/2/set"), "ON"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x4000); }, kWait));
    QCOMPARE(switching(board), QList<QByteArray>{"02+//"});
    QVERIFY(service->log().contains("<4>command usb16relay/com1/" + topic.toUtf8()));
}

void TestDaemon::retainedCommandIgnored()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    const QString topic = QStringLiteral("usb16relay/com1/relay/5/set");
    QVERIFY(m_probe->publish(topic, "ON", true));
    auto service = startService(writeConfig(standardBoard(1)));
    QVERIFY(service);
    const auto error = waitError(QStringLiteral("com1"));
    QVERIFY2(error, service->log().constData());
    QVERIFY(QJsonDocument::fromJson(error->payload)
                .object()
                .value("error")
                .toString()
                .contains(QStringLiteral("retained")));
    // Later commands run; the retained one never did.
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/6/set"), "ON"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x0400); }, kWait));
    QCOMPARE(board->state(), quint16(0x0400));
    QCOMPARE(switching(board), QList<QByteArray>{"06+//"});
    // Clearing it, as the error says, is no error, and switches nothing.
    m_probe->clear();
    QVERIFY(m_probe->publish(topic, {}, true));
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/6/set"), "OFF"));
    QVERIFY(m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0); }, kWait));
    QVERIFY(m_probe->on(QStringLiteral("usb16relay/com1/error")).isEmpty());
    // Without --verbose, no line per command or per MQTT packet.
    QVERIFY(!service->log().contains("<7>"));
}

void TestDaemon::discovery()
{
    QVERIFY(m_ports->add(1, 0x8000));
    auto service = startService(writeConfig(
        standardBoard(1, "name = Greenhouse\nrelay5 = Pump\nrelay16 = Lights, back\n")));
    QVERIFY(service);

    MqttProbe homeAssistant;
    QVERIFY(homeAssistant.connectTo(m_broker->port()));
    QVERIFY(homeAssistant.subscribe(QStringLiteral("homeassistant/switch/+/+/config")));
    QVERIFY(homeAssistant.waitUntil([&] { return homeAssistant.messages().size() >= 16; }, kWait));
    QTest::qWait(200);
    const QList<MqttProbe::Message> configs = homeAssistant.messages();
    QCOMPARE(configs.size(), 16);
    QSet<QString> uniqueIds;
    for (const MqttProbe::Message &message : configs) {
        QVERIFY(message.retained);
        const QJsonObject config = QJsonDocument::fromJson(message.payload).object();
        const QString id = config.value("unique_id").toString();
        const int relay = id.section(QStringLiteral("relay"), -1).toInt();
        QCOMPARE(message.topic,
                 QStringLiteral("homeassistant/switch/usb16relay_com1/relay%1/config").arg(relay));
        QCOMPARE(id, QStringLiteral("usb16relay_com1_relay%1").arg(relay));
        QCOMPARE(config.value("command_topic").toString(),
                 QStringLiteral("usb16relay/com1/relay/%1/set").arg(relay));
        QCOMPARE(config.value("state_topic").toString(),
                 QStringLiteral("usb16relay/com1/relay/%1").arg(relay));
        QCOMPARE(config.value("device").toObject().value("name").toString(),
                 QStringLiteral("Greenhouse"));
        const QString name = relay == 5    ? QStringLiteral("Pump")
                             : relay == 16 ? QStringLiteral("Lights, back")
                                           : QStringLiteral("Relay %1").arg(relay);
        QCOMPARE(config.value("name").toString(), name);
        uniqueIds.insert(id);
    }
    QCOMPARE(uniqueIds.size(), 16);

    // Home Assistant restarted: discovery and every state again.
    m_probe->clear();
    homeAssistant.clear();
    QVERIFY(m_probe->publish(QStringLiteral("homeassistant/status"), "online"));
    QVERIFY(homeAssistant.waitUntil([&] { return homeAssistant.messages().size() >= 16; }, kWait));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x8000); }, kWait));
    QVERIFY(m_probe->waitFor(QStringLiteral("usb16relay/com1/relay/1"), "ON", kWait));
}

void TestDaemon::interlock()
{
    SimulatedBoard *board = m_ports->add(1, 0x8000);
    QVERIFY(board);
    QList<quint16> states{board->state()};
    connect(board, &SimulatedBoard::stateChanged, this,
            [&states](quint16 state) { states.append(state); });
    auto service = startService(writeConfig(standardBoard(1, "interlock = 1,2 3,4\n")));
    QVERIFY(service);

    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/2/set"), "ON"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x4000); }, kWait));
    QCOMPARE(switching(board), (QList<QByteArray>{"01-//", "02+//"}));

    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/mask/set"), "C000"));
    const auto refused = waitError(QStringLiteral("com1"));
    QVERIFY(refused);
    QCOMPARE(QJsonDocument::fromJson(refused->payload).object().value("kind").toString(),
             QStringLiteral("interlock"));

    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/1/set"), "TOGGLE"));
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/3/pulse"), "100"));
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/4/set"), "ON"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x9000); }, kWait));
    QCOMPARE(board->state(), quint16(0x9000));

    // Relay 1 pulsed off, its partner switched on meanwhile: the pulse does not come back to
    // switch relay 1 on again over its partner.
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/1/pulse"), "400"));
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/2/set"), "ON"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x5000); }, kWait));
    QTest::qWait(800);
    QCOMPARE(board->state(), quint16(0x5000));
    for (const quint16 state : std::as_const(states)) {
        QVERIFY2((state & 0xC000) != 0xC000, qPrintable(maskText(state)));
        QVERIFY2((state & 0x3000) != 0x3000, qPrintable(maskText(state)));
    }
}

void TestDaemon::boardReportsAnotherState()
{
    // Relay 5 is stuck off.
    SimulatedBoard *board = m_ports->add(1, 0x0001);
    QVERIFY(board);
    connect(board, &SimulatedBoard::stateChanged, board, [board](quint16 state) {
        if (state & 0x0800)
            board->setState(quint16(state & ~0x0800));
    });
    auto service = startService(writeConfig(standardBoard(1)));
    QVERIFY(service);
    m_probe->clear();
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/5/set"), "ON"));
    const auto error = waitError(QStringLiteral("com1"));
    QVERIFY2(error, service->log().constData());
    const QJsonObject event = QJsonDocument::fromJson(error->payload).object();
    QCOMPARE(event.value("kind").toString(), QStringLiteral("other-state"));
    QVERIFY2(event.value("error").toString().contains(QStringLiteral("reports 5 otherwise")),
             error->payload.constData());
    // Never the state asked for: relay 5 stays published as the board reports it.
    QTest::qWait(500);
    for (const MqttProbe::Message &message : m_probe->on(QStringLiteral("usb16relay/com1/relay/5")))
        QCOMPARE(message.payload, QByteArray("OFF"));
    for (const MqttProbe::Message &message : m_probe->on(QStringLiteral("usb16relay/com1/state")))
        QVERIFY(statePublished(message, "com1", 0x0001));
}

void TestDaemon::unplugAndReplug()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = startService(writeConfig(standardBoard(1)));
    QVERIFY(service);

    board->vanish();
    QVERIFY2(waitAvailability(QStringLiteral("com1"), "offline"), service->log().constData());
    QVERIFY(m_probe->on(QStringLiteral("usb16relay/com1/availability")).constLast().retained ||
            true);
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/1/set"), "ON"));
    const auto error = waitError(QStringLiteral("com1"));
    QVERIFY(error);
    QCOMPARE(QJsonDocument::fromJson(error->payload).object().value("kind").toString(),
             QStringLiteral("offline"));

    QVERIFY(board->start(m_ports->pathOf(1)));
    QVERIFY2(waitAvailability(QStringLiteral("com1"), "online", kReconnectWait),
             service->log().constData());
    QCOMPARE(board->state(), quint16(0)); // the command sent while unplugged is not replayed
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/1/set"), "ON"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x8000); }, kWait));
    QVERIFY(service->log().contains("<4>board com1 (COM1) is offline"));
}

void TestDaemon::onConnect_data()
{
    QTest::addColumn<QByteArray>("policy");
    QTest::addColumn<quint16>("expected");

    // Relay 1 was switched on through the service; while unplugged the board lost it and
    // relay 8 came on.
    QTest::newRow("keep") << QByteArray("keep") << quint16(0x0100);
    QTest::newRow("restore") << QByteArray("restore") << quint16(0x8000);
    QTest::newRow("all-off") << QByteArray("all-off") << quint16(0);
}

void TestDaemon::onConnect()
{
    QFETCH(QByteArray, policy);
    QFETCH(quint16, expected);

    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = startService(writeConfig(standardBoard(1, "on_connect = " + policy + "\n")));
    QVERIFY(service);
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/1/set"), "ON"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x8000); }, kWait));

    board->vanish();
    QVERIFY(waitAvailability(QStringLiteral("com1"), "offline"));
    board->setState(0x0100);
    board->clearReceived();
    m_probe->clear();
    QVERIFY(board->start(m_ports->pathOf(1)));
    QVERIFY2(waitAvailability(QStringLiteral("com1"), "online", kReconnectWait),
             service->log().constData());
    QCOMPARE(board->state(), expected);
    QVERIFY(m_probe->waitFor([&](const auto &m) { return statePublished(m, "com1", expected); },
                             kWait));
    if (policy == "keep")
        QVERIFY(switching(board).isEmpty());
}

void TestDaemon::silentBoardBesideGoodOne()
{
    SimulatedBoard *good = m_ports->add(1, 0);
    SimulatedBoard *silent = m_ports->add(2, 0);
    QVERIFY(good && silent);
    auto service = startService(writeConfig(standardBoard(1) + standardBoard(2)),
                                {QStringLiteral("com1"), QStringLiteral("com2")});
    QVERIFY(service);

    silent->setFaultMode(FaultMode::Silent);
    // While com2 waits for answers that never come, com1 serves every command.
    for (int round = 0; round < 6; ++round) {
        const QByteArray word = round % 2 == 0 ? "ON" : "OFF";
        QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/7/set"), word));
        const quint16 wanted = round % 2 == 0 ? 0x0200 : 0;
        QVERIFY(m_probe->waitFor([&](const auto &m) { return statePublished(m, "com1", wanted); },
                                 kWait));
        m_probe->clear();
    }
    QVERIFY2(waitAvailability(QStringLiteral("com2"), "offline", kReconnectWait),
             service->log().constData());
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/7/set"), "ON"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x0200); }, kWait));
    QCOMPARE(good->state(), quint16(0x0200));
    QVERIFY(m_probe->on(QStringLiteral("usb16relay/com1/availability")).isEmpty());

    silent->setFaultMode(FaultMode::None);
    QVERIFY2(waitAvailability(QStringLiteral("com2"), "online", kReconnectWait),
             service->log().constData());
}

void TestDaemon::brokerRestarted()
{
    QVERIFY(m_ports->add(1, 0x0010));
    auto service = startService(writeConfig(standardBoard(1)));
    QVERIFY(service);
    m_probe.reset();
    m_broker->kill();
    QTest::qWait(300);
    QVERIFY(m_broker->restart());

    // The broker kept nothing: what a new client finds retained, the service published again.
    m_probe = std::make_unique<MqttProbe>();
    QVERIFY(m_probe->connectTo(m_broker->port()));
    QVERIFY(m_probe->subscribe(QStringLiteral("usb16relay/#")));
    QVERIFY2(m_probe->waitFor(statusTopic(), "online", kReconnectWait), service->log().constData());
    QVERIFY(waitAvailability(QStringLiteral("com1"), "online"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x0010); }, kWait));
    QVERIFY(m_probe->waitFor(QStringLiteral("usb16relay/com1/relay/12"), "ON", kWait));
    // Subscribed again.
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/12/set"), "OFF"));
    QVERIFY(m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0); }, kWait));
    QVERIFY(service->log().contains("<4>MQTT broker"));
}

void TestDaemon::brokerAbsentAtStart()
{
    SimulatedBoard *board = m_ports->add(1, 0x0002);
    QVERIFY(board);
    m_probe.reset();
    m_broker->stop();
    Service service({QStringLiteral("--config"), writeConfig(standardBoard(1))});
    QVERIFY2(waitUntil([&] { return service.log().contains("<4>MQTT broker"); }),
             service.log().constData());
    QTest::qWait(500);
    QCOMPARE(service.process().state(), QProcess::Running);
    QVERIFY(m_broker->restart());
    m_probe = std::make_unique<MqttProbe>();
    QVERIFY(m_probe->connectTo(m_broker->port()));
    QVERIFY(m_probe->subscribe(QStringLiteral("usb16relay/#")));
    QVERIFY2(waitAvailability(QStringLiteral("com1"), "online", kReconnectWait),
             service.log().constData());
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x0002); }, kWait));
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/14/set"), "ON"));
    QVERIFY2(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x0006); }, kWait),
        service.log().constData());
}

void TestDaemon::burstBeyondTheQueue()
{
    constexpr int kCommands = 1100;
    constexpr int kQueue = 1024;
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = startService(writeConfig("[com1]\nport = 1\npoll_interval = 60000\n"));
    QVERIFY(service);

    // The board holds its first answer back while the rest arrive, so the queue fills.
    struct Sent
    {
        int relay;
        QByteArray word;
    };
    QList<Sent> sent;
    for (int i = 0; i < kCommands; ++i)
        sent.append({i % 16 + 1, i % 7 == 0 ? "TOGGLE" : ((i / 16) % 2 ? "OFF" : "ON")});
    board->setReplyDelay(900ms);
    const int acknowledgedBefore = m_probe->acknowledged();
    for (const Sent &command : std::as_const(sent))
        QVERIFY(m_probe->publishLater(
            QStringLiteral("usb16relay/com1/relay/%1/set").arg(command.relay), command.word));
    QVERIFY(m_probe->waitUntil(
        [&] { return m_probe->acknowledged() - acknowledgedBefore == kCommands; }, kWait));
    board->setReplyDelay(0ms);

    // Refused ones are answered at once, each with an error event; the rest run in order.
    const QString errors = QStringLiteral("usb16relay/com1/error");
    QVERIFY(m_probe->waitUntil([&] { return m_probe->on(errors).size() >= kCommands - kQueue - 1; },
                               kWait));
    QTest::qWait(200);
    const int refused = int(m_probe->on(errors).size());
    QVERIFY2(refused == kCommands - kQueue || refused == kCommands - kQueue - 1,
             qPrintable(QString::number(refused)));
    for (const MqttProbe::Message &error : m_probe->on(errors))
        QCOMPARE(QJsonDocument::fromJson(error.payload).object().value("kind").toString(),
                 QStringLiteral("queue-full"));
    quint16 expected = 0;
    for (int i = 0; i < kCommands - refused; ++i) {
        const quint16 bit = quint16(1u << (16 - sent.at(i).relay));
        expected = sent.at(i).word == "TOGGLE" ? (expected ^ bit)
                   : sent.at(i).word == "ON"   ? (expected | bit)
                                               : (expected & ~bit);
    }
    // Done when the line has been quiet for a while (the poll is a minute away).
    qsizetype received = -1;
    QElapsedTimer quiet;
    QVERIFY(waitUntil(
        [&] {
            if (board->received().size() != received) {
                received = board->received().size();
                quiet.start();
            }
            return quiet.elapsed() > 1500;
        },
        60000));
    QCOMPARE(board->state(), expected);
    QVERIFY(m_probe->waitFor([&](const auto &m) { return statePublished(m, "com1", expected); },
                             kWait));
    QCOMPARE(m_probe->on(errors).size(), refused);
}

void TestDaemon::endingSignalDuringPulse_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGQUIT") << int(SIGQUIT);
    QTest::newRow("SIGUSR1") << int(SIGUSR1);
}

void TestDaemon::endingSignalDuringPulse()
{
    QFETCH(int, signal);
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = startServiceInPulse(board);
    QVERIFY(service);
    m_probe->clear();
    QCOMPARE(::kill(pid_t(service->process().processId()), signal), 0);
    QVERIFY(service->finish());
    QCOMPARE(service->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(service->process().exitCode(), 0);
    QCOMPARE(board->state(), quint16(0));
    QCOMPARE(switching(board), (QList<QByteArray>{"04+//", "04-//"}));
    QVERIFY(m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0); }, kWait));

    // What stays retained for anyone who looks later.
    MqttProbe later;
    QVERIFY(later.connectTo(m_broker->port()));
    QVERIFY(later.subscribe(QStringLiteral("usb16relay/#")));
    QVERIFY(later.waitFor(statusTopic(), "offline", kWait));
    QVERIFY(later.waitFor(QStringLiteral("usb16relay/com1/availability"), "offline", kWait));
    QVERIFY(later.waitFor(QStringLiteral("usb16relay/com1/relay/4"), "OFF", kWait));
    QVERIFY(service->log().contains("<6>stopped"));
}

void TestDaemon::killedServiceLeavesItsLastWill()
{
    QVERIFY(m_ports->add(1, 0));
    auto service = startService(writeConfig(standardBoard(1)));
    QVERIFY(service);
    QVERIFY(m_probe->waitFor(statusTopic(), "online", kWait));
    m_probe->clear();
    service->process().kill();
    QVERIFY(service->finish());
    // The broker notices the lost connection at once on loopback, or after the keep-alive.
    QVERIFY(m_probe->waitFor(statusTopic(), "offline", 60000));
    MqttProbe later;
    QVERIFY(later.connectTo(m_broker->port()));
    QVERIFY(later.subscribe(statusTopic()));
    QVERIFY(later.waitFor(statusTopic(), "offline", kWait));
}

void TestDaemon::passwordRefusedThenAccepted()
{
    const QString passwords = m_broker->filePath(QStringLiteral("passwords"));
    auto setPassword = [&](const QString &password) {
        return QProcess::execute(QStringLiteral("mosquitto_passwd"),
                                 {QStringLiteral("-c"), QStringLiteral("-b"), passwords,
                                  QStringLiteral("relays"), password}) == 0;
    };
    QVERIFY(setPassword(QStringLiteral("other")));
    m_probe.reset();
    QVERIFY2(m_broker->start("password_file " + passwords.toUtf8() + "\n"),
             qPrintable(m_broker->errorString()));

    const QString secret = m_dir.filePath(QStringLiteral("secret"));
    QFile file(secret);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("s3cret\n");
    file.close();
    QVERIFY(m_ports->add(1, 0));
    Service service({QStringLiteral("--config"),
                     writeConfig(standardBoard(1),
                                 "username = relays\npassword_file = " + secret.toUtf8() + "\n")});
    QVERIFY2(waitUntil([&] { return service.log().contains("refused"); }),
             service.log().constData());
    QVERIFY(service.log().contains("<3>MQTT broker " + m_broker->url().toUtf8()));
    QVERIFY(!service.log().contains("s3cret"));

    QVERIFY(setPassword(QStringLiteral("s3cret")));
    m_broker->reload();
    QVERIFY2(waitUntil([&] { return service.log().contains("<6>connected to MQTT broker"); },
                       kReconnectWait),
             service.log().constData());
    QCOMPARE(service.process().state(), QProcess::Running);
}

void TestDaemon::tls()
{
    const QString dir = m_dir.filePath(QStringLiteral("tls"));
    QVERIFY(QDir().mkpath(dir));
    auto openssl = [&dir](const QStringList &arguments) {
        QProcess process;
        process.setWorkingDirectory(dir);
        process.start(QStringLiteral("openssl"), arguments);
        return process.waitForFinished(kWait) && process.exitCode() == 0;
    };
    QFile extension(dir + QStringLiteral("/san"));
    QVERIFY(extension.open(QIODevice::WriteOnly));
    extension.write("subjectAltName=IP:127.0.0.1\n");
    extension.close();
    QVERIFY(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
                     "ca.crt", "-days", "2", "-subj", "/CN=usb16relay test CA"}));
    QVERIFY(openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out",
                     "server.csr", "-subj", "/CN=127.0.0.1"}));
    QVERIFY(openssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                     "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "san"}));

    m_probe.reset();
    const QByteArray files = dir.toUtf8();
    QVERIFY(m_broker->start("cafile " + files + "/ca.crt\ncertfile " + files +
                            "/server.crt\nkeyfile " + files + "/server.key\n"));
    m_probe = std::make_unique<MqttProbe>();
    QVERIFY(m_probe->connectTo(m_broker->port(), dir + QStringLiteral("/ca.crt")));
    QVERIFY(m_probe->subscribe(QStringLiteral("usb16relay/#")));

    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);

    // A broker whose certificate another CA signed is refused, said in the log, and retried.
    QVERIFY(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "other.key",
                     "-out", "other.crt", "-days", "2", "-subj", "/CN=another CA"}));
    {
        Service stranger({QStringLiteral("--config"),
                          writeConfig(standardBoard(1), "ca_file = " + files + "/other.crt\n"),
                          QStringLiteral("--mqtt"),
                          QStringLiteral("mqtts://127.0.0.1:%1").arg(m_broker->port())});
        QVERIFY2(waitUntil([&] { return stranger.log().contains("<4>MQTT broker mqtts://"); }),
                 stranger.log().constData());
        QVERIFY2(stranger.log().contains("TLS"), stranger.log().constData());
        QVERIFY(!stranger.log().contains("connected to MQTT broker"));
        QCOMPARE(stranger.process().state(), QProcess::Running);
        QVERIFY(stranger.stop());
        QCOMPARE(stranger.process().exitCode(), 0);
    }

    const QString config = writeConfig(standardBoard(1), "ca_file = " + files + "/ca.crt\n");
    Service service({QStringLiteral("--config"), config, QStringLiteral("--mqtt"),
                     QStringLiteral("mqtts://127.0.0.1:%1").arg(m_broker->port())});
    QVERIFY2(waitAvailability(QStringLiteral("com1"), "online"), service.log().constData());
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/9/set"), "ON"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x0080); }, kWait));
    QCOMPARE(board->state(), quint16(0x0080));
}

void TestDaemon::secondServiceOnSamePort()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto first = startService(writeConfig(standardBoard(1)));
    QVERIFY(first);
    Service second(
        {QStringLiteral("--config"), writeConfig(standardBoard(1), "base_topic = second\n")});
    QVERIFY2(waitUntil([&] { return second.log().contains("<4>board com1 (COM1) is offline"); }),
             second.log().constData());
    const QByteArray holder =
        "held by usb16relayd (pid " + QByteArray::number(first->process().processId()) + ")";
    QVERIFY2(second.log().contains(holder), second.log().constData());
    // The first keeps the board and serves it.
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/1/set"), "ON"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x8000); }, kWait));
    QCOMPARE(switching(board), QList<QByteArray>{"01+//"});
}

void TestDaemon::systemdNotifications()
{
    const QString path = m_dir.filePath(QStringLiteral("notify"));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    QVERIFY(fd >= 0);
    const auto closeSocket = qScopeGuard([fd] { ::close(fd); });
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    QVERIFY(size_t(name.size()) < sizeof address.sun_path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    QList<QByteArray> notes;
    auto read = [&] {
        char buffer[4096];
        ssize_t size = 0;
        while ((size = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            notes.append(QByteArray(buffer, size));
        return notes;
    };

    QVERIFY(m_ports->add(1, 0));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), path);
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
    Service service({QStringLiteral("--config"), writeConfig(standardBoard(1))}, environment);
    QVERIFY2(waitUntil([&] { return read().join().count("WATCHDOG=1") >= 3; }),
             service.log().constData());
    QVERIFY(notes.constFirst().startsWith("READY=1\nSTATUS="));
    QVERIFY(service.stop());
    QCOMPARE(service.process().exitCode(), 0);
    read();
    QVERIFY(notes.contains("STOPPING=1"));
}

void TestDaemon::badConfigStopsStart()
{
    const QString config = writeConfig(standardBoard(1, "relay17 = Pump\n"));
    Service service({QStringLiteral("--config"), config});
    QVERIFY(service.finish());
    QCOMPARE(service.process().exitCode(), 1);
    const QByteArray expected = "<3>" + QFile::encodeName(config) + ":";
    QVERIFY2(service.log().startsWith(expected), service.log().constData());
    QVERIFY(service.log().contains(": relay17: bad relay number"));
}

void TestDaemon::withoutConfig_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("board"); // empty: refused with exit status 1
    QTest::addColumn<QString>("error");

    QTest::newRow("lowest COM number") << QStringList{} << "com2"
                                       << "";
    QTest::newRow("--port") << QStringList{"--port", "3"} << "com3"
                            << "";
    QTest::newRow("--port with --id") << QStringList{"--port", "3", "--id", "rack-1"} << "rack-1"
                                      << "";
    QTest::newRow("--device with --id")
        << QStringList{"--device", "PORTDIR/COM3", "--id", "lab"} << "lab"
        << "";
    QTest::newRow("bad --id") << QStringList{"--port", "3", "--id", "Lab"} << ""
                              << "\"Lab\" is not a board id";
    QTest::newRow("--port 17") << QStringList{"--port", "17"} << ""
                               << "from 1 to 16";
    QTest::newRow("--port with --config") << QStringList{"--port", "3", "--config", "x.conf"} << ""
                                          << "--port serves a board without a config file";
    QTest::newRow("bad --mqtt") << QStringList{"--port", "3", "--mqtt", "tcp://h"} << ""
                                << "--mqtt: \"tcp://h\" is not mqtt://";
}

void TestDaemon::withoutConfig()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, board);
    QFETCH(QString, error);

    QVERIFY(m_ports->add(2, 0));
    QVERIFY(m_ports->add(3, 0));
    arguments.replaceInStrings(QStringLiteral("PORTDIR/COM3"), m_ports->pathOf(3));
    if (!arguments.contains(QStringLiteral("--mqtt")))
        arguments += {QStringLiteral("--mqtt"), m_broker->url()};
    Service service(arguments);
    if (board.isEmpty()) {
        QVERIFY(service.finish());
        QCOMPARE(service.process().exitCode(), 1);
        QVERIFY2(service.log().startsWith("<3>") && service.log().contains(error.toUtf8()),
                 service.log().constData());
        return;
    }
    QVERIFY2(waitAvailability(board, "online"), service.log().constData());
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/%1/relay/1/set").arg(board), "ON"));
    QVERIFY(
        m_probe->waitFor([&](const auto &m) { return statePublished(m, board, 0x8000); }, kWait));
}

void TestDaemon::reload()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    QVERIFY(m_ports->add(2, 0));
    const QString path = writeConfig(standardBoard(1) + standardBoard(2));
    auto service = startService(path, {QStringLiteral("com1"), QStringLiteral("com2")});
    QVERIFY(service);
    MqttProbe homeAssistant;
    QVERIFY(homeAssistant.connectTo(m_broker->port()));
    QVERIFY(homeAssistant.subscribe(QStringLiteral("homeassistant/switch/+/+/config")));
    QVERIFY(homeAssistant.waitUntil([&] { return homeAssistant.messages().size() >= 32; }, kWait));
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/4/pulse"), "60000"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x1000); }, kWait));

    // com2 goes; com1 names relay 5 and interlocks 1 and 2.
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[mqtt]\nurl = " + m_broker->url().toUtf8() + "\n" +
               standardBoard(1, "relay5 = Pump\ninterlock = 1,2\n"));
    file.close();
    homeAssistant.clear();
    QCOMPARE(::kill(pid_t(service->process().processId()), SIGHUP), 0);
    QVERIFY2(homeAssistant.waitFor(
                 [](const auto &m) {
                     return m.topic == u"homeassistant/switch/usb16relay_com2/relay16/config" &&
                            m.payload.isEmpty();
                 },
                 kWait),
             service->log().constData());
    QVERIFY(homeAssistant.waitFor(
        [](const auto &m) {
            return m.topic == u"homeassistant/switch/usb16relay_com1/relay5/config" &&
                   QJsonDocument::fromJson(m.payload).object().value("name").toString() == u"Pump";
        },
        kWait));
    QTRY_COMPARE_WITH_TIMEOUT(board->state(), quint16(0), kWait); // the pulse ended, switched back
    QVERIFY(waitAvailability(QStringLiteral("com1"), "online"));
    m_probe->clear();
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/mask/set"), "C000"));
    const auto error = waitError(QStringLiteral("com1"));
    QVERIFY(error);
    QCOMPARE(QJsonDocument::fromJson(error->payload).object().value("kind").toString(),
             QStringLiteral("interlock"));
    QVERIFY(service->stop());
    QCOMPARE(service->process().exitCode(), 0);
}

// A reload restarts only what it changes: com1 stays exactly as it was, its pulse running and
// its availability never "offline"; and a board removed while the broker is away, over two
// reloads, has its retained topics cleared once the broker is back.
void TestDaemon::reloadKeepsWhatDidNotChange()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    QVERIFY(m_ports->add(2, 0));
    const QString path = writeConfig(standardBoard(1) + standardBoard(2));
    auto service = startService(path, {QStringLiteral("com1"), QStringLiteral("com2")});
    QVERIFY(service);
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/4/pulse"), "60000"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x1000); }, kWait));
    const auto rewrite = [&](const QByteArray &boards) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[mqtt]\nurl = " + m_broker->url().toUtf8() + "\n" + boards);
    };
    rewrite(standardBoard(1) + standardBoard(2, "name = South\n"));
    m_probe->clear();
    QCOMPARE(::kill(pid_t(service->process().processId()), SIGHUP), 0);
    QVERIFY2(waitUntil([&] { return service->log().count("serving com1") >= 2; }),
             service->log().constData());
    QTest::qWait(1000);
    for (const auto &message : m_probe->messages()) {
        if (!message.topic.startsWith(u"usb16relay/com1/"))
            continue;
        QVERIFY2(message.payload != "offline" && !message.payload.isEmpty() &&
                     !message.payload.contains("\"online\":false"),
                 qPrintable(message.topic + u' ' + QString::fromUtf8(message.payload)));
    }
    QCOMPARE(board->state(), quint16(0x1000)); // the pulse runs on

    m_probe.reset();
    m_broker->kill();
    rewrite(standardBoard(1));
    QCOMPARE(::kill(pid_t(service->process().processId()), SIGHUP), 0);
    QVERIFY2(waitUntil([&] { return service->log().count("serving com1") >= 3; }),
             service->log().constData());
    QCOMPARE(::kill(pid_t(service->process().processId()), SIGHUP), 0);
    QVERIFY2(waitUntil([&] { return service->log().count("serving com1") >= 4; }),
             service->log().constData());
    QVERIFY(m_broker->restart());
    m_probe = std::make_unique<MqttProbe>();
    QVERIFY(m_probe->connectTo(m_broker->port()));
    QVERIFY(m_probe->subscribe(QStringLiteral("#")));
    QVERIFY2(m_probe->waitFor(QStringLiteral("usb16relay/com2/availability"), {}, kReconnectWait),
             service->log().constData());
    QVERIFY(m_probe->waitFor(QStringLiteral("homeassistant/switch/usb16relay_com2/relay16/config"),
                             {}, kWait));
}

// Killed outright, the board's power cut meanwhile: started again, the service brings back the
// state it had verified, from its state directory.
void TestDaemon::restoreAfterKill()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    const QString config =
        writeConfig(standardBoard(1, "on_connect = restore\n"),
                    "[service]\nstate_directory = " + m_dir.path().toUtf8() + "\n");
    auto service = startService(config);
    QVERIFY(service);
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/mask/set"), "8140"));
    QVERIFY(
        m_probe->waitFor([](const auto &m) { return statePublished(m, "com1", 0x8140); }, kWait));
    QTest::qWait(1500); // saved within a second of the change
    service->process().kill();
    QVERIFY(service->finish());
    board->setState(0);
    service = startService(config);
    QVERIFY(service);
    QTRY_COMPARE_WITH_TIMEOUT(board->state(), quint16(0x8140), kWait);
}

// Two services given one id would share a status topic: the second steps back before it
// publishes anything, and the first's status and boards are untouched.
void TestDaemon::twoServicesOneId()
{
    SimulatedBoard *first = m_ports->add(1, 0);
    QVERIFY(first && m_ports->add(2, 0));
    auto service = startService(writeConfig("[service]\nid = shed\n" + standardBoard(1)));
    QVERIFY(service);
    m_probe->clear();
    ServiceProcess second(
        {QStringLiteral("--config"), writeConfig("[service]\nid = shed\n" + standardBoard(2))});
    QVERIFY(second.finish());
    QCOMPARE(second.process().exitCode(), 1);
    QVERIFY2(second.log().contains("another usb16relayd with the service id \"shed\""),
             second.log().constData());
    for (const auto &message : m_probe->messages())
        QVERIFY2(!message.topic.startsWith(u"usb16relay/service/shed/status") &&
                     !message.topic.startsWith(u"usb16relay/com2/"),
                 qPrintable(message.topic + u' ' + QString::fromUtf8(message.payload)));
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/1/set"), "ON"));
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), quint16(0x8000), kWait);
    // Who switched it, in the log.
    QVERIFY2(waitUntil([&] {
                 return service->log().contains(
                     "com1: relay 1 on, by a message on usb16relay/com1/relay/1/set");
             }),
             service->log().constData());
}

void TestDaemon::twoServicesOneBoardId()
{
    SimulatedBoard *north = m_ports->add(1, 0);
    SimulatedBoard *south = m_ports->add(2, 0);
    QVERIFY(north && south);
    auto first = startService(writeConfig("[service]\nid = north\n" + standardBoard(1)));
    QVERIFY(first);
    ServiceProcess second(
        {QStringLiteral("--config"), writeConfig("[service]\nid = south\n[com1]\nport = 2\n")});
    // The service that comes second finds the first one's board and steps back.
    QVERIFY2(waitUntil([&] { return second.log().contains("publishes board com1"); }),
             second.log().constData());
    QVERIFY(m_probe->waitFor(QStringLiteral("usb16relay/com1/error"), {}, kWait));
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/1/set"), "ON"));
    QTRY_COMPARE_WITH_TIMEOUT(north->state(), quint16(0x8000), kWait);
    QTest::qWait(300);
    QCOMPARE(south->state(), quint16(0));
    // Each service has its own status: stopping one leaves the other's alone.
    QVERIFY(second.stop());
    QVERIFY(m_probe->waitFor(QStringLiteral("usb16relay/service/south/status"), "offline", kWait));
    QCOMPARE(m_probe->on(QStringLiteral("usb16relay/service/north/status")).constLast().payload,
             QByteArray("online"));
}

void TestDaemon::anotherServiceJudged_data()
{
    QTest::addColumn<QByteArray>("since"); // "own": the same start as this service's
    QTest::addColumn<QByteArray>("other");
    QTest::addColumn<bool>("keeps");
    QTest::newRow("running longer: steps back")
        << QByteArray("2000-01-01T00:00:00.000Z") << QByteArray("there") << false;
    QTest::newRow("newer: keeps the board")
        << QByteArray("2100-01-01T00:00:00.000Z") << QByteArray("there") << true;
    // A tie goes to the first id, whichever of the two judges it.
    QTest::newRow("same start, an id before its own: steps back")
        << QByteArray("own") << QByteArray("alpha") << false;
    QTest::newRow("same start, an id after its own: keeps the board")
        << QByteArray("own") << QByteArray("zulu") << true;
}

// Whichever of two services sees the other first, exactly one keeps the board.
void TestDaemon::anotherServiceJudged()
{
    QFETCH(QByteArray, since);
    QFETCH(QByteArray, other);
    QFETCH(bool, keeps);
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = startService(writeConfig("[service]\nid = here\n" + standardBoard(1)));
    QVERIFY(service);
    if (since == "own") {
        const auto own = m_probe->waitFor(
            [](const auto &m) {
                return m.topic == u"usb16relay/com1/state" && m.payload.contains("\"here\"");
            },
            kWait);
        QVERIFY(own);
        since = QJsonDocument::fromJson(own->payload)
                    .object()
                    .value(u"service_since")
                    .toString()
                    .toUtf8();
        m_probe->clear();
    }
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/state"),
                             R"({"service":")" + other +
                                 R"(","online":true,"mask":"0000","service_since":")" + since +
                                 "\"}"));
    if (keeps)
        QVERIFY(m_probe->waitFor(
            [](const auto &m) {
                return m.topic == u"usb16relay/com1/state" &&
                       QJsonDocument::fromJson(m.payload).object().value(u"service") ==
                           QLatin1String("here");
            },
            kWait));
    else
        QVERIFY(m_probe->waitFor(
            [](const auto &m) {
                return m.topic == u"usb16relay/com1/error" && m.payload.contains("conflict");
            },
            kWait));
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/1/set"), "ON"));
    if (keeps)
        QTRY_COMPARE_WITH_TIMEOUT(board->state(), quint16(0x8000), kWait);
    QTest::qWait(300);
    QCOMPARE(board->state(), quint16(keeps ? 0x8000 : 0));
}

void TestDaemon::errorsDuringOutage()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    auto service = startServiceInPulse(board);
    QVERIFY(service);
    // The pulse now ends in a second and a half, while the board and the broker are away: its
    // end is owed, an error while nobody listens.
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/4/pulse"), "1500"));
    QTest::qWait(300);
    m_probe.reset();
    m_broker->kill();
    board->vanish();
    QVERIFY(waitUntil([&] { return service->log().contains("could not be switched back"); }));
    QVERIFY(m_broker->restart());
    m_probe = std::make_unique<MqttProbe>();
    QVERIFY(m_probe->connectTo(m_broker->port()));
    QVERIFY(m_probe->subscribe(QStringLiteral("usb16relay/#")));
    const auto error = waitError(QStringLiteral("com1"), kReconnectWait);
    QVERIFY2(error, service->log().constData());
    const QJsonObject event = QJsonDocument::fromJson(error->payload).object();
    QVERIFY(event.value("error").toString().contains("end of its pulse"));
    QVERIFY(!event.value("time").toString().isEmpty());
}

void TestDaemon::staleRetainedStates()
{
    // An earlier run left relay 1 on, retained; this run's board does not answer.
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/relay/1"), "ON", true));
    QVERIFY(m_probe->publish(QStringLiteral("usb16relay/com1/state"),
                             R"({"mask":"8000","online":true})", true));
    auto service = startService(writeConfig(standardBoard(1)), {});
    QVERIFY(waitAvailability(QStringLiteral("com1"), "offline"));
    QVERIFY(m_probe->waitFor(
        [](const auto &m) {
            const QJsonObject state = QJsonDocument::fromJson(m.payload).object();
            return m.topic == u"usb16relay/com1/state" && state.value("online") == false &&
                   !state.contains("mask") && state.value("read_at").isNull();
        },
        kWait));
    MqttProbe later;
    QVERIFY(later.connectTo(m_broker->port()));
    QVERIFY(later.subscribe(QStringLiteral("usb16relay/com1/relay/+")));
    QTest::qWait(300);
    QVERIFY(later.messages().isEmpty());
}

void TestDaemon::slowNameServer()
{
    QVERIFY(m_ports->add(1, 0));
    const QString path = m_dir.filePath(QStringLiteral("slow.conf"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[mqtt]\nurl = mqtt://localhost:" + QByteArray::number(m_broker->port()) + "\n" +
               standardBoard(1));
    file.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SLOW_RESOLVER_PATH));
    environment.insert(QStringLiteral("SLOW_RESOLVER_SECONDS"), QStringLiteral("20"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS")) +
                           QStringLiteral(":verify_asan_link_order=0"));
    Service service({QStringLiteral("--config"), path}, environment);
    // The board is served while the broker's name is still being looked up, and SIGTERM is
    // answered without waiting for the look-up.
    QVERIFY2(waitUntil([&] { return service.log().contains("answers: online"); }, 3 * kWait),
             service.log().constData());
    QVERIFY(!service.log().contains("slow resolver: answered"));
    QVERIFY(service.stop());
    QVERIFY2(!service.log().contains("slow resolver: answered"), service.log().constData());
    QCOMPARE(service.process().exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestDaemon)
#include "tst_daemon.moc"
