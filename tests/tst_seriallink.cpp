#include "comportpath.h"
#include "pacedwait.h"
#include "processstats.h"
#include "serialdevice.h"
#include "seriallink.h"
#include "simulatedboard.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

class TestSerialLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void openCloseReopen();
    void bytesGoOutExactly_data();
    void bytesGoOutExactly();
    void inputReturnsEverythingAndEmpties();
    void inputLenLimitsARead();
    void inBufferCountDiscardsEverything();
    void receptionDuringWaitIsRecorded();
    void receptionStaysThroughEmptyingWritesAndReads();
    void noReceptionRightAfterOpen();
    void noReceptionWithoutThreshold();
    void writeWhileClosedIsRefused();
    void vanishingDeviceClosesTheLink();
    void unreadInputIsBounded();
    void openFailuresExplainThemselves_data();
    void openFailuresExplainThemselves();
    void busyPortIsNamedBusy();
    void portCannotChangeWhileOpen();
    void settingsAreParsed_data();
    void settingsAreParsed();
    void settingsReachTheLine_data();
    void settingsReachTheLine();
    void silenceGuardTakesTheAdapterLatency_data();
    void silenceGuardTakesTheAdapterLatency();

private:
    bool openLink(SerialLink &link, qint16 port = 1);
    void waitForReception(SerialLink &link);
    // Lets bytes written to the pty reach the tool's side without processing any event.
    static void settleInKernel() { QThread::msleep(50); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SimulatedBoard> m_board;
};

void TestSerialLink::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    qputenv(ComPortPath::kPortDirVariable, QFile::encodeName(m_dir->path()));
    m_board = std::make_unique<SimulatedBoard>();
    QVERIFY2(m_board->start(m_dir->filePath(QStringLiteral("COM1"))),
             qPrintable(m_board->errorString()));
    m_board->setState(0x8140);
}

void TestSerialLink::cleanup()
{
    m_board.reset();
    m_dir.reset();
    qunsetenv(ComPortPath::kPortDirVariable);
}

bool TestSerialLink::openLink(SerialLink &link, qint16 port)
{
    return link.setCommPort(port) && link.setSettings(QStringLiteral("9600,N,8,1")) &&
           (link.setInputLen(0), link.setRThreshold(1), link.setSThreshold(0),
            link.setPortOpen(true));
}

void TestSerialLink::waitForReception(SerialLink &link)
{
    QTRY_COMPARE(link.commEvent(), qint16(SerialLink::Receive));
}

void TestSerialLink::openCloseReopen()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("."))); // a pty refuses low latency
    SerialLink link;
    QVERIFY(!link.portOpen());
    QVERIFY2(openLink(link), qPrintable(link.errorString()));
    QVERIFY(link.portOpen());
    QVERIFY(link.setPortOpen(false));
    QVERIFY(!link.portOpen());
    QVERIFY2(link.setPortOpen(true), qPrintable(link.errorString()));
    QVERIFY(link.portOpen());
    QVERIFY(link.setOutput("ask//"));
    QTRY_COMPARE(m_board->received(), QByteArray("ask//"));
}

void TestSerialLink::bytesGoOutExactly_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("status query") << QByteArray("ask//");
    QTest::newRow("switch relay 9") << QByteArray("09+//");
    QTest::newRow("sequence command") << QByteArray::fromHex("781a052f2f");
    QTest::newRow("console text with CR") << QByteArray("hello\r");
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    QTest::newRow("every byte value") << all;
}

void TestSerialLink::bytesGoOutExactly()
{
    QFETCH(QByteArray, bytes);
    SerialLink link;
    QVERIFY(openLink(link));
    QVERIFY(link.setOutput(bytes));
    QTRY_COMPARE(m_board->received(), bytes);
}

