// The real usb16relay-ctl against simulated boards on ptys: the usb16relay-sim command in its
// normal and fault modes, and an in-process SimulatedBoard where a test must change the board
// behind the program's back (a stuck relay, a state change during watch, an unplug).
#include "comportpath.h"
#include "serialdevice.h"
#include "seriallink.h"
#include "simulatedboard.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int kWait = 10000;

#ifdef USB16RELAYD_PATH
constexpr bool kServiceBuilt = true;
constexpr const char *kServicePath = USB16RELAYD_PATH;
#else
constexpr bool kServiceBuilt = false;
constexpr const char *kServicePath = "";
#endif

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

// Keeps the event loop turning (in-process boards answer on it) until the process ends.
bool finish(QProcess &process, int timeout = kWait)
{
    const QDeadlineTimer deadline(timeout);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(2);
    return process.state() == QProcess::NotRunning;
}

// The commands a board received, in order, without the status requests.
QList<QByteArray> commandsIn(const QByteArray &log)
{
    QList<QByteArray> commands;
    for (const QByteArray &command : log.split('/')) {
        if (!command.isEmpty() && command != "ask")
            commands.append(command + "//");
    }
    return commands;
}

QList<bool> relays(quint16 mask)
{
    QList<bool> states;
    for (int i = 0; i < 16; ++i)
        states.append((mask & (0x8000u >> i)) != 0);
    return states;
}

QList<bool> relaysOf(const QByteArray &json)
{
    QList<bool> states;
    const QJsonArray array = QJsonDocument::fromJson(json).object().value(u"relays").toArray();
    for (const QJsonValue &value : array)
        states.append(value.toBool());
    return states;
}

} // namespace

class TestCtl final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void usageErrors_data();
    void usageErrors();
    void helpAndVersion();

    void statusText();
    void statusJson();
    void statusFromLowestPortOrDevice();
    void switching_data();
    void switching();
    void switchingPrintsJson();
    void setSendsOnlyNeededCommands_data();
    void setSendsOnlyNeededCommands();
    void pulseEndsInOriginalState();
    void pulseInterrupted_data();
    void pulseInterrupted();
    void send();
    void sendRaw();
    void ports();
    void watchPrintsChanges();
    void signalEndsAnyWait_data();
    void signalEndsAnyWait();
    void watchEndsWhenItsReaderIsGone();
    void outputFailures_data();
    void outputFailures();
    void simulatedBoardWithItsOutputClosed();
    void sendNamesAByteThatIsNotText_data();
    void sendNamesAByteThatIsNotText();
    void waitForABusyPort_data();
    void waitForABusyPort();

    void cannotOpen_data();
    void cannotOpen();
    void permissionDenied();
    void busyWhileAnotherProgramHoldsIt();
    void busyWhileTheWindowHoldsIt();
    void noAnswer_data();
    void noAnswer();
    void unpluggedHalfway();
    void floodNeverBreaksALine_data();
    void floodNeverBreaksALine();
    void faultyButAnswering_data();
    void faultyButAnswering();
    void wrongState_data();
    void wrongState();
    void lateAnswersAreNeverTakenAsOurs_data();
    void lateAnswersAreNeverTakenAsOurs();
    void randomCommandsAgainstALateBoardNeverLie();
    void hostileFilesInSharedPlaces_data();
    void hostileFilesInSharedPlaces();
    void traceShowsEveryByte();
    void servedBoardRefuses_data();
    void throughTheServiceSaysHowToGoOn_data();
    void throughTheServiceSaysHowToGoOn();
    void throughTheServiceJsonNamesOneDevice();
    void servedBoardRefuses();
    void serviceRecordsWhoSwitched();
    void serviceThatSaysOtherwise_data();
    void serviceThatSaysOtherwise();
    void aSocketAStrangerServesIsNotBelieved();
    void aSocketSystemdHandsOver();

private:
    using Prepare = std::function<void(QProcess &)>;

    // usb16relay-sim as COM n; the byte log records what it received.
    bool startSim(int n, const QStringList &extra = {}, const Prepare &prepare = {});
    QByteArray byteLog(int n) const;
    QString deviceOf(int n) const;
    // An in-process board as COM n.
    SimulatedBoard *startBoard(int n, quint16 state = 0);
    // usb16relayd serving COM n as board "b1" on a socket only, with `extra` lines in the
    // board's section; the socket's path, or empty.
    QString startService(int n, const QString &extra = {});
    QProcess *startCtl(const QStringList &arguments, const Prepare &prepare = {});
    Result ctl(const QStringList &arguments, const Prepare &prepare = {});

    std::unique_ptr<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    std::vector<std::unique_ptr<SimulatedBoard>> m_boards;
};

void TestCtl::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestCtl::cleanup()
{
    for (const auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(kWait))
                process->kill();
        }
    }
    m_processes.clear();
    m_boards.clear();
    m_dir.reset();
}

bool TestCtl::startSim(int n, const QStringList &extra, const Prepare &prepare)
{
    const QString link = m_dir->filePath(QStringLiteral("COM%1").arg(n));
    auto sim = std::make_unique<QProcess>();
    if (prepare)
        prepare(*sim);
    sim->start(QStringLiteral(USB16RELAY_SIM_PATH),
               QStringList{QStringLiteral("--link"), link, QStringLiteral("--quiet"),
                           QStringLiteral("--byte-log"),
                           m_dir->filePath(QStringLiteral("log%1").arg(n))} +
                   extra);
    if (!sim->waitForStarted(kWait))
        return false;
    m_processes.push_back(std::move(sim));
    const QDeadlineTimer deadline(kWait);
    while (!QFileInfo(link).isSymLink() && !deadline.hasExpired())
        QTest::qWait(5);
    return QFileInfo(link).isSymLink();
}

QByteArray TestCtl::byteLog(int n) const
{
    QFile log(m_dir->filePath(QStringLiteral("log%1").arg(n)));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

QString TestCtl::deviceOf(int n) const
{
    return QFileInfo(m_dir->filePath(QStringLiteral("COM%1").arg(n))).canonicalFilePath();
}

SimulatedBoard *TestCtl::startBoard(int n, quint16 state)
{
    auto board = std::make_unique<SimulatedBoard>();
    board->setState(state);
    if (!board->start(m_dir->filePath(QStringLiteral("COM%1").arg(n))))
        return nullptr;
    m_boards.push_back(std::move(board));
    return m_boards.back().get();
}

QString TestCtl::startService(int n, const QString &extra)
{
#ifndef USB16RELAYD_PATH
    Q_UNUSED(n);
    Q_UNUSED(extra);
    return {};
#else
    const QString socket = m_dir->filePath(QStringLiteral("http.sock"));
    QFile config(m_dir->filePath(QStringLiteral("d.conf")));
    if (!config.open(QIODevice::WriteOnly))
        return {};
    config.write(QStringLiteral("[service]\nsocket = %1\n[b1]\ndevice = %2\npoll_interval = 100\n"
                                "relay1 = Pump\nrelay2 = Fan\n%3")
                     .arg(socket, m_dir->filePath(QStringLiteral("COM%1").arg(n)), extra)
                     .toUtf8());
    config.close();
    auto service = std::make_unique<QProcess>();
    service->setStandardErrorFile(QProcess::nullDevice());
    service->start(QStringLiteral(USB16RELAYD_PATH),
                   {QStringLiteral("--config"), config.fileName()});
    m_processes.push_back(std::move(service));
    // Served once the board answers through the socket.
    const QDeadlineTimer deadline(kWait);
    while (!deadline.hasExpired()) {
        if (QFileInfo::exists(socket) &&
            ctl({QStringLiteral("--board"), QStringLiteral("b1"), QStringLiteral("--socket"),
                 socket, QStringLiteral("status")})
                    .exitCode == 0)
            break;
        QTest::qWait(50);
    }
    return QFileInfo::exists(socket) ? socket : QString();
#endif
}

QProcess *TestCtl::startCtl(const QStringList &arguments, const Prepare &prepare)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("USB16RELAY_PORT_DIR"), m_dir->path());
    environment.insert(QStringLiteral("USB16RELAY_OWED_DIR"), m_dir->path());
    process->setProcessEnvironment(environment);
    if (prepare)
        prepare(*process);
    process->start(QStringLiteral(USB16RELAY_CTL_PATH), arguments);
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

Result TestCtl::ctl(const QStringList &arguments, const Prepare &prepare)
{
    QElapsedTimer clock;
    clock.start();
    QProcess *process = startCtl(arguments, prepare);
    Result result;
    if (!finish(*process))
        return result;
    result.ms = clock.elapsed();
    result.exitCode = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -2;
    result.out = process->readAllStandardOutput();
    result.err = process->readAllStandardError();
    return result;
}

