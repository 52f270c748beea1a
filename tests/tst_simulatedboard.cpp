#include "boardlogic.h"
#include "simulatedboard.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto kTimeout = 5s;
constexpr char kSequence[] = "x\x1A\x05//";

// The tool's end of the line.
struct ToolEnd
{
    explicit ToolEnd(const QString &path, bool raw = true)
        : fd(::open(QFile::encodeName(path).constData(),
                    O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios line{};
        if (raw && fd >= 0 && ::tcgetattr(fd, &line) == 0) {
            ::cfmakeraw(&line);
            ::tcsetattr(fd, TCSANOW, &line);
        }
    }
    ~ToolEnd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    ToolEnd(const ToolEnd &) = delete;
    ToolEnd &operator=(const ToolEnd &) = delete;

    bool write(const QByteArray &bytes) const
    {
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // Keeps the event loop (and so the in-process board) running while waiting.
    QByteArray read(qsizetype count, std::chrono::milliseconds timeout = kTimeout) const
    {
        QByteArray bytes;
        const QDeadlineTimer deadline(timeout);
        while (bytes.size() < count && !deadline.hasExpired()) {
            char buffer[512];
            const ssize_t got =
                ::read(fd, buffer, size_t(qMin<qsizetype>(512, count - bytes.size())));
            if (got > 0)
                bytes.append(buffer, got);
            else
                QTest::qWait(5);
        }
        return bytes;
    }

    bool hungUp() const
    {
        pollfd poller{fd, POLLIN, 0};
        if (::poll(&poller, 1, 0) <= 0)
            return false;
        if (poller.revents & (POLLHUP | POLLERR))
            return true;
        char byte = 0;
        const ssize_t got = ::read(fd, &byte, 1);
        return got == 0 || (got < 0 && errno == EIO);
    }

    int fd = -1;
};

bool isSymlink(const QString &path)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Unknown commands marked, so one list shows both what arrived and how it was taken.
QByteArrayList describe(const QList<BoardLogic::Command> &commands)
{
    QByteArrayList described;
    for (const BoardLogic::Command &command : commands)
        described << (command.understood ? command.bytes : "ignored:" + command.bytes);
    return described;
}

QByteArray bytes(std::initializer_list<uchar> values)
{
    QByteArray result;
    for (const uchar value : values)
        result += char(value);
    return result;
}

} // namespace

class TestSimulatedBoard : public QObject
{
    Q_OBJECT

private slots:
    void protocol_data();
    void protocol();
    void splitAcrossFeeds_data();
    void splitAcrossFeeds();
    void faultModes_data();
    void faultModes();

    void askOverPty();
    void survivesToolReopeningThroughLink();
    void lineIsRawBothWays();
    void slowModeAnswersLateAndInOrder();
    void lineAtItsBaudRateAndLatency();
    void busyBoardKeepsWireOrder();
    void vanishHangsUpToolAndRemovesLink();
    void destructorRemovesLink();
    void linkPlacement_data();
    void linkPlacement();
    void byteLog();

