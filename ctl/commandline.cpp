#include "commandline.h"

#include "relaymask.h"
#include "relayprotocol.h"
#include "replytext.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <algorithm>
#include <map>

namespace {

constexpr std::chrono::milliseconds kMaxTimeout{600000};
constexpr std::chrono::milliseconds kMinInterval{10};
constexpr std::chrono::milliseconds kMaxInterval{86400000};
constexpr std::chrono::milliseconds kMaxPulse{86400000};
constexpr std::chrono::milliseconds kMaxWait{86400000};

using Command = CommandLine::Command;

const std::map<QString, Command> &commandNames()
{
    static const std::map<QString, Command> names = {
        {QStringLiteral("ports"), Command::Ports},    {QStringLiteral("status"), Command::Status},
        {QStringLiteral("on"), Command::On},          {QStringLiteral("off"), Command::Off},
        {QStringLiteral("toggle"), Command::Toggle},  {QStringLiteral("all-on"), Command::AllOn},
        {QStringLiteral("all-off"), Command::AllOff}, {QStringLiteral("set"), Command::Set},
        {QStringLiteral("pulse"), Command::Pulse},    {QStringLiteral("send"), Command::Send},
        {QStringLiteral("watch"), Command::Watch},
    };
    return names;
}

// A whole number written with digits only, within [low, high].
std::optional<qint64> parseNumber(const QString &text, qint64 low, qint64 high)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,12}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    const qint64 value = text.toLongLong();
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<std::chrono::milliseconds> parseTime(const QString &text, const QString &what,
                                                   std::chrono::milliseconds low,
                                                   std::chrono::milliseconds high, QString *error)
{
    const std::optional<qint64> value = parseNumber(text, low.count(), high.count());
    if (!value) {
        *error = QStringLiteral("%1 expects milliseconds from %2 to %3, got \"%4\"")
                     .arg(what)
                     .arg(low.count())
                     .arg(high.count())
                     .arg(text);
        return std::nullopt;
    }
    return std::chrono::milliseconds(*value);
}

std::optional<int> parseRelay(const QString &text, QString *error)
{
    const std::optional<int> relay = parseRelayNumber(text);
    if (!relay)
        *error = QStringLiteral("expected a relay number from 1 to 16, got \"%1\"").arg(text);
    return relay;
}

std::optional<quint16> parseMask(const QString &text, QString *error)
{
    // Exactly four digits: "840" could be 0840 or a digit short of 8400.
    static const QRegularExpression hex(QStringLiteral("^(?:0[xX])?([0-9a-fA-F]{4})$"));
    const QRegularExpressionMatch match = hex.match(text);
    if (!match.hasMatch()) {
        *error = QStringLiteral("set expects a mask of exactly four hex digits (bit 15 = relay 1 "
                                "... bit 0 = relay 16, e.g. 8140 for relays 1, 8 and 10; 0840, "
                                "not 840), got \"%1\"")
                     .arg(text);
        return std::nullopt;
    }
    return quint16(match.captured(1).toUInt(nullptr, 16));
}

// Seconds as flock -w takes them: "10", "0.5".
std::optional<std::chrono::milliseconds> parseSeconds(const QString &text, QString *error)
{
    static const QRegularExpression seconds(QStringLiteral("^([0-9]{1,5})(?:\\.([0-9]{1,3}))?$"));
    const QRegularExpressionMatch match = seconds.match(text);
    if (match.hasMatch()) {
        const std::chrono::milliseconds value(
            match.captured(1).toLongLong() * 1000 +
            match.captured(2).leftJustified(3, QLatin1Char('0')).toLongLong());
        if (value <= kMaxWait)
            return value;
    }
    *error = QStringLiteral("--wait expects seconds from 0 to %1 (e.g. 10 or 0.5), got \"%2\"")
                 .arg(kMaxWait.count() / 1000)
                 .arg(text);
    return std::nullopt;
}

// Index of the first byte that does not belong to a UTF-8 character, or -1.
qsizetype firstNonUtf8(const QByteArray &bytes)
{
    qsizetype i = 0;
    while (i < bytes.size()) {
        const uchar lead = uchar(bytes.at(i));
        qsizetype length = 0;
        if (lead < 0x80)
            length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF)
            length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF)
            length = 3;
        else if (lead >= 0xF0 && lead <= 0xF4)
            length = 4;
        if (length == 0 || i + length > bytes.size())
            return i;
        for (qsizetype k = 1; k < length; ++k) {
            if ((uchar(bytes.at(i + k)) & 0xC0) != 0x80)
                return i;
        }
        i += length;
    }
    return -1;
}

