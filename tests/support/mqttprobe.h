#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

struct mosquitto;
struct mosquitto_message;

// A real MQTT client for tests, on libmosquitto's own thread: it records every message it gets,
// and its waits keep the test's event loop turning (in-process boards answer on it).
class MqttProbe final
{
public:
    struct Message
    {
        QString topic;
        QByteArray payload;
        bool retained = false;
        std::chrono::steady_clock::time_point at; // when it arrived, on the client's thread
    };

    MqttProbe();
    ~MqttProbe();
    MqttProbe(const MqttProbe &) = delete;
    MqttProbe &operator=(const MqttProbe &) = delete;

    bool connectTo(int port, const QString &caFile = {});
    bool subscribe(const QString &filter);
    bool publish(const QString &topic, const QByteArray &payload, bool retain = false);
    // Queued on the client's thread; returns at once.
    bool publishLater(const QString &topic, const QByteArray &payload);
    int acknowledged() const;

    QList<Message> messages() const;
    QList<Message> on(const QString &topic) const;
    void clear();

    // The first message (from the start of the record) matching; waits up to `ms`.
    std::optional<Message> waitFor(const std::function<bool(const Message &)> &match, int ms);
    std::optional<Message> waitFor(const QString &topic, const QByteArray &payload, int ms);
    bool waitUntil(const std::function<bool()> &condition, int ms);

private:
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);
    static void onConnect(mosquitto *, void *self, int rc);
    static void onSubscribe(mosquitto *, void *self, int mid, int, const int *);
    static void onPublish(mosquitto *, void *self, int mid);

    mosquitto *m_mosq = nullptr;
    mutable QMutex m_mutex;
    QList<Message> m_messages;
    QList<int> m_acknowledged;
    bool m_connected = false;
};