void TestSerialLink::inputReturnsEverythingAndEmpties()
{
    SerialLink link;
    QVERIFY(openLink(link));
    m_board->send("abc");
    waitForReception(link);
    // These bytes are still in the driver: no event has been processed since they were sent.
    m_board->send(QByteArray("\0\xff", 2));
    settleInKernel();
    QCOMPARE(link.input(), QByteArray("abc\0\xff", 5));
    QCOMPARE(link.input(), QByteArray());
    QCOMPARE(link.inBufferCount(), 0);
}

void TestSerialLink::inputLenLimitsARead()
{
    SerialLink link;
    QVERIFY(openLink(link));
    link.setInputLen(2);
    m_board->send("12345");
    waitForReception(link);
    QCOMPARE(link.input(), QByteArray("12"));
    link.setInputLen(0);
    QCOMPARE(link.input(), QByteArray("345"));
}

void TestSerialLink::inBufferCountDiscardsEverything()
{
    SerialLink link;
    QVERIFY(openLink(link));
    m_board->send("read by the link");
    waitForReception(link);
    m_board->send("still in the driver");
    settleInKernel();
    QVERIFY(link.setInBufferCount(0));
    QCOMPARE(link.inBufferCount(), 0);
    QTest::qWait(30);
    QCOMPARE(link.input(), QByteArray());
    QVERIFY(!link.setInBufferCount(3));
}

void TestSerialLink::receptionDuringWaitIsRecorded()
{
    SerialLink link;
    QVERIFY(openLink(link));
    QVERIFY(link.setOutput("ask//"));
    QVERIFY(link.commEvent() != SerialLink::Receive);
    pacedWait(100);
    QCOMPARE(link.commEvent(), qint16(SerialLink::Receive));
    QCOMPARE(link.input(), QByteArray::fromHex("8140"));
}

void TestSerialLink::receptionStaysThroughEmptyingWritesAndReads()
{
    SerialLink link;
    QVERIFY(openLink(link));
    QVERIFY(link.setOutput("ask//"));
    waitForReception(link);
    QVERIFY(link.setInBufferCount(0));
    QCOMPARE(link.commEvent(), qint16(SerialLink::Receive));
    QVERIFY(link.setOutput("05+//"));
    QCOMPARE(link.commEvent(), qint16(SerialLink::Receive));
    link.input();
    QCOMPARE(link.commEvent(), qint16(SerialLink::Receive));
    pacedWait(50); // the board does not answer a switching command
    QCOMPARE(link.commEvent(), qint16(SerialLink::Receive));
}

void TestSerialLink::noReceptionRightAfterOpen()
{
    // Bytes left in the line from before, and a reception recorded on an earlier connection,
    // do not count for a new one until the event loop sees them arrive.
    SerialLink link;
    QVERIFY(openLink(link));
    QVERIFY(link.setOutput("ask//"));
    waitForReception(link);
    QVERIFY(link.setPortOpen(false));
    m_board->send("stale");
    QVERIFY(link.setPortOpen(true));
    QVERIFY(link.commEvent() != SerialLink::Receive);
}

void TestSerialLink::noReceptionWithoutThreshold()
{
    SerialLink link;
    QVERIFY(openLink(link));
    link.setRThreshold(0);
    QVERIFY(link.setOutput("ask//"));
    pacedWait(100);
    QVERIFY(link.commEvent() != SerialLink::Receive);
    QCOMPARE(link.input(), QByteArray::fromHex("8140"));
}

void TestSerialLink::writeWhileClosedIsRefused()
{
    SerialLink link;
    QVERIFY(link.setCommPort(1));
    QVERIFY(!link.setOutput("ask//"));
    QVERIFY(link.errorString().contains(QLatin1String("COM1")));
    QVERIFY(link.errorString().contains(m_dir->filePath(QStringLiteral("COM1"))));
    QVERIFY(link.errorString().contains(QLatin1String("not open")));
    QVERIFY(link.errorString().contains(QLatin1String("Connect")));
    QVERIFY(!link.setInBufferCount(0));
    QCOMPARE(link.input(), QByteArray());
    QTest::qWait(30);
    QCOMPARE(m_board->received(), QByteArray());
}