    void commandAnswersAndCleansUpOnSignal_data();
    void commandAnswersAndCleansUpOnSignal();
    void commandLogsPlainLinesWhenPiped();
    void commandRejectsBadOptions_data();
    void commandRejectsBadOptions();
};

void TestSimulatedBoard::protocol_data()
{
    QTest::addColumn<quint16>("initial");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<quint16>("final");
    QTest::addColumn<QByteArrayList>("commands");

    for (int relay = 1; relay <= 16; ++relay) {
        const QByteArray number = QByteArray::number(relay).rightJustified(2, '0');
        QByteArray on(2, '\0');
        on[(relay - 1) / 8] = char(0x80 >> ((relay - 1) % 8));
        const QByteArray off = bytes({uchar(~on[0]), uchar(~on[1])});
        QTest::addRow("relay %s on", number.constData())
            << quint16(0) << number + "+//ask//" << on << quint16(uchar(on[0]) << 8 | uchar(on[1]))
            << QByteArrayList{number + "+//", "ask//"};
        QTest::addRow("relay %s off", number.constData())
            << quint16(0xFFFF) << number + "-//ask//" << off
            << quint16(uchar(off[0]) << 8 | uchar(off[1]))
            << QByteArrayList{number + "-//", "ask//"};
    }

    QTest::newRow("relays 1, 8 and 10")
        << quint16(0) << QByteArray("01+//08+//10+//ask//") << bytes({0x81, 0x40})
        << quint16(0x8140) << QByteArrayList{"01+//", "08+//", "10+//", "ask//"};
    QTest::newRow("relay 09 is the top bit of byte two")
        << quint16(0) << QByteArray("09+//ask//") << bytes({0x00, 0x80}) << quint16(0x0080)
        << QByteArrayList{"09+//", "ask//"};
    QTest::newRow("switching off leaves the others")
        << quint16(0x8140) << QByteArray("08-//") << QByteArray() << quint16(0x8040)
        << QByteArrayList{"08-//"};
    QTest::newRow("all on") << quint16(0x0001) << QByteArray("on//") << QByteArray()
                            << quint16(0xFFFF) << QByteArrayList{"on//"};
    QTest::newRow("all off") << quint16(0x8140) << QByteArray("off//") << QByteArray() << quint16(0)
                             << QByteArrayList{"off//"};
    for (const quint16 state : {0x0000, 0xFFFF, 0x1234, 0x0001}) {
        QTest::addRow("ask with %04x", state)
            << state << QByteArray("ask//") << bytes({uchar(state >> 8), uchar(state & 0xFF)})
            << state << QByteArrayList{"ask//"};
    }
    QTest::newRow("sequence accepted silently")
        << quint16(0x8140) << QByteArray(kSequence) << QByteArray() << quint16(0x8140)
        << QByteArrayList{kSequence};

    for (const char *invalid :
         {"00+//", "17+//", "5+//", "99-//", "01*//", "001+//", "ASK//", "ON//", "ask //", "//"}) {
        QTest::addRow("invalid %s", invalid)
            << quint16(0x8140) << QByteArray(invalid) << QByteArray() << quint16(0x8140)
            << QByteArrayList{"ignored:" + QByteArray(invalid)};
    }

    QTest::newRow("CR, LF and spaces between commands")
        << quint16(0) << QByteArray("\r\n ask//\r\r\n 01+// \rask//\r") << bytes({0, 0, 0x80, 0})
        << quint16(0x8000) << QByteArrayList{"ask//", "01+//", "ask//"};
    QTest::newRow("CR ends garbage") << quint16(0) << QByteArray("hello  \rask//") << bytes({0, 0})
                                     << quint16(0) << QByteArrayList{"ignored:hello", "ask//"};
    QTest::newRow("LF ends a half command")
        << quint16(0) << QByteArray("01+/\n01+//") << QByteArray() << quint16(0x8000)
        << QByteArrayList{"ignored:01+/", "01+//"};
    QTest::newRow("unterminated is not yet a command")
        << quint16(0) << QByteArray("ask/") << QByteArray() << quint16(0) << QByteArrayList{};
    QTest::newRow("garbage capped at 64 bytes")
        << quint16(0) << QByteArray(70, 'a') + "\rask//" << bytes({0, 0}) << quint16(0)
        << QByteArrayList{"ignored:" + QByteArray(64, 'a'), "ignored:aaaaaa", "ask//"};
    QTest::newRow("64 bytes ending in // still terminate")
        << quint16(0) << QByteArray(62, 'a') + "//ask//" << bytes({0, 0}) << quint16(0)
        << QByteArrayList{"ignored:" + QByteArray(62, 'a') + "//", "ask//"};
}

void TestSimulatedBoard::protocol()
{
    QFETCH(quint16, initial);
    QFETCH(QByteArray, input);

    BoardLogic logic(initial);
    QList<BoardLogic::Command> commands;
    QTEST(logic.feed(input, &commands), "reply");
    QTEST(logic.state(), "final");
    QTEST(describe(commands), "commands");
}

void TestSimulatedBoard::splitAcrossFeeds_data()
{
    QTest::addColumn<int>("chunkSize");
    for (const int size : {1, 2, 3, 5, 7})
        QTest::addRow("%d-byte chunks", size) << size;
}

void TestSimulatedBoard::splitAcrossFeeds()
{
    QFETCH(int, chunkSize);
    const QByteArray stream = QByteArray("\r01+//hello\r") + kSequence + "ask//10+//ask//";

    BoardLogic logic;
    QList<BoardLogic::Command> commands;
    QByteArray reply;
    for (qsizetype at = 0; at < stream.size(); at += chunkSize)
        reply += logic.feed(stream.mid(at, chunkSize), &commands);

    QCOMPARE(reply, bytes({0x80, 0x00, 0x80, 0x40}));
    QCOMPARE(describe(commands),
             (QByteArrayList{"01+//", "ignored:hello", kSequence, "ask//", "10+//", "ask//"}));
}

void TestSimulatedBoard::faultModes_data()
{
    QTest::addColumn<FaultMode>("mode");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<quint16>("final");

    QTest::newRow("none") << FaultMode::None << QByteArray("ask//") << bytes({0x81, 0x40})
                          << quint16(0x8140);
    QTest::newRow("silent ask") << FaultMode::Silent << QByteArray("ask//") << QByteArray()
                                << quint16(0x8140);
    QTest::newRow("silent still switches")
        << FaultMode::Silent << QByteArray("01-//on//ask//") << QByteArray() << quint16(0xFFFF);
    QTest::newRow("short ask") << FaultMode::Short << QByteArray("ask//") << bytes({0x81})
                               << quint16(0x8140);
    QTest::newRow("short switch") << FaultMode::Short << QByteArray("02+//") << QByteArray()
                                  << quint16(0xC140);
    QTest::newRow("long ask") << FaultMode::Long << QByteArray("ask//")
                              << bytes({0x81, 0x40, '\r', '\n'}) << quint16(0x8140);
    QTest::newRow("long off") << FaultMode::Long << QByteArray("off//") << QByteArray()
                              << quint16(0);
    QTest::newRow("chatty switch answers new state")
        << FaultMode::Chatty << QByteArray("01-//") << bytes({0x01, 0x40}) << quint16(0x0140);
    QTest::newRow("chatty on and off")
        << FaultMode::Chatty << QByteArray("on//off//") << bytes({0xFF, 0xFF, 0, 0}) << quint16(0);
    QTest::newRow("chatty sequence")
        << FaultMode::Chatty << QByteArray(kSequence) << bytes({0x81, 0x40}) << quint16(0x8140);
    QTest::newRow("chatty ask answers once")
        << FaultMode::Chatty << QByteArray("ask//") << bytes({0x81, 0x40}) << quint16(0x8140);
    QTest::newRow("chatty ignores unknown")
        << FaultMode::Chatty << QByteArray("17+//") << QByteArray() << quint16(0x8140);
}

void TestSimulatedBoard::faultModes()
{
    QFETCH(FaultMode, mode);
    QFETCH(QByteArray, input);

    BoardLogic logic(0x8140, mode);
    QTEST(logic.feed(input), "reply");
    QTEST(logic.state(), "final");
}

void TestSimulatedBoard::askOverPty()
{
    SimulatedBoard board;
    QSignalSpy commandSpy(&board, &SimulatedBoard::commandReceived);
    QSignalSpy stateSpy(&board, &SimulatedBoard::stateChanged);
    QVERIFY(commandSpy.isValid());
    QVERIFY(stateSpy.isValid());
    QVERIFY2(board.start(), qPrintable(board.errorString()));
    QVERIFY(board.isRunning());

    const ToolEnd tool(board.slavePath());
    QVERIFY2(tool.fd >= 0, qPrintable(board.slavePath()));
    const QByteArray sent("05+//hel\x01o\rask//");
    QVERIFY(tool.write(sent));
    QCOMPARE(tool.read(2), bytes({0x08, 0x00}));
    QCOMPARE(tool.read(1, 100ms), QByteArray());

    QCOMPARE(board.received(), sent);
    QCOMPARE(board.commands(), (QByteArrayList{"05+//", "hel\x01o", "ask//"}));
    QCOMPARE(commandSpy.count(), 3);
    QCOMPARE(commandSpy.at(1).at(0).toByteArray(), QByteArray("hel\x01o"));
    QCOMPARE(commandSpy.at(1).at(1).toBool(), false);
    QCOMPARE(commandSpy.at(2).at(1).toBool(), true);
    QCOMPARE(stateSpy.count(), 1);
    QCOMPARE(stateSpy.at(0).at(0).value<quint16>(), quint16(0x0800));

    board.clearReceived();
    QVERIFY(board.received().isEmpty());
    QVERIFY(board.commands().isEmpty());
}

void TestSimulatedBoard::survivesToolReopeningThroughLink()
{
    const QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("COM1"));
    SimulatedBoard board;
    board.setState(0x8140);
    QVERIFY2(board.start(link), qPrintable(board.errorString()));
    QCOMPARE(board.linkPath(), link);

