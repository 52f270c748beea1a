// The service's boards in-process: BoardHub and Board against simulated boards on ptys, without
// a broker or a front. What keeps relays safe is checked here, on every path that switches one.
#include "board.h"
#include "boardhub.h"
#include "boardports.h"
#include "relaymask.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int kWait = 10000;

using Answer = std::shared_ptr<std::optional<BoardResult>>;

// Submits and hands back where the answer lands, on the test's thread.
Answer submit(BoardHub &hub, const QString &board, BoardRequest request)
{
    auto answer = std::make_shared<std::optional<BoardResult>>();
    request.reply = [answer](const BoardResult &result) {
        QMetaObject::invokeMethod(qApp, [answer, result] { *answer = result; });
    };
    hub.submit(board, std::move(request));
    return answer;
}

QString ask(BoardHub &hub, BoardRequest request)
{
    const Answer answer = submit(hub, QStringLiteral("com1"), std::move(request));
    if (!QTest::qWaitFor([&] { return answer->has_value(); }, kWait))
        return QStringLiteral("no answer");
    return BoardResult::kindName((*answer)->error);
}

// Board com1 on COM1, read every 100 ms.
BoardConfig comOne(OnConnect onConnect = OnConnect::Keep, const QList<QList<int>> &interlocks = {})
{
    BoardConfig config;
    config.id = QStringLiteral("com1");
    config.port = 1;
    config.pollInterval = 100ms;
    config.onConnect = onConnect;
    config.interlocks = interlocks;
    return config;
}

} // namespace

class TestBoard final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void interlocks_data();
    void interlocks();
    void refusals();
    void pulseEnds_data();
    void pulseEnds();
    void switchedByItself_data();
    void switchedByItself();
    void savedState_data();
    void savedState();
    void whoSwitched_data();
    void whoSwitched();

private:
    bool startHub(const BoardConfig &config);
    bool waitOnline(bool online);

    std::unique_ptr<BoardPorts> m_ports;
    std::unique_ptr<BoardHub> m_hub;
    std::optional<bool> m_online;
    QStringList m_problems;
    QStringList m_warnings;
};

void TestBoard::init()
{
    m_ports = std::make_unique<BoardPorts>();
    QVERIFY(m_ports->isValid());
    m_online.reset();
    m_problems.clear();
    m_warnings.clear();
}

void TestBoard::cleanup()
{
    m_hub.reset();
    m_ports.reset();
}

bool TestBoard::startHub(const BoardConfig &config)
{
    m_hub = std::make_unique<BoardHub>();
    m_hub->load({config});
    Board *board = m_hub->boards().constFirst();
    connect(board, &Board::availabilityChanged, this,
            [this](bool online, const QString &) { m_online = online; });
    connect(board, &Board::problem, this,
            [this](const BoardResult &result) { m_problems += result.message; });
    connect(board, &Board::warning, this, [this](const QString &text) { m_warnings += text; });
    m_hub->start();
    return waitOnline(true);
}

bool TestBoard::waitOnline(bool online)
{
    return QTest::qWaitFor([&] { return m_online == online; }, 2 * kWait);
}

void TestBoard::interlocks_data()
{
    QTest::addColumn<quint16>("before");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<quint16>("after");

    // Relays 1 and 2 are interlocked; relay 8 is free. "restore" unplugs the board while it
    // holds `before` and plugs it back with everything off; "unplug in pulse" pulses relay
    // `value` for 8 s and unplugs it half a second in.
    QTest::newRow("switch on the partner")
        << quint16(0x8000) << "switch" << 2 << "none" << quint16(0x4000);
    QTest::newRow("toggle the partner")
        << quint16(0x8000) << "toggle" << 2 << "none" << quint16(0x4000);
    QTest::newRow("pulse the partner")
        << quint16(0x8000) << "pulse" << 2 << "none" << quint16(0x0000);
    QTest::newRow("mask with both") << quint16(0) << "mask" << 0xC000 << "interlock" << quint16(0);
    QTest::newRow("several on, both of the group")
        << quint16(0) << "some on" << 0xC100 << "interlock" << quint16(0);
    QTest::newRow("several on, one of the group and a free one")
        << quint16(0x4000) << "some on" << 0x8100 << "none" << quint16(0x8100);
    QTest::newRow("several toggled, both of the group on")
        << quint16(0) << "some toggle" << 0xC000 << "interlock" << quint16(0);
    QTest::newRow("several toggled, one off and its partner on")
        << quint16(0x8000) << "some toggle" << 0xC000 << "none" << quint16(0x4000);
    QTest::newRow("all on") << quint16(0x0100) << "mask" << 0xFFFF << "interlock"
                            << quint16(0x0100);
    QTest::newRow("restore both on by hand")
        << quint16(0xC100) << "restore" << 0 << "interlock" << quint16(0x0100);
    QTest::newRow("restore one of the group")
        << quint16(0x8100) << "restore" << 0 << "none" << quint16(0x8100);
    QTest::newRow("unplug in pulse")
        << quint16(0x0100) << "unplug in pulse" << 9 << "none" << quint16(0x0100);
}