void TestSerialLink::vanishingDeviceClosesTheLink()
{
    SerialLink link;
    QSignalSpy errors(&link, &SerialLink::errorOccurred);
    QVERIFY(errors.isValid());
    QVERIFY(openLink(link));
    QVERIFY(link.setOutput("ask//"));
    waitForReception(link);
    m_board->vanish();
    QTRY_VERIFY(!link.portOpen());
    QCOMPARE(errors.count(), 1);
    const QString message = errors.at(0).at(0).toString();
    QVERIFY2(message.contains(QLatin1String("COM1")), qPrintable(message));
    QVERIFY2(message.contains(m_dir->filePath(QStringLiteral("COM1"))), qPrintable(message));
    QVERIFY2(message.contains(QLatin1String("Connect")), qPrintable(message));
    QVERIFY(link.commEvent() != SerialLink::Receive);
    QVERIFY(!link.setOutput("ask//"));
    QCOMPARE(link.errorString(), message); // still says why the port is closed
    QCOMPARE(link.input(), QByteArray());
    QTest::qWait(50);
    QCOMPARE(errors.count(), 1);

    // A board that comes back under the same name can be opened again.
    m_board = std::make_unique<SimulatedBoard>();
    QVERIFY(m_board->start(m_dir->filePath(QStringLiteral("COM1"))));
    QVERIFY2(link.setPortOpen(true), qPrintable(link.errorString()));
    QVERIFY(link.setOutput("ask//"));
    QTRY_COMPARE(m_board->received(), QByteArray("ask//"));
}

void TestSerialLink::unreadInputIsBounded()
{
    // A device streaming megabytes while nobody reads: a pty of our own, fed from a thread.
    int master = -1;
    int slave = -1;
    QCOMPARE(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const QString com2 = m_dir->filePath(QStringLiteral("COM2"));
    QVERIFY(QFile::link(QString::fromLocal8Bit(::ttyname(slave)), com2));
    SerialLink link;
    QVERIFY2(openLink(link, 2), qPrintable(link.errorString()));

    constexpr int kChunk = 64 * 1024;
    constexpr int kChunks = 256; // 16 MiB
    QByteArray chunk(kChunk, Qt::Uninitialized);
    for (int i = 0; i < kChunk; ++i)
        chunk[i] = char(i * 7);
    const QByteArray last = QByteArray("the newest bytes").repeated(8);
    const qint64 before = ProcessStats::residentKiB();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < kChunks; ++i)
            for (qsizetype at = 0; at < chunk.size();) {
                const ssize_t n = ::write(master, chunk.constData() + at, chunk.size() - at);
                if (n <= 0)
                    return;
                at += n;
            }
        [[maybe_unused]] const ssize_t n = ::write(master, last.constData(), last.size());
        done = true;
    });
    qint64 peak = before;
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        peak = qMax(peak, ProcessStats::residentKiB());
    }
    writer.join();
    settleInKernel();

    QVERIFY(link.inBufferCount() <= SerialLink::kMaxUnread);
    QByteArray kept = link.input();
    QVERIFY(kept.size() <= SerialLink::kMaxUnread);
    // The kernel hands a pty's last bytes over in its own time; on a loaded machine that can take
    // longer than the settling pause.
    const QDeadlineTimer deadline(5000);
    while (!kept.endsWith(last) && !deadline.hasExpired()) {
        settleInKernel();
        kept += link.input();
    }
    QVERIFY2(kept.endsWith(last), "the newest bytes are the ones kept");
    if (ProcessStats::kResidentSizeTellsGrowth)
        QVERIFY2(peak - before < 4 * 1024,
                 qPrintable(QStringLiteral("resident size grew by %1 KiB").arg(peak - before)));

    // Afterwards the line works as before: emptied, then an answer read whole.
    QVERIFY(link.setInBufferCount(0));
    QCOMPARE(::write(master, "\x81\x40", 2), 2);
    settleInKernel();
    QCOMPARE(link.input(), QByteArray::fromHex("8140"));
    link.setPortOpen(false);
    ::close(slave);
    ::close(master);
}

