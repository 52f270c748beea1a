#include "mqttconnection.h"

#include "log.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QSysInfo>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

constexpr std::chrono::milliseconds kMiscInterval{500};

class LibraryInit
{
public:
    LibraryInit() { mosquitto_lib_init(); }
    ~LibraryInit() { mosquitto_lib_cleanup(); }
};

QString reasonOf(int rc)
{
    // This libmosquitto has no words of its own for it ("Unknown error.").
    if (rc == MOSQ_ERR_KEEPALIVE)
        return QStringLiteral("the broker sent nothing back within the keep-alive time");
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

void check(int rc, const char *what)
{
    if (rc != MOSQ_ERR_SUCCESS)
        Log::warning(QStringLiteral("libmosquitto: cannot set %1: %2")
                         .arg(QString::fromLatin1(what), reasonOf(rc)));
}

} // namespace

struct MqttConnection::Attempt
{
    std::mutex mutex;
    MqttConnection *owner = nullptr; // null once the connection is gone
    bool running = false;
};

MqttConnection::MqttConnection(const BrokerConfig &broker, QObject *parent)
    : QObject(parent), m_broker(broker)
{
    static LibraryInit init;
    const QByteArray clientId = QStringLiteral("usb16relayd-%1-%2")
                                    .arg(QSysInfo::machineHostName())
                                    .arg(QCoreApplication::applicationPid())
                                    .toUtf8();
    // A clean session: commands sent while the service was away are not delivered late.
    m_attempt = std::make_shared<Attempt>();
    m_attempt->owner = this;
    m_mosq = mosquitto_new(clientId.constData(), true, this);
    if (!m_mosq) {
        m_lastReason = QString::fromLocal8Bit(std::strerror(errno)); // setup() reports it
        return;
    }
    // Small packets each way (a command, its acknowledgement, two states): without this, Nagle's
    // algorithm holds the second back until the broker's delayed acknowledgement, some 40 ms.
    check(mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1), "TCP_NODELAY");
    mosquitto_connect_callback_set(m_mosq, &MqttConnection::onConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MqttConnection::onDisconnect);
    mosquitto_publish_callback_set(m_mosq, &MqttConnection::onPublish);
    mosquitto_message_callback_set(m_mosq, &MqttConnection::onMessage);
    mosquitto_subscribe_callback_set(m_mosq, &MqttConnection::onSubscribe);
    mosquitto_log_callback_set(m_mosq, [](mosquitto *, void *, int level, const char *text) {
        if (level &
            (MOSQ_LOG_ERR | MOSQ_LOG_WARNING | MOSQ_LOG_NOTICE | MOSQ_LOG_INFO | MOSQ_LOG_DEBUG))
            Log::debug(QStringLiteral("libmosquitto: %1").arg(QString::fromUtf8(text)));
    });
    m_miscTimer.setInterval(kMiscInterval);
    connect(&m_miscTimer, &QTimer::timeout, this, &MqttConnection::handleMisc);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &MqttConnection::connectNow);
}

MqttConnection::~MqttConnection()
{
    dropSocket();
    std::lock_guard lock(m_attempt->mutex);
    m_attempt->owner = nullptr;
    // A connect still resolving holds the client: it is left to the process's end.
    if (!m_attempt->running)
        mosquitto_destroy(m_mosq);
}

