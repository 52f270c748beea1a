#include "relaymask.h"
#include "relayprotocol.h"

#include <QtTest>

class TestRelayProtocol : public QObject
{
    Q_OBJECT

private slots:
    void switchCommand_data();
    void switchCommand();
    void switchCommandOutsideRange();
    void fixedCommands_data();
    void fixedCommands();
    void decodeStatus_data();
    void decodeStatus();
    void decodeEveryBit();
    void shortReplyHasNoResult_data();
    void shortReplyHasNoResult();
    void maskRoundTrip();
    void commandsToReach_data();
    void commandsToReach();
    void relayNumberText_data();
    void relayNumberText();
    void maskText_data();
    void maskText();
};

void TestRelayProtocol::switchCommand_data()
{
    QTest::addColumn<int>("relay");
    QTest::addColumn<bool>("on");
    QTest::addColumn<QByteArray>("expected");
    for (int relay = 1; relay <= 16; ++relay) {
        const QByteArray digits =
            relay < 10 ? "0" + QByteArray::number(relay) : QByteArray::number(relay);
        QTest::addRow("relay %d on", relay) << relay << true << digits + "+//";
        QTest::addRow("relay %d off", relay) << relay << false << digits + "-//";
    }
}

void TestRelayProtocol::switchCommand()
{
    QFETCH(int, relay);
    QFETCH(bool, on);
    QFETCH(QByteArray, expected);
    QCOMPARE(RelayProtocol::switchCommand(relay, on), expected);
}

void TestRelayProtocol::switchCommandOutsideRange()
{
    for (int relay : {-1, 0, 17, 100})
        QVERIFY2(RelayProtocol::switchCommand(relay, true).isEmpty(),
                 qPrintable(QString::number(relay)));
}

void TestRelayProtocol::fixedCommands_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("all on") << RelayProtocol::allOnCommand() << QByteArray("on//");
    QTest::newRow("all off") << RelayProtocol::allOffCommand() << QByteArray("off//");
    QTest::newRow("ask") << RelayProtocol::askCommand() << QByteArray("ask//");
    QTest::newRow("sequence") << RelayProtocol::sequenceCommand()
                              << QByteArray::fromHex("781a052f2f");
    QTest::newRow("free text") << RelayProtocol::freeCommand("ask//") << QByteArray("ask//\r");
    QTest::newRow("empty free text") << RelayProtocol::freeCommand({}) << QByteArray("\r");
    QTest::newRow("free text with NUL and high bytes")
        << RelayProtocol::freeCommand(QByteArray("a\0\xff", 3)) << QByteArray("a\0\xff\r", 4);
}

void TestRelayProtocol::fixedCommands()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, expected);
    QCOMPARE(command, expected);
}

void TestRelayProtocol::decodeStatus_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QList<int>>("relaysOn");
    QTest::newRow("81 40: relays 1, 8, 10") << QByteArray::fromHex("8140") << QList<int>{1, 8, 10};
    QTest::newRow("00 00: all off") << QByteArray::fromHex("0000") << QList<int>{};
    QTest::newRow("ff ff: all on")
        << QByteArray::fromHex("ffff")
        << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    QTest::newRow("01 80: relays 8 and 9") << QByteArray::fromHex("0180") << QList<int>{8, 9};
    QTest::newRow("80 00: relay 1") << QByteArray::fromHex("8000") << QList<int>{1};
    QTest::newRow("00 01: relay 16") << QByteArray::fromHex("0001") << QList<int>{16};
    QTest::newRow("03 c0 + more: first two bytes only")
        << QByteArray::fromHex("03c0ffff0d0a") << QList<int>{7, 8, 9, 10};
    QTest::newRow("zero first byte is data") << QByteArray::fromHex("0002") << QList<int>{15};
}

void TestRelayProtocol::decodeStatus()
{
    QFETCH(QByteArray, reply);
    QFETCH(QList<int>, relaysOn);
    const std::optional<RelayState> state = RelayProtocol::decodeStatus(reply);
    QVERIFY(state.has_value());
    for (int relay = 1; relay <= 16; ++relay)
        QVERIFY2(state->at(relay - 1) == relaysOn.contains(relay),
                 qPrintable(QStringLiteral("relay %1").arg(relay)));
}

void TestRelayProtocol::decodeEveryBit()
{
    // Every single-bit reply lights exactly one relay, walking from relay 1 (MSB of byte 1)
    // to relay 16 (LSB of byte 2).
    for (int relay = 1; relay <= 16; ++relay) {
        const unsigned bits = 0x8000u >> (relay - 1);
        QByteArray reply;
        reply.append(char(bits >> 8));
        reply.append(char(bits & 0xff));
        const std::optional<RelayState> state = RelayProtocol::decodeStatus(reply);
        QVERIFY(state.has_value());
        for (int i = 0; i < 16; ++i)
            QCOMPARE(state->at(i), i == relay - 1);
    }
}