void TestSerialLink::openFailuresExplainThemselves_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("mentions");
    QTest::newRow("no device") << 2 << QString() << QStringList{"COM2", "does not exist"};
    QTest::newRow("port 0") << 0 << QString() << QStringList{"COM0", "COM1 to COM16"};
    QTest::newRow("port 17") << 17 << QString() << QStringList{"COM17", "COM1 to COM16"};
    QTest::newRow("negative port") << -3 << QString() << QStringList{"COM-3"};
    QTest::newRow("regular file") << 4 << QStringLiteral("file")
                                  << QStringList{"COM4", "Cannot open"};
    QTest::newRow("dangling link")
        << 5 << QStringLiteral("dangling") << QStringList{"COM5", "does not exist"};
}

void TestSerialLink::openFailuresExplainThemselves()
{
    QFETCH(int, port);
    QFETCH(QString, setup);
    QFETCH(QStringList, mentions);
    const QString path = m_dir->filePath(QStringLiteral("COM%1").arg(port));
    if (setup == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a tty");
    } else if (setup == QLatin1String("dangling")) {
        QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("gone")), path));
    }
    SerialLink link;
    QVERIFY(!openLink(link, qint16(port)));
    QVERIFY(!link.portOpen());
    for (const QString &word : mentions)
        QVERIFY2(link.errorString().contains(word), qPrintable(link.errorString()));
    QVERIFY(!link.setOutput("ask//"));
}

void TestSerialLink::busyPortIsNamedBusy()
{
    SerialLink first;
    QVERIFY(openLink(first));
    SerialLink second;
    QVERIFY(!openLink(second));
    QVERIFY2(second.errorString().contains(QLatin1String("busy")),
             qPrintable(second.errorString()));
    QVERIFY(second.errorString().contains(QLatin1String("COM1")));
    QVERIFY(first.portOpen());
    // Once released, the port opens at once.
    QVERIFY(first.setPortOpen(false));
    QVERIFY2(second.setPortOpen(true), qPrintable(second.errorString()));
}

void TestSerialLink::portCannotChangeWhileOpen()
{
    SerialLink link;
    QVERIFY(openLink(link));
    QVERIFY(!link.setCommPort(2));
    QCOMPARE(link.commPort(), qint16(1));
    QVERIFY(link.errorString().contains(QLatin1String("COM2")));
    QVERIFY(link.setCommPort(1));
}

void TestSerialLink::settingsAreParsed_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("valid");
    QTest::newRow("board's settings") << "9600,N,8,1" << true;
    QTest::newRow("lower-case parity") << "9600,n,8,1" << true;
    QTest::newRow("even 7 2") << "19200,E,7,2" << true;
    QTest::newRow("odd 5 bits") << "1200,O,5,1" << true;
    QTest::newRow("mark") << "9600,M,8,1" << true;
    QTest::newRow("space") << "9600,S,8,1" << true;
    QTest::newRow("one and a half stop bits") << "9600,N,8,1.5" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("three fields") << "9600,N,8" << false;
    QTest::newRow("five fields") << "9600,N,8,1,1" << false;
    QTest::newRow("baud not a number") << "fast,N,8,1" << false;
    QTest::newRow("baud zero") << "0,N,8,1" << false;
    QTest::newRow("baud negative") << "-9600,N,8,1" << false;
    QTest::newRow("unknown parity") << "9600,X,8,1" << false;
    QTest::newRow("nine data bits") << "9600,N,9,1" << false;
    QTest::newRow("four data bits") << "9600,N,4,1" << false;
    QTest::newRow("three stop bits") << "9600,N,8,3" << false;
}

void TestSerialLink::settingsAreParsed()
{
    QFETCH(QString, settings);
    QFETCH(bool, valid);
    SerialLink link;
    QCOMPARE(link.setSettings(settings), valid);
    if (valid) {
        QCOMPARE(link.settings(), settings);
    } else {
        QVERIFY(link.errorString().contains(QLatin1String("Invalid line settings")));
        QCOMPARE(link.settings(), QStringLiteral("9600,N,8,1"));
    }
}

