// Faults from the board, the port and the operator, each ending the same way: the program alive
// and answering the next click, nothing the operator typed changed, the expected number of
// reports, and the port kept or released as it should be.
//
// Runs with Qt's own event dispatcher (QT_NO_GLIB=1): there, distinct timers fire inside a
// running wait, which is how real clicks arrive from the window system.

#include "comportpath.h"
#include "processstats.h"
#include "relayprotocol.h"
#include "seriallink.h"
#include "usb16relay.h"
#include "windowprobe.h"
#include "windowrig.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using WindowProbe::click;
using WindowProbe::coloursFor;
using WindowProbe::control;
using WindowProbe::indicatorColours;

namespace {

const QString kTyped = QStringLiteral("typed by the operator");

// A device that streams megabytes: a pty of the test's own, fed from a thread.
class Streamer final
{
public:
    bool open(const QString &linkPath)
    {
        if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0)
            return false;
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        return QFile::link(QString::fromLocal8Bit(::ttyname(m_slave)), linkPath);
    }
    void start(qint64 bytes)
    {
        m_thread = std::thread([this, bytes] {
            const QByteArray chunk(64 * 1024, '\x5a');
            for (qint64 sent = 0; sent < bytes && !m_stop;) {
                pollfd out{m_master, POLLOUT, 0};
                if (::poll(&out, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::write(m_master, chunk.constData(), chunk.size());
                if (n > 0)
                    sent += n;
            }
            m_done = true;
        });
    }
    bool done() const { return m_done; }
    ~Streamer()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_master >= 0)
            ::close(m_master);
        if (m_slave >= 0)
            ::close(m_slave);
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
};

} // namespace

class TestWindowFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void boardMisbehaves_data();
    void boardMisbehaves();
    void boardStreamsMegabytes_data();
    void boardStreamsMegabytes();
    void boardUnplugged_data();
    void boardUnplugged();
    void boardProcessKilled();
    void portIsNoUsablePort_data();
    void portIsNoUsablePort();
    void portTextIsNoPort_data();
    void portTextIsNoPort();
    void thousandClicksDuringWaits();
    void oddTextInTheSendBox_data();
    void oddTextInTheSendBox();
    void closingDuringAWait_data();
    void closingDuringAWait();
    void sixtyUnplugsAndReconnects();

private:
    // Starts a board as COM1 (with the fault set before connecting), connects, shows the window
    // and puts the operator's text in both fields.
    SimulatedBoard *start(quint16 state, FaultMode fault = FaultMode::None);
    void typeIntoFields(const QString &portText);
    // Failures listed in the report window; 0 when none is shown.
    int reportedFailures() const;
    QString reportText() const;
    // The common end of every row.
    void checkAftermath(int reports, bool portOpen, SimulatedBoard *board);

    WindowRig m_rig;
    QString m_portText;
};

void TestWindowFaults::init()
{
    m_rig.setUp();
    m_portText.clear();
}

void TestWindowFaults::cleanup()
{
    m_rig.tearDown();
}

SimulatedBoard *TestWindowFaults::start(quint16 state, FaultMode fault)
{
    SimulatedBoard *board = m_rig.ports().add(1, state);
    if (!board)
        return nullptr;
    board->setFaultMode(fault);
    m_rig.window().Form_Load();
    m_rig.window().show();
    // A silent board may not have read the second query when start-up is over.
    if (!QTest::qWaitFor([board] { return board->commands().count("ask//") == 2; }))
        return nullptr;
    board->clearReceived();
    typeIntoFields(QStringLiteral("1"));
    return board;
}

void TestWindowFaults::typeIntoFields(const QString &portText)
{
    m_portText = portText;
    control<QComboBox>(m_rig.window(), "cboComm")->setEditText(portText);
    control<QLineEdit>(m_rig.window(), "txtSend")->setText(kTyped);
}

QString TestWindowFaults::reportText() const
{
    QMessageBox *box = WindowProbe::visibleReport(m_rig.window());
    return box ? box->text() : QString();
}

int TestWindowFaults::reportedFailures() const
{
    const QString text = reportText();
    if (text.isEmpty())
        return 0;
    int count = 0;
    for (const QString &entry : text.split(QStringLiteral("\n\n")))
        count += entry.contains(QLatin1String(" earlier report")) ? 0 : 1;
    return count;
}

