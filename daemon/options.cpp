#include "options.h"

#include "comportpath.h"
#include "log.h"
#include "modcom.h"
#include "relaymask.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace {

constexpr int kExitFailure = 1;

void describe(QCommandLineParser *parser)
{
    parser->setApplicationDescription(QStringLiteral(
        "Serves sixteen-relay boards on an MQTT broker, with Home Assistant discovery, and "
        "over HTTP: a JSON API, an event stream and a web page."));
    parser->addHelpOption();
    parser->addVersionOption();
    parser->addOptions({
        {QStringLiteral("config"), QStringLiteral("Read the broker and the boards from FILE."),
         QStringLiteral("FILE")},
        {QStringLiteral("mqtt"),
         QStringLiteral("Broker as mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)."),
         QStringLiteral("URL")},
        {QStringLiteral("http"),
         QStringLiteral("Serve the JSON API and the web page on ADDRESS:PORT (such as "
                        "127.0.0.1:8080)."),
         QStringLiteral("ADDRESS:PORT")},
        {QStringLiteral("port"), QStringLiteral("Without --config: serve COM port N."),
         QStringLiteral("N")},
        {QStringLiteral("device"),
         QStringLiteral("Without --config: serve the serial device PATH."), QStringLiteral("PATH")},
        {QStringLiteral("id"),
         QStringLiteral("Without --config: the board's id in topics (default com<N>)."),
         QStringLiteral("ID")},
        {QStringLiteral("socket"),
         QStringLiteral("Serve the JSON API on the Unix socket PATH too (mode 0660, the serial "
                        "devices' group), for usb16relay-ctl and scripts on this machine."),
         QStringLiteral("PATH")},
        {QStringLiteral("verbose"),
         QStringLiteral("Log every command and the MQTT library's own lines too.")},
    });
}

// Without a config file: one board from --port, --device or the lowest COM number there is.
std::optional<Config> configFromArguments(const QCommandLineParser &parser, QString *error)
{
    Config config;
    BoardConfig board;
    if (parser.isSet(QStringLiteral("device"))) {
        board.device = QFileInfo(parser.value(QStringLiteral("device"))).absoluteFilePath();
    } else if (parser.isSet(QStringLiteral("port"))) {
        const std::optional<int> port = parseRelayNumber(parser.value(QStringLiteral("port")));
        if (!port) {
            *error = QStringLiteral("--port takes a COM number from 1 to 16, not \"%1\"")
                         .arg(parser.value(QStringLiteral("port")));
            return std::nullopt;
        }
        board.port = *port;
    } else if (const std::optional<int> lowest = lowestComPort()) {
        board.port = *lowest;
    } else {
        *error = QStringLiteral("No COM port exists. Check that the board is plugged in, or name "
                                "it with --port, --device or a --config file. %1")
                     .arg(ComPortPath::mappingHint());
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("id")))
        board.id = parser.value(QStringLiteral("id"));
    else if (board.device.isEmpty())
        board.id = QStringLiteral("com%1").arg(board.port);
    else
        board.id = QFileInfo(board.device).fileName().toLower();
    if (!Config::isValidId(board.id)) {
        *error = QStringLiteral("\"%1\" is not a board id: give --id with 1 to 32 of a-z, 0-9, _ "
                                "and -")
                     .arg(board.id);
        return std::nullopt;
    }
    board.name = board.id;
    config.boards.append(board);
    config.broker.password = qEnvironmentVariable(Config::kPasswordVariable);
    config.broker.serviceId = BrokerConfig::defaultServiceId();
    return config;
}

// --mqtt, --http and --socket turn a front on, or move the one the config file describes. At
// least one front is needed, or the service would serve nobody.
bool applyFronts(const QCommandLineParser &parser, bool socketActivated, Config *config,
                 QString *error)
{
    if (parser.isSet(QStringLiteral("mqtt"))) {
        QString reason;
        if (!Config::parseUrl(parser.value(QStringLiteral("mqtt")), &config->broker, &reason)) {
            *error = QStringLiteral("--mqtt: %1").arg(reason);
            return false;
        }
        config->mqtt = true;
    }
    if (parser.isSet(QStringLiteral("http"))) {
        HttpConfig http = config->http.value_or(HttpConfig{});
        QString reason;
        if (!HttpConfig::parseListen(parser.value(QStringLiteral("http")), &http, &reason)) {
            *error = QStringLiteral("--http: %1").arg(reason);
            return false;
        }
        config->http = http;
    }
    if (parser.isSet(QStringLiteral("socket"))) {
        config->socket = parser.value(QStringLiteral("socket"));
        QString reason;
        if (!Config::isValidSocketPath(config->socket, &reason)) {
            *error = QStringLiteral("--socket: %1").arg(reason);
            return false;
        }
    }
    if (!config->mqtt && !config->http && config->socket.isEmpty() && !socketActivated) {
        *error = QStringLiteral("nothing to serve the boards on: give --mqtt URL, --http "
                                "ADDRESS:PORT or --socket PATH, or an [mqtt] or [http] section "
                                "or [service] socket in the config file");
        return false;
    }
    return true;
}

} // namespace

std::optional<Options> Options::parse(const QStringList &arguments, bool socketActivated,
                                      int *exitCode)
{
    QCommandLineParser parser;
    describe(&parser);
    *exitCode = kExitFailure;
    if (!parser.parse(arguments)) {
        Log::error(parser.errorText() + QStringLiteral(" (see usb16relayd --help)"));
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"))) {
        if (parser.isSet(QStringLiteral("help")))
            std::fputs(qPrintable(parser.helpText()), stdout);
        else
            std::puts(qPrintable(
                QStringLiteral("usb16relayd %1").arg(QCoreApplication::applicationVersion())));
        *exitCode = 0;
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        Log::error(QStringLiteral("unexpected argument \"%1\" (see usb16relayd --help)")
                       .arg(parser.positionalArguments().constFirst()));
        return std::nullopt;
    }
    QString error;
    std::optional<Options> options = read(arguments, socketActivated, &error);
    if (!options)
        Log::error(error);
    return options;
}

std::optional<Options> Options::reread(QString *error) const
{
    return read(m_arguments, socketActivated, error);
}

std::optional<Options> Options::read(const QStringList &arguments, bool socketActivated,
                                     QString *error)
{
    QCommandLineParser parser;
    describe(&parser);
    parser.parse(arguments); // checked by parse() already
    Options options;
    options.m_arguments = arguments;
    options.socketActivated = socketActivated;
    options.verbose = parser.isSet(QStringLiteral("verbose"));
    std::optional<Config> config;
    if (parser.isSet(QStringLiteral("config"))) {
        for (const char *option : {"port", "device", "id"}) {
            if (parser.isSet(QString::fromLatin1(option))) {
                *error = QStringLiteral("--%1 serves a board without a config file; with --config, "
                                        "describe the board in the file")
                             .arg(QString::fromLatin1(option));
                return std::nullopt;
            }
        }
        options.configFile = parser.value(QStringLiteral("config"));
        config = Config::load(options.configFile, error);
    } else {
        config = configFromArguments(parser, error);
    }
    if (!config || !applyFronts(parser, socketActivated, &*config, error))
        return std::nullopt;
    // systemd's StateDirectory=, unless the file names one.
    if (config->stateDirectory.isEmpty())
        config->stateDirectory = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    for (BoardConfig &board : config->boards)
        board.stateDirectory = config->stateDirectory;
    options.config = std::move(*config);
    return options;
}