    for (int opening = 1; opening <= 3; ++opening) {
        {
            const ToolEnd tool(link);
            QVERIFY(tool.fd >= 0);
            QVERIFY(tool.write("ask//"));
            QCOMPARE(tool.read(2), bytes({0x81, 0x40}));
        }
        QTest::qWait(20); // the board runs while nobody has the line open
    }
}

void TestSimulatedBoard::lineIsRawBothWays()
{
    SimulatedBoard board;
    QVERIFY2(board.start(), qPrintable(board.errorString()));
    const ToolEnd tool(board.slavePath(), false); // the board has to make the line raw itself
    QByteArray everyByte;
    for (int value = 0; value < 256; ++value)
        everyByte += char(value);

    QVERIFY(tool.write(everyByte));
    QTRY_COMPARE(board.received(), everyByte);
    board.send(everyByte);
    QCOMPARE(tool.read(256), everyByte);
}

void TestSimulatedBoard::slowModeAnswersLateAndInOrder()
{
    SimulatedBoard board;
    board.setReplyDelay(300ms);
    QVERIFY2(board.start(), qPrintable(board.errorString()));
    const ToolEnd tool(board.slavePath());

    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(tool.write("ask//"));
    QTRY_COMPARE(board.commands().size(), 1);
    board.setState(0xFFFF);
    board.setReplyDelay(0ms); // the second answer must still wait for the first
    QVERIFY(tool.write("ask//"));

    QCOMPARE(tool.read(4), bytes({0, 0, 0xFF, 0xFF}));
    QVERIFY2(elapsed.elapsed() >= 300, qPrintable(QString::number(elapsed.elapsed())));
}