void TestWindowFaults::checkAftermath(int reports, bool portOpen, SimulatedBoard *board)
{
    QCOMPARE(reportedFailures(), reports);
    if (reports > 0)
        QVERIFY2(reportText().contains(QLatin1String("COM")), qPrintable(reportText()));
    QCOMPARE(WindowProbe::link(m_rig.window())->portOpen(), portOpen);
    QCOMPARE(control<QComboBox>(m_rig.window(), "cboComm")->currentText(), m_portText);
    QCOMPARE(control<QLineEdit>(m_rig.window(), "txtSend")->text(), kTyped);

    // The next click is answered: sent to the board, or reported.
    const QString before = reportText();
    if (board)
        board->clearReceived();
    click(m_rig.window(), "cmdSequential");
    if (portOpen && board)
        QTRY_COMPARE(board->received(), RelayProtocol::sequenceCommand());
    else
        QVERIFY2(reportText() != before, qPrintable(reportText()));
    for (QPushButton *button : m_rig.window().findChildren<QPushButton *>())
        QVERIFY2(!button->isDown(), qPrintable(button->objectName()));
}

void TestWindowFaults::boardMisbehaves_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QString>("button");
    QTest::addColumn<quint16>("shown"); // indicators afterwards; the board starts at 8140
    QTest::addColumn<int>("reports");
    const int none = int(FaultMode::None);
    QTest::newRow("silent") << int(FaultMode::Silent) << 0 << "cmdAsk" << quint16(0x8140) << 1;
    QTest::newRow("one byte") << int(FaultMode::Short) << 0 << "cmdAsk" << quint16(0x8140) << 1;
    QTest::newRow("extra bytes") << int(FaultMode::Long) << 0 << "cmdAsk" << quint16(0x8140) << 0;
    QTest::newRow("answer after 400 ms") << none << 400 << "cmdAsk" << quint16(0x8140) << 1;
    QTest::newRow("answers switching commands")
        << int(FaultMode::Chatty) << 0 << "cmdRelay5" << quint16(0x8940) << 0;
    QTest::newRow("random bytes while idle") << none << 0 << "cmdOn" << quint16(0xFFFF) << 0;
    QTest::newRow("silent after All On")
        << int(FaultMode::Silent) << 0 << "cmdOn" << quint16(0x8140) << 1;
}

void TestWindowFaults::boardMisbehaves()
{
    QFETCH(int, fault);
    QFETCH(int, delayMs);
    QFETCH(QString, button);
    QFETCH(quint16, shown);
    QFETCH(int, reports);
    SimulatedBoard *board = start(0x8140);
    QVERIFY(board);
    board->setFaultMode(FaultMode(fault));
    board->setReplyDelay(std::chrono::milliseconds(delayMs));
    if (QByteArray(QTest::currentDataTag()).startsWith("random")) {
        QByteArray noise(4096, Qt::Uninitialized);
        QRandomGenerator generator(20261207);
        for (char &byte : noise)
            byte = char(generator.bounded(256));
        board->send(noise);
        QTest::qWait(100);
    }
    click(m_rig.window(), button);
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(shown));
    board->setFaultMode(FaultMode::None);
    checkAftermath(reports, true, board);
}

void TestWindowFaults::boardStreamsMegabytes_data()
{
    QTest::addColumn<bool>("duringAWait");
    QTest::newRow("while idle") << false;
    QTest::newRow("during a refresh") << true;
}

void TestWindowFaults::boardStreamsMegabytes()
{
    QFETCH(bool, duringAWait);
    Streamer device;
    QVERIFY(device.open(m_rig.ports().pathOf(2)));
    m_rig.window().show();
    typeIntoFields(QStringLiteral("2"));
    click(m_rig.window(), "cmdConect");
    QCOMPARE(WindowProbe::link(m_rig.window())->commPort(), qint16(2));
    const int reportsBefore = reportedFailures(); // nothing has answered the connection yet

    const qint64 before = ProcessStats::residentKiB();
    qint64 peak = before;
    device.start(16 * 1024 * 1024);
    if (duringAWait) {
        // Once the stream has begun, a refresh waits its 300 ms in the middle of it.
        QTRY_COMPARE(WindowProbe::link(m_rig.window())->commEvent(), qint16(SerialLink::Receive));
        click(m_rig.window(), "cmdAsk");
        QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x5A5A));
    }
    while (!device.done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        peak = qMax(peak, ProcessStats::residentKiB());
    }
    if (ProcessStats::kResidentSizeTellsGrowth)
        QVERIFY2(peak - before < 8 * 1024,
                 qPrintable(QStringLiteral("resident size grew by %1 KiB").arg(peak - before)));
    // The stream decodes as a state, so a refresh reads something: no new report.
    QCOMPARE(reportedFailures(), reportsBefore);
    QCOMPARE(WindowProbe::link(m_rig.window())->portOpen(), true);
    QCOMPARE(control<QLineEdit>(m_rig.window(), "txtSend")->text(), kTyped);
}