void TestCtl::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, QStringList arguments, const char *expected) {
        QTest::newRow(name) << arguments << QString::fromUtf8(expected);
    };
    row("no command", {}, "expected a command");
    row("unknown command", {"frob"}, "unknown command \"frob\"");
    row("unknown option", {"--frob", "status"}, "Unknown option");
    row("relay 0", {"on", "0"}, "relay number from 1 to 16, got \"0\"");
    row("relay 17", {"off", "17"}, "relay number from 1 to 16, got \"17\"");
    row("relay not a number", {"toggle", "five"}, "relay number from 1 to 16, got \"five\"");
    row("relay negative", {"on", "--", "-1"}, "relay number from 1 to 16, got \"-1\"");
    row("on without relays", {"on"}, "one or more relay numbers");
    row("mask too long", {"set", "12345"}, "exactly four hex digits");
    row("mask too short", {"set", "840"}, "exactly four hex digits");
    row("mask not hex", {"set", "81G0"}, "exactly four hex digits");
    row("relay negative as an option", {"on", "-1"}, "relay number from 1 to 16, got \"-1\"");
    row("pulse time negative", {"pulse", "5", "-100"}, "pulse expects milliseconds");
    row("port repeated", {"--port", "1", "--port", "2", "status"},
        "--port is given more than once");
    row("flag repeated", {"--json", "status", "--json"}, "--json is given more than once");
    row("wait malformed", {"--wait", "soon", "status"}, "--wait expects seconds");
    row("value missing", {"status", "--timeout"}, "Missing value after '--timeout'");
    row("mask missing", {"set"}, "one mask of hex digits");
    row("pulse without time", {"pulse", "5"}, "a relay number and milliseconds");
    row("pulse time malformed", {"pulse", "5", "1s"}, "pulse expects milliseconds");
    row("pulse time zero", {"pulse", "5", "0"}, "pulse expects milliseconds");
    row("pulse relay 17", {"pulse", "17", "100"}, "relay number from 1 to 16");
    row("port 0", {"--port", "0", "status"}, "--port expects a COM number from 1 to 16");
    row("port 17", {"--port", "17", "status"}, "--port expects a COM number from 1 to 16");
    row("port and device", {"--port", "1", "--device", "/dev/null", "status"}, "not both");
    row("timeout malformed", {"--timeout", "soon", "status"}, "--timeout expects milliseconds");
    row("interval outside watch", {"--interval", "100", "status"}, "--interval belongs to watch");
    row("raw outside send", {"--raw", "status"}, "--raw belongs to send");
    row("status with argument", {"status", "5"}, "status expects no arguments");
    row("send outside Latin-1", {"send", "caf\u20ac"}, "Latin-1");
    row("send two texts", {"send", "a", "b"}, "one TEXT");
    row("ports with port", {"--port", "1", "ports"}, "do not apply");
}

void TestCtl::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QVERIFY(startSim(1));
    const Result result = ctl(arguments);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    const QString error = QString::fromUtf8(result.err);
    QVERIFY2(error.contains(expected), qPrintable(error));
    QVERIFY(result.err.endsWith('\n'));
    QCOMPARE(result.err.count('\n'), 1);
    QCOMPARE(byteLog(1), QByteArray()); // nothing reached the board
}