void TestSimulatedBoard::lineAtItsBaudRateAndLatency()
{
    SimulatedBoard board;
    board.setLine(1200, 50ms); // 8.3 ms a byte
    QVERIFY2(board.start(), qPrintable(board.errorString()));
    const ToolEnd tool(board.slavePath());
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(tool.write("ask//"));
    QTRY_COMPARE(board.commands().size(), 1);
    QVERIFY2(elapsed.elapsed() >= 41, qPrintable(QString::number(elapsed.elapsed())));
    // Then the answer's two bytes on the wire, handed on when the adapter's timer runs out.
    QCOMPARE(tool.read(2), bytes({0, 0}));
    QVERIFY2(elapsed.elapsed() >= 41 + 16, qPrintable(QString::number(elapsed.elapsed())));
}

// A machine too busy to run the board on time, made certain: every switch holds the board for
// about three commands' worth of the wire, so bytes pile up behind each answer it gives.
void TestSimulatedBoard::busyBoardKeepsWireOrder()
{
    SimulatedBoard board;
    board.setLine(9600, 0ms);
    connect(&board, &SimulatedBoard::stateChanged, &board, [] { QThread::msleep(25); });
    QVERIFY2(board.start(), qPrintable(board.errorString()));
    const ToolEnd tool(board.slavePath());
    QByteArray stream;
    QByteArray answers;
    QByteArrayList commands;
    for (int round = 0; round < 10; ++round) {
        stream += "on//ask//off//ask//";
        answers += bytes({0xFF, 0xFF, 0x00, 0x00});
        commands << "on//"
                 << "ask//"
                 << "off//"
                 << "ask//";
    }
    QVERIFY(tool.write(stream));
    QCOMPARE(tool.read(answers.size()), answers);
    QCOMPARE(board.commands(), commands);
    QCOMPARE(tool.read(1, 100ms), QByteArray());
}

