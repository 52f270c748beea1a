// The MQTT front's payloads, without a broker: Home Assistant discovery, the state, and every
// kind of command a topic can carry, malformed ones included.
#include "mqttprotocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace std::chrono_literals;

class TestMqttProtocol final : public QObject
{
    Q_OBJECT

private slots:
    void discovery();
    void state_data();
    void state();
    void commands_data();
    void commands();
    void foreignTopics_data();
    void foreignTopics();
};

void TestMqttProtocol::discovery()
{
    BrokerConfig broker;
    broker.serviceId = QStringLiteral("pantry");
    BoardConfig board;
    board.id = QStringLiteral("com1");
    board.name = QStringLiteral("Greenhouse");
    board.port = 1;
    board.relayNames[4] = QStringLiteral("Pump");

    QCOMPARE(MqttProtocol::discoveryTopic(broker, board, 5),
             QStringLiteral("homeassistant/switch/usb16relay_com1/relay5/config"));
    QJsonParseError parseError;
    const QJsonObject config =
        QJsonDocument::fromJson(MqttProtocol::discoveryPayload(broker, board, 5, "1.0"),
                                &parseError)
            .object();
    QCOMPARE(parseError.error, QJsonParseError::NoError);
    QCOMPARE(config.value("name").toString(), QStringLiteral("Pump"));
    QCOMPARE(config.value("unique_id").toString(), QStringLiteral("usb16relay_com1_relay5"));
    QCOMPARE(config.value("state_topic").toString(), QStringLiteral("usb16relay/com1/relay/5"));
    QCOMPARE(config.value("command_topic").toString(),
             QStringLiteral("usb16relay/com1/relay/5/set"));
    QCOMPARE(config.value("payload_on").toString(), QStringLiteral("ON"));
    QCOMPARE(config.value("payload_off").toString(), QStringLiteral("OFF"));
    QCOMPARE(config.value("availability_mode").toString(), QStringLiteral("all"));
    QCOMPARE(config.value("retain"), QJsonValue(false));
    QCOMPARE(config.value("qos").toInt(-1), 1);
    const QJsonArray availability = config.value("availability").toArray();
    QCOMPARE(availability.size(), 2);
    QCOMPARE(availability.at(0).toObject().value("topic").toString(),
             QStringLiteral("usb16relay/service/pantry/status"));
    QCOMPARE(availability.at(1).toObject().value("topic").toString(),
             QStringLiteral("usb16relay/com1/availability"));
    const QJsonObject device = config.value("device").toObject();
    QCOMPARE(device.value("identifiers").toArray(), QJsonArray{"usb16relay_com1"});
    QCOMPARE(device.value("name").toString(), QStringLiteral("Greenhouse"));
    QCOMPARE(device.value("sw_version").toString(), QStringLiteral("1.0"));
    QVERIFY(!device.value("model").toString().isEmpty());
    QCOMPARE(device.value("manufacturer").toString(), QStringLiteral("usb16relay"));
    QCOMPARE(config.value("origin").toObject().value("name").toString(),
             QStringLiteral("usb16relayd"));

    // An unnamed relay, another base topic: names follow, ids stay (the entities a user has
    // keep theirs); a service named in the file keeps its boards apart from another's.
    broker.baseTopic = QStringLiteral("house/relays");
    broker.discoveryPrefix = QStringLiteral("ha");
    const QJsonObject other =
        QJsonDocument::fromJson(MqttProtocol::discoveryPayload(broker, board, 16, "1.0")).object();
    QCOMPARE(other.value("name").toString(), QStringLiteral("Relay 16"));
    QCOMPARE(other.value("unique_id").toString(), QStringLiteral("usb16relay_com1_relay16"));
    QCOMPARE(other.value("command_topic").toString(),
             QStringLiteral("house/relays/com1/relay/16/set"));
    QCOMPARE(MqttProtocol::discoveryTopic(broker, board, 16),
             QStringLiteral("ha/switch/usb16relay_com1/relay16/config"));
    broker.serviceIdGiven = true;
    QCOMPARE(MqttProtocol::nodeId(broker, board.id), QStringLiteral("usb16relay_pantry_com1"));
}