void TestRelayProtocol::shortReplyHasNoResult_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("one byte") << QByteArray::fromHex("81");
    QTest::newRow("one zero byte") << QByteArray(1, '\0');
}

void TestRelayProtocol::shortReplyHasNoResult()
{
    QFETCH(QByteArray, reply);
    QVERIFY(!RelayProtocol::decodeStatus(reply).has_value());
}

void TestRelayProtocol::maskRoundTrip()
{
    for (const quint16 mask : {0x0000, 0x8000, 0x0001, 0x8140, 0xFFFF}) {
        QCOMPARE(RelayProtocol::toMask(RelayProtocol::fromMask(mask)), mask);
        QByteArray reply;
        reply.append(char(mask >> 8));
        reply.append(char(mask & 0xff));
        QCOMPARE(RelayProtocol::toMask(*RelayProtocol::decodeStatus(reply)), mask);
    }
}

void TestRelayProtocol::commandsToReach_data()
{
    QTest::addColumn<quint16>("from");
    QTest::addColumn<quint16>("to");
    QTest::addColumn<QList<QByteArray>>("commands");
    QTest::newRow("equal") << quint16(0x8140) << quint16(0x8140) << QList<QByteArray>{};
    QTest::newRow("one on") << quint16(0x8140) << quint16(0x8141) << QList<QByteArray>{"16+//"};
    QTest::newRow("on and off, relay order")
        << quint16(0x8140) << quint16(0x4141) << QList<QByteArray>{"01-//", "02+//", "16+//"};
    QTest::newRow("all on from several off")
        << quint16(0x8140) << quint16(0xFFFF) << QList<QByteArray>{"on//"};
    QTest::newRow("all on from one off")
        << quint16(0xFFFE) << quint16(0xFFFF) << QList<QByteArray>{"16+//"};
    QTest::newRow("all off from several on")
        << quint16(0x8140) << quint16(0x0000) << QList<QByteArray>{"off//"};
    QTest::newRow("all off from one on")
        << quint16(0x0100) << quint16(0x0000) << QList<QByteArray>{"08-//"};
}

void TestRelayProtocol::commandsToReach()
{
    QFETCH(quint16, from);
    QFETCH(quint16, to);
    QFETCH(QList<QByteArray>, commands);
    QCOMPARE(
        RelayProtocol::commandsToReach(RelayProtocol::fromMask(from), RelayProtocol::fromMask(to)),
        commands);
}

void TestRelayProtocol::relayNumberText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("relay"); // 0: refused
    QTest::newRow("first") << "1" << 1;
    QTest::newRow("last") << "16" << 16;
    QTest::newRow("wire form") << "05" << 5;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("seventeen") << "17" << 0;
    QTest::newRow("three digits") << "016" << 0;
    QTest::newRow("sign") << "+5" << 0;
    QTest::newRow("space") << " 5" << 0;
    QTest::newRow("final newline") << "5\n" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("arabic-indic digit") << QString(QChar(0x0665)) << 0;
}

void TestRelayProtocol::relayNumberText()
{
    QFETCH(QString, text);
    QFETCH(int, relay);
    QCOMPARE(parseRelayNumber(text).value_or(0), relay);
}

void TestRelayProtocol::maskText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QList<int>>("relays");
    QTest::newRow("relays 1, 8, 10") << "8140" << true << QList<int>{1, 8, 10};
    QTest::newRow("lower case") << "000f" << true << QList<int>{13, 14, 15, 16};
    QTest::newRow("none") << "0000" << true << QList<int>{};
    QTest::newRow("three digits") << "840" << false << QList<int>{};
    QTest::newRow("final newline") << "8140\n" << false << QList<int>{};
    QTest::newRow("not hex") << "81G0" << false << QList<int>{};
}

void TestRelayProtocol::maskText()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QList<int>, relays);
    const std::optional<RelayMask> mask = RelayMask::fromHex(text);
    QCOMPARE(mask.has_value(), valid);
    if (!valid)
        return;
    QCOMPARE(mask->relays(), relays);
    QCOMPARE(mask->toHex(), text.toUpper());
    QCOMPARE(RelayMask::fromRelays(relays), mask);
    for (int relay = 1; relay <= 16; ++relay)
        QCOMPARE(mask->isOn(relay), relays.contains(relay));
}

QTEST_GUILESS_MAIN(TestRelayProtocol)
#include "tst_relayprotocol.moc"
