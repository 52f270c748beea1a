// BoardClient in-process against a SimulatedBoard on a pty. The client blocks while it waits, so
// the board runs on a thread of its own.
#include "boardclient.h"
#include "boardports.h"
#include "relayprotocol.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

// Beyond the test's own time limit: a client that waits the deadline out never gets to its
// result and the run fails on that limit.
constexpr std::chrono::milliseconds kFarDeadline{std::chrono::minutes(10)};

} // namespace

class TestBoardClient final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statusReturnsAsSoonAsTwoBytesCame_data();
    void statusReturnsAsSoonAsTwoBytesCame();
    void silenceEndsAtTheDeadline();
    void oneByteIsNoStatus();
    void switchAndVerify();
    void verifyNamesTheRelaysThatDiffer();
    void unplugDuringAWait();
    void endlessTalkCannotBeVerified();
    void openErrors();
    void onlyTheBoardsOwnAnswerCounts_data();
    void onlyTheBoardsOwnAnswerCounts();
    void lateAnswersAreWaitedForByTheNextClient();
    void aReplugStartsClean();
    void aHolderOfThePortKeepsItsRecordInMemory();
    void lowLatencyRefusedByAPtyChangesNothing();

private:
    // Runs f on the board's thread and waits for it.
    template <typename F> void onBoard(F f)
    {
        QMetaObject::invokeMethod(m_home, f, Qt::BlockingQueuedConnection);
    }

    QThread m_thread;
    QObject *m_home = nullptr; // the board's thread's context
    SimulatedBoard *m_board = nullptr;
    std::unique_ptr<BoardPorts> m_ports;
};

void TestBoardClient::init()
{
    m_ports = std::make_unique<BoardPorts>();
    QVERIFY(m_ports->isValid());
    // Made on its thread, so that its timers and notifiers belong there.
    m_home = new QObject;
    m_home->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_home, &QObject::deleteLater);
    m_thread.start();
    bool started = false;
    const QString path = m_ports->pathOf(1);
    QMetaObject::invokeMethod(
        m_home,
        [this, path, &started] {
            m_board = new SimulatedBoard;
            m_board->setState(0x8140);
            started = m_board->start(path);
        },
        Qt::BlockingQueuedConnection);
    QVERIFY(started);
}

void TestBoardClient::cleanup()
{
    onBoard([this] { delete m_board; });
    m_thread.quit();
    m_thread.wait();
    m_board = nullptr;
    m_home = nullptr;
    m_ports.reset();
}

void TestBoardClient::statusReturnsAsSoonAsTwoBytesCame_data()
{
    QTest::addColumn<int>("delay");
    QTest::newRow("at once") << 0;
    QTest::newRow("late") << 150;
}

void TestBoardClient::statusReturnsAsSoonAsTwoBytesCame()
{
    QFETCH(int, delay);
    onBoard([this, delay] { m_board->setReplyDelay(std::chrono::milliseconds(delay)); });
    BoardClient client;
    QVERIFY2(client.openComPort(1), qPrintable(client.errorString()));
    QCOMPARE(client.portName(), QStringLiteral("COM1"));
    client.setTimeout(kFarDeadline);
    QElapsedTimer clock;
    clock.start();
    const std::optional<RelayState> state = client.askStatus();
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(state, qPrintable(client.errorString()));
    QCOMPARE(RelayProtocol::toMask(*state), quint16(0x8140));
    QVERIFY2(elapsed >= delay, QByteArray::number(elapsed));
    QCOMPARE(client.failure(), BoardClient::Failure::None);
}

void TestBoardClient::silenceEndsAtTheDeadline()
{
    onBoard([this] { m_board->setFaultMode(FaultMode::Silent); });
    BoardClient client;
    QVERIFY(client.openComPort(1));
    client.setTimeout(200ms);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!client.askStatus());
    QVERIFY(clock.elapsed() >= 200);
    QCOMPARE(client.failure(), BoardClient::Failure::NoAnswer);
    QVERIFY(client.errorString().contains(QStringLiteral("did not answer")));
}

void TestBoardClient::oneByteIsNoStatus()
{
    onBoard([this] { m_board->setFaultMode(FaultMode::Short); });
    BoardClient client;
    QVERIFY(client.openComPort(1));
    client.setTimeout(200ms);
    QVERIFY(!client.askStatus());
    QCOMPARE(client.failure(), BoardClient::Failure::NoAnswer);
    // "ask//" goes out twice; a board that answers each with one byte gives two of four.
    QVERIFY2(client.errorString().contains(QStringLiteral("only 2 bytes (81 81)")),
             qPrintable(client.errorString()));
    // Nothing more will come: no note makes the next program wait for it.
    QCOMPARE(QDir(QFileInfo(m_ports->pathOf(1)).path())
                 .entryList({QStringLiteral("usb16relay-owed.*")}, QDir::System | QDir::Files),
             QStringList());
}

