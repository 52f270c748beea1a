#include "boardlogic.h"
#include "consoleview.h"
#include "signalwatcher.h"
#include "simulatedboard.h"
#include "standardstreams.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::chrono::milliseconds kMaxReplyDelay{60000};

struct Settings
{
    QString linkPath;
    quint16 state = 0;
    FaultMode fault = FaultMode::None;
    std::chrono::milliseconds replyDelay{0};
    int baud = 0;
    std::chrono::milliseconds latency{0};
    QString byteLogPath;
    bool quiet = false;
};

void printError(const QString &message)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(message));
}

QString faultDescription(FaultMode fault)
{
    switch (fault) {
    case FaultMode::None:
        break;
    case FaultMode::Silent:
        return QStringLiteral("silent: never answers");
    case FaultMode::Short:
        return QStringLiteral("short: answers ask// with the first status byte only");
    case FaultMode::Long:
        return QStringLiteral("long: answers ask// with two extra bytes <0D><0A>");
    case FaultMode::Chatty:
        return QStringLiteral("chatty: answers every command with the status");
    }
    return {};
}

std::optional<Settings> readSettings(const QCommandLineParser &parser, QString *error)
{
    Settings settings;
    settings.linkPath = parser.value(QStringLiteral("link"));
    settings.byteLogPath = parser.value(QStringLiteral("byte-log"));
    settings.quiet = parser.isSet(QStringLiteral("quiet"));

    if (parser.isSet(QStringLiteral("state"))) {
        const QString text = parser.value(QStringLiteral("state"));
        const auto isHexDigit = [](QChar c) {
            return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        };
        if (text.size() != 4 || !std::all_of(text.cbegin(), text.cend(), isHexDigit)) {
            *error = QStringLiteral("--state wants four hex digits, e.g. 8140 for relays 1, 8 "
                                    "and 10 on; got \"%1\"")
                         .arg(text);
            return std::nullopt;
        }
        settings.state = text.toUShort(nullptr, 16);
    }

    const std::pair<const char *, FaultMode> faults[] = {{"silent", FaultMode::Silent},
                                                         {"short", FaultMode::Short},
                                                         {"long", FaultMode::Long},
                                                         {"chatty", FaultMode::Chatty}};
    int faultCount = 0;
    for (const auto &[name, fault] : faults) {
        if (parser.isSet(QString::fromLatin1(name))) {
            settings.fault = fault;
            ++faultCount;
        }
    }
    if (faultCount > 1) {
        *error = QStringLiteral("use at most one of --silent, --short, --long and --chatty");
        return std::nullopt;
    }

    if (parser.isSet(QStringLiteral("slow"))) {
        const QString text = parser.value(QStringLiteral("slow"));
        bool ok = false;
        const int delay = text.toInt(&ok);
        if (!ok || delay < 0 || delay > kMaxReplyDelay.count()) {
            *error = QStringLiteral("--slow wants milliseconds from 0 to %1; got \"%2\"")
                         .arg(kMaxReplyDelay.count())
                         .arg(text);
            return std::nullopt;
        }
        settings.replyDelay = std::chrono::milliseconds(delay);
    }
    const auto number = [&parser, error](const char *name, int low, int high, int *into) {
        if (!parser.isSet(QString::fromLatin1(name)))
            return true;
        const QString text = parser.value(QString::fromLatin1(name));
        bool ok = false;
        *into = text.toInt(&ok);
        if (ok && *into >= low && *into <= high)
            return true;
        *error = QStringLiteral("--%1 wants a whole number from %2 to %3; got \"%4\"")
                     .arg(QString::fromLatin1(name))
                     .arg(low)
                     .arg(high)
                     .arg(text);
        return false;
    };
    int latency = 0;
    if (!number("baud", 50, 4000000, &settings.baud) || !number("latency", 0, 1000, &latency))
        return std::nullopt;
    settings.latency = std::chrono::milliseconds(latency);
    return settings;
}