void TestBoard::interlocks()
{
    QFETCH(quint16, before);
    QFETCH(QString, path);
    QFETCH(int, value);
    QFETCH(QString, kind);
    QFETCH(quint16, after);

    SimulatedBoard *board = m_ports->add(1, before);
    QVERIFY(board);
    BoardConfig config = comOne(OnConnect::Restore, {{1, 2}});
    QVERIFY(startHub(config));

    bool bothOn = false;
    connect(board, &SimulatedBoard::stateChanged, this,
            [&bothOn](quint16 state) { bothOn |= (state & 0xC000) == 0xC000; });
    const auto replug = [&] {
        board->vanish();
        QVERIFY(waitOnline(false));
        board->setState(0);
        QVERIFY(board->start(m_ports->pathOf(1)));
        QVERIFY(waitOnline(true));
    };
    if (path == u"switch") {
        QCOMPARE(ask(*m_hub, BoardRequest::switchRelay(value, true)), kind);
    } else if (path == u"toggle") {
        QCOMPARE(ask(*m_hub, BoardRequest::toggle(value)), kind);
    } else if (path == u"pulse") {
        QCOMPARE(ask(*m_hub, BoardRequest::pulse(value, 200ms)), kind);
        QTest::qWait(600);
    } else if (path == u"mask") {
        QCOMPARE(ask(*m_hub, BoardRequest::setMask(quint16(value))), kind);
    } else if (path == u"some on") {
        QCOMPARE(ask(*m_hub, BoardRequest::switchRelays(quint16(value), true)), kind);
    } else if (path == u"some toggle") {
        QCOMPARE(ask(*m_hub, BoardRequest::toggleRelays(quint16(value))), kind);
    } else if (path == u"restore") {
        replug();
        QCOMPARE(m_problems.isEmpty() ? QStringLiteral("none") : QStringLiteral("interlock"), kind);
    } else {
        QCOMPARE(ask(*m_hub, BoardRequest::pulse(value, 8s)), kind);
        QTest::qWait(500);
        replug();
    }
    QTRY_COMPARE_WITH_TIMEOUT(board->state(), after, kWait);
    QTest::qWait(300); // nothing switches by itself afterwards
    QCOMPARE(board->state(), after);
    QVERIFY(!bothOn);
}

void TestBoard::refusals()
{
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    BoardConfig config = comOne();
    QVERIFY(startHub(config));

    // The board falls silent once the command is in: the answer says it may have switched.
    const auto silence =
        connect(board, &SimulatedBoard::commandReceived, this, [board](const QByteArray &command) {
            if (command == "05+//")
                board->setFaultMode(FaultMode::Silent);
        });
    const Answer sent = submit(*m_hub, QStringLiteral("com1"), BoardRequest::switchRelay(5, true));
    QTRY_VERIFY_WITH_TIMEOUT(sent->has_value(), kWait);
    QVERIFY2((*sent)->message.contains("may have switched"), qPrintable((*sent)->message));
    disconnect(silence);
    board->setFaultMode(FaultMode::None);

    const Answer unknown = submit(*m_hub, QStringLiteral("com9"), BoardRequest::toggle(1));
    QTRY_VERIFY(unknown->has_value());
    QCOMPARE((*unknown)->error, BoardResult::Error::UnknownBoard);

    // A slow board, more requests than the queue holds, then a stop: the last ones are refused
    // as queue-full, and those still waiting at the stop are answered as stopping.
    board->setReplyDelay(200ms);
    QList<Answer> answers;
    for (qsizetype i = 0; i < Board::kQueueLimit + 8; ++i)
        answers += submit(*m_hub, QStringLiteral("com1"), BoardRequest::toggle(1));
    QTRY_VERIFY((answers.constLast()->has_value()));
    QCOMPARE((*answers.constLast())->error, BoardResult::Error::QueueFull);
    QVERIFY(m_hub->stop(std::chrono::milliseconds(kWait)));
    QTRY_VERIFY(std::all_of(answers.begin(), answers.end(),
                            [](const Answer &a) { return a->has_value(); }));
    QCOMPARE((*answers.at(answers.size() / 2))->error, BoardResult::Error::Stopping);

    // A board that hangs while stopping: the bound holds, and the stop says it did not stop.
    m_online.reset();
    QVERIFY(startHub(config));
    QCOMPARE(ask(*m_hub, BoardRequest::pulse(3, 8s)), QStringLiteral("none"));
    board->setFaultMode(FaultMode::Silent);
    QVERIFY(!m_hub->stop(500ms));
    board->setFaultMode(FaultMode::None);

    // Offline: a board that went away answers at once that nothing was switched.
    m_online.reset();
    board->setReplyDelay(0ms);
    QVERIFY(startHub(config));
    board->vanish();
    QVERIFY(waitOnline(false));
    QCOMPARE(ask(*m_hub, BoardRequest::switchRelay(1, true)), QStringLiteral("offline"));
}