void TestWindowFaults::boardUnplugged_data()
{
    QTest::addColumn<QString>("during");
    QTest::newRow("idle") << "idle";
    QTest::newRow("the 300 ms read wait") << "read";
    QTest::newRow("the 50 ms switch wait") << "switch";
    QTest::newRow("the console's wait") << "console";
    QTest::newRow("the start-up double refresh") << "start-up";
}

void TestWindowFaults::boardUnplugged()
{
    QFETCH(QString, during);
    SimulatedBoard *board = m_rig.ports().add(1, 0x8140);
    QVERIFY(board);
    const auto unplugAfter = [board](int ms) {
        QTimer::singleShot(ms, board, [board] { board->vanish(); });
    };
    if (during == QLatin1String("start-up")) {
        unplugAfter(100); // inside the 200 ms pause between the two refreshes
        m_rig.window().Form_Load();
        m_rig.window().show();
        typeIntoFields(QStringLiteral("1"));
    } else {
        m_rig.window().Form_Load();
        m_rig.window().show();
        typeIntoFields(QStringLiteral("1"));
        if (during == QLatin1String("idle")) {
            board->vanish();
            QTRY_VERIFY(!WindowProbe::link(m_rig.window())->portOpen());
        } else if (during == QLatin1String("read")) {
            unplugAfter(100);
            click(m_rig.window(), "cmdAsk");
        } else if (during == QLatin1String("switch")) {
            unplugAfter(20);
            click(m_rig.window(), "cmdRelay5");
        } else {
            control<QLineEdit>(m_rig.window(), "txtSend")->setText(QStringLiteral("ask//"));
            unplugAfter(20);
            click(m_rig.window(), "cmdSend");
            control<QLineEdit>(m_rig.window(), "txtSend")->setText(kTyped);
        }
    }
    QTRY_VERIFY(WindowProbe::visibleReport(m_rig.window()));
    QVERIFY2(reportText().contains(QLatin1String("stopped answering")), qPrintable(reportText()));
    if (during != QLatin1String("start-up"))
        QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8140));
    checkAftermath(1, false, nullptr);

    // Plugged back in: Connect reaches it again, and nothing new is reported.
    board = m_rig.ports().add(1, 0x0003);
    QVERIFY(board);
    const QString before = reportText();
    click(m_rig.window(), "cmdConect");
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0003));
    QCOMPARE(reportText(), before);
}

void TestWindowFaults::boardProcessKilled()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    qputenv(ComPortPath::kPortDirVariable, QFile::encodeName(dir.path()));
    QProcess sim;
    sim.start(QStringLiteral(USB16RELAY_SIM_PATH),
              {QStringLiteral("--quiet"), QStringLiteral("--state"), QStringLiteral("8140"),
               QStringLiteral("--link"), dir.filePath(QStringLiteral("COM1"))});
    QVERIFY(sim.waitForStarted());
    QTRY_VERIFY(QFileInfo(dir.filePath(QStringLiteral("COM1"))).isSymLink());
    m_rig.window().Form_Load();
    m_rig.window().show();
    typeIntoFields(QStringLiteral("1"));
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8140));
    sim.kill();
    QVERIFY(sim.waitForFinished());
    QTRY_VERIFY(!WindowProbe::link(m_rig.window())->portOpen());
    checkAftermath(1, false, nullptr);
    QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x8140));
}

void TestWindowFaults::portIsNoUsablePort_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected"); // in the report
    QTest::newRow("held by another program") << "held"
                                             << "busy";
    QTest::newRow("a regular file") << "file"
                                    << "COM4";
    QTest::newRow("a directory") << "directory"
                                 << "COM4";
    QTest::newRow("a FIFO") << "fifo"
                            << "COM4";
    QTest::newRow("/dev/null") << "null"
                               << "COM4";
    QTest::newRow("a dangling link") << "dangling"
                                     << "does not exist";
    QTest::newRow("the port directory missing") << "no directory"
                                                << "does not exist";
}