QString MqttConnection::brokerName() const
{
    return QStringLiteral("%1://%2:%3")
        .arg(m_broker.tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"), m_broker.host)
        .arg(m_broker.port);
}

bool MqttConnection::setup(const QString &willTopic, QString *error)
{
    if (!m_mosq) {
        *error = QStringLiteral("cannot make an MQTT client: %1").arg(m_lastReason);
        return false;
    }
    if (!m_broker.username.isEmpty()) {
        const QByteArray user = m_broker.username.toUtf8();
        const QByteArray password = m_broker.password.toUtf8();
        const int rc = mosquitto_username_pw_set(
            m_mosq, user.constData(), password.isEmpty() ? nullptr : password.constData());
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("MQTT username for %1: %2").arg(brokerName(), reasonOf(rc));
            return false;
        }
    }
    const QByteArray will = willTopic.toUtf8();
    const int willRc = mosquitto_will_set(m_mosq, will.constData(), 7, "offline", 1, true);
    if (willRc != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("MQTT Last Will on %1: %2").arg(willTopic, reasonOf(willRc));
        return false;
    }
    if (!m_broker.tls)
        return true;
    const QByteArray ca = m_broker.caFile.toUtf8();
    const QByteArray cert = m_broker.certFile.toUtf8();
    const QByteArray key = m_broker.keyFile.toUtf8();
    int rc = MOSQ_ERR_SUCCESS;
    if (ca.isEmpty()) {
        rc = mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc == MOSQ_ERR_SUCCESS && !cert.isEmpty())
            rc = mosquitto_tls_set(m_mosq, nullptr, "/etc/ssl/certs", cert.constData(),
                                   key.constData(), nullptr);
    } else {
        rc = mosquitto_tls_set(m_mosq, ca.constData(), nullptr,
                               cert.isEmpty() ? nullptr : cert.constData(),
                               key.isEmpty() ? nullptr : key.constData(), nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("TLS set-up for %1 failed (ca_file %2, cert_file %3, key_file %4): "
                                "%5. Check that the files exist, are readable and are PEM.")
                     .arg(brokerName(), m_broker.caFile, m_broker.certFile, m_broker.keyFile,
                          reasonOf(rc));
        return false;
    }
    return true;
}

void MqttConnection::start()
{
    m_miscTimer.start();
    connectNow();
}

void MqttConnection::connectNow()
{
    if (m_closing)
        return;
    dropSocket();
    {
        std::lock_guard lock(m_attempt->mutex);
        if (m_attempt->running)
            return;
        m_attempt->running = true;
    }
    // Nothing on this thread touches the client until the attempt is back: the socket is not
    // watched and m_connected is false, so publish() and the timers leave it alone.
    std::thread([attempt = m_attempt, mosq = m_mosq, host = m_broker.host.toUtf8(),
                 port = m_broker.port] {
        const int rc = mosquitto_connect_async(mosq, host.constData(), port, kKeepAliveSeconds);
        const int error = errno;
        std::lock_guard lock(attempt->mutex);
        attempt->running = false;
        if (attempt->owner)
            QMetaObject::invokeMethod(
                attempt->owner,
                [owner = attempt->owner, rc, error] { owner->handleAttempt(rc, error); },
                Qt::QueuedConnection);
        else
            mosquitto_destroy(mosq);
    }).detach();
}

void MqttConnection::handleAttempt(int rc, int error)
{
    if (m_closing)
        return;
    if (rc != MOSQ_ERR_SUCCESS) {
        errno = error;
        handleLost(reasonOf(rc));
        return;
    }
    watchSocket();
}

void MqttConnection::handleLost(const QString &reason)
{
    const bool wasConnected = m_connected;
    m_connected = false;
    m_unacknowledged.clear();
    m_subscribing.clear();
    dropSocket();
    if (m_closing)
        return;
    if (wasConnected || reason != m_lastReason)
        Log::warning(QStringLiteral("MQTT broker %1: %2; trying again in %3 s and on, with "
                                    "growing pauses up to %4 s")
                         .arg(brokerName(), reason)
                         .arg(m_retryDelay.count() / 1000)
                         .arg(kLastRetry.count() / 1000));
    m_lastReason = reason;
    if (wasConnected)
        emit disconnected(reason);
    m_retryTimer.start(m_retryDelay);
    m_retryDelay = std::min(m_retryDelay * 2, kLastRetry);
}

void MqttConnection::watchSocket()
{
    const int socket = mosquitto_socket(m_mosq);
    if (socket < 0 || socket == m_socket)
        return;
    dropSocket();
    m_socket = socket;
    m_readNotifier = new QSocketNotifier(socket, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &MqttConnection::handleReadable);
    m_writeNotifier = new QSocketNotifier(socket, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &MqttConnection::handleWritable);
    updateWriteInterest();
}

void MqttConnection::dropSocket()
{
    // Called from inside the notifiers' own handlers too: they go once the handler returns.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    m_socket = -1;
}

void MqttConnection::handleReadable()
{
    checkResult(mosquitto_loop_read(m_mosq, 1));
}

void MqttConnection::handleWritable()
{
    checkResult(mosquitto_loop_write(m_mosq, 1));
}

void MqttConnection::handleMisc()
{
    if (m_socket >= 0)
        checkResult(mosquitto_loop_misc(m_mosq));
}