void TestSerialLink::settingsReachTheLine_data()
{
    // A pty keeps eight data bits without parity whatever is asked, so only the speed and the
    // stop bits show there.
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("twoStopBits");
    QTest::newRow("9600,N,8,1") << "9600,N,8,1" << int(B9600) << false;
    QTest::newRow("19200,E,7,2") << "19200,E,7,2" << int(B19200) << true;
    QTest::newRow("4800,O,8,1") << "4800,O,8,1" << int(B4800) << false;
}

void TestSerialLink::settingsReachTheLine()
{
    QFETCH(QString, settings);
    QFETCH(int, speed);
    QFETCH(bool, twoStopBits);
    SerialLink link;
    QVERIFY(link.setSettings(settings));
    QVERIFY(link.setPortOpen(true));
    const int fd = ::open(QFile::encodeName(m_board->slavePath()).constData(),
                          O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        QSKIP("the line is held exclusively; reading its settings needs root");
    termios line{};
    QCOMPARE(::tcgetattr(fd, &line), 0);
    ::close(fd);
    QCOMPARE(int(cfgetospeed(&line)), speed);
    QCOMPARE(bool(line.c_cflag & CSTOPB), twoStopBits);

    // Changed while open, the settings reach the line at once.
    QVERIFY(link.setSettings(QStringLiteral("2400,N,8,1")));
    const int again = ::open(QFile::encodeName(m_board->slavePath()).constData(),
                             O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(again >= 0);
    QCOMPARE(::tcgetattr(again, &line), 0);
    ::close(again);
    QCOMPARE(int(cfgetospeed(&line)), int(B2400));
}

void TestSerialLink::silenceGuardTakesTheAdapterLatency_data()
{
    QTest::addColumn<QString>("device");          // a pty of its own when empty
    QTest::addColumn<QByteArray>("latencyTimer"); // as sysfs shows it; no file when empty
    QTest::addColumn<int>("guard");
    // At 9600 baud two bytes take 2.08 ms (3 rounded up), and 2 ms for the scheduler.
    QTest::newRow("FTDI adapter at 16 ms") << "/dev/ttyUSB0" << QByteArray("16\n") << 21;
    QTest::newRow("FTDI adapter at 1 ms") << "/dev/ttyUSB0" << QByteArray("1\n") << 6;
    QTest::newRow("USB adapter without a latency timer") << "/dev/ttyACM0" << QByteArray() << 21;
    QTest::newRow("built-in UART") << "/dev/ttyS0" << QByteArray() << 5;
    QTest::newRow("pty, whatever sysfs says") << QString() << QByteArray("16\n") << 2;
}

void TestSerialLink::silenceGuardTakesTheAdapterLatency()
{
    QFETCH(QString, device);
    QFETCH(QByteArray, latencyTimer);
    const bool pty = device.isEmpty();
    if (pty)
        device = m_board->slavePath();
    const QTemporaryDir sysfs;
    const QString deviceDir =
        sysfs.filePath(QStringLiteral("class/tty/%1/device").arg(QFileInfo(device).fileName()));
    QFile timer(deviceDir + QStringLiteral("/latency_timer"));
    QVERIFY(latencyTimer.isEmpty() ||
            (QDir().mkpath(deviceDir) && timer.open(QIODevice::WriteOnly) &&
             timer.write(latencyTimer) > 0 && timer.flush()));
    // Any character device but a pty stands for an adapter.
    const int fd = ::open(pty ? QFile::encodeName(device).constData() : "/dev/null",
                          O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(fd >= 0);
    const auto latency = SerialDevice::adapterLatency(device, fd, sysfs.path());
    ::close(fd);
    QTEST(int(SerialDevice::answerGuard(latency, 9600).count()), "guard");
}

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