void describe(QCommandLineParser *parser)
{
    parser->setApplicationDescription(
        QStringLiteral("Simulated sixteen-relay board on a pseudo-terminal: open the path it "
                       "prints (or the --link) as the serial port."));
    parser->addHelpOption();
    parser->addVersionOption();
    parser->addOptions({
        {QStringLiteral("link"),
         QStringLiteral("Make a symbolic link at <path> to the board's serial device, e.g. "
                        "/tmp/relay/COM1 (removed on exit)."),
         QStringLiteral("path")},
        {QStringLiteral("state"),
         QStringLiteral("Initial relays as four hex digits: bit 15 = relay 1 ... bit 0 = relay "
                        "16, e.g. 8140 for relays 1, 8 and 10."),
         QStringLiteral("HHHH")},
        {QStringLiteral("silent"), QStringLiteral("Fault: never answer.")},
        {QStringLiteral("short"), QStringLiteral("Fault: answer ask// with one status byte.")},
        {QStringLiteral("long"), QStringLiteral("Fault: answer ask// with two extra bytes.")},
        {QStringLiteral("chatty"),
         QStringLiteral("Fault: answer every command with the status bytes.")},
        {QStringLiteral("slow"), QStringLiteral("Answer <ms> milliseconds late."),
         QStringLiteral("ms")},
        {QStringLiteral("baud"),
         QStringLiteral("Pace every byte, both ways, as a wire of <bits> per second does (ten "
                        "bits a byte), e.g. 9600."),
         QStringLiteral("bits")},
        {QStringLiteral("latency"),
         QStringLiteral("Deliver the board's bytes in bursts every <ms>, as a USB adapter's "
                        "latency timer does, e.g. 16."),
         QStringLiteral("ms")},
        {QStringLiteral("byte-log"), QStringLiteral("Append every byte received to <file>."),
         QStringLiteral("file")},
        {QStringLiteral("quiet"), QStringLiteral("Show nothing but errors.")},
    });
}

// What the board says of itself on the console as it starts.
void introduce(ConsoleView &view, const SimulatedBoard &board, const Settings &settings)
{
    if (settings.quiet && settings.linkPath.isEmpty()) {
        // Without this path the board cannot be used at all.
        std::printf("%s\n", qPrintable(board.slavePath()));
        std::fflush(stdout);
    }
    view.info(QStringLiteral("Simulated relay board ready. Open as serial port:"));
    if (!board.linkPath().isEmpty())
        view.info(QStringLiteral("  %1  (link to %2)").arg(board.linkPath(), board.slavePath()));
    else
        view.info(QStringLiteral("  %1").arg(board.slavePath()));
    if (settings.fault != FaultMode::None)
        view.info(QStringLiteral("Fault mode %1").arg(faultDescription(settings.fault)));
    if (settings.replyDelay.count() > 0)
        view.info(QStringLiteral("Answers %1 ms late").arg(settings.replyDelay.count()));
    view.info(QStringLiteral("Stop with Ctrl+C."));
    view.showRelays(board.state());
}

} // namespace

int main(int argc, char *argv[])
{
    // First of all: a closed standard output must not become the board's pty, where the console
    // would be sent to the program under test as if the board had said it.
    StandardStreams::reserve();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("usb16relay-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(USB16RELAY_VERSION));

    QCommandLineParser parser;
    describe(&parser);
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("unexpected argument \"%1\"; see --help")
                       .arg(parser.positionalArguments().constFirst()));
        return kExitUsage;
    }

    QString error;
    const std::optional<Settings> settings = readSettings(parser, &error);
    if (!settings) {
        printError(error);
        return kExitUsage;
    }

    // Quitting happens on the event loop, so that destructors (which remove the link) run.
    SignalWatcher watcher;
    if (!watcher.install({SIGINT, SIGTERM, SIGHUP})) {
        printError(QStringLiteral("cannot catch signals: %1").arg(qt_error_string(errno)));
        return kExitFailure;
    }
    QObject::connect(&watcher, &SignalWatcher::signalReceived, &app, &QCoreApplication::quit);

    ConsoleView view(settings->quiet);
    SimulatedBoard board;
    board.setState(settings->state);
    board.setFaultMode(settings->fault);
    board.setReplyDelay(settings->replyDelay);
    board.setLine(settings->baud, settings->latency);
    if (!settings->byteLogPath.isEmpty() && !board.setByteLog(settings->byteLogPath)) {
        printError(board.errorString());
        return kExitFailure;
    }
    if (!board.start(settings->linkPath)) {
        printError(board.errorString());
        return kExitFailure;
    }

    QObject::connect(&board, &SimulatedBoard::commandReceived, &board,
                     [&view, &board](const QByteArray &command, bool understood) {
                         // Replaying the command on a copy of the board gives exactly its answer.
                         const QByteArray answer =
                             understood ? BoardLogic(board.state(), board.faultMode()).feed(command)
                                        : QByteArray();
                         view.logCommand(command, understood, answer);
                         board.clearReceived(); // nothing reads the history; keep memory flat
                     });
    QObject::connect(&board, &SimulatedBoard::stateChanged, &board,
                     [&view](quint16 state) { view.showRelays(state); });

    introduce(view, board, *settings);
    return QCoreApplication::exec();
}