void MqttConnection::checkResult(int rc)
{
    if (rc != MOSQ_ERR_SUCCESS && m_socket >= 0) {
        // The disconnect callback has usually said it already; this catches the rest.
        if (mosquitto_socket(m_mosq) < 0 || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN) {
            handleLost(reasonOf(rc));
            return;
        }
    }
    updateWriteInterest();
}

void MqttConnection::updateWriteInterest()
{
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_mosq));
}

bool MqttConnection::publish(const QString &topic, const QByteArray &payload, bool retained)
{
    if (!m_connected)
        return false;
    const QByteArray name = topic.toUtf8();
    int mid = 0;
    const int rc = mosquitto_publish(m_mosq, &mid, name.constData(), int(payload.size()),
                                     payload.constData(), 1, retained);
    if (rc != MOSQ_ERR_SUCCESS) {
        Log::warning(QStringLiteral("MQTT broker %1: cannot publish on %2: %3")
                         .arg(brokerName(), topic, reasonOf(rc)));
        return false;
    }
    m_unacknowledged.insert(mid);
    updateWriteInterest();
    return true;
}

void MqttConnection::subscribe(const QStringList &filters)
{
    for (const QString &filter : filters) {
        const QByteArray name = filter.toUtf8();
        int mid = 0;
        const int rc = mosquitto_subscribe(m_mosq, &mid, name.constData(), 1);
        if (rc != MOSQ_ERR_SUCCESS)
            Log::error(QStringLiteral("MQTT broker %1: cannot subscribe to %2: %3")
                           .arg(brokerName(), filter, reasonOf(rc)));
        else
            m_subscribing.insert(mid, filter);
    }
    updateWriteInterest();
}

void MqttConnection::close(std::chrono::milliseconds bound)
{
    m_closing = true;
    m_retryTimer.stop();
    if (!m_connected) {
        dropSocket();
        return;
    }
    const QDeadlineTimer deadline(bound);
    while (!m_unacknowledged.isEmpty() && m_connected && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    mosquitto_disconnect(m_mosq);
    updateWriteInterest();
    while (m_connected && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    m_connected = false;
    m_miscTimer.stop();
    dropSocket();
}

void MqttConnection::onConnect(mosquitto *, void *self, int rc)
{
    auto *connection = static_cast<MqttConnection *>(self);
    if (rc != 0) {
        // The broker refused; the disconnect that follows schedules the next try.
        connection->m_lastReason.clear();
        Log::error(QStringLiteral("MQTT broker %1 refused the connection: %2. Check username, "
                                  "password_file (or %3) and the broker's ACL.")
                       .arg(connection->brokerName(),
                            QString::fromUtf8(mosquitto_connack_string(rc)),
                            QString::fromLatin1(Config::kPasswordVariable)));
        return;
    }
    connection->m_connected = true;
    connection->m_retryDelay = kFirstRetry;
    connection->m_lastReason.clear();
    Log::info(QStringLiteral("connected to MQTT broker %1").arg(connection->brokerName()));
    emit connection->connected();
}

void MqttConnection::onDisconnect(mosquitto *, void *self, int rc)
{
    auto *connection = static_cast<MqttConnection *>(self);
    if (connection->m_closing) {
        connection->m_connected = false;
        return;
    }
    connection->handleLost(
        rc == MOSQ_ERR_SUCCESS
            ? QStringLiteral("disconnected")
            : QStringLiteral("connection lost (%1, code %2)").arg(reasonOf(rc)).arg(rc));
}

void MqttConnection::onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted)
{
    auto *connection = static_cast<MqttConnection *>(self);
    const QString filter = connection->m_subscribing.take(mid);
    for (int i = 0; i < count; ++i) {
        // 0x80: the broker refused it, an ACL most often; the commands on it never come.
        if (granted[i] == 0x80)
            Log::error(QStringLiteral("MQTT broker %1 refused the subscription to %2: commands "
                                      "there are not received. Check the broker's ACL for this "
                                      "user.")
                           .arg(connection->brokerName(), filter));
    }
}

void MqttConnection::onPublish(mosquitto *, void *self, int mid)
{
    static_cast<MqttConnection *>(self)->m_unacknowledged.remove(mid);
}

void MqttConnection::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *connection = static_cast<MqttConnection *>(self);
    emit connection->messageReceived(
        QString::fromUtf8(message->topic),
        QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
        message->retain);
}