void TestWindowFaults::portIsNoUsablePort()
{
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    const QString path = m_rig.ports().pathOf(4);
    SerialLink holder;
    QTemporaryDir elsewhere;
    if (kind == QLatin1String("held")) {
        QVERIFY(m_rig.ports().add(4, 0x0001));
        QVERIFY(holder.setCommPort(4));
        QVERIFY2(holder.setPortOpen(true), qPrintable(holder.errorString()));
    } else if (kind == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a port");
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == QLatin1String("null")) {
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), path));
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(QFile::link(m_rig.ports().pathOf(99), path));
    } else {
        qputenv(ComPortPath::kPortDirVariable,
                QFile::encodeName(elsewhere.filePath(QStringLiteral("missing"))));
    }
    m_rig.window().Form_Load();
    m_rig.window().show();
    if (auto *noPorts = m_rig.window().findChild<QMessageBox *>(QStringLiteral("noPortsBox"))) {
        QCOMPARE(noPorts->text(), QStringLiteral("No Com Ports Installed on this computer"));
        noPorts->close();
    }
    typeIntoFields(QStringLiteral("4"));
    click(m_rig.window(), "cmdConect");
    QVERIFY2(reportText().contains(expected), qPrintable(reportText()));
    QVERIFY2(reportText().contains(QLatin1String("COM4")), qPrintable(reportText()));
    checkAftermath(1, false, nullptr);
}

void TestWindowFaults::portTextIsNoPort_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("reports");
    QTest::newRow("empty") << "" << 1;
    QTest::newRow("letters") << "abc" << 1;
    QTest::newRow("-1") << "-1" << 1;
    QTest::newRow("0") << "0" << 1;
    QTest::newRow("17") << "17" << 1;
    QTest::newRow("70000") << "70000" << 1;
    QTest::newRow("3.5") << "3.5" << 1;
    QTest::newRow("' 3 ' reaches COM3") << " 3 " << 0;
    QTest::newRow("5,000 characters") << QString(5000, QLatin1Char('9')) << 1;
}

void TestWindowFaults::portTextIsNoPort()
{
    QFETCH(QString, typed);
    QFETCH(int, reports);
    SimulatedBoard *three = m_rig.ports().add(3, 0x0810);
    QVERIFY(three);
    m_rig.window().Form_Load();
    m_rig.window().show();
    typeIntoFields(typed);
    click(m_rig.window(), "cmdConect");
    checkAftermath(reports, reports == 0, three);
    if (reports == 0)
        QCOMPARE(indicatorColours(m_rig.window()), coloursFor(0x0810));
}

void TestWindowFaults::thousandClicksDuringWaits()
{
    // A board that has not answered since the port opened: every relay click waits its 50 ms
    // and reports the silence, so clicks arrive in the waits of the clicks before them.
    SimulatedBoard *board = start(0x0000, FaultMode::Silent);
    QVERIFY(board);
    QWidget &window = m_rig.window();
    int delivered = 0;
    int nesting = 0;
    int deepest = 0;
    std::vector<std::unique_ptr<QTimer>> clicks;
    for (int i = 0; i < 1000; ++i) {
        // One relay click in ten; the rest Send Sequentially and Ask, which do not wait.
        const QString button = i % 10 == 0 ? QStringLiteral("cmdRelay5")
                               : i % 2     ? QStringLiteral("cmdSequential")
                                           : QStringLiteral("cmdAsk");
        auto timer = std::make_unique<QTimer>();
        timer->setSingleShot(true);
        timer->setInterval(1 + i / 100);
        connect(timer.get(), &QTimer::timeout, &window, [&, button] {
            ++delivered;
            deepest = qMax(deepest, ++nesting);
            click(window, button);
            --nesting;
        });
        timer->start();
        clicks.push_back(std::move(timer));
    }
    QTRY_COMPARE_WITH_TIMEOUT(delivered, 1000, 60000);
    // Every click ran: 100 switching commands, 100 + 400 status queries, 500 sequences.
    QTRY_COMPARE_WITH_TIMEOUT(board->commands().count("05+//"), 100, 30000);
    QTRY_COMPARE(board->commands().count("ask//"), 500);
    QTRY_COMPARE(board->commands().count(RelayProtocol::sequenceCommand()), 500);
    // Clicks nested in waits, but not without bound.
    QVERIFY2(deepest > 1 && deepest <= 40, qPrintable(QString::number(deepest)));
    // The connection's own report, then every Ask's.
    QVERIFY2(reportText().contains(QLatin1String("(500 times")), qPrintable(reportText()));
    checkAftermath(2, true, board);
}