void TestCtl::helpAndVersion()
{
    const Result help = ctl({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    QCOMPARE(help.err, QByteArray());
    for (const char *word : {"Exit status", "dialout", "130", "pulse N MS", "--json"})
        QVERIFY2(help.out.contains(word), word);
    const Result version = ctl({QStringLiteral("--version")});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QByteArray("usb16relay-ctl " USB16RELAY_VERSION "\n"));
}

void TestCtl::statusText()
{
    QVERIFY(startSim(1, {QStringLiteral("--state"), QStringLiteral("8140")}));
    const Result result = ctl({QStringLiteral("status")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, QByteArray("1:on 2:off 3:off 4:off 5:off 6:off 7:off 8:on 9:off 10:on "
                                    "11:off 12:off 13:off 14:off 15:off 16:off\n"));
    QCOMPARE(byteLog(1), QByteArray("ask//ask//"));
}

void TestCtl::statusJson()
{
    QVERIFY(startSim(1, {QStringLiteral("--state"), QStringLiteral("8140")}));
    const Result result = ctl({QStringLiteral("--json"), QStringLiteral("status")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.out.endsWith("}\n"));
    QCOMPARE(result.out.count('\n'), 1);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(result.out, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(document.isObject());
    const QJsonObject object = document.object();
    QCOMPARE(object.keys(), (QStringList{"device", "port", "relays"}));
    QCOMPARE(object.value(u"port").toString(), QStringLiteral("COM1"));
    QCOMPARE(object.value(u"device").toString(),
             QFileInfo(m_dir->filePath(QStringLiteral("COM1"))).canonicalFilePath());
    QVERIFY(result.out.startsWith("{\"port\":\"COM1\",\"device\":"));
    QCOMPARE(relaysOf(result.out), relays(0x8140));
}

void TestCtl::statusFromLowestPortOrDevice()
{
    QVERIFY(startSim(5, {QStringLiteral("--state"), QStringLiteral("0001")}));
    QVERIFY(startSim(2, {QStringLiteral("--state"), QStringLiteral("8000")}));
    Result result = ctl({QStringLiteral("--json"), QStringLiteral("status")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(result.out).object().value(u"port").toString(),
             QStringLiteral("COM2"));
    QCOMPARE(relaysOf(result.out), relays(0x8000));

    result = ctl({QStringLiteral("--port"), QStringLiteral("5"), QStringLiteral("--json"),
                  QStringLiteral("status")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(relaysOf(result.out), relays(0x0001));

    const QString device = QFileInfo(m_dir->filePath(QStringLiteral("COM5"))).canonicalFilePath();
    result = ctl(
        {QStringLiteral("--device"), device, QStringLiteral("--json"), QStringLiteral("status")});
    QCOMPARE(result.exitCode, 0);
    const QJsonObject object = QJsonDocument::fromJson(result.out).object();
    QVERIFY(object.value(u"port").isNull());
    QCOMPARE(object.value(u"device").toString(), device);
    QCOMPARE(relaysOf(result.out), relays(0x0001));
}

void TestCtl::switching_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<quint16>("expected");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<bool>("served"); // the port held by usb16relayd: through its socket
    const auto row = [](const char *name, const char *initial, QStringList arguments,
                        quint16 expected, QList<QByteArray> sent) {
        for (const bool served : {false, true})
            QTest::addRow("%s%s", name, served ? ", through usb16relayd" : "")
                << QString::fromLatin1(initial) << arguments << expected << sent << served;
    };
    row("on 5", "0000", {"on", "5"}, 0x0800, {"05+//"});
    row("on several", "0000", {"on", "1", "16", "8"}, 0x8101, {"01+//", "16+//", "08+//"});
    row("on already on", "0800", {"on", "5"}, 0x0800, {"05+//"});
    row("off several", "8140", {"off", "1", "10"}, 0x0100, {"01-//", "10-//"});
    row("toggle from the board's state", "8140", {"toggle", "1", "2"}, 0x4140, {"01-//", "02+//"});
    row("all-on", "8140", {"all-on"}, 0xFFFF, {"on//"});
    row("all-off", "8140", {"all-off"}, 0x0000, {"off//"});
    row("set", "8140", {"set", "0x8001"}, 0x8001, {"08-//", "10-//", "16+//"});
}

void TestCtl::switching()
{
    QFETCH(QString, initial);
    QFETCH(QStringList, arguments);
    QFETCH(quint16, expected);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(bool, served);
    QVERIFY(startSim(1, {QStringLiteral("--state"), initial}));
    QStringList route;
    if (served && !kServiceBuilt)
        QSKIP("usb16relayd is not built here");
    if (served) {
        const QString socket = startService(1);
        if (socket.isEmpty())
            QVERIFY2(!socket.isEmpty(), "usb16relayd did not start");
        route = QStringList{QStringLiteral("--socket"), socket};
    }
    const Result result = ctl(route + arguments);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QByteArray()); // quiet on success
    if (!served) {
        QCOMPARE(commandsIn(byteLog(1)), sent);
        QVERIFY2(byteLog(1).endsWith("ask//"), byteLog(1).constData()); // verified after sending
    }

    const Result status =
        ctl(route + QStringList{QStringLiteral("--json"), QStringLiteral("status")});
    QCOMPARE(status.exitCode, 0);
    QCOMPARE(relaysOf(status.out), relays(expected));
}

void TestCtl::switchingPrintsJson()
{
    QVERIFY(startSim(1));
    const Result result =
        ctl({QStringLiteral("--json"), QStringLiteral("on"), QStringLiteral("3")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(relaysOf(result.out), relays(0x2000));
}

void TestCtl::setSendsOnlyNeededCommands_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::newRow("nothing differs") << "8140"
                                     << "8140" << QList<QByteArray>{};
    QTest::newRow("one differs") << "8140"
                                 << "8141" << QList<QByteArray>{"16+//"};
    QTest::newRow("all on, several differ") << "8140"
                                            << "ffff" << QList<QByteArray>{"on//"};
    QTest::newRow("all on, one differs") << "fffe"
                                         << "FFFF" << QList<QByteArray>{"16+//"};
    QTest::newRow("all off, several differ") << "8140"
                                             << "0000" << QList<QByteArray>{"off//"};
    QTest::newRow("all off, one differs") << "0100"
                                          << "0000" << QList<QByteArray>{"08-//"};
}

void TestCtl::setSendsOnlyNeededCommands()
{
    QFETCH(QString, initial);
    QFETCH(QString, mask);
    QFETCH(QList<QByteArray>, sent);
    QVERIFY(startSim(1, {QStringLiteral("--state"), initial}));
    const Result result = ctl({QStringLiteral("--json"), QStringLiteral("set"), mask});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(relaysOf(result.out), relays(quint16(mask.toUInt(nullptr, 16))));
    QCOMPARE(commandsIn(byteLog(1)), sent);
    QVERIFY(byteLog(1).startsWith("ask//")); // decided from the board's state
}

void TestCtl::pulseEndsInOriginalState()
{
    QVERIFY(startSim(1, {QStringLiteral("--state"), QStringLiteral("0800")}));
    const Result result =
        ctl({QStringLiteral("pulse"), QStringLiteral("5"), QStringLiteral("300")});
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.ms >= 300, QByteArray::number(result.ms).constData());
    QCOMPARE(commandsIn(byteLog(1)), (QList<QByteArray>{"05-//", "05+//"}));
    const Result status = ctl({QStringLiteral("--json"), QStringLiteral("status")});
    QCOMPARE(relaysOf(status.out), relays(0x0800));
}

void TestCtl::pulseInterrupted_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl-C") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP, a dropped session") << int(SIGHUP);
    QTest::newRow("SIGQUIT") << int(SIGQUIT);
    QTest::newRow("SIGUSR1") << int(SIGUSR1);
    QTest::newRow("SIGUSR2") << int(SIGUSR2);
    QTest::newRow("SIGALRM") << int(SIGALRM);
    QTest::newRow("SIGPIPE") << int(SIGPIPE);
}

void TestCtl::pulseInterrupted()
{
    QFETCH(int, signal);
    QVERIFY(startSim(1, {QStringLiteral("--state"), QStringLiteral("8140")}));
    QElapsedTimer clock;
    clock.start();
    QProcess *pulse =
        startCtl({QStringLiteral("pulse"), QStringLiteral("1"), QStringLiteral("20000")});
    QTRY_VERIFY_WITH_TIMEOUT(byteLog(1).contains("01-//ask//"), kWait);
    QTest::qWait(50); // into the pulse's wait
    QCOMPARE(::kill(pid_t(pulse->processId()), signal), 0);
    QVERIFY(finish(*pulse));
    // The pulse lasts 20 s; finish() gives up after 10 s, so returning at all means it was cut.
    QCOMPARE(pulse->exitStatus(), QProcess::NormalExit);
    QCOMPARE(pulse->exitCode(), 128 + signal);
    QCOMPARE(pulse->readAllStandardOutput(), QByteArray());
    QVERIFY(pulse->readAllStandardError().contains("relay 1 is back on"));
    QCOMPARE(commandsIn(byteLog(1)), (QList<QByteArray>{"01-//", "01+//"}));
    QVERIFY(byteLog(1).endsWith("01+//ask//ask//"));
    const Result status = ctl({QStringLiteral("--json"), QStringLiteral("status")});
    QCOMPARE(relaysOf(status.out), relays(0x8140));
}

void TestCtl::send()
{
    QVERIFY(startSim(1, {QStringLiteral("--state"), QStringLiteral("8140")}));
    Result result = ctl({QStringLiteral("--timeout"), QStringLiteral("200"), QStringLiteral("send"),
                         QStringLiteral("ask//")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QByteArray("<81>@\n"));
    QVERIFY(result.ms >= 200); // whatever comes within the timeout
    QCOMPARE(byteLog(1), QByteArray("ask//\r"));

    result = ctl({QStringLiteral("--timeout"), QStringLiteral("100"), QStringLiteral("--json"),
                  QStringLiteral("send"), QStringLiteral("ask//")});
    QCOMPARE(result.exitCode, 0);
    const QJsonObject reply = QJsonDocument::fromJson(result.out).object();
    QCOMPARE(reply.value(u"reply").toString(), QStringLiteral("<81>@"));
    QCOMPARE(reply.value(u"hex").toString(), QStringLiteral("8140"));
    QCOMPARE(reply.value(u"port").toString(), QStringLiteral("COM1"));

    // Nothing comes back for a switching command: an empty line.
    result = ctl({QStringLiteral("--timeout"), QStringLiteral("100"), QStringLiteral("send"),
                  QStringLiteral("05+//")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QByteArray("\n"));

    // Latin-1 text goes out as single bytes.
    result = ctl({QStringLiteral("--timeout"), QStringLiteral("50"), QStringLiteral("send"),
                  QStringLiteral("caf\u00e9")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY(byteLog(1).endsWith("caf\xe9\r"));
}

void TestCtl::sendRaw()
{
    QVERIFY(
        startSim(1, {QStringLiteral("--state"), QStringLiteral("8140"), QStringLiteral("--long")}));
    const Result result =
        ctl({QStringLiteral("--timeout"), QStringLiteral("200"), QStringLiteral("send"),
             QStringLiteral("--raw"), QStringLiteral("ask//")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QByteArray("\x81\x40\r\n"));
}

void TestCtl::ports()
{
    QVERIFY(startSim(3));
    QVERIFY(startSim(1));
    QProcess *holder =
        startCtl({QStringLiteral("--port"), QStringLiteral("3"), QStringLiteral("pulse"),
                  QStringLiteral("2"), QStringLiteral("20000")});
    QTRY_VERIFY_WITH_TIMEOUT(byteLog(3).contains("02+//"), kWait);

    Result result = ctl({QStringLiteral("ports")});
    QCOMPARE(result.exitCode, 0);
    const QList<QByteArray> lines = result.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(0).startsWith("COM1: " + QFile::encodeName(m_dir->path())), lines.at(0));
    QVERIFY2(!lines.at(0).contains("busy"), lines.at(0));
    QVERIFY2(lines.at(1).startsWith("COM3: "), lines.at(1));
    QVERIFY2(lines.at(1).endsWith(", busy"), lines.at(1));

    result = ctl({QStringLiteral("--json"), QStringLiteral("ports")});
    QCOMPARE(result.exitCode, 0);
    const QJsonArray array = QJsonDocument::fromJson(result.out).array();
    QCOMPARE(array.size(), 2);
    QCOMPARE(array.at(0).toObject().value(u"port").toString(), QStringLiteral("COM1"));
    QCOMPARE(array.at(0).toObject().value(u"access").toString(), QStringLiteral("free"));
    QCOMPARE(array.at(1).toObject().value(u"access").toString(), QStringLiteral("busy"));
    QCOMPARE(array.at(1).toObject().value(u"device").toString(),
             QFileInfo(m_dir->filePath(QStringLiteral("COM3"))).canonicalFilePath());

    QCOMPARE(::kill(pid_t(holder->processId()), SIGINT), 0);
    QVERIFY(finish(*holder));
    QCOMPARE(holder->exitCode(), 130);
}

void TestCtl::watchPrintsChanges()
{
    SimulatedBoard *board = startBoard(1, 0x8000);
    QVERIFY(board);
    QProcess *watch = startCtl({QStringLiteral("--json"), QStringLiteral("watch"),
                                QStringLiteral("--interval"), QStringLiteral("20")});
    QTRY_COMPARE_WITH_TIMEOUT(watch->bytesAvailable() > 0, true, kWait);
    QTest::qWait(100); // several rounds, no change
    board->setState(0x0001);
    QTRY_COMPARE_WITH_TIMEOUT(watch->peek(4096).count('\n'), 2, kWait);
    QTest::qWait(100);
    QCOMPARE(::kill(pid_t(watch->processId()), SIGINT), 0);
    QVERIFY(finish(*watch));
    QCOMPARE(watch->exitCode(), 0);
    QCOMPARE(watch->readAllStandardError(), QByteArray());
    const QList<QByteArray> lines = watch->readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(relaysOf(lines.at(0)), relays(0x8000));
    QCOMPARE(relaysOf(lines.at(1)), relays(0x0001));
    const QDateTime time = QDateTime::fromString(
        QJsonDocument::fromJson(lines.at(1)).object().value(u"time").toString(), Qt::ISODateWithMs);
    QVERIFY(time.isValid());
    QVERIFY(board->commands().size() >= 8); // asked every interval
}

void TestCtl::signalEndsAnyWait_data()
{
    QTest::addColumn<QStringList>("simOptions");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");
    const auto row = [](const char *name, QStringList options, QStringList arguments, int signal,
                        int exitCode) {
        QTest::newRow(name) << options << arguments << signal << exitCode;
    };
    row("watch, silent board, SIGTERM", {"--silent"}, {"watch"}, SIGTERM, 0);
    row("watch, silent board, SIGHUP", {"--silent"}, {"watch"}, SIGHUP, 128 + SIGHUP);
    row("status, silent board, Ctrl-C", {"--silent"}, {"status"}, SIGINT, 128 + SIGINT);
    row("switching, silent board, SIGTERM", {"--silent"}, {"on", "2"}, SIGTERM, 128 + SIGTERM);
    // The board's answer is on its way: the pulse must not go on to switch once it comes.
    row("pulse's first read, Ctrl-C", {"--slow", "1500"}, {"pulse", "1", "100"}, SIGINT,
        128 + SIGINT);
    row("pulse's first read, SIGHUP", {"--slow", "1500"}, {"pulse", "1", "100"}, SIGHUP,
        128 + SIGHUP);
}

void TestCtl::signalEndsAnyWait()
{
    QFETCH(QStringList, simOptions);
    QFETCH(QStringList, arguments);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QVERIFY(startSim(1, simOptions));
    // A minute's timeout; finish() gives up after ten seconds, so ending at all means the signal
    // cut the wait short.
    QProcess *process =
        startCtl(QStringList{QStringLiteral("--timeout"), QStringLiteral("60000")} + arguments);
    QTRY_VERIFY_WITH_TIMEOUT(byteLog(1).contains("ask//"), kWait);
    QTest::qWait(50);
    QCOMPARE(::kill(pid_t(process->processId()), signal), 0);
    QVERIFY(finish(*process));
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), exitCode);
    QCOMPARE(process->readAllStandardOutput(), QByteArray());
    const QByteArray error = process->readAllStandardError();
    if (arguments.first() == QLatin1String("pulse"))
        QVERIFY2(error.contains("nothing was switched"), error.constData());
    if (arguments.first() == QLatin1String("pulse")) {
        QTest::qWait(1600); // the late answer has come and gone
        QCOMPARE(commandsIn(byteLog(1)), QList<QByteArray>{});
    }
    QVERIFY2(SerialDevice::lockFilePath(deviceOf(1)).isEmpty(), "the port's lock is left behind");
}

void TestCtl::watchEndsWhenItsReaderIsGone()
{
    QVERIFY(startSim(1, {QStringLiteral("--state"), QStringLiteral("8140")}));
    // watch | head -n 1, and the state never changes: only the reader's leaving can end it.
    QProcess head;
    QProcess *watch =
        startCtl({QStringLiteral("watch"), QStringLiteral("--interval"), QStringLiteral("20")},
                 [&head](QProcess &process) { process.setStandardOutputProcess(&head); });
    head.start(QStringLiteral("head"), {QStringLiteral("-n"), QStringLiteral("1")});
    QVERIFY(head.waitForStarted(kWait));
    QVERIFY(finish(head));
    QCOMPARE(head.readAllStandardOutput().count('\n'), 1);
    QVERIFY(finish(*watch));
    QCOMPARE(watch->exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch->exitCode(), 128 + SIGPIPE);
    QCOMPARE(watch->readAllStandardError(), QByteArray());
    QCOMPARE(ctl({QStringLiteral("status")}).exitCode, 0); // the port was let go
}

void TestCtl::outputFailures_data()
{
    QTest::addColumn<QList<int>>("closed");
    QTest::addColumn<QString>("outputFile");
    QTest::addColumn<QStringList>("simOptions");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("error");
    const auto row = [](const char *name, QList<int> closed, const char *file,
                        QStringList simOptions, int exitCode, const char *error) {
        QTest::newRow(name) << closed << QString::fromLatin1(file) << simOptions << exitCode
                            << QByteArray(error);
    };
    row("output to a full disk", {}, "/dev/full", {}, 1, "No space left on device");
    row("output closed", {1}, "", {}, 1, "Bad file descriptor");
    row("input, output and error closed", {0, 1, 2}, "", {}, 1, "");
    // The message that the board did not answer names "ask//": it must not reach the board,
    // which is where it went when the port took descriptor 2.
    row("input, output and error closed, silent board", {0, 1, 2}, "", {"--silent"}, 3, "");
}

void TestCtl::outputFailures()
{
    QFETCH(QList<int>, closed);
    QFETCH(QString, outputFile);
    QFETCH(QStringList, simOptions);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, error);
    QVERIFY(startSim(1, simOptions));
    const Result result = ctl({QStringLiteral("--timeout"), QStringLiteral("200"),
                               QStringLiteral("--json"), QStringLiteral("status")},
                              [closed, outputFile](QProcess &process) {
                                  if (!outputFile.isEmpty())
                                      process.setStandardOutputFile(outputFile);
                                  process.setChildProcessModifier([closed] {
                                      for (const int fd : closed)
                                          ::close(fd);
                                  });
                              });
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.out, QByteArray());
    if (!error.isEmpty()) {
        QVERIFY2(result.err.contains(error), result.err.constData());
        QCOMPARE(result.err.count('\n'), 1);
    }
    // Status requests only: nothing meant for the terminal reached the board.
    QVERIFY2(byteLog(1).startsWith("ask//"), byteLog(1).constData());
    QCOMPARE(commandsIn(byteLog(1)), QList<QByteArray>{});
}

void TestCtl::simulatedBoardWithItsOutputClosed()
{
    // Without --quiet the board shows every exchange on its standard output; closed, that must
    // not become the board's pty and send the console to the program as if the board said it.
    QVERIFY(startSim(1, {QStringLiteral("--state"), QStringLiteral("8140")}, [](QProcess &sim) {
        sim.setChildProcessModifier([] {
            for (const int fd : {0, 1, 2})
                ::close(fd);
        });
    }));
    for (int i = 0; i < 3; ++i) {
        const Result result =
            ctl({QStringLiteral("--json"), QStringLiteral("on"), QString::number(i + 2)});
        QCOMPARE(result.err, QByteArray());
        QCOMPARE(result.exitCode, 0);
    }
    const Result result = ctl({QStringLiteral("--json"), QStringLiteral("status")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(relaysOf(result.out), relays(0xF140));
}

void TestCtl::sendNamesAByteThatIsNotText_data()
{
    QTest::addColumn<QString>("text"); // printf's format
    QTest::addColumn<QString>("expected");
    QTest::newRow("a lone Latin-1 byte") << "caf\\351"
                                         << "byte 4 is 0xE9, which is not a character in UTF-8";
    QTest::newRow("byte FF first") << "\\377ask//"
                                   << "byte 1 is 0xFF";
}

void TestCtl::sendNamesAByteThatIsNotText()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QVERIFY(startSim(1));
    // The bytes as a shell gives them; QProcess would encode its arguments as text.
    QProcess process;
    process.start(QStringLiteral("bash"),
                  {QStringLiteral("-c"),
                   QStringLiteral("exec \"$0\" send \"$(printf '%1')\"").arg(text),
                   QStringLiteral(USB16RELAY_CTL_PATH)});
    QVERIFY(finish(process));
    Result result;
    result.exitCode = process.exitCode();
    result.err = process.readAllStandardError();
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(QString::fromUtf8(result.err).contains(expected), result.err.constData());
    QVERIFY2(!result.err.contains("fffd"), result.err.constData());
    QCOMPARE(byteLog(1), QByteArray());
}

void TestCtl::waitForABusyPort_data()
{
    QTest::addColumn<QString>("holdFor");
    QTest::addColumn<QString>("wait");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("let go in time") << "400"
                                    << "10" << 0;
    QTest::newRow("held longer than the wait") << "20000"
                                               << "0.3" << 2;
}

void TestCtl::waitForABusyPort()
{
    QFETCH(QString, holdFor);
    QFETCH(QString, wait);
    QFETCH(int, exitCode);
    QVERIFY(startSim(1));
    QProcess *holder = startCtl({QStringLiteral("pulse"), QStringLiteral("2"), holdFor});
    QTRY_VERIFY_WITH_TIMEOUT(byteLog(1).contains("02+//ask//"), kWait);
    const Result result =
        ctl({QStringLiteral("--wait"), wait, QStringLiteral("--json"), QStringLiteral("status")});
    QVERIFY2(result.exitCode == exitCode, result.err.constData());
    if (exitCode == 0) {
        // Read after the holder switched relay 2 back and let go (it was on while held).
        QCOMPARE(relaysOf(result.out), relays(0x0000));
        QVERIFY(finish(*holder));
        QCOMPARE(holder->exitCode(), 0);
    } else {
        QVERIFY2(result.err.contains("held by usb16relay-ctl"), result.err.constData());
        QVERIFY2(result.ms >= 300, QByteArray::number(result.ms).constData());
    }
}

void TestCtl::cannotOpen_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no COM port at all") << QStringList{"status"} << "No COM port exists";
    QTest::newRow("COM port without device") << QStringList{"--port", "4", "status"} << "COM4 (";
    QTest::newRow("device path missing")
        << QStringList{"--device", "/dev/usb16relay-none", "on", "1"} << "does not exist";
    QTest::newRow("not a serial port")
        << QStringList{"--device", "/dev/null", "status"} << "Cannot open /dev/null";
}

void TestCtl::cannotOpen()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    const Result result = ctl(arguments);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(QString::fromUtf8(result.err).contains(expected), result.err.constData());
}

void TestCtl::permissionDenied()
{
    QVERIFY(startSim(1));
    const QString device = QFileInfo(m_dir->filePath(QStringLiteral("COM1"))).canonicalFilePath();
    QString program = QStringLiteral(USB16RELAY_CTL_PATH);
    QStringList arguments{QStringLiteral("status")};
    if (::geteuid() == 0) {
        // Root opens any device; the program runs as nobody instead, for whom the pty's mode
        // (owner only) forbids it.
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("running as root without setpriv to drop privileges");
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner | QFile::ReadOther |
                                                         QFile::ExeOther));
        arguments = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                QStringLiteral("--clear-groups"), program} +
                    arguments;
        program = setpriv;
    } else {
        QVERIFY(QFile::setPermissions(device, {}));
    }
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("USB16RELAY_PORT_DIR"), m_dir->path());
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    QVERIFY(finish(process));
    QFile::setPermissions(device, QFile::ReadOwner | QFile::WriteOwner);
    if (process.exitCode() == 126 || process.exitCode() == 127)
        QSKIP("the program is out of nobody's reach here");
    QCOMPARE(process.exitCode(), 2);
    const QByteArray error = process.readAllStandardError();
    QVERIFY2(error.contains("permission denied") && error.contains("dialout"), error.constData());
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
}

