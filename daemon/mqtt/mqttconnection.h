#pragma once

#include "config.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;

// The broker connection, driven from the Qt event loop: libmosquitto's socket is watched with
// socket notifiers and its keep-alive runs from a timer, so every callback arrives on this
// thread and nothing needs a lock. Never gives up: a failed or lost connection is retried with
// a backoff from 1 s doubling to 30 s, and the reason goes to the log.
class MqttConnection final : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kFirstRetry{1000};
    static constexpr std::chrono::milliseconds kLastRetry{30000};
    static constexpr int kKeepAliveSeconds = 30;

    explicit MqttConnection(const BrokerConfig &broker, QObject *parent = nullptr);
    ~MqttConnection() override;

    // Credentials, TLS and the Last Will ("offline", retained, on `willTopic`). False with a
    // reason naming the file when the TLS files are refused.
    bool setup(const QString &willTopic, QString *error);
    void start();
    bool isConnected() const { return m_connected; }
    QString brokerName() const;

    // QoS 1. False when not connected (the caller publishes everything again on connected()).
    bool publish(const QString &topic, const QByteArray &payload, bool retained);
    void subscribe(const QStringList &filters);

    // Waits (at most `bound`) for the broker to acknowledge what was published, then
    // disconnects cleanly, so that no Last Will is sent.
    void close(std::chrono::milliseconds bound);

signals:
    void connected();
    void disconnected(const QString &reason);
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *mosq, void *self, int rc);
    static void onDisconnect(mosquitto *mosq, void *self, int rc);
    static void onPublish(mosquitto *mosq, void *self, int mid);
    static void onMessage(mosquitto *mosq, void *self, const mosquitto_message *message);
    static void onSubscribe(mosquitto *mosq, void *self, int mid, int count, const int *granted);

    void connectNow();
    void handleAttempt(int rc, int error);
    void handleLost(const QString &reason);
    void watchSocket();
    void dropSocket();
    void handleReadable();
    void handleWritable();
    void handleMisc();
    void checkResult(int rc);
    void updateWriteInterest();

    BrokerConfig m_broker;
    mosquitto *m_mosq = nullptr;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    int m_socket = -1;
    QTimer m_miscTimer{this};
    QTimer m_retryTimer{this};
    std::chrono::milliseconds m_retryDelay = kFirstRetry;
    bool m_connected = false;
    bool m_closing = false;
    QString m_lastReason;
    QSet<int> m_unacknowledged;
    QHash<int, QString> m_subscribing; // subscription message ids, to name a refused one
    // libmosquitto resolves the broker's name inside its connect call: that runs on a thread of
    // its own, so that a slow name server never holds up the event loop (and the watchdog).
    struct Attempt;
    std::shared_ptr<Attempt> m_attempt;
};