void TestWindowFaults::oddTextInTheSendBox_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("reports");
    QTest::newRow("100 KB") << QString(100 * 1024, QLatin1Char('a')) << 0;
    QTest::newRow("outside Latin-1") << QStringLiteral("on\u2014off") << 1;
    QTest::newRow("beyond the basic plane") << QStringLiteral("x\U0001F600") << 1;
}

void TestWindowFaults::oddTextInTheSendBox()
{
    QFETCH(QString, text);
    QFETCH(int, reports);
    SimulatedBoard *board = start(0x0000);
    QVERIFY(board);
    auto *box = control<QLineEdit>(m_rig.window(), "txtSend");
    box->setText(text); // as a paste puts it there
    QCOMPARE(box->text(), text);
    click(m_rig.window(), "cmdSend");
    QCOMPARE(box->text(), text);
    if (reports == 0)
        QTRY_COMPARE(board->received(), text.toLatin1() + '\r');
    else
        QCOMPARE(board->received(), QByteArray());
    box->setText(kTyped);
    checkAftermath(reports, true, board);
}

void TestWindowFaults::closingDuringAWait_data()
{
    QTest::addColumn<QString>("button"); // what starts the wait
    QTest::addColumn<int>("afterMs");
    QTest::addColumn<bool>("closeBox"); // else Exit
    for (const bool closeBox : {false, true}) {
        const char *how = closeBox ? "close box" : "Exit";
        QTest::addRow("%s in the read wait", how) << "cmdAsk" << 100 << closeBox;
        QTest::addRow("%s in the switch wait", how) << "cmdRelay3" << 20 << closeBox;
        QTest::addRow("%s in the console wait", how) << "cmdSend" << 20 << closeBox;
        QTest::addRow("%s in the connection pause", how) << "cmdConect" << 100 << closeBox;
    }
}

void TestWindowFaults::closingDuringAWait()
{
    QFETCH(QString, button);
    QFETCH(int, afterMs);
    QFETCH(bool, closeBox);
    SimulatedBoard *board = start(0x0000);
    QVERIFY(board);
    control<QLineEdit>(m_rig.window(), "txtSend")->setText(QStringLiteral("ask//"));
    click(m_rig.window(), "cmdAsk"); // a reception is recorded: the console will wait
    QTimer::singleShot(afterMs, &m_rig.window(), [this, closeBox] {
        if (closeBox)
            m_rig.window().close();
        else
            click(m_rig.window(), "cmdExit");
    });
    click(m_rig.window(), button);
    QVERIFY(!m_rig.window().isVisible());
    QCOMPARE(WindowProbe::visibleMessageBoxes(m_rig.window()), 0);
    QVERIFY(!WindowProbe::link(m_rig.window())->portOpen());
    SerialLink next; // released: another program can open it
    QVERIFY(next.setCommPort(1));
    QVERIFY2(next.setPortOpen(true), qPrintable(next.errorString()));
}

void TestWindowFaults::sixtyUnplugsAndReconnects()
{
    SimulatedBoard *board = start(0x0000);
    QVERIFY(board);
    qint64 afterTen = 0;
    for (int cycle = 0; cycle < 60; ++cycle) {
        board->vanish();
        QTRY_VERIFY(!WindowProbe::link(m_rig.window())->portOpen());
        QVERIFY(board->start(m_rig.ports().pathOf(1)));
        board->setState(quint16(cycle));
        click(m_rig.window(), "cmdConect");
        QCOMPARE(indicatorColours(m_rig.window()), coloursFor(quint16(cycle)));
        if (cycle == 9)
            afterTen = ProcessStats::residentKiB();
    }
    const qint64 growth = ProcessStats::residentKiB() - afterTen;
    if (ProcessStats::kResidentSizeTellsGrowth)
        QVERIFY2(growth < 1024,
                 qPrintable(QStringLiteral("resident size grew by %1 KiB").arg(growth)));
    QVERIFY2(reportText().contains(QLatin1String("(60 times")), qPrintable(reportText()));
    checkAftermath(1, true, board);
}

int main(int argc, char *argv[])
{
    // Qt's own dispatcher fires distinct timers inside a running wait, as real clicks arrive.
    qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    TestWindowFaults test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_windowfaults.moc"