void TestCtl::busyWhileAnotherProgramHoldsIt()
{
    QVERIFY(startSim(1));
    QProcess *holder =
        startCtl({QStringLiteral("pulse"), QStringLiteral("2"), QStringLiteral("20000")});
    QTRY_VERIFY_WITH_TIMEOUT(byteLog(1).contains("02+//"), kWait);
    const Result result = ctl({QStringLiteral("off"), QStringLiteral("2")});
    QCOMPARE(result.exitCode, 2);
    const QByteArray holderName =
        "held by usb16relay-ctl (pid " + QByteArray::number(holder->processId()) + ")";
    QVERIFY2(result.err.contains("busy") && result.err.contains(holderName),
             result.err.constData());
    QVERIFY(!byteLog(1).contains("02-//ask//ask"));
    QCOMPARE(::kill(pid_t(holder->processId()), SIGTERM), 0);
    QVERIFY(finish(*holder));
    QCOMPARE(holder->exitCode(), 143);
}

void TestCtl::busyWhileTheWindowHoldsIt()
{
    QVERIFY(startSim(1));
    qputenv(ComPortPath::kPortDirVariable, QFile::encodeName(m_dir->path()));
    SerialLink window;
    QVERIFY(window.setCommPort(1));
    const bool opened = window.setPortOpen(true);
    qunsetenv(ComPortPath::kPortDirVariable);
    QVERIFY2(opened, qPrintable(window.errorString()));
    const Result result = ctl({QStringLiteral("status")});
    QCOMPARE(result.exitCode, 2);
    const QByteArray holderName =
        "held by tst_ctl (pid " + QByteArray::number(QCoreApplication::applicationPid()) + ")";
    QVERIFY2(result.err.contains(holderName), result.err.constData());
    QCOMPARE(byteLog(1), QByteArray());
    window.setPortOpen(false);
    QCOMPARE(ctl({QStringLiteral("status")}).exitCode, 0);
}