// QCommandLineParser takes "-1" for an option named "1". Negative numbers are arguments here (a
// relay or a time out of range, which the checks below name), so every argument goes after
// "--" in its order, options before it. Nothing when an option's value is missing.
std::optional<QStringList> argumentsLast(const QStringList &arguments, QString *error)
{
    static const QRegularExpression negative(QStringLiteral("^-[0-9]"));
    static const QStringList valueOptions = {QStringLiteral("port"),    QStringLiteral("device"),
                                             QStringLiteral("timeout"), QStringLiteral("interval"),
                                             QStringLiteral("wait"),    QStringLiteral("board"),
                                             QStringLiteral("socket")};
    QStringList options = arguments.mid(0, 1);
    QStringList positional;
    bool separated = false;
    QString valueFor;
    for (const QString &argument : arguments.mid(1)) {
        if (!valueFor.isEmpty()) {
            options.append(argument);
            valueFor.clear();
        } else if (argument == QLatin1String("--") && !separated) {
            separated = true;
        } else if (separated || !argument.startsWith(QLatin1Char('-')) ||
                   argument == QLatin1String("-") || negative.match(argument).hasMatch()) {
            positional.append(argument);
        } else {
            options.append(argument);
            const QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
            if (valueOptions.contains(name))
                valueFor = argument;
        }
    }
    if (!valueFor.isEmpty()) {
        *error = QStringLiteral("Missing value after '%1'.").arg(valueFor);
        return std::nullopt;
    }
    return options + QStringList{QStringLiteral("--")} + positional;
}

bool expectCount(const QStringList &args, qsizetype count, const QString &usage, QString *error)
{
    if (args.size() == count)
        return true;
    *error = QStringLiteral("%1 expects %2").arg(args.isEmpty() ? QString() : args.first(), usage);
    return false;
}

struct Options
{
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QString()};
    QCommandLineOption version{QStringLiteral("version"), QString()};
    QCommandLineOption port{QStringLiteral("port"), QString(), QStringLiteral("N")};
    QCommandLineOption device{QStringLiteral("device"), QString(), QStringLiteral("PATH")};
    QCommandLineOption timeout{QStringLiteral("timeout"), QString(), QStringLiteral("MS")};
    QCommandLineOption json{QStringLiteral("json"), QString()};
    QCommandLineOption raw{QStringLiteral("raw"), QString()};
    QCommandLineOption interval{QStringLiteral("interval"), QString(), QStringLiteral("MS")};
    QCommandLineOption wait{QStringLiteral("wait"), QString(), QStringLiteral("SECONDS")};
    QCommandLineOption trace{QStringLiteral("trace"), QString()};
    QCommandLineOption board{QStringLiteral("board"), QString(), QStringLiteral("ID")};
    QCommandLineOption socket{QStringLiteral("socket"), QString(), QStringLiteral("PATH")};

    QList<QCommandLineOption> all() const
    {
        return {help, version,  port, device, timeout, json,
                raw,  interval, wait, trace,  board,   socket};
    }
};

// A script that says --port twice has a bug; neither value is the one meant.
bool eachOnce(const QCommandLineParser &parser, const Options &options, QString *error)
{
    for (const QCommandLineOption &option : options.all()) {
        qsizetype given = 0;
        for (const QString &name : option.names())
            given += parser.optionNames().count(name);
        if (given > 1) {
            *error = QStringLiteral("--%1 is given more than once; give each option once")
                         .arg(option.names().constLast());
            return false;
        }
    }
    return true;
}