void TestMqttProtocol::state_data()
{
    QTest::addColumn<quint16>("mask");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("on");

    QTest::newRow("none") << quint16(0) << "0000" << QList<int>{};
    QTest::newRow("1, 8, 10") << quint16(0x8140) << "8140" << QList<int>{1, 8, 10};
    QTest::newRow("16") << quint16(0x0001) << "0001" << QList<int>{16};
    QTest::newRow("all") << quint16(0xFFFF) << "FFFF"
                         << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
}

void TestMqttProtocol::state()
{
    QFETCH(quint16, mask);
    QFETCH(QString, text);
    QFETCH(QList<int>, on);
    const QDateTime at = QDateTime::currentDateTimeUtc();
    BoardConfig board;
    board.relayNames[4] = QStringLiteral("Pump");
    const QJsonObject state =
        QJsonDocument::fromJson(
            MqttProtocol::statePayload({mask, true, at, "pantry", at, board.relayNameList()}))
            .object();
    QCOMPARE(state.value("online"), QJsonValue(true));
    QCOMPARE(state.value("read_at").toString(), at.toString(Qt::ISODateWithMs));
    QCOMPARE(state.value("service").toString(), QStringLiteral("pantry"));
    QCOMPARE(state.value("service_since").toString(), at.toString(Qt::ISODateWithMs));
    QCOMPARE(state.value("mask").toString(), text);
    const QJsonArray relays = state.value("relays").toArray();
    QCOMPARE(relays.size(), 16);
    for (int relay = 1; relay <= 16; ++relay)
        QCOMPARE(relays.at(relay - 1).toBool(), on.contains(relay));
    QCOMPARE(state.value("names").toArray().size(), 16);
    QCOMPARE(state.value("names").toArray().at(4).toString(), QStringLiteral("Pump"));
    QCOMPARE(state.value("names").toArray().at(15).toString(), QStringLiteral("Relay 16"));
    QVERIFY(!QJsonDocument::fromJson(MqttProtocol::statePayload({})).object().contains("names"));
}

