#include "board.h"
#include "comportpath.h"
#include "config.h"
#include "httpserver.h"
#include "log.h"
#include "modcom.h"
#include "mqttbridge.h"
#include "mqttconnection.h"
#include "mqttprotocol.h"
#include "servicenotifier.h"
#include "signalwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr std::chrono::milliseconds kStopBound{15000};
constexpr std::chrono::milliseconds kDisconnectBound{3000};

struct BoardThread
{
    std::unique_ptr<Board> board;
    std::unique_ptr<QThread> thread;
};

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
        if (!ok || board.port < 1 || board.port > 16) {
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
    return config;
}

// --http ADDRESS:PORT turns the HTTP front on, or moves the one the config file describes.
// At least one front is needed, or the service would serve nobody.
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
    if (!config->mqtt && !config->http) {
        *error = QStringLiteral("nothing to serve the boards on: give --mqtt URL or --http "
                                "ADDRESS:PORT, or an [mqtt] or [http] section in the config file");
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

    QString error;
    const std::optional<Config> config = readConfig(parser, &error);
    if (!config) {
        Log::error(error);
        return kExitFailure;
    }

    SignalWatcher signalWatcher;
    if (!signalWatcher.install()) {
        Log::error(QStringLiteral("cannot catch SIGTERM and SIGINT, so a pulse could not be ended "
                                  "safely on stopping; not starting"));
        return kExitFailure;
    }
    ServiceNotifier notifier;

    std::unique_ptr<MqttConnection> connection;
    if (config->mqtt) {
        connection = std::make_unique<MqttConnection>(config->broker);
        if (!connection->setup(MqttProtocol::statusTopic(config->broker.baseTopic), &error)) {
            Log::error(error);
            return kExitFailure;
        }
    }

    std::vector<BoardThread> boards;
    QList<Board *> boardList;
    for (const BoardConfig &boardConfig : config->boards) {
        BoardThread entry{std::make_unique<Board>(boardConfig), std::make_unique<QThread>()};
        entry.thread->setObjectName(QStringLiteral("board %1").arg(boardConfig.id));
        entry.board->moveToThread(entry.thread.get());
        QObject::connect(entry.board.get(), &Board::warning, &app,
                         [](const QString &message) { Log::warning(message); });
        boardList.append(entry.board.get());
        boards.push_back(std::move(entry));
    }
    std::unique_ptr<MqttBridge> bridge;
    if (connection)
        bridge = std::make_unique<MqttBridge>(config->broker, boardList, connection.get(),
                                              QStringLiteral(USB16RELAY_VERSION));

    // The HTTP front, beside MQTT on the same boards.
    std::unique_ptr<HttpServer> http;
    if (config->http) {
        http = std::make_unique<HttpServer>(*config->http, boardList);
        if (!http->start(&error)) {
            Log::error(QStringLiteral("HTTP: %1").arg(error));
            return kExitFailure;
        }
        Log::info(QStringLiteral("HTTP API and page on %1%2")
                      .arg(http->url(), config->http->tokenFile.isEmpty()
                                            ? QString()
                                            : QStringLiteral(" (token required)")));
    }

    // Ready once every board has been opened or scheduled for another try.
    auto waiting = std::make_shared<int>(int(boards.size()));
    for (const BoardThread &entry : boards) {
        auto first = std::make_shared<bool>(true);
        QObject::connect(entry.board.get(), &Board::availabilityChanged, &app,
                         [&notifier, waiting, first, count = boards.size()] {
                             if (!*first)
                                 return;
                             *first = false;
                             if (--*waiting == 0)
                                 notifier.ready(QStringLiteral("serving %1 board(s)").arg(count));
                         });
        QObject::connect(entry.thread.get(), &QThread::started, entry.board.get(), &Board::start);
    }

    QStringList served;
    for (const BoardConfig &boardConfig : config->boards)
        served += QStringLiteral("%1 (%2)").arg(boardConfig.id, boardConfig.where());
    if (connection)
        Log::info(QStringLiteral("usb16relayd %1 serving %2 on %3, topics under %4/")
                      .arg(QStringLiteral(USB16RELAY_VERSION), served.join(QStringLiteral(", ")),
                           connection->brokerName(), config->broker.baseTopic));
    else
        Log::info(QStringLiteral("usb16relayd %1 serving %2 over HTTP only")
                      .arg(QStringLiteral(USB16RELAY_VERSION), served.join(QStringLiteral(", "))));
    for (BoardThread &entry : boards)
        entry.thread->start();
    if (connection)
        connection->start();

    int caught = 0;
    QObject::connect(&signalWatcher, &SignalWatcher::signalReceived, &app, [&caught](int signal) {
        if (caught == 0) {
            caught = signal;
            QCoreApplication::exit(0);
        }
    });
    app.exec();

    Log::info(QStringLiteral("stopping on signal %1: ending pulses, then offline").arg(caught));
    notifier.stopping();
    auto running = std::make_shared<int>(int(boards.size()));
    for (BoardThread &entry : boards) {
        QObject::connect(entry.board.get(), &Board::stopped, &app, [running] { --*running; });
        QMetaObject::invokeMethod(entry.board.get(), &Board::stop, Qt::QueuedConnection);
    }
    const QDeadlineTimer deadline(kStopBound);
    while (*running > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    QCoreApplication::processEvents(); // the last states the boards read, before "offline"
    int status = 0;
    if (*running > 0) {
        Log::error(QStringLiteral("%1 board(s) did not stop within %2 s; their pulses may not "
                                  "have ended")
                       .arg(*running)
                       .arg(kStopBound.count() / 1000));
        status = kExitFailure;
    }
    if (http)
        http->stop();
    if (bridge) {
        bridge->publishOffline();
        connection->close(kDisconnectBound);
    }
    for (BoardThread &entry : boards) {
        entry.thread->quit();
        entry.thread->wait();
    }
    Log::info(QStringLiteral("stopped"));
    return status;
}