void TestBoardClient::switchAndVerify()
{
    BoardClient client;
    QVERIFY(client.openComPort(1));
    QVERIFY2(client.switchAndVerify({RelayProtocol::switchCommand(5, true)}, 0x0800, 0x0800),
             qPrintable(client.errorString()));
    QCOMPARE(RelayProtocol::toMask(*client.lastState()), quint16(0x8940));
    QList<QByteArray> commands;
    onBoard([this, &commands] { commands = m_board->commands(); });
    QCOMPARE(commands, (QList<QByteArray>{"05+//", "ask//", "ask//"}));
}

void TestBoardClient::verifyNamesTheRelaysThatDiffer()
{
    BoardClient client;
    QVERIFY(client.openComPort(1));
    client.setTimeout(300ms);
    // Asks relay 2 on without telling the board: the board still reports it off.
    QVERIFY(!client.switchAndVerify({}, 0x4000, 0x4000));
    QCOMPARE(client.failure(), BoardClient::Failure::WrongState);
    QVERIFY2(client.errorString().contains(QStringLiteral("relay 2 is off (asked on)")),
             qPrintable(client.errorString()));
}

void TestBoardClient::unplugDuringAWait()
{
    onBoard([this] { m_board->setFaultMode(FaultMode::Silent); });
    BoardClient client;
    QVERIFY(client.openComPort(1));
    client.setTimeout(kFarDeadline);
    QMetaObject::invokeMethod(
        m_board, [this] { QTimer::singleShot(100, m_board, [this] { m_board->vanish(); }); });
    QVERIFY(!client.askStatus());
    QCOMPARE(client.failure(), BoardClient::Failure::NoAnswer);
    QVERIFY2(client.errorString().contains(QStringLiteral("stopped answering")),
             qPrintable(client.errorString()));
    QVERIFY(!client.isOpen());
    QVERIFY(!client.askStatus());
}

void TestBoardClient::endlessTalkCannotBeVerified()
{
    QTimer *flood = nullptr;
    onBoard([this, &flood] {
        flood = new QTimer(m_board);
        connect(flood, &QTimer::timeout, m_board, [this] { m_board->send(QByteArray(256, '\0')); });
        flood->start(0);
    });
    BoardClient client;
    QVERIFY(client.openComPort(1));
    client.setTimeout(300ms);
    // Relay 2 is off: the first look disagrees, and the line never goes quiet for a second.
    QVERIFY(!client.switchAndVerify({}, 0x4000, 0x4000));
    QCOMPARE(client.failure(), BoardClient::Failure::NoAnswer);
    // Either the line never goes quiet, or (on a loaded machine, where the flood pauses) the
    // flood lands among the answers; never a state.
    QVERIFY2(client.errorString().contains(QStringLiteral("keeps sending")) ||
                 client.errorString().contains(QStringLiteral("Nothing was taken")),
             qPrintable(client.errorString()));
}

void TestBoardClient::openErrors()
{
    BoardClient client;
    QVERIFY(!client.openComPort(2));
    QCOMPARE(client.failure(), BoardClient::Failure::CannotOpen);
    QVERIFY(client.errorString().contains(QStringLiteral("does not exist")));

    BoardClient first;
    QVERIFY(first.openComPort(1));
    QVERIFY(!client.openComPort(1));
    QCOMPARE(client.failure(), BoardClient::Failure::CannotOpen);
    QVERIFY2(client.errorString().contains(QStringLiteral("busy")),
             qPrintable(client.errorString()));
    first.close();
    QVERIFY2(client.openComPort(1), qPrintable(client.errorString()));
}

// What else may come on the line instead of, or beside, the board's answer to this question.
enum class Intruder {
    Echo,
    ExtraByte,
    StrayBeforeAnswer,
    StrayAfterAnswers,
    ChangingAnswers,
    LineEndings
};
Q_DECLARE_METATYPE(Intruder)