void TestCtl::noAnswer_data()
{
    QTest::addColumn<QStringList>("simOptions");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::newRow("silent status") << QStringList{"--silent"} << QStringList{"status"}
                                   << "did not answer \"ask//\" within 200 ms";
    QTest::newRow("silent switching")
        << QStringList{"--silent"} << QStringList{"on", "5"} << "did not answer";
    QTest::newRow("silent pulse") << QStringList{"--silent"} << QStringList{"pulse", "5", "50"}
                                  << "did not answer";
    QTest::newRow("one byte") << QStringList{"--short", "--state", "8140"} << QStringList{"status"}
                              << "only 2 bytes (81 81) came";
    QTest::newRow("too slow") << QStringList{"--slow", "600"} << QStringList{"status"}
                              << "within 200 ms";
}

void TestCtl::noAnswer()
{
    QFETCH(QStringList, simOptions);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QVERIFY(startSim(1, simOptions));
    const Result result =
        ctl(QStringList{QStringLiteral("--timeout"), QStringLiteral("200")} + arguments);
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(QString::fromUtf8(result.err).contains(expected), result.err.constData());
    QCOMPARE(result.err.count('\n'), 1);
    QVERIFY2(result.ms >= 200, QByteArray::number(result.ms).constData());
}

void TestCtl::unpluggedHalfway()
{
    SimulatedBoard *board = startBoard(1);
    QVERIFY(board);
    QProcess *pulse =
        startCtl({QStringLiteral("pulse"), QStringLiteral("3"), QStringLiteral("20000")});
    QTRY_VERIFY_WITH_TIMEOUT(board->commands().contains("03+//"), kWait);
    QTest::qWait(50);
    board->vanish();
    QVERIFY(finish(*pulse));
    QCOMPARE(pulse->exitStatus(), QProcess::NormalExit);
    QCOMPARE(pulse->exitCode(), 3);
    QCOMPARE(pulse->readAllStandardOutput(), QByteArray());
    const QByteArray error = pulse->readAllStandardError();
    QVERIFY2(error.contains("stopped answering") || error.contains("Cannot send"),
             error.constData());
    QCOMPARE(error.count('\n'), 1);
}

void TestCtl::floodNeverBreaksALine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<bool>("printsALine");
    // Whether the board's own answer gets through between the flood's bursts is up to the
    // scheduler; what the program says must be whole either way.
    QTest::newRow("status") << QStringList{"status"} << QList<int>{0, 3} << true;
    QTest::newRow("on") << QStringList{"on", "5"} << QList<int>{0, 3, 4} << false;
    QTest::newRow("set") << QStringList{"set", "8000"} << QList<int>{0, 3, 4} << false;
    QTest::newRow("send") << QStringList{"send", "ask//"} << QList<int>{0} << true;
}

void TestCtl::floodNeverBreaksALine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QList<int>, statuses);
    QFETCH(bool, printsALine);
    SimulatedBoard *board = startBoard(1);
    QVERIFY(board);
    QTimer flood;
    connect(&flood, &QTimer::timeout, board, [board] { board->send(QByteArray(64, '\0')); });
    flood.start(1);
    const Result result =
        ctl(QStringList{QStringLiteral("--timeout"), QStringLiteral("300")} + arguments);
    flood.stop();
    QVERIFY2(statuses.contains(result.exitCode), result.err.constData());
    if (result.exitCode == 0) {
        QCOMPARE(result.err, QByteArray());
        QCOMPARE(result.out.count('\n'), printsALine ? 1 : 0);
        QVERIFY(!printsALine || result.out.endsWith('\n'));
    } else {
        QCOMPARE(result.out, QByteArray());
        QCOMPARE(result.err.count('\n'), 1);
        QVERIFY2(result.err.startsWith("usb16relay-ctl: COM1 ("), result.err.constData());
    }
}

void TestCtl::faultyButAnswering_data()
{
    QTest::addColumn<QStringList>("simOptions");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<quint16>("expected");
    const auto row = [](const char *name, QStringList options, QStringList arguments,
                        quint16 expected) {
        QTest::newRow(name) << options << arguments << expected;
    };
    row("long status", {"--long", "--state", "8140"}, {"status"}, 0x8140);
    row("long set", {"--long"}, {"set", "F00F"}, 0xF00F);
    row("long pulse", {"--long", "--state", "8140"}, {"pulse", "1", "20"}, 0x8140);
    row("chatty on", {"--chatty"}, {"on", "5"}, 0x0800);
    row("chatty set", {"--chatty"}, {"set", "F00F"}, 0xF00F);
    row("chatty toggle", {"--chatty", "--state", "8140"}, {"toggle", "1", "2", "3"}, 0x6140);
    row("slow within the timeout", {"--slow", "100"}, {"on", "16"}, 0x0001);
}

void TestCtl::faultyButAnswering()
{
    QFETCH(QStringList, simOptions);
    QFETCH(QStringList, arguments);
    QFETCH(quint16, expected);
    QVERIFY(startSim(1, simOptions));
    const Result result = ctl(QStringList{QStringLiteral("--json")} + arguments);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(relaysOf(result.out), relays(expected));
}