// --port, --device, --board and --socket: where the board is.
bool readWhere(const QCommandLineParser &parser, const Options &options, CommandLine *request,
               QString *error)
{
    for (const QString &value : parser.values(options.port)) {
        const std::optional<int> n = parseRelayNumber(value);
        if (!n) {
            *error =
                QStringLiteral("--port expects a COM number from 1 to 16, got \"%1\"").arg(value);
            return false;
        }
        request->port = *n;
    }
    if (parser.isSet(options.device))
        request->device = parser.value(options.device);
    const bool aPort = request->port || !request->device.isEmpty();
    request->board = parser.value(options.board);
    const auto fail = [error](const QString &message) {
        *error = message;
        return false;
    };
    if (request->port && !request->device.isEmpty())
        return fail(QStringLiteral("use either --port or --device, not both"));
    if (parser.isSet(options.device) && request->device.isEmpty())
        return fail(QStringLiteral("--device expects the path of a serial device"));
    if (parser.isSet(options.board) && aPort)
        return fail(QStringLiteral("--board names a board of usb16relayd's; --port and --device "
                                   "name a port: give one of them"));
    if (parser.isSet(options.board) && request->board.isEmpty())
        return fail(QStringLiteral("--board expects the id of one of usb16relayd's boards"));
    if (parser.isSet(options.socket)) {
        request->socket = parser.value(options.socket);
        if (!request->socket.startsWith(u'/'))
            return fail(
                QStringLiteral("--socket expects the absolute path of usb16relayd's socket"));
    }
    if (request->command == Command::Ports && !request->board.isEmpty())
        return fail(QStringLiteral("ports lists every board and COM port; --board does not apply"));
    if (request->command == Command::Ports && aPort)
        return fail(QStringLiteral("ports lists every COM port; --port and --device do not apply"));
    return true;
}

// --timeout, --wait, --json, --raw and --interval: how to ask and to answer.
bool readHow(const QCommandLineParser &parser, const Options &options, CommandLine *request,
             QString *error)
{
    if (parser.isSet(options.timeout)) {
        const auto value = parseTime(parser.value(options.timeout), QStringLiteral("--timeout"),
                                     std::chrono::milliseconds(1), kMaxTimeout, error);
        if (!value)
            return false;
        request->timeout = *value;
    }
    if (parser.isSet(options.wait)) {
        const auto value = parseSeconds(parser.value(options.wait), error);
        if (!value)
            return false;
        request->wait = *value;
    }
    request->json = parser.isSet(options.json);
    request->raw = parser.isSet(options.raw);
    if (request->raw && request->command != Command::Send) {
        *error = QStringLiteral("--raw belongs to send");
        return false;
    }
    if (request->raw && request->json) {
        *error = QStringLiteral("use either --raw or --json with send, not both");
        return false;
    }
    if (parser.isSet(options.interval)) {
        if (request->command != Command::Watch) {
            *error = QStringLiteral("--interval belongs to watch");
            return false;
        }
        const auto value = parseTime(parser.value(options.interval), QStringLiteral("--interval"),
                                     kMinInterval, kMaxInterval, error);
        if (!value)
            return false;
        request->interval = *value;
    }
    return true;
}

// A relay by number, or (through the service) by name.
bool readRelay(const QString &text, CommandLine *request, QString *error)
{
    if (!request->board.isEmpty() && !text.isEmpty() && !text.front().isDigit()) {
        if (!request->relayNames.contains(text))
            request->relayNames.append(text);
        return true;
    }
    const std::optional<int> relay = parseRelay(text, error);
    if (!relay)
        return false;
    if (!request->relays.contains(*relay))
        request->relays.append(*relay);
    return true;
}

// send's TEXT: Latin-1, one byte per character, as typed.
std::optional<QByteArray> sendText(const QString &text, const QList<QByteArray> &rawArguments,
                                   QString *error)
{
    // A byte that is not UTF-8 reaches us as U+FFFD; name the byte it was instead.
    for (const QByteArray &raw : rawArguments) {
        const qsizetype bad = firstNonUtf8(raw);
        if (bad >= 0 && QString::fromUtf8(raw) == text) {
            const QString hex =
                QString::number(uchar(raw.at(bad)), 16).toUpper().rightJustified(2, u'0');
            *error = QStringLiteral("send expects Latin-1 text written as characters; byte %1 is "
                                    "0x%2, which is not a character in UTF-8 (for the byte 0x%2, "
                                    "give the character U+00%2)")
                         .arg(bad + 1)
                         .arg(hex);
            return std::nullopt;
        }
    }
    const int outside = ReplyText::firstUnsendable(text);
    if (outside >= 0) {
        *error = QStringLiteral("send expects Latin-1 text (one byte per character); character "
                                "%1 (U+%2) is outside it")
                     .arg(outside + 1)
                     .arg(text.at(outside).unicode(), 4, 16, QLatin1Char('0'));
        return std::nullopt;
    }
    return text.toLatin1();
}