void TestBoard::pulseEnds_data()
{
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<int>("relay");

    // on_connect = keep throughout: nothing but the owed end switches the relay back.
    QTest::newRow("a silent spell as it ends: tried again until confirmed") << "silent" << 5;
    QTest::newRow("unplugged through its end: ended on coming back") << "unplug" << 5;
    QTest::newRow("restarted while running: one end, off at the later time") << "restart" << 8;
}

void TestBoard::pulseEnds()
{
    QFETCH(QString, trouble);
    QFETCH(int, relay);

    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    BoardConfig config = comOne();
    QVERIFY(startHub(config));
    const QByteArray off = QStringLiteral("%1-//").arg(relay, 2, 10, QLatin1Char('0')).toLatin1();
    int offs = 0;
    qint64 offAt = -1;
    QElapsedTimer clock;
    connect(board, &SimulatedBoard::commandReceived, this, [&](const QByteArray &command) {
        if (command == off && offs++ == 0)
            offAt = clock.elapsed();
    });
    clock.start();
    if (trouble == u"restart") {
        QCOMPARE(ask(*m_hub, BoardRequest::pulse(relay, 300ms)), QStringLiteral("none"));
        QTest::qWait(100);
        QCOMPARE(ask(*m_hub, BoardRequest::pulse(relay, 300ms)), QStringLiteral("none"));
    } else {
        QCOMPARE(ask(*m_hub, BoardRequest::pulse(relay, 600ms)), QStringLiteral("none"));
    }
    if (trouble == u"silent") {
        QTest::qWait(400);
        board->setFaultMode(FaultMode::Silent);
        QTest::qWait(2000);
        board->setFaultMode(FaultMode::None);
    } else if (trouble == u"unplug") {
        QTest::qWait(200);
        board->vanish();
        QVERIFY(waitOnline(false));
        QTest::qWait(1000); // well past its end
        board->setState(RelayMask::relay(relay).bits());
        QVERIFY(board->start(m_ports->pathOf(1)));
        QVERIFY(waitOnline(true));
    }
    QTRY_COMPARE_WITH_TIMEOUT(board->state(), quint16(0), 2 * kWait);
    QTest::qWait(300);
    QCOMPARE(board->state(), quint16(0));
    if (trouble == u"restart") {
        QCOMPARE(offs, 1);
        QVERIFY2(offAt >= 390, qPrintable(QString::number(offAt)));
    } else {
        QVERIFY(offs >= 1);
        QVERIFY2(m_problems.join(u'\n').contains(QStringLiteral("trying again")),
                 qPrintable(m_problems.join(u'\n')));
    }
}

void TestBoard::switchedByItself_data()
{
    QTest::addColumn<int>("onConnect");
    QTest::addColumn<quint16>("found"); // what the board reads after its relays 1 and 5 were on
    QTest::addColumn<QString>("told");
    QTest::addColumn<quint16>("after");

    QTest::newRow("reset, keep: told once, left")
        << int(OnConnect::Keep) << quint16(0)
        << "com1: relays 1 and 5 went off without a command; the board may have lost power"
        << quint16(0);
    QTest::newRow("one dropped, restore: told, switched back")
        << int(OnConnect::Restore) << quint16(0x8000)
        << "com1: relay 5 went off without a command; nothing this service sent did it; switched "
           "back as on_connect = restore asks"
        << quint16(0x8800);
    QTest::newRow("one came on, restore: switched back off")
        << int(OnConnect::Restore) << quint16(0x8820)
        << "com1: relay 11 went on without a command; nothing this service sent did it; switched "
           "back as on_connect = restore asks"
        << quint16(0x8800);
}