void TestBoardClient::onlyTheBoardsOwnAnswerCounts_data()
{
    QTest::addColumn<Intruder>("intruder");
    QTest::addColumn<bool>("answers");    // a state comes out, and it is the board's
    QTest::addColumn<QString>("message"); // otherwise the error says this
    QTest::newRow("echoing device")
        << Intruder::Echo << false << "sends back what it is sent: it is not the board";
    QTest::newRow("byte after every status")
        << Intruder::ExtraByte << false << "More bytes came than two status answers";
    QTest::newRow("stray pair just after the question")
        << Intruder::StrayBeforeAnswer << true << QString();
    // Only the silence after the two answers keeps this one out.
    QTest::newRow("stray byte a few ms after the answers")
        << Intruder::StrayAfterAnswers << false << "More bytes came than two status answers";
    QTest::newRow("answers that change")
        << Intruder::ChangingAnswers << false << "The two answers differ";
    QTest::newRow("status ended by CR LF") << Intruder::LineEndings << true << QString();
}

void TestBoardClient::onlyTheBoardsOwnAnswerCounts()
{
    QFETCH(Intruder, intruder);
    QFETCH(bool, answers);
    QFETCH(QString, message);
    onBoard([this, intruder] {
        int asks = 0;
        switch (intruder) {
        case Intruder::Echo:
            m_board->setFaultMode(FaultMode::Silent);
            connect(m_board, &SimulatedBoard::commandReceived, m_board,
                    [this](const QByteArray &command) { m_board->send(command); });
            break;
        case Intruder::ExtraByte:
            connect(m_board, &SimulatedBoard::commandReceived, m_board,
                    [this](const QByteArray &command) {
                        if (command == "ask//")
                            m_board->send("!");
                    });
            break;
        case Intruder::StrayBeforeAnswer:
            // The board's own answer comes 30 ms after a pair that is not the board's.
            m_board->setReplyDelay(30ms);
            connect(m_board, &SimulatedBoard::commandReceived, m_board,
                    [this, asks](const QByteArray &command) mutable {
                        if (command == "ask//" && asks++ == 0)
                            m_board->send(QByteArray::fromHex("FFFF"));
                    });
            break;
        case Intruder::StrayAfterAnswers:
            connect(m_board, &SimulatedBoard::commandReceived, m_board,
                    [this, asks](const QByteArray &command) mutable {
                        if (command == "ask//" && ++asks % 2 == 0)
                            QTimer::singleShot(5ms, m_board, [this] { m_board->send("!"); });
                    });
            break;
        case Intruder::ChangingAnswers:
            connect(m_board, &SimulatedBoard::commandReceived, m_board,
                    [this] { m_board->setState(quint16(m_board->state() ^ 0x0001)); });
            break;
        case Intruder::LineEndings:
            m_board->setFaultMode(FaultMode::Long);
            break;
        }
    });
    BoardClient client;
    QVERIFY(client.openComPort(1));
    client.setTimeout(300ms);
    if (intruder == Intruder::StrayAfterAnswers)
        client.setGuard(1000ms); // far beyond 5 ms, however busy the machine
    const std::optional<RelayState> state = client.askStatus();
    if (answers) {
        QVERIFY2(state, qPrintable(client.errorString()));
        QCOMPARE(RelayProtocol::toMask(*state), quint16(0x8140));
    } else {
        QVERIFY(!state);
        QCOMPARE(client.failure(), BoardClient::Failure::NoAnswer);
        QVERIFY2(client.errorString().contains(message), qPrintable(client.errorString()));
        QVERIFY2(client.errorString().contains(QStringLiteral("Nothing was taken")),
                 qPrintable(client.errorString()));
        QVERIFY(!client.lastState());
    }
}

void TestBoardClient::lateAnswersAreWaitedForByTheNextClient()
{
    // A board slower than the askers' patience: each gives up and leaves its answer on the way.
    onBoard([this] { m_board->setReplyDelay(400ms); });
    for (const bool on : {true, false, true, false}) {
        BoardClient impatient;
        QVERIFY(impatient.openComPort(1));
        impatient.setTimeout(30ms);
        QVERIFY(!impatient.switchRelays({4}, on));
        QCOMPARE(impatient.failure(), BoardClient::Failure::NoAnswer);
    }
    QTest::qWait(100);
    quint16 truth = 0;
    onBoard([this, &truth] { truth = m_board->state(); });
    QCOMPARE(truth, quint16(0x8140)); // relay 4 off: the last command

    BoardClient patient;
    QVERIFY(patient.openComPort(1));
    patient.setTimeout(3000ms);
    const std::optional<RelayState> state = patient.askStatus();
    QVERIFY2(state, qPrintable(patient.errorString()));
    QCOMPARE(RelayProtocol::toMask(*state), truth);
    QVERIFY2(patient.toggleRelays({4}), qPrintable(patient.errorString()));
    onBoard([this, &truth] { truth = m_board->state(); });
    QCOMPARE(truth, quint16(0x9140));
    QCOMPARE(RelayProtocol::toMask(*patient.lastState()), truth);

    // One that cannot wait long enough for what is owed asks nothing and says why.
    patient.close();
    BoardClient leaver;
    QVERIFY(leaver.openComPort(1));
    leaver.setTimeout(30ms);
    QVERIFY(!leaver.askStatus());
    leaver.close();
    BoardClient hurried;
    QVERIFY(hurried.openComPort(1));
    hurried.setTimeout(30ms);
    onBoard([this] { m_board->clearReceived(); });
    QVERIFY(!hurried.askStatus());
    QVERIFY2(hurried.errorString().contains(QStringLiteral("answers to earlier questions")),
             qPrintable(hurried.errorString()));
    QList<QByteArray> commands;
    onBoard([this, &commands] { commands = m_board->commands(); });
    QCOMPARE(commands, QList<QByteArray>());
}