void TestCtl::wrongState_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::newRow("on") << QStringList{"on", "4", "5"} << "for relay 5: relay 5 is off (asked on).";
    QTest::newRow("set") << QStringList{"set", "0800"}
                         << "for relays 4, 5: relay 4 is on (asked off), relay 5 is off "
                            "(asked on).";
    QTest::newRow("all-on") << QStringList{"all-on"} << "for relay 5:";
    QTest::newRow("pulse") << QStringList{"pulse", "5", "50"} << "relay 5 is off (asked on)";
}

void TestCtl::wrongState()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    // Relay 5 is stuck off, and relay 4 stuck on while relay 5 is asked for.
    SimulatedBoard *board = startBoard(1, 0x1000);
    QVERIFY(board);
    connect(board, &SimulatedBoard::stateChanged, board, [board](quint16 state) {
        if (state & 0x0800)
            board->setState(quint16((state & ~0x0800) | 0x1000));
    });
    const Result result = ctl(arguments);
    QCOMPARE(result.exitCode, 4);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(QString::fromUtf8(result.err).contains(expected), result.err.constData());
    QCOMPARE(result.err.count('\n'), 1);
}

void TestCtl::lateAnswersAreNeverTakenAsOurs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<quint16>("expected"); // the board's state afterwards, and what is printed
    QTest::newRow("pulse") << QStringList{"pulse", "4", "10"} << quint16(0x8140);
    QTest::newRow("toggle") << QStringList{"toggle", "4"} << quint16(0x9140);
    QTest::newRow("status") << QStringList{"status"} << quint16(0x8140);
}

// Impatient runs against a board that answers 1.5 s late leave their answers on the way; the next
// run must not take them for its own.
void TestCtl::lateAnswersAreNeverTakenAsOurs()
{
    QFETCH(QStringList, arguments);
    QFETCH(quint16, expected);
    QVERIFY(startSim(1, {QStringLiteral("--slow"), QStringLiteral("1500"),
                         QStringLiteral("--state"), QStringLiteral("8140")}));
    for (const char *command : {"on", "off", "on", "off"}) {
        const Result impatient =
            ctl({QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--timeout"),
                 QStringLiteral("50"), QString::fromLatin1(command), QStringLiteral("4")});
        QCOMPARE(impatient.exitCode, 3);
    }
    QTest::qWait(700);
    const Result result =
        ctl(QStringList{QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--timeout"),
                        QStringLiteral("3000"), QStringLiteral("--json")} +
            arguments);
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(relaysOf(result.out), relays(expected));
    // What the board has now, asked by a run that waits out everything still on the way.
    const Result check = ctl({QStringLiteral("--timeout"), QStringLiteral("5000"),
                              QStringLiteral("--json"), QStringLiteral("status")});
    QVERIFY2(check.exitCode == 0, check.err.constData());
    QCOMPARE(relaysOf(check.out), relays(expected));
}

// Random commands with random patience against a board slower than many of them: every run that
// exits 0 must print the state the board really has.
void TestCtl::randomCommandsAgainstALateBoardNeverLie()
{
    SimulatedBoard *board = startBoard(1, 0x8140);
    QVERIFY(board);
    QRandomGenerator random(20261207);
    const QList<int> timeouts{20, 60, 150, 400, 600};
    int succeeded = 0;
    QStringList lies;
    QElapsedTimer clock;
    clock.start();
    for (int run = 0; run < 200 && clock.elapsed() < 240000; ++run) {
        board->setReplyDelay(std::chrono::milliseconds(180 + random.bounded(71)));
        const int relay = 1 + random.bounded(16);
        QStringList command;
        switch (random.bounded(6)) {
        case 0:
            command = {QStringLiteral("status")};
            break;
        case 1:
            command = {QStringLiteral("on"), QString::number(relay)};
            break;
        case 2:
            command = {QStringLiteral("off"), QString::number(relay)};
            break;
        case 3:
            command = {QStringLiteral("toggle"), QString::number(relay)};
            break;
        case 4:
            command = {QStringLiteral("set"),
                       QStringLiteral("%1").arg(random.bounded(0x10000), 4, 16, QLatin1Char('0'))};
            break;
        default:
            command = {QStringLiteral("pulse"), QString::number(relay), QStringLiteral("10")};
            break;
        }
        const QString timeout = QString::number(timeouts.at(random.bounded(timeouts.size())));
        const Result result = ctl(
            QStringList{QStringLiteral("--timeout"), timeout, QStringLiteral("--json")} + command);
        QVERIFY2(result.exitCode >= 0, "usb16relay-ctl did not finish");
        if (result.exitCode == 0) {
            ++succeeded;
            if (relaysOf(result.out) != relays(board->state()))
                lies.append(QStringLiteral("run %1 (--timeout %2 %3): printed %4, board has %5")
                                .arg(run)
                                .arg(timeout, command.join(QLatin1Char(' ')),
                                     QString::fromUtf8(result.out.trimmed()))
                                .arg(board->state(), 4, 16, QLatin1Char('0')));
        }
        if (random.bounded(4) == 0)
            QTest::qWait(int(random.bounded(120)));
    }
    QVERIFY2(lies.isEmpty(), qPrintable(lies.join(QLatin1Char('\n'))));
    qInfo("%d of the runs exited 0, every one with the board's state", succeeded);
    QVERIFY(succeeded >= 20); // the test means something only if many runs got through
}

void TestCtl::traceShowsEveryByte()
{
    QVERIFY(startSim(1, {QStringLiteral("--state"), QStringLiteral("8140")}));
    const Result result =
        ctl({QStringLiteral("--trace"), QStringLiteral("on"), QStringLiteral("5")});
    QCOMPARE(result.exitCode, 0);
    const QList<QByteArray> lines = result.err.trimmed().split('\n');
    QVERIFY2(lines.size() == 3 || lines.size() == 4, result.err.constData());
    QVERIFY2(lines.at(0).endsWith(" ms > 30 35 2B 2F 2F  05+//"), lines.at(0).constData());
    QVERIFY2(lines.at(1).endsWith(" ms > 61 73 6B 2F 2F 61 73 6B 2F 2F  ask//ask//"),
             lines.at(1).constData());
    // Both answers, in as many reads as they came in.
    QVERIFY2(result.err.count("< 89 40") == 2 || result.err.count("< 89 40 89 40") == 1,
             result.err.constData());
}

// What another user may leave where the notes of owed answers are kept.
enum class Planted {
    Fifo,
    Symlink,
    ForeignNote,
    Huge,
    Garbage,
    NoteDirectoryUnwritable,
    LockOfAnUnrelatedProcess,
    StrangerWhereAnyoneWrites
};
// For the run as a user of the device, beside a stranger: ids no account on the machine has.
constexpr gid_t kDeviceGroup = 54320;
constexpr uid_t kStranger = 54321;
Q_DECLARE_METATYPE(Planted)

void TestCtl::hostileFilesInSharedPlaces_data()
{
    QTest::addColumn<Planted>("planted");
    QTest::addColumn<QString>("said"); // on standard error of the first run
    QTest::addColumn<int>("exitCode"); // of the first run
    QTest::addColumn<bool>("asked");   // the board received questions
    QTest::newRow("FIFO") << Planted::Fifo << "a FIFO" << 3 << true;
    QTest::newRow("symbolic link") << Planted::Symlink << "a symbolic link" << 3 << true;
    QTest::newRow("foreign owner owing 1024 bytes")
        << Planted::ForeignNote << "owned by nobody" << 3 << true;
    QTest::newRow("huge") << Planted::Huge << "a file of 1048576 bytes" << 3 << true;
    QTest::newRow("garbage") << Planted::Garbage << "not a note" << 3 << true;
    QTest::newRow("directory no one can write")
        << Planted::NoteDirectoryUnwritable << "cannot be kept in /proc/" << 3 << false;
    QTest::newRow("lock naming a live unrelated process")
        << Planted::LockOfAnUnrelatedProcess
        << "names process PID, which does not have the device open" << 2 << false;
    QTest::newRow("stranger's notes where anyone may write, as a user of the device")
        << Planted::StrangerWhereAnyoneWrites << "owned by uid 54321" << 3 << true;
}