void TestMqttProtocol::commands_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("relay");
    QTest::addColumn<bool>("on");
    QTest::addColumn<int>("mask");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QString>("why");

    using Kind = BoardRequest::Kind;
    const QString set5 = QStringLiteral("usb16relay/com1/relay/5/set");
    const QString pulse3 = QStringLiteral("usb16relay/com1/relay/3/pulse");
    const QString mask = QStringLiteral("usb16relay/com1/mask/set");

    QTest::newRow("ON") << set5 << QByteArray("ON") << true << int(Kind::Switch) << 5 << true << 0
                        << 0ll << "";
    QTest::newRow("off") << set5 << QByteArray("off") << true << int(Kind::Switch) << 5 << false
                         << 0 << 0ll << "";
    QTest::newRow("Toggle") << set5 << QByteArray("Toggle") << true << int(Kind::Toggle) << 5
                            << false << 0 << 0ll << "";
    QTest::newRow("ON with newline")
        << set5 << QByteArray("ON\n") << true << int(Kind::Switch) << 5 << true << 0 << 0ll << "";
    QTest::newRow("relay 16") << "usb16relay/com1/relay/16/set" << QByteArray("on") << true
                              << int(Kind::Switch) << 16 << true << 0 << 0ll << "";
    QTest::newRow("unknown word") << set5 << QByteArray("OPEN") << false << 0 << 0 << false << 0
                                  << 0ll << "ON, OFF or TOGGLE";
    QTest::newRow("empty") << set5 << QByteArray() << false << 0 << 0 << false << 0 << 0ll
                           << "ON, OFF or TOGGLE";
    QTest::newRow("relay 0") << "usb16relay/com1/relay/0/set" << QByteArray("ON") << false << 0 << 0
                             << false << 0 << 0ll << "relays are 1 to 16";
    QTest::newRow("relay 17") << "usb16relay/com1/relay/17/set" << QByteArray("ON") << false << 0
                              << 0 << false << 0 << 0ll << "relays are 1 to 16";
    // A relay number is one or two digits in every front: "05" is relay 5 here as in the
    // configuration, the HTTP API and usb16relay-ctl.
    QTest::newRow("relay 05") << "usb16relay/com1/relay/05/set" << QByteArray("ON") << true
                              << int(Kind::Switch) << 5 << true << 0 << 0ll << "";
    QTest::newRow("relay 005") << "usb16relay/com1/relay/005/set" << QByteArray("ON") << false << 0
                               << 0 << false << 0 << 0ll << "relays are 1 to 16";
    QTest::newRow("oversized") << set5 << QByteArray(257, 'O') << false << 0 << 0 << false << 0
                               << 0ll << "257 bytes";
    QTest::newRow("pulse 1") << pulse3 << QByteArray("1") << true << int(Kind::Pulse) << 3 << false
                             << 0 << 1ll << "";
    QTest::newRow("pulse a day") << pulse3 << QByteArray("86400000") << true << int(Kind::Pulse)
                                 << 3 << false << 0 << 86400000ll << "";
    QTest::newRow("pulse 0") << pulse3 << QByteArray("0") << false << 0 << 0 << false << 0 << 0ll
                             << "from 1 to 86400000";
    QTest::newRow("pulse over a day") << pulse3 << QByteArray("86400001") << false << 0 << 0
                                      << false << 0 << 0ll << "from 1 to 86400000";
    QTest::newRow("pulse negative") << pulse3 << QByteArray("-5") << false << 0 << 0 << false << 0
                                    << 0ll << "from 1 to 86400000";
    QTest::newRow("pulse fraction") << pulse3 << QByteArray("1.5") << false << 0 << 0 << false << 0
                                    << 0ll << "from 1 to 86400000";
    QTest::newRow("mask") << mask << QByteArray("8140") << true << int(Kind::Mask) << 0 << false
                          << 0x8140 << 0ll << "";
    QTest::newRow("mask lower case") << mask << QByteArray("ffff") << true << int(Kind::Mask) << 0
                                     << false << 0xFFFF << 0ll << "";
    QTest::newRow("mask three digits")
        << mask << QByteArray("814") << false << 0 << 0 << false << 0 << 0ll << "four hex digits";
    QTest::newRow("mask five digits")
        << mask << QByteArray("81400") << false << 0 << 0 << false << 0 << 0ll << "four hex digits";
    QTest::newRow("mask not hex") << mask << QByteArray("81G0") << false << 0 << 0 << false << 0
                                  << 0ll << "four hex digits";
}

void TestMqttProtocol::commands()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, valid);

    const MqttProtocol::Command command =
        MqttProtocol::parseCommand(QStringLiteral("usb16relay"), topic, payload);
    QCOMPARE(command.board, QStringLiteral("com1"));
    QCOMPARE(command.request.has_value(), valid);
    if (!valid) {
        QFETCH(QString, why);
        QVERIFY2(command.error.contains(why), qPrintable(command.error));
        QVERIFY(command.error.contains(QStringLiteral("nothing was switched")));
        return;
    }
    QFETCH(int, kind);
    QFETCH(int, relay);
    QFETCH(bool, on);
    QFETCH(int, mask);
    QFETCH(qint64, length);
    QCOMPARE(int(command.request->kind), kind);
    QCOMPARE(command.request->relay, relay);
    QCOMPARE(command.request->on, on);
    QCOMPARE(int(command.request->mask), mask);
    QCOMPARE(command.request->length.count(), length);
}

void TestMqttProtocol::foreignTopics_data()
{
    QTest::addColumn<QString>("topic");
    QTest::newRow("other base") << "other/com1/relay/5/set";
    QTest::newRow("state topic") << "usb16relay/com1/relay/5";
    QTest::newRow("no board") << "usb16relay/relay/5/set";
    QTest::newRow("unknown verb") << "usb16relay/com1/relay/5/blink";
}

void TestMqttProtocol::foreignTopics()
{
    QFETCH(QString, topic);
    const MqttProtocol::Command command =
        MqttProtocol::parseCommand(QStringLiteral("usb16relay"), topic, "ON");
    QVERIFY(command.board.isEmpty());
    QVERIFY(!command.request);
}

QTEST_GUILESS_MAIN(TestMqttProtocol)
#include "tst_mqttprotocol.moc"