void TestSimulatedBoard::vanishHangsUpToolAndRemovesLink()
{
    const QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("by-id/deeper/COM1"));
    SimulatedBoard board;
    QVERIFY2(board.start(link), qPrintable(board.errorString()));
    const ToolEnd tool(link);
    QVERIFY(tool.fd >= 0);

    board.vanish();
    QVERIFY(!board.isRunning());
    QVERIFY(!isSymlink(link));
    QTRY_VERIFY(tool.hungUp());

    QVERIFY2(board.start(link), qPrintable(board.errorString()));
    const ToolEnd replugged(link);
    QVERIFY(replugged.write("ask//"));
    QCOMPARE(replugged.read(2), bytes({0, 0}));
}

void TestSimulatedBoard::destructorRemovesLink()
{
    const QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("COM1"));
    {
        SimulatedBoard board;
        QVERIFY2(board.start(link), qPrintable(board.errorString()));
        QVERIFY(isSymlink(link));
    }
    QVERIFY(!isSymlink(link));
}

void TestSimulatedBoard::linkPlacement_data()
{
    QTest::addColumn<QString>("existing");
    QTest::addColumn<bool>("placed");
    QTest::newRow("free path") << QString() << true;
    QTest::newRow("old symlink replaced") << QStringLiteral("symlink") << true;
    QTest::newRow("regular file kept") << QStringLiteral("file") << false;
    QTest::newRow("directory kept") << QStringLiteral("directory") << false;
}

void TestSimulatedBoard::linkPlacement()
{
    QFETCH(QString, existing);
    QFETCH(bool, placed);
    const QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("COM1"));
    if (existing == QLatin1String("symlink"))
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), link));
    if (existing == QLatin1String("file"))
        QVERIFY(QFile(link).open(QIODevice::WriteOnly));
    if (existing == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(link));

    SimulatedBoard board;
    QCOMPARE(board.start(link), placed);
    if (placed) {
        QCOMPARE(QFile::symLinkTarget(link), board.slavePath());
    } else {
        QVERIFY(!board.isRunning());
        QVERIFY(board.errorString().contains(link));
        QVERIFY(!isSymlink(link));
        QVERIFY(QFileInfo::exists(link));
    }
}

void TestSimulatedBoard::byteLog()
{
    const QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bytes.log"));
    QFile earlier(path);
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier");
    earlier.close();

    SimulatedBoard board;
    QVERIFY(!board.setByteLog(dir.filePath(QStringLiteral("missing/bytes.log"))));
    QVERIFY(!board.errorString().isEmpty());
    QVERIFY2(board.setByteLog(path), qPrintable(board.errorString()));
    QVERIFY2(board.start(), qPrintable(board.errorString()));
    const ToolEnd tool(board.slavePath());
    const QByteArray sent("ask//\r\x00\xFF\n", 9);
    QVERIFY(tool.write(sent));
    QTRY_COMPARE(fileContent(path), "earlier" + sent);
}

