#include "mqttprobe.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QTest>

#include <mosquitto.h>

namespace {

constexpr int kAckMs = 5000;

} // namespace

MqttProbe::MqttProbe()
{
    static const int init = mosquitto_lib_init();
    Q_UNUSED(init);
    m_mosq = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(m_mosq, &MqttProbe::onMessage);
    mosquitto_connect_callback_set(m_mosq, &MqttProbe::onConnect);
    mosquitto_subscribe_callback_set(m_mosq, &MqttProbe::onSubscribe);
    mosquitto_publish_callback_set(m_mosq, &MqttProbe::onPublish);
    mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
}

MqttProbe::~MqttProbe()
{
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, true);
    mosquitto_destroy(m_mosq);
}

bool MqttProbe::connectTo(int port, const QString &caFile)
{
    if (!caFile.isEmpty() && mosquitto_tls_set(m_mosq, caFile.toUtf8().constData(), nullptr,
                                               nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS)
        return false;
    if (mosquitto_connect(m_mosq, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(m_mosq) != MOSQ_ERR_SUCCESS)
        return false;
    return waitUntil(
        [this] {
            QMutexLocker lock(&m_mutex);
            return m_connected;
        },
        kAckMs);
}

bool MqttProbe::subscribe(const QString &filter)
{
    int mid = 0;
    if (mosquitto_subscribe(m_mosq, &mid, filter.toUtf8().constData(), 1) != MOSQ_ERR_SUCCESS)
        return false;
    return waitUntil(
        [this, mid] {
            QMutexLocker lock(&m_mutex);
            return m_acknowledged.contains(mid);
        },
        kAckMs);
}

bool MqttProbe::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    int mid = 0;
    if (mosquitto_publish(m_mosq, &mid, topic.toUtf8().constData(), int(payload.size()),
                          payload.constData(), 1, retain) != MOSQ_ERR_SUCCESS)
        return false;
    return waitUntil(
        [this, mid] {
            QMutexLocker lock(&m_mutex);
            return m_acknowledged.contains(mid);
        },
        kAckMs);
}

bool MqttProbe::publishLater(const QString &topic, const QByteArray &payload)
{
    return mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(), int(payload.size()),
                             payload.constData(), 1, false) == MOSQ_ERR_SUCCESS;
}

int MqttProbe::acknowledged() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_acknowledged.size());
}

QList<MqttProbe::Message> MqttProbe::messages() const
{
    QMutexLocker lock(&m_mutex);
    return m_messages;
}

QList<MqttProbe::Message> MqttProbe::on(const QString &topic) const
{
    QList<Message> found;
    for (const Message &message : messages()) {
        if (message.topic == topic)
            found.append(message);
    }
    return found;
}

void MqttProbe::clear()
{
    QMutexLocker lock(&m_mutex);
    m_messages.clear();
}

std::optional<MqttProbe::Message>
MqttProbe::waitFor(const std::function<bool(const Message &)> &match, int ms)
{
    std::optional<Message> found;
    waitUntil(
        [&] {
            for (const Message &message : messages()) {
                if (match(message)) {
                    found = message;
                    return true;
                }
            }
            return false;
        },
        ms);
    return found;
}

std::optional<MqttProbe::Message> MqttProbe::waitFor(const QString &topic,
                                                     const QByteArray &payload, int ms)
{
    return waitFor(
        [&](const Message &message) {
            return message.topic == topic && (payload.isNull() || message.payload == payload);
        },
        ms);
}

bool MqttProbe::waitUntil(const std::function<bool()> &condition, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

void MqttProbe::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *probe = static_cast<MqttProbe *>(self);
    QMutexLocker lock(&probe->m_mutex);
    probe->m_messages.append(
        {QString::fromUtf8(message->topic),
         QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
         message->retain, std::chrono::steady_clock::now()});
}

void MqttProbe::onConnect(mosquitto *, void *self, int rc)
{
    auto *probe = static_cast<MqttProbe *>(self);
    QMutexLocker lock(&probe->m_mutex);
    probe->m_connected = rc == 0;
}

void MqttProbe::onSubscribe(mosquitto *, void *self, int mid, int, const int *)
{
    auto *probe = static_cast<MqttProbe *>(self);
    QMutexLocker lock(&probe->m_mutex);
    probe->m_acknowledged.append(mid);
}

void MqttProbe::onPublish(mosquitto *, void *self, int mid)
{
    auto *probe = static_cast<MqttProbe *>(self);
    QMutexLocker lock(&probe->m_mutex);
    probe->m_acknowledged.append(mid);
}