void TestBoard::switchedByItself()
{
    QFETCH(int, onConnect);
    QFETCH(quint16, found);
    QFETCH(QString, told);
    QFETCH(quint16, after);

    SimulatedBoard *board = m_ports->add(1, 0x8800);
    QVERIFY(board);
    BoardConfig config = comOne(OnConnect(onConnect));
    QVERIFY(startHub(config));
    QTest::qWait(300);
    board->setState(found);
    QTRY_COMPARE_WITH_TIMEOUT(m_problems, QStringList{told}, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(board->state(), after, kWait);
    QTest::qWait(500); // told once, and nothing more switches
    QCOMPARE(m_problems, QStringList{told});
    QCOMPARE(board->state(), after);
}

void TestBoard::savedState_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: the one this service saves
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<quint16>("after"); // the board's state once restore is done

    const QByteArray good = R"({"board":"com1","device":"COM1","state":"8140"})";
    QTest::newRow("saved, then back after a restart and a power cut")
        << QByteArray() << "" << quint16(0x8140);
    QTest::newRow("torn") << good.left(30) << "" << quint16(0);
    QTest::newRow("garbage") << QByteArray("\x01\x02 not json") << "" << quint16(0);
    QTest::newRow("another board's")
        << QByteArray(good).replace("com1", "com2") << "" << quint16(0);
    QTest::newRow("from another device")
        << QByteArray(good).replace("COM1", "/dev/ttyUSB7") << "" << quint16(0);
    QTest::newRow("a stranger's") << good << "stranger" << quint16(0);
    QTest::newRow("writable by the group") << good << "group" << quint16(0);
    QTest::newRow("a link to a good one") << good << "link" << quint16(0);
}

void TestBoard::savedState()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, trouble);
    QFETCH(quint16, after);

    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString path = directory.filePath(QStringLiteral("com1.state"));
    SimulatedBoard *board = m_ports->add(1, 0);
    QVERIFY(board);
    BoardConfig config = comOne(OnConnect::Restore);
    config.stateDirectory = directory.path();
    if (file.isEmpty()) {
        QVERIFY(startHub(config));
        QCOMPARE(ask(*m_hub, BoardRequest::setMask(0x8140)), QStringLiteral("none"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile(path).open(QIODevice::ReadOnly), kWait);
        m_hub.reset();
        board->setState(0); // its power cut
    } else {
        const QString written = trouble == u"link" ? path + QStringLiteral(".real") : path;
        QFile saved(written);
        QVERIFY(saved.open(QIODevice::WriteOnly));
        saved.write(file);
        saved.close();
        if (trouble == u"stranger")
            QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        if (trouble == u"group")
            QVERIFY(saved.setPermissions(saved.permissions() | QFile::WriteGroup));
        if (trouble == u"link")
            QVERIFY(QFile::link(written, path));
    }
    m_online.reset();
    QVERIFY(startHub(config));
    QTRY_COMPARE_WITH_TIMEOUT(board->state(), after, kWait);
    QTest::qWait(300);
    QCOMPARE(board->state(), after);
    const bool warned = m_warnings.join(u'\n').contains(QStringLiteral("nothing is restored"));
    QVERIFY2(warned == !file.isEmpty(), qPrintable(m_warnings.join(u'\n')));
    m_hub.reset(); // while its state directory is still there
}

void TestBoard::whoSwitched_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("relay");
    QTest::addColumn<QString>("by");

    // Relay 2 is on and interlocked with relay 1 throughout.
    QTest::newRow("a request") << "request" << 5 << "socket: alice (usb16relay-ctl, pid 7)";
    QTest::newRow("the partner of a relay switched on") << "request" << 2 << "interlock";
    QTest::newRow("the end of a pulse") << "pulse" << 5 << "pulse-end";
    QTest::newRow("the board itself") << "by itself" << 8 << "board";
    QTest::newRow("switched back after the board did it") << "by itself, restore" << 8 << "restore";
}

void TestBoard::whoSwitched()
{
    QFETCH(QString, how);
    QFETCH(int, relay);
    QFETCH(QString, by);

    SimulatedBoard *board = m_ports->add(1, 0x4000);
    QVERIFY(board);
    BoardConfig config =
        comOne(how.endsWith(u"restore") ? OnConnect::Restore : OnConnect::Keep, {{1, 2}});
    QVERIFY(startHub(config));
    if (how == u"request") {
        BoardRequest request = BoardRequest::switchRelays(0x8800, true); // relays 1 and 5
        request.source = QStringLiteral("socket: alice (usb16relay-ctl, pid 7)");
        QCOMPARE(ask(*m_hub, request), QStringLiteral("none"));
    } else if (how == u"pulse") {
        QCOMPARE(ask(*m_hub, BoardRequest::pulse(5, 100ms)), QStringLiteral("none"));
        QTRY_COMPARE_WITH_TIMEOUT(board->state(), quint16(0x4000), kWait);
    } else {
        board->setState(0x4100);
    }
    QTRY_COMPARE_WITH_TIMEOUT(
        m_hub->snapshot(QStringLiteral("com1")).changedBy.at(size_t(relay - 1)), by, kWait);
}

QTEST_GUILESS_MAIN(TestBoard)
#include "tst_board.moc"
