#include "board.h"
#include "boardhub.h"
#include "comportpath.h"
#include "config.h"
#include "httpserver.h"
#include "localsocket.h"
#include "log.h"
#include "modcom.h"
#include "mqttbridge.h"
#include "mqttconnection.h"
#include "mqttprotocol.h"
#include "relaymask.h"
#include "servicenotifier.h"
#include "signalwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kExitFailure = 1;
constexpr std::chrono::milliseconds kStopBound{15000};
constexpr std::chrono::milliseconds kDisconnectBound{3000};
// Past this, the process ends whatever a board's thread or an HTTP client is doing.
constexpr std::chrono::milliseconds kLastBound{25000};

// Without a config file: one board from --port, --device or the lowest COM number there is.
std::optional<Config> configFromArguments(const QCommandLineParser &parser, QString *error)
{
    Config config;
    BoardConfig board;
    if (parser.isSet(QStringLiteral("device"))) {
        board.device = QFileInfo(parser.value(QStringLiteral("device"))).absoluteFilePath();
    } else if (parser.isSet(QStringLiteral("port"))) {
        bool ok = false;
        board.port = parser.value(QStringLiteral("port")).toInt(&ok);
        if (!ok || !isRelayNumber(board.port)) {
            *error = QStringLiteral("--port takes a COM number from 1 to 16, not \"%1\"")
                         .arg(parser.value(QStringLiteral("port")));
            return std::nullopt;
        }
    } else {
        for (qint16 n = 1; n <= 16 && board.port == 0; ++n) {
            if (ComPortExists(n))
                board.port = n;
        }
        if (board.port == 0) {
            *error = QStringLiteral("No COM port exists. Check that the board is plugged in, or "
                                    "name it with --port, --device or a --config file. %1")
                         .arg(ComPortPath::mappingHint());
            return std::nullopt;
        }
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

// --http ADDRESS:PORT turns the HTTP front on, or moves the one the config file describes.
// At least one front is needed, or the service would serve nobody.
bool socketActivated = false; // systemd handed over the Unix socket

bool applyHttpOption(const QCommandLineParser &parser, Config *config, QString *error)
{
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

std::optional<Config> readConfig(const QCommandLineParser &parser, QString *error)
{
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
        config = Config::load(parser.value(QStringLiteral("config")), error);
    } else {
        config = configFromArguments(parser, error);
    }
    if (config && parser.isSet(QStringLiteral("mqtt"))) {
        QString reason;
        if (!Config::parseUrl(parser.value(QStringLiteral("mqtt")), &config->broker, &reason)) {
            *error = QStringLiteral("--mqtt: %1").arg(reason);
            return std::nullopt;
        }
        config->mqtt = true;
    }
    if (config && !applyHttpOption(parser, &*config, error))
        return std::nullopt;
    return config;
}

// The fronts over the hub's boards. Built anew on a reload; the broker connection stays for as
// long as the broker settings do.
struct Fronts
{
    std::unique_ptr<MqttBridge> bridge;
    std::unique_ptr<HttpServer> http;
};

bool sameBroker(const BrokerConfig &a, const BrokerConfig &b)
{
    return a.host == b.host && a.port == b.port && a.tls == b.tls && a.username == b.username &&
           a.password == b.password && a.caFile == b.caFile && a.certFile == b.certFile &&
           a.keyFile == b.keyFile && a.baseTopic == b.baseTopic && a.serviceId == b.serviceId;
}

std::unique_ptr<MqttConnection> connectBroker(const Config &config, QString *error)
{
    auto connection = std::make_unique<MqttConnection>(config.broker);
    if (!connection->setup(MqttProtocol::statusTopic(config.broker), error))
        return nullptr;
    return connection;
}

// The Unix socket: systemd's, kept for the whole run, or the one the configuration names,
// made again when a reload names another.
bool openSocket(const Config &config, LocalSocket *socket, QString *error)
{
    if (socketActivated || socket->path() == config.socket)
        return true;
    socket->close();
    if (config.socket.isEmpty())
        return true;
    QStringList devices;
    for (const BoardConfig &board : config.boards)
        devices.append(board.device.isEmpty() ? ComPortPath::devicePath(board.port) : board.device);
    if (!socket->listen(config.socket, LocalSocket::groupFor(devices), error))
        return false;
    Log::info(QStringLiteral("HTTP API on the socket %1").arg(config.socket));
    return true;
}

bool startFronts(const Config &config, BoardHub *hub, MqttConnection *connection, Fronts *fronts,
                 LocalSocket *socket, QString *error)
{
    if (connection)
        fronts->bridge = std::make_unique<MqttBridge>(config.broker, hub, connection,
                                                      QStringLiteral(USB16RELAY_VERSION));
    if (!openSocket(config, socket, error)) {
        *error = QStringLiteral("socket: %1").arg(*error);
        return false;
    }
    if (config.http || socket->fd() >= 0) {
        fronts->http =
            std::make_unique<HttpServer>(config.http.value_or(HttpConfig{}), hub->boards());
        // Each front's threads own a copy: the socket itself outlives reloads.
        if (socket->fd() >= 0) {
            const int copy = ::fcntl(socket->fd(), F_DUPFD_CLOEXEC, 3);
            if (copy < 0) {
                *error = QStringLiteral("socket: %1").arg(qt_error_string(errno));
                return false;
            }
            fronts->http->serveLocal(copy, config.http.has_value());
        }
        if (!fronts->http->start(error)) {
            *error = QStringLiteral("HTTP: %1").arg(*error);
            return false;
        }
    }
    if (config.http) {
        Log::info(QStringLiteral("HTTP API and page on %1%2")
                      .arg(fronts->http->url(), config.http->tokenFile.isEmpty()
                                                    ? QString()
                                                    : QStringLiteral(" (token required)")));
    }
    return true;
}

void stopFronts(Fronts *fronts)
{
    if (fronts->http)
        fronts->http->stop();
    fronts->http.reset();
    fronts->bridge.reset();
}

// What the old configuration published and the new one does not: boards gone or renamed, and
// discovery turned off.
QStringList retiredTopics(const Config &before, const Config &after)
{
    QStringList kept;
    if (after.mqtt) {
        for (const BoardConfig &board : after.boards)
            kept += MqttProtocol::retainedTopics(after.broker, board);
    }
    QStringList retired;
    for (const BoardConfig &board : before.boards) {
        for (const QString &topic : MqttProtocol::retainedTopics(before.broker, board)) {
            if (!kept.contains(topic))
                retired += topic;
        }
    }
    return retired;
}

void logServing(const Config &config, const MqttConnection *connection)
{
    QStringList served;
    for (const BoardConfig &boardConfig : config.boards)
        served += QStringLiteral("%1 (%2)").arg(boardConfig.id, boardConfig.where());
    if (connection)
        Log::info(QStringLiteral("usb16relayd %1 serving %2 on %3, topics under %4/, service "
                                 "status on %5")
                      .arg(QStringLiteral(USB16RELAY_VERSION), served.join(QStringLiteral(", ")),
                           connection->brokerName(), config.broker.baseTopic,
                           MqttProtocol::statusTopic(config.broker)));
    else
        Log::info(QStringLiteral("usb16relayd %1 serving %2 over HTTP only")
                      .arg(QStringLiteral(USB16RELAY_VERSION), served.join(QStringLiteral(", "))));
}

void armLastBound()
{
    std::thread([] {
        std::this_thread::sleep_for(kLastBound);
        Log::error(
            QStringLiteral("did not stop within %1 s; ending now").arg(kLastBound.count() / 1000));
        ::_exit(kExitFailure);
    }).detach();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("usb16relayd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(USB16RELAY_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves sixteen-relay boards on an MQTT broker, with Home Assistant discovery, and "
        "over HTTP: a JSON API, an event stream and a web page."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
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
    if (!parser.parse(QCoreApplication::arguments())) {
        Log::error(parser.errorText() + QStringLiteral(" (see usb16relayd --help)"));
        return kExitFailure;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::puts("usb16relayd " USB16RELAY_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        Log::error(QStringLiteral("unexpected argument \"%1\" (see usb16relayd --help)")
                       .arg(parser.positionalArguments().constFirst()));
        return kExitFailure;
    }

    Log::setVerbose(parser.isSet(QStringLiteral("verbose")));
    LocalSocket socket;
    socketActivated = socket.adoptFromSystemd();
    if (socketActivated)
        Log::info(QStringLiteral("HTTP API on the socket %1, from systemd").arg(socket.path()));

    QString error;
    std::optional<Config> config = readConfig(parser, &error);
    if (!config) {
        Log::error(error);
        return kExitFailure;
    }

    // SIGHUP reads the configuration again; every other signal that would end the process ends
    // it the way SIGTERM does, pulses switched back and availability "offline".
    SignalWatcher signalWatcher;
    if (!signalWatcher.install({SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ})) {
        Log::error(QStringLiteral("cannot catch SIGTERM and SIGINT, so a pulse could not be ended "
                                  "safely on stopping; not starting"));
        return kExitFailure;
    }
    ::signal(SIGPIPE, SIG_IGN);
    ServiceNotifier notifier;

    std::unique_ptr<MqttConnection> connection;
    if (config->mqtt) {
        connection = connectBroker(*config, &error);
        if (!connection) {
            Log::error(error);
            return kExitFailure;
        }
    }

    BoardHub hub;
    // Ready once every board has been opened or scheduled for another try; again after a reload.
    QObject::connect(&hub, &BoardHub::ready, &app, [&notifier](int count) {
        notifier.ready(QStringLiteral("serving %1 board(s)").arg(count));
    });
    hub.load(config->boards);
    Fronts fronts;
    if (!startFronts(*config, &hub, connection.get(), &fronts, &socket, &error)) {
        Log::error(error);
        return kExitFailure;
    }
    logServing(*config, connection.get());
    hub.start();
    if (connection)
        connection->start();

    int caught = 0;
    QObject::connect(&signalWatcher, &SignalWatcher::signalReceived, &app, [&caught](int signal) {
        if (caught == 0 || caught == SIGHUP) {
            caught = signal;
            QCoreApplication::exit(0);
        }
    });
    int status = 0;
    for (;;) {
        if (caught == 0)
            app.exec();
        if (caught != SIGHUP)
            break;
        caught = 0;
        if (!parser.isSet(QStringLiteral("config"))) {
            Log::info(QStringLiteral("SIGHUP: nothing to read again without --config"));
            continue;
        }
        notifier.reloading();
        Log::info(
            QStringLiteral("SIGHUP: reading %1 again").arg(parser.value(QStringLiteral("config"))));
        std::optional<Config> next = readConfig(parser, &error);
        if (!next) {
            Log::error(QStringLiteral("%1; the service goes on as it was").arg(error));
            notifier.ready(QStringLiteral("serving %1 board(s)").arg(hub.boards().size()));
            continue;
        }
        // Every board stops (pulses end, waiting requests are answered) and starts again from
        // the new file; one on the same device keeps what the board holds.
        if (!hub.stop(kStopBound)) {
            status = kExitFailure;
            break;
        }
        const QStringList retired = connection ? retiredTopics(*config, *next) : QStringList();
        stopFronts(&fronts);
        if (connection && (!next->mqtt || !sameBroker(config->broker, next->broker))) {
            MqttBridge(config->broker, &hub, connection.get(), {}).publishOffline();
            for (const QString &topic : retired)
                connection->publish(topic, {}, true);
            connection->close(kDisconnectBound);
            connection.reset();
        }
        if (next->mqtt && !connection) {
            connection = connectBroker(*next, &error);
            if (!connection) {
                Log::error(error);
                status = kExitFailure;
                break;
            }
            connection->start();
        }
        config = std::move(next);
        hub.load(config->boards);
        if (!startFronts(*config, &hub, connection.get(), &fronts, &socket, &error)) {
            Log::error(error);
            status = kExitFailure;
            break;
        }
        if (fronts.bridge)
            fronts.bridge->retire(retired);
        logServing(*config, connection.get());
        hub.start();
    }

    armLastBound();
    Log::info(QStringLiteral("stopping on signal %1: ending pulses, then offline").arg(caught));
    notifier.stopping();
    if (!hub.stop(kStopBound))
        status = kExitFailure;
    if (fronts.http)
        fronts.http->stop();
    if (fronts.bridge) {
        fronts.bridge->publishOffline();
        connection->close(kDisconnectBound);
    }
    stopFronts(&fronts);
    Log::info(QStringLiteral("stopped"));
    if (status != 0) {
        // A board's thread may still hang in a call to its port: end without waiting for it.
        std::fflush(stderr);
        ::_exit(status);
    }
    return status;
}
