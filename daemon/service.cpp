#include "service.h"

#include "comportpath.h"
#include "httpserver.h"
#include "localsocket.h"
#include "log.h"
#include "mqttbridge.h"
#include "mqttconnection.h"
#include "mqttprotocol.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kExitFailure = 1;
constexpr int kFrontFailed = -1;
constexpr int kIdTaken = -2; // another live service has this one's id on the broker
constexpr std::chrono::milliseconds kStopBound{15000};
constexpr std::chrono::milliseconds kDisconnectBound{3000};
// Past this, the process ends whatever a board's thread or an HTTP client is doing.
constexpr std::chrono::milliseconds kLastBound{25000};

bool sameBroker(const BrokerConfig &a, const BrokerConfig &b)
{
    return a.host == b.host && a.port == b.port && a.tls == b.tls && a.username == b.username &&
           a.password == b.password && a.caFile == b.caFile && a.certFile == b.certFile &&
           a.keyFile == b.keyFile && a.baseTopic == b.baseTopic && a.serviceId == b.serviceId;
}

// Of `topics`, those the configuration `after` does not publish: boards gone or renamed, and
// discovery turned off.
QStringList unpublished(const QStringList &topics, const Config &after)
{
    QStringList kept;
    if (after.mqtt) {
        for (const BoardConfig &board : after.boards)
            kept += MqttProtocol::retainedTopics(after.broker, board);
    }
    QStringList retired;
    for (const QString &topic : topics) {
        if (!kept.contains(topic) && !retired.contains(topic))
            retired += topic;
    }
    return retired;
}

QStringList retainedTopics(const Config &config)
{
    QStringList topics;
    for (const BoardConfig &board : config.boards)
        topics += MqttProtocol::retainedTopics(config.broker, board);
    return topics;
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

QString servingStatus(int boards)
{
    return QStringLiteral("serving %1 board(s)").arg(boards);
}

} // namespace