// status, on 5, off 5 against a board that answers 1.5 timeouts late with relay 5 stuck on:
// whatever was planted, off 5 never ends in exit 0, and what was planted is named.
void TestCtl::hostileFilesInSharedPlaces()
{
    QFETCH(Planted, planted);
    QFETCH(QString, said);
    QFETCH(int, exitCode);
    QFETCH(bool, asked);
    SimulatedBoard *board = startBoard(1, 0x8140);
    QVERIFY(board);
    board->setReplyDelay(300ms);
    connect(board, &SimulatedBoard::commandReceived, board,
            [board] { board->setState(quint16(board->state() | 0x0800)); });
    QString owedDir = m_dir->path();
    bool asDeviceUser = false;
    QByteArray unrelated;
    const QString note = owedDir + QStringLiteral("/usb16relay-owed.") +
                         QString(deviceOf(1)).replace(QLatin1Char('/'), QLatin1Char('_'));
    const QByteArray path = QFile::encodeName(note);
    QFile file(note);
    struct stat device
    {
    };
    QCOMPARE(::stat(QFile::encodeName(deviceOf(1)).constData(), &device), 0);
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    // For the device as it is when written.
    const auto wellFormed = [&device, &now] {
        return QByteArray::number(1024) + ' ' + QByteArray::number(qint64(now.tv_sec) * 1000) +
               ' ' + QByteArray::number(quint64(device.st_rdev)) + ' ' +
               QByteArray::number(quint64(device.st_ino)) + ' ' +
               QByteArray::number(qint64(device.st_ctim.tv_sec)) + ' ' +
               QByteArray::number(qint64(device.st_ctim.tv_nsec)) + '\n';
    };
    switch (planted) {
    case Planted::Fifo:
        QCOMPARE(::mkfifo(path.constData(), 0666), 0);
        break;
    case Planted::Symlink:
        QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("elsewhere")), note));
        break;
    case Planted::ForeignNote: {
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(wellFormed()) > 0);
        file.close();
        const passwd *nobody = ::getpwnam("nobody");
        QVERIFY(nobody);
        // Neither root, nor the device's owner or group.
        QVERIFY(nobody->pw_gid != device.st_gid);
        QCOMPARE(::chown(path.constData(), nobody->pw_uid, nobody->pw_gid), 0);
        break;
    }
    case Planted::Huge:
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(1 << 20));
        break;
    case Planted::Garbage:
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("4 soon\n") > 0);
        break;
    case Planted::StrangerWhereAnyoneWrites: {
        if (::geteuid() != 0)
            QSKIP("needs root to run the program as a user of the device beside a stranger");
        // Like /run/lock: sticky, anyone may create files. The stranger has taken the note's
        // name and left a note of a name of the kind the program now uses, owing much.
        owedDir = m_dir->filePath(QStringLiteral("lock"));
        QVERIFY(QDir().mkdir(owedDir));
        QCOMPARE(::chmod(QFile::encodeName(owedDir).constData(), 01777), 0);
        QCOMPARE(::chmod(QFile::encodeName(m_dir->path()).constData(), 0755), 0);
        const QByteArray devicePath = QFile::encodeName(deviceOf(1));
        QCOMPARE(::chown(devicePath.constData(), 0, kDeviceGroup), 0);
        QCOMPARE(::chmod(devicePath.constData(), 0660), 0);
        QCOMPARE(::stat(devicePath.constData(), &device), 0);
        const QString taken = owedDir + note.mid(note.lastIndexOf(QLatin1Char('/')));
        for (const QString &name : {taken, taken + QStringLiteral(".0123456789abcdef")}) {
            QFile stranger(name);
            QVERIFY(stranger.open(QIODevice::NewOnly) && stranger.write(wellFormed()) > 0);
            stranger.close();
            QCOMPARE(::chown(QFile::encodeName(name).constData(), kStranger, kStranger), 0);
        }
        asDeviceUser = true;
        break;
    }
    case Planted::NoteDirectoryUnwritable:
        // Not even root creates a file there.
        owedDir = QStringLiteral("/proc/self");
        break;
    case Planted::LockOfAnUnrelatedProcess:
        file.setFileName(QStringLiteral("/var/lock/LCK..") +
                         deviceOf(1).mid(5).replace(QLatin1Char('/'), QLatin1Char('_')));
        {
            // A live process that has nothing to do with the port, named as Qt names a holder, so
            // that Qt itself takes the lock for a live holder's.
            m_processes.push_back(std::make_unique<QProcess>());
            m_processes.back()->start(QStringLiteral("sleep"), {QStringLiteral("60")});
            QVERIFY(m_processes.back()->waitForStarted(kWait));
            unrelated = QByteArray::number(m_processes.back()->processId());
            QVERIFY(file.open(QIODevice::NewOnly));
            QVERIFY(
                file.write(unrelated + "\nsleep\n" + QSysInfo::machineHostName().toUtf8() + '\n'));
            said.replace(QLatin1String("PID"), QString::fromLatin1(unrelated));
        }
        break;
    }
    const auto removeLock = qScopeGuard([planted, &file] {
        if (planted == Planted::LockOfAnUnrelatedProcess)
            file.remove();
    });
    file.close();
    const Prepare inDir = [owedDir, asDeviceUser](QProcess &process) {
        QProcessEnvironment environment = process.processEnvironment();
        environment.insert(QStringLiteral("USB16RELAY_OWED_DIR"), owedDir);
        process.setProcessEnvironment(environment);
        if (asDeviceUser) {
            process.setChildProcessModifier([] {
                const gid_t groups[] = {kDeviceGroup};
                if (::setgroups(1, groups) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                    ::_exit(126);
            });
        }
    };
    // --wait changes nothing: there is no holder to wait for.
    const QStringList patience{QStringLiteral("--timeout"), QStringLiteral("200"),
                               QStringLiteral("--wait"), QStringLiteral("5")};
    const Result status = ctl(patience + QStringList{QStringLiteral("status")}, inDir);
    QVERIFY2(QString::fromUtf8(status.err).contains(said), status.err.constData());
    QCOMPARE(status.exitCode, exitCode);
    const Result on = ctl(patience + QStringList{QStringLiteral("on"), QStringLiteral("5")}, inDir);
    QVERIFY2(on.exitCode > 0, on.out.constData());
    const Result off =
        ctl(patience + QStringList{QStringLiteral("off"), QStringLiteral("5")}, inDir);
    QVERIFY2(off.exitCode > 0, off.out.constData());
    QCOMPARE(!board->commands().isEmpty(), asked);
}

void TestCtl::servedBoardRefuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("outsider"); // run as a user outside the socket's group
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected");
    QTest::newRow("interlock") << QStringList{"set", "0C00"} << false << 4
                               << "usb16relayd: b1: refused: relays 5, 6 are interlocked";
    // Checked whole: switched one after the other, the second would switch the first off.
    QTest::newRow("on, both of a group")
        << QStringList{"--board", "b1", "on", "5", "6"} << false << 4
        << "usb16relayd: b1: refused: relays 5, 6 are interlocked";
    QTest::newRow("name of none") << QStringList{"--board", "b1", "on", "Heater"} << false << 1
                                  << "its relays are: 1 Pump";
    QTest::newRow("no such board")
        << QStringList{"--board", "b2", "status"} << false << 1 << "the boards are: b1";
    QTest::newRow("outside the socket's group")
        << QStringList{"--board", "b1", "on", "5"} << true << 2 << "Permission denied";
}

void TestCtl::servedBoardRefuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, outsider);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    if (!kServiceBuilt)
        QSKIP("usb16relayd is not built here");
    QVERIFY(startSim(1));
    const QString socket = startService(1, QStringLiteral("interlock = 5,6\n"));
    if (socket.isEmpty())
        QVERIFY2(!socket.isEmpty(), "usb16relayd did not start");
    if (outsider) {
        if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("needs root and setpriv to run the program as nobody");
        // Nobody may reach the socket; only its own mode and group keep nobody out.
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner | QFile::ExeOther));
    }
    const QStringList all = QStringList{QStringLiteral("--socket"), socket} + arguments;
    Result result;
    if (outsider) {
        QProcess process;
        process.start(QStandardPaths::findExecutable(QStringLiteral("setpriv")),
                      QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                  QStringLiteral("--clear-groups"), USB16RELAY_CTL_PATH} +
                          all);
        QVERIFY(finish(process));
        result.exitCode = process.exitCode();
        result.err = process.readAllStandardError();
        if (result.exitCode == 126 || result.exitCode == 127)
            QSKIP("the program is out of nobody's reach here");
    } else {
        result = ctl(all);
    }
    QVERIFY2(result.err.contains(expected.toUtf8()), result.err.constData());
    QCOMPARE(result.exitCode, exitCode);
    // Nothing switched.
    const Result status = ctl(
        {QStringLiteral("--socket"), socket, QStringLiteral("--json"), QStringLiteral("status")});
    QCOMPARE(relaysOf(status.out), relays(0x0000));
}

void TestCtl::throughTheServiceSaysHowToGoOn_data()
{
    QTest::addColumn<bool>("served");
    QTest::addColumn<QStringList>("arguments"); // @socket: the service's; @dir: the ports'
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("ports names the socket it used")
        << true << QStringList{"--socket", "@socket", "ports"} << 0
        << "usb16relay-ctl --socket @socket --board b1"
        << "";
    QTest::newRow("a held device, the socket unusable")
        << true << QStringList{"--socket", "@dir/none.sock", "--device", "@dir/COM1", "status"} << 2
        << ""
        << "holds it, and its socket cannot be used";
    QTest::newRow("no port and no service")
        << false << QStringList{"--socket", "@dir/none.sock", "ports"} << 2 << ""
        << "No COM port exists and usb16relayd's socket cannot be used";
    QTest::newRow("no port and no service, JSON")
        << false << QStringList{"--socket", "@dir/none.sock", "--json", "ports"} << 2 << "[]"
        << "No COM port exists";
}