// The command's own arguments.
bool readArguments(const QStringList &args, const QList<QByteArray> &rawArguments,
                   CommandLine *request, QString *error)
{
    switch (request->command) {
    case Command::Help:
    case Command::Version:
        return true;
    case Command::Ports:
    case Command::Status:
    case Command::AllOn:
    case Command::AllOff:
    case Command::Watch:
        return expectCount(args, 1, QStringLiteral("no arguments"), error);
    case Command::On:
    case Command::Off:
    case Command::Toggle:
        if (args.size() < 2) {
            *error = QStringLiteral("%1 expects one or more relay numbers from 1 to 16")
                         .arg(args.first());
            return false;
        }
        return std::all_of(args.begin() + 1, args.end(),
                           [&](const QString &text) { return readRelay(text, request, error); });
    case Command::Set: {
        if (!expectCount(args, 2, QStringLiteral("one mask of hex digits, e.g. set 8140"), error))
            return false;
        const std::optional<quint16> mask = parseMask(args.at(1), error);
        if (mask)
            request->mask = *mask;
        return mask.has_value();
    }
    case Command::Pulse: {
        if (!expectCount(args, 3,
                         QStringLiteral("a relay number and milliseconds, e.g. pulse 5 500"),
                         error) ||
            !readRelay(args.at(1), request, error))
            return false;
        const auto length = parseTime(args.at(2), QStringLiteral("pulse"),
                                      std::chrono::milliseconds(1), kMaxPulse, error);
        if (length)
            request->pulseLength = *length;
        return length.has_value();
    }
    case Command::Send: {
        if (!expectCount(args, 2, QStringLiteral("one TEXT (quote it if it has spaces)"), error))
            return false;
        const std::optional<QByteArray> text = sendText(args.at(1), rawArguments, error);
        if (text)
            request->text = *text;
        return text.has_value();
    }
    }
    return true;
}

} // namespace