void TestBoardClient::aReplugStartsClean()
{
    // A board that did not answer in time leaves a note of what it owes.
    onBoard([this] { m_board->setReplyDelay(400ms); });
    const QString before = QFileInfo(m_ports->pathOf(1)).canonicalFilePath();
    {
        BoardClient impatient;
        QVERIFY(impatient.openComPort(1));
        impatient.setTimeout(30ms);
        QVERIFY(!impatient.askStatus());
    }
    // Replugged: a new device, here possibly under another pty number; the adapter keeps its name.
    QString after;
    onBoard([this, &after] {
        delete m_board;
        m_board = new SimulatedBoard;
        m_board->setState(0x8140);
        m_board->start(m_ports->pathOf(1));
        after = m_board->slavePath();
    });
    const QString notes =
        QFileInfo(m_ports->pathOf(1)).path() + QStringLiteral("/usb16relay-owed.");
    if (after != before)
        QVERIFY(QFile::rename(notes + QString(before).replace(QLatin1Char('/'), QLatin1Char('_')),
                              notes + QString(after).replace(QLatin1Char('/'), QLatin1Char('_'))));
    BoardClient client;
    QVERIFY(client.openComPort(1));
    client.setTimeout(300ms);
    const std::optional<RelayState> state = client.askStatus();
    QVERIFY2(state, qPrintable(client.errorString()));
    QCOMPARE(RelayProtocol::toMask(*state), quint16(0x8140));
}

void TestBoardClient::aHolderOfThePortKeepsItsRecordInMemory()
{
    onBoard([this] { m_board->setReplyDelay(400ms); });
    BoardClient holder;
    holder.keepOwedAnswersInMemory();
    QVERIFY(holder.openComPort(1));
    holder.setTimeout(30ms);
    QVERIFY(!holder.askStatus());
    QVERIFY(!holder.askStatus()); // still owed: nothing is asked, and no advice for a shell
    QVERIFY2(holder.errorString().contains(QStringLiteral("answers to earlier questions")),
             qPrintable(holder.errorString()));
    QVERIFY2(!holder.errorString().contains(QStringLiteral("try again")),
             qPrintable(holder.errorString()));
    QCOMPARE(QDir(QFileInfo(m_ports->pathOf(1)).path())
                 .entryList({QStringLiteral("usb16relay-owed.*")}, QDir::System | QDir::Files),
             QStringList());
    // Reopened, the same device still owes them; once they have come, it answers.
    holder.close();
    QVERIFY(holder.openComPort(1));
    holder.setTimeout(2000ms);
    const std::optional<RelayState> state = holder.askStatus();
    QVERIFY2(state, qPrintable(holder.errorString()));
    QCOMPARE(RelayProtocol::toMask(*state), quint16(0x8140));
}

// A pty has no low-latency setting to ask for: the port works as before, and nothing is said.
void TestBoardClient::lowLatencyRefusedByAPtyChangesNothing()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    BoardClient client;
    for (int opening = 0; opening < 2; ++opening) {
        QVERIFY2(client.openComPort(1), qPrintable(client.errorString()));
        QCOMPARE(client.guard(), 2ms);
        const std::optional<RelayState> state = client.askStatus();
        QVERIFY2(state, qPrintable(client.errorString()));
        QCOMPARE(RelayProtocol::toMask(*state), quint16(0x8140));
        client.close();
        QVERIFY(!client.isOpen());
    }
}

QTEST_GUILESS_MAIN(TestBoardClient)
#include "tst_boardclient.moc"