void TestCtl::throughTheServiceSaysHowToGoOn()
{
    QFETCH(bool, served);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    if (served && !kServiceBuilt)
        QSKIP("usb16relayd is not built here");
    QString socket;
    if (served) {
        QVERIFY(startSim(1));
        socket = startService(1);
        QVERIFY2(!socket.isEmpty(), "usb16relayd did not start");
    }
    const auto filled = [&](QString text) {
        return text.replace(QLatin1String("@socket"), socket)
            .replace(QLatin1String("@dir"), m_dir->path());
    };
    for (QString &argument : arguments)
        argument = filled(argument);
    const Result result = ctl(arguments);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.out.contains(filled(out).toUtf8()), result.out.constData());
    QVERIFY2(result.err.contains(filled(err).toUtf8()), result.err.constData());
    QVERIFY2(exitCode == 0 || result.err.contains("systemctl") || !served, result.err.constData());
    QVERIFY(!result.err.contains("close that program"));
}

// --board and --port name the device the same way; watch names the board as status does.
void TestCtl::throughTheServiceJsonNamesOneDevice()
{
    if (!kServiceBuilt)
        QSKIP("usb16relayd is not built here");
    QVERIFY(startSim(1));
    const QString socket = startService(1);
    QVERIFY2(!socket.isEmpty(), "usb16relayd did not start");
    QList<QJsonObject> lines;
    for (const QStringList &route : {QStringList{QStringLiteral("--board"), QStringLiteral("b1")},
                                     QStringList{QStringLiteral("--port"), QStringLiteral("1")}}) {
        const Result result = ctl(QStringList{QStringLiteral("--socket"), socket} + route +
                                  QStringList{QStringLiteral("--json"), QStringLiteral("status")});
        QCOMPARE(result.exitCode, 0);
        lines.append(QJsonDocument::fromJson(result.out).object());
    }
    QProcess *watch =
        startCtl({QStringLiteral("--socket"), socket, QStringLiteral("--board"),
                  QStringLiteral("b1"), QStringLiteral("--json"), QStringLiteral("watch")});
    QTRY_VERIFY_WITH_TIMEOUT(watch->canReadLine(), kWait);
    lines.append(QJsonDocument::fromJson(watch->readLine()).object());
    for (const QJsonObject &line : lines) {
        QCOMPARE(line.value(u"device").toString(), deviceOf(1));
        QCOMPARE(line.value(u"board").toString(), QStringLiteral("b1"));
        QCOMPARE(line.value(u"names").toArray().at(1).toString(), QStringLiteral("Fan"));
    }
}

void TestCtl::aSocketAStrangerServesIsNotBelieved()
{
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (!kServiceBuilt || ::geteuid() != 0 || setpriv.isEmpty())
        QSKIP("needs usb16relayd, root and setpriv to serve a socket as nobody");
    // A directory anyone may write to, where nobody serves a socket of the name expected.
    QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                     QFile::ExeOwner | QFile::ExeOther));
    const QString shared = m_dir->filePath(QStringLiteral("shared"));
    QVERIFY(QDir().mkdir(shared));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
    const QString socket = shared + QStringLiteral("/http.sock");
    QVERIFY(startSim(1));
    auto stranger = std::make_unique<QProcess>();
    stranger->setStandardErrorFile(QProcess::nullDevice());
    stranger->start(setpriv, {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                              QStringLiteral("--clear-groups"), QString::fromLatin1(kServicePath),
                              QStringLiteral("--device"), m_dir->filePath(QStringLiteral("COM1")),
                              QStringLiteral("--id"), QStringLiteral("b1"),
                              QStringLiteral("--socket"), socket});
    m_processes.push_back(std::move(stranger));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket), kWait);
    const Result result = ctl({QStringLiteral("--socket"), socket, QStringLiteral("--board"),
                               QStringLiteral("b1"), QStringLiteral("on"), QStringLiteral("5")});
    QVERIFY2(result.err.contains("not trusting it, nothing was sent"), result.err.constData());
    QCOMPARE(result.exitCode, 2);
}

void TestCtl::aSocketSystemdHandsOver()
{
    const QString activate =
        QStandardPaths::findExecutable(QStringLiteral("systemd-socket-activate"));
    if (!kServiceBuilt || activate.isEmpty())
        QSKIP("needs usb16relayd and systemd-socket-activate");
    QVERIFY(startSim(1));
    // As systemd does: the socket made and listening (blocking) before the service starts.
    const QString socket = m_dir->filePath(QStringLiteral("activated.sock"));
    auto service = std::make_unique<QProcess>();
    service->setStandardErrorFile(QProcess::nullDevice());
    service->start(activate, {QStringLiteral("-l"), socket, QString::fromLatin1(kServicePath),
                              QStringLiteral("--device"), m_dir->filePath(QStringLiteral("COM1")),
                              QStringLiteral("--id"), QStringLiteral("b1")});
    m_processes.push_back(std::move(service));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket), kWait);
    const QStringList route{QStringLiteral("--socket"), socket, QStringLiteral("--board"),
                            QStringLiteral("b1")};
    const Result on = ctl(route + QStringList{QStringLiteral("on"), QStringLiteral("4")});
    QCOMPARE(on.err, QByteArray());
    QCOMPARE(on.exitCode, 0);
    const Result status =
        ctl(route + QStringList{QStringLiteral("--json"), QStringLiteral("status")});
    QCOMPARE(relaysOf(status.out), relays(0x1000));
}

// The service records who switched a relay over its socket, as the kernel vouches for them.
void TestCtl::serviceRecordsWhoSwitched()
{
    if (!kServiceBuilt)
        QSKIP("usb16relayd is not built here");
    QVERIFY(startSim(1));
    const QString socket = startService(1, {});
    QVERIFY2(!socket.isEmpty(), "usb16relayd did not start");
    QCOMPARE(ctl({QStringLiteral("--socket"), socket, QStringLiteral("--board"),
                  QStringLiteral("b1"), QStringLiteral("on"), QStringLiteral("5")})
                 .exitCode,
             0);
    QLocalSocket client;
    client.connectToServer(socket);
    QVERIFY(client.waitForConnected(kWait));
    client.write("GET /api/v1/boards/b1 HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (client.state() == QLocalSocket::ConnectedState && client.waitForReadyRead(kWait))
        answer += client.readAll();
    const QJsonObject board =
        QJsonDocument::fromJson(answer.mid(answer.indexOf("\r\n\r\n") + 4)).object();
    const QString by = board.value(u"changed_by").toArray().at(4).toString();
    const passwd *me = ::getpwuid(::geteuid());
    QVERIFY(me);
    QVERIFY2(by.startsWith(QStringLiteral("socket: %1 (usb16relay-ctl, pid ")
                               .arg(QString::fromLocal8Bit(me->pw_name))),
             qPrintable(by));
}

void TestCtl::serviceThatSaysOtherwise_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("set") << QStringList{"set", "8140"};
    QTest::newRow("all-on") << QStringList{"all-on"};
    QTest::newRow("all-off") << QStringList{"all-off"};
    QTest::newRow("on") << QStringList{"on", "5"};
    QTest::newRow("off") << QStringList{"off", "8"};
    QTest::newRow("pulse") << QStringList{"pulse", "5", "10"};
}

// A service that answers 200 with a state other than the one asked (relay 8 on, whatever is
// asked): the command reads its answer and fails with exit 4.
void TestCtl::serviceThatSaysOtherwise()
{
    QFETCH(QStringList, arguments);
    QLocalServer server;
    const QString socket = m_dir->filePath(QStringLiteral("stub.sock"));
    QVERIFY(server.listen(socket));
    QJsonArray names;
    for (int relay = 1; relay <= 16; ++relay)
        names.append(QStringLiteral("Relay %1").arg(relay));
    const QJsonObject board{
        {"id", "b1"},     {"name", "b1"},   {"device", "/dev/null"},   {"online", true},
        {"mask", "0100"}, {"names", names}, {"read_at", QJsonValue()}, {"seq", 1}};
    connect(&server, &QLocalServer::newConnection, this, [&] {
        QLocalSocket *client = server.nextPendingConnection();
        connect(client, &QLocalSocket::readyRead, client, [client, board] {
            const QByteArray asked = client->readAll();
            const QByteArray body = QJsonDocument(asked.startsWith("GET /api/v1/boards ")
                                                      ? QJsonDocument(QJsonArray{board})
                                                      : QJsonDocument(board))
                                        .toJson(QJsonDocument::Compact);
            client->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
            client->disconnectFromServer();
        });
    });
    const Result result = ctl(QStringList{QStringLiteral("--socket"), socket,
                                          QStringLiteral("--board"), QStringLiteral("b1")} +
                              arguments);
    QVERIFY2(result.exitCode == 4, result.err.constData());
}

QTEST_GUILESS_MAIN(TestCtl)
#include "tst_ctl.moc"