std::optional<CommandLine> CommandLine::parse(const QStringList &arguments, QString *error,
                                              const QList<QByteArray> &rawArguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const Options options;
    parser.addOptions(options.all());
    const std::optional<QStringList> ordered = argumentsLast(arguments, error);
    if (!ordered)
        return std::nullopt;
    if (!parser.parse(*ordered)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    if (!eachOnce(parser, options, error))
        return std::nullopt;

    CommandLine request;
    request.trace = parser.isSet(options.trace);
    if (parser.isSet(options.help) || parser.isSet(options.version)) {
        request.command = parser.isSet(options.help) ? Command::Help : Command::Version;
        return request;
    }
    const QStringList args = parser.positionalArguments();
    const auto named = args.isEmpty() ? commandNames().end() : commandNames().find(args.first());
    if (named == commandNames().end()) {
        *error = args.isEmpty() ? QStringLiteral("expected a command: ports, status, on, off, "
                                                 "toggle, all-on, all-off, set, pulse, send or "
                                                 "watch")
                                : QStringLiteral("unknown command \"%1\"; expected ports, status, "
                                                 "on, off, toggle, all-on, all-off, set, pulse, "
                                                 "send or watch")
                                      .arg(args.first());
        return std::nullopt;
    }
    request.command = named->second;
    if (!readWhere(parser, options, &request, error) ||
        !readHow(parser, options, &request, error) ||
        !readArguments(args, rawArguments, &request, error))
        return std::nullopt;
    return request;
}

QString CommandLine::helpText()
{
    return QStringLiteral(
        "Usage: usb16relay-ctl [--port N | --device PATH | --board ID [--socket PATH]]\n"
        "                      [--timeout MS] [--wait SECONDS] [--json] COMMAND [ARGS]\n"
        "\n"
        "Drives a sixteen-relay board from scripts. Every answer is read from the board; every\n"
        "switching command is verified by reading the state back.\n"
        "\n"
        "Options:\n"
        "  --port N         COM N (1 to 16): COM1-COM8 are /dev/ttyUSB0-7, COM9-COM16\n"
        "                   /dev/ttyACM0-7, or $USB16RELAY_PORT_DIR/COM<N> when that is set\n"
        "  --device PATH    any serial device; with neither option, the lowest COM that exists\n"
        "  --board ID       a board usb16relayd serves, through its socket; relays may then be\n"
        "                   named as the service names them (on Pump). A port the service\n"
        "                   holds is reached through it without --board\n"
        "  --socket PATH    usb16relayd's socket (default /run/usb16relayd/http.sock)\n"
        "  --timeout MS     how long to wait for each answer (default 1000)\n"
        "  --wait SECONDS   when another program holds the port, wait up to SECONDS (e.g. 10 or\n"
        "                   0.5) for it to let go instead of failing at once\n"
        "  --json           status, watch, send and switching commands print a JSON object\n"
        "                   per line; ports a JSON array\n"
        "  --raw            send: print the reply's bytes as they came\n"
        "  --interval MS    watch: ask every MS milliseconds (default 500)\n"
        "  --trace          every byte sent (>) and received (<), with the milliseconds since\n"
        "                   the start, on standard error\n"
        "  -h, --help       this text\n"
        "  --version        the program's version\n"
        "\n"
        "Commands:\n"
        "  ports            every COM port that exists: device, description, USB id, serial\n"
        "                   number, \"busy\" when another program holds it; then the boards\n"
        "                   usb16relayd serves, when its socket answers\n"
        "  status           the sixteen states, e.g. 1:on 2:off ... 16:off; with --json\n"
        "                   "
        "{\"port\":\"COM1\",\"device\":\"/dev/ttyUSB0\",\"relays\":[true,false,...]}\n"
        "  on N...          switch relays N on (1 to 16, several allowed)\n"
        "  off N...         switch relays N off\n"
        "  toggle N...      switch relays N to the opposite of the state the board reports\n"
        "  all-on, all-off  switch every relay\n"
        "  set HEX          make the relays exactly the mask of four hex digits (bit 15 = relay\n"
        "                   1 ... bit 0 = relay 16; 8140 = relays 1, 8, 10; 0840, not 840),\n"
        "                   sending only the commands needed: one\n"
        "                   NN+// or NN-// per relay that differs, or on// / off// when the mask\n"
        "                   is FFFF / 0000 and more than one relay differs\n"
        "  pulse N MS       switch relay N to the opposite state for MS milliseconds, then back;\n"
        "                   a signal during the pulse (Ctrl-C, SIGTERM, SIGHUP...) still\n"
        "                   switches it back; one before anything was switched switches nothing\n"
        "  send TEXT        send TEXT and a carriage return (Latin-1 only); print what came back\n"
        "                   within the timeout, printable ASCII as itself, '<' and every other\n"
        "                   byte as <HH>; with --raw the bytes as they came; with --json\n"
        "                   "
        "{\"port\":\"COM1\",\"device\":...,\"reply\":\"<81>@\",\"hex\":\"8140\"}\n"
        "  watch            print a timestamped state line when the state changes, until\n"
        "                   interrupted (Ctrl-C or SIGTERM end it with status 0), or until\n"
        "                   its reader is gone (watch | head -n 1)\n"
        "\n"
        "Switching commands print nothing when they succeed; with --json they print the verified\n"
        "state as status does.\n"
        "\n"
        "Exit status:\n"
        "  0    done and verified\n"
        "  1    bad usage: unknown or repeated option, unknown command, relay outside 1 to 16,\n"
        "       bad mask, malformed number, text outside Latin-1; or the result could not be\n"
        "       written (a full disk, standard output closed)\n"
        "  2    the port cannot be opened: no device, no permission (join the dialout group),\n"
        "       or another program holds it; and usb16relayd's socket cannot be reached\n"
        "  3    the board did not answer in time, answered fewer than two bytes, the line was\n"
        "       lost (unplugged), or what came could not be told apart from other bytes on the\n"
        "       line (an echo, extra bytes, late answers); or the record of answers the board\n"
        "       still owes cannot be kept, so nothing was asked\n"
        "  4    the board answered but reports another state than the one asked for; or\n"
        "       usb16relayd refused the command (an interlock), with its reason\n"
        "  128+N  ended by signal N (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP, 141 the reader of the\n"
        "       output is gone); a pulse under way was switched back and verified first (if\n"
        "       switching it back fails, that failure's status instead)\n"
        "\n"
        "Results go to standard output, errors to standard error.\n");
}