void TestSimulatedBoard::commandAnswersAndCleansUpOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestSimulatedBoard::commandAnswersAndCleansUpOnSignal()
{
    QFETCH(int, signal);
    const QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("COM1"));
    QProcess sim;
    sim.start(QStringLiteral(USB16RELAY_SIM_PATH),
              {QStringLiteral("--link"), link, QStringLiteral("--quiet"), QStringLiteral("--state"),
               QStringLiteral("8140")});
    QVERIFY(sim.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(isSymlink(link), 10000);

    {
        const ToolEnd tool(link);
        QVERIFY(tool.write("ask//"));
        QCOMPARE(tool.read(2), bytes({0x81, 0x40}));
    }
    QCOMPARE(::kill(pid_t(sim.processId()), signal), 0);
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!isSymlink(link));
    QCOMPARE(sim.readAllStandardOutput(), QByteArray());
    QCOMPARE(sim.readAllStandardError(), QByteArray());
}

void TestSimulatedBoard::commandLogsPlainLinesWhenPiped()
{
    const QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("COM1"));
    QProcess sim;
    sim.start(QStringLiteral(USB16RELAY_SIM_PATH), {QStringLiteral("--link"), link});
    QVERIFY(sim.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(isSymlink(link), 10000);
    {
        const ToolEnd tool(link);
        QVERIFY(tool.write("05+//he\x01lo\rask//"));
        QCOMPARE(tool.read(2), bytes({0x08, 0x00}));
    }
    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));

    const QByteArray out = sim.readAllStandardOutput();
    QVERIFY2(!out.contains('\r'), out.constData());
    QVERIFY2(out.contains(QFile::encodeName(link)), out.constData());
    QVERIFY2(out.contains("05+//  relay 5 on"), out.constData());
    QVERIFY2(out.contains("he<01>lo  ignored"), out.constData());
}

void TestSimulatedBoard::commandRejectsBadOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("complaint");
    const auto row = [](const char *name, QStringList arguments, const char *complaint) {
        QTest::newRow(name) << arguments << QString::fromLatin1(complaint);
    };
    row("state with a non-hex digit", {"--state", "81G0"}, "--state");
    row("state too short", {"--state", "814"}, "--state");
    row("state too long", {"--state", "81400"}, "--state");
    row("state with 0x prefix", {"--state", "0x81"}, "--state");
    row("two fault modes", {"--silent", "--chatty"}, "at most one");
    row("negative delay", {"--slow=-5"}, "--slow");
    row("delay not a number", {"--slow", "soon"}, "--slow");
    row("link over a regular file", {"--link", "{dir}/file"}, "not a symbolic link");
}

void TestSimulatedBoard::commandRejectsBadOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, complaint);
    const QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("file"));
    QFile keep(file);
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.write("keep");
    keep.close();
    arguments.replaceInStrings(QStringLiteral("{dir}"), dir.path());
    if (!arguments.contains(QStringLiteral("--link")))
        arguments << QStringLiteral("--link") << dir.filePath(QStringLiteral("COM1"));

    QProcess sim;
    sim.start(QStringLiteral(USB16RELAY_SIM_PATH), arguments);
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QVERIFY(sim.exitCode() != 0);
    const QString error = QString::fromLocal8Bit(sim.readAllStandardError());
    QVERIFY2(error.contains(complaint), qPrintable(error));
    QVERIFY(!isSymlink(dir.filePath(QStringLiteral("COM1"))));
    QCOMPARE(fileContent(file), QByteArray("keep"));
}

QTEST_GUILESS_MAIN(TestSimulatedBoard)
#include "tst_simulatedboard.moc"