Service::Service(Options options, std::unique_ptr<LocalSocket> socket, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_socket(std::move(socket))
{
    Log::setVerbose(m_options.verbose);
    if (m_options.socketActivated)
        Log::info(QStringLiteral("HTTP API on the socket %1, from systemd").arg(m_socket->path()));
    // Ready once every board has been opened or scheduled for another try; again after a reload.
    connect(&m_hub, &BoardHub::ready, this,
            [this](int count) { m_notifier.ready(servingStatus(count)); });
    // SIGHUP reads the configuration again; the first other signal ends the service.
    connect(&m_signals, &SignalWatcher::signalReceived, this, [this](int signal) {
        if (m_caught == 0 || m_caught == SIGHUP) {
            m_caught = signal;
            QCoreApplication::exit(0);
        }
    });
}

Service::~Service()
{
    stopFronts();
}

int Service::run()
{
    // Every signal that would end the process ends it the way SIGTERM does: pulses switched
    // back, availability "offline".
    if (!m_signals.install({SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                            SIGPROF, SIGXCPU, SIGXFSZ})) {
        Log::error(QStringLiteral("cannot catch SIGTERM and SIGINT, so a pulse could not be ended "
                                  "safely on stopping; not starting"));
        return kExitFailure;
    }
    ::signal(SIGPIPE, SIG_IGN);
    if (!start())
        return kExitFailure;
    int status = 0;
    for (;;) {
        if (m_caught == 0)
            QCoreApplication::exec();
        if (m_caught != SIGHUP)
            break;
        m_caught = 0;
        if (!reload()) {
            status = kExitFailure;
            break;
        }
    }
    return stop(m_caught == kFrontFailed || m_caught == kIdTaken ? kExitFailure : status);
}

bool Service::start()
{
    QString error;
    if (m_options.config.mqtt && !connectBroker(m_options.config, &error)) {
        Log::error(error);
        return false;
    }
    m_hub.load(m_options.config.boards);
    if (!startFronts(&error)) {
        Log::error(error);
        return false;
    }
    logServing();
    m_hub.start();
    if (m_connection)
        m_connection->start();
    return true;
}

// The boards the new file removes or changes stop (pulses end, waiting requests are answered)
// and start again from it, one on the same device keeping what the board holds; the others run
// on. A file that no longer reads changes nothing.
bool Service::reload()
{
    if (m_options.configFile.isEmpty()) {
        Log::info(QStringLiteral("SIGHUP: nothing to read again without --config"));
        return true;
    }
    m_notifier.reloading();
    Log::info(QStringLiteral("SIGHUP: reading %1 again").arg(m_options.configFile));
    QString error;
    std::optional<Options> next = m_options.reread(&error);
    if (!next) {
        Log::error(QStringLiteral("%1; the service goes on as it was").arg(error));
        m_notifier.ready(servingStatus(int(m_hub.configs().size())));
        return true;
    }
    // Only the boards the file removes or changes stop; the others run on, their ports, queues,
    // pulses and availability untouched.
    if (!m_hub.retire(next->config.boards, kStopBound))
        return false;
    // What is still to be cleared from an earlier reload stays the service's to clear.
    QStringList retired;
    if (m_bridge)
        retired =
            unpublished(m_bridge->unretired() + retainedTopics(m_options.config), next->config);
    const bool brokerGoes =
        m_connection &&
        (!next->config.mqtt || !sameBroker(m_options.config.broker, next->config.broker));
    if (brokerGoes) {
        m_bridge->publishOffline();
        for (const QString &topic : std::as_const(retired))
            m_connection->publish(topic, {}, true);
        retired.clear();
    }
    stopFronts();
    if (brokerGoes) {
        m_connection->close(kDisconnectBound);
        m_connection.reset();
    }
    if (next->config.mqtt && !m_connection) {
        if (!connectBroker(next->config, &error)) {
            Log::error(error);
            return false;
        }
        m_connection->start();
    }
    m_options = std::move(*next);
    m_hub.load(m_options.config.boards);
    if (!startFronts(&error)) {
        Log::error(error);
        return false;
    }
    if (m_bridge)
        m_bridge->retire(retired);
    logServing();
    m_hub.start();
    return true;
}

int Service::stop(int status)
{
    armLastBound();
    if (m_caught == kFrontFailed || m_caught == kIdTaken)
        Log::info(QStringLiteral("stopping: ending pulses, then offline"));
    else
        Log::info(
            QStringLiteral("stopping on signal %1: ending pulses, then offline").arg(m_caught));
    m_notifier.stopping();
    if (!m_hub.stop(kStopBound))
        status = kExitFailure;
    if (m_http)
        m_http->stop();
    if (m_bridge) {
        // The other service's status and boards are not this one's to mark offline; a clean
        // disconnect also keeps the broker from publishing this one's Last Will there.
        if (m_caught != kIdTaken)
            m_bridge->publishOffline();
        m_connection->close(kDisconnectBound);
    }
    stopFronts();
    Log::info(QStringLiteral("stopped"));
    if (status != 0) {
        // A board's thread may still hang in a call to its port: end without waiting for it.
        std::fflush(stderr);
        ::_exit(status);
    }
    return status;
}

bool Service::connectBroker(const Config &config, QString *error)
{
    auto connection = std::make_unique<MqttConnection>(config.broker);
    if (!connection->setup(MqttProtocol::statusTopic(config.broker), error))
        return false;
    m_connection = std::move(connection);
    return true;
}

// The Unix socket: systemd's, kept for the whole run, or the one the configuration names, made
// again when a reload names another.
bool Service::openSocket(QString *error)
{
    const Config &config = m_options.config;
    if (m_options.socketActivated || m_socket->path() == config.socket)
        return true;
    m_socket->close();
    if (config.socket.isEmpty())
        return true;
    QStringList devices;
    for (const BoardConfig &board : config.boards)
        devices.append(board.device.isEmpty() ? ComPortPath::devicePath(board.port) : board.device);
    if (!m_socket->listen(config.socket, LocalSocket::groupFor(devices), error))
        return false;
    Log::info(QStringLiteral("HTTP API on the socket %1").arg(config.socket));
    return true;
}

bool Service::startFronts(QString *error)
{
    const Config &config = m_options.config;
    if (m_connection) {
        m_bridge = std::make_unique<MqttBridge>(config.broker, &m_hub, m_connection.get(),
                                                QCoreApplication::applicationVersion());
        connect(m_bridge.get(), &MqttBridge::conflict, this, [this](const QString &message) {
            Log::error(message);
            m_caught = kIdTaken;
            QCoreApplication::exit(0);
        });
    }
    if (!openSocket(error)) {
        *error = QStringLiteral("socket: %1").arg(*error);
        return false;
    }
    if (!config.http && m_socket->fd() < 0)
        return true;
    m_http = std::make_unique<HttpServer>(config.http.value_or(HttpConfig{}), &m_hub);
    // A front that dies ends the service: nothing would tell its clients otherwise.
    connect(
        m_http.get(), &HttpServer::failed, this,
        [this](const QString &reason) {
            Log::error(QStringLiteral("HTTP: %1; stopping").arg(reason));
            m_caught = kFrontFailed;
            QCoreApplication::exit(0);
        },
        Qt::QueuedConnection);
    // Each front's threads own a copy: the socket itself outlives reloads.
    if (m_socket->fd() >= 0) {
        const int copy = ::fcntl(m_socket->fd(), F_DUPFD_CLOEXEC, 3);
        if (copy < 0) {
            *error = QStringLiteral("socket: %1").arg(qt_error_string(errno));
            return false;
        }
        m_http->serveLocal(copy, config.http.has_value());
    }
    if (!m_http->start(error)) {
        *error = QStringLiteral("HTTP: %1").arg(*error);
        return false;
    }
    if (config.http) {
        Log::info(QStringLiteral("HTTP API and page on %1%2")
                      .arg(m_http->url(), config.http->tokenFile.isEmpty()
                                              ? QString()
                                              : QStringLiteral(" (token required)")));
    }
    return true;
}

void Service::stopFronts()
{
    if (m_http)
        m_http->stop();
    m_http.reset();
    m_bridge.reset();
}

void Service::logServing() const
{
    const Config &config = m_options.config;
    QStringList served;
    for (const BoardConfig &board : config.boards)
        served += QStringLiteral("%1 (%2)").arg(board.id, board.where());
    const QString version = QCoreApplication::applicationVersion();
    if (m_connection)
        Log::info(QStringLiteral("usb16relayd %1 serving %2 on %3, topics under %4/, service "
                                 "status on %5")
                      .arg(version, served.join(QStringLiteral(", ")), m_connection->brokerName(),
                           config.broker.baseTopic, MqttProtocol::statusTopic(config.broker)));
    else
        Log::info(QStringLiteral("usb16relayd %1 serving %2 over HTTP only")
                      .arg(version, served.join(QStringLiteral(", "))));
}
