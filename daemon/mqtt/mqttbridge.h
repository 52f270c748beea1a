#pragma once

#include "boardrequest.h"
#include "boardsnapshot.h"
#include "config.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <deque>
#include <optional>

class BoardHub;
class MqttConnection;

// The MQTT front: turns messages into board requests and the boards' reports into retained
// topics, error events and Home Assistant discovery. Publishes only states the boards read.
class MqttBridge final : public QObject
{
    Q_OBJECT

public:
    // Error events kept while the broker is away, published (with their time) on reconnecting.
    static constexpr qsizetype kErrorBacklog = 64;
    // How long another service of this id has to show itself before this one publishes.
    static constexpr std::chrono::milliseconds kAloneAfter{500};

    MqttBridge(const BrokerConfig &broker, BoardHub *hub, MqttConnection *connection,
               const QString &version, QObject *parent = nullptr);

    // Retained topics of boards or relays this service no longer serves (a reload): cleared with
    // an empty retained message once connected, so that Home Assistant drops their entities.
    void retire(const QStringList &topics);
    // Those not cleared yet: the broker has been away since.
    QStringList unretired() const { return m_retired; }
    // "offline" on every board's availability and on the service's status, for a clean stop.
    void publishOffline();

signals:
    // Another live service has this service's id and has run longer: this one must not serve
    // on this broker, and must not publish anything on the way out either.
    void conflict(const QString &message);

private:
    struct BoardView
    {
        BoardConfig config;
        BoardSnapshot snapshot;           // the last one the board took
        std::optional<quint16> published; // last published on the relay and state topics
        std::optional<bool> online;       // as last published on the availability topic
        bool foreign = false;             // another service publishes for this board id
    };
    struct PendingError
    {
        QString topic;
        QByteArray payload;
    };

    void handleConnected();
    void serve();
    void handlePing(const QByteArray &payload);
    void handleMessage(const QString &topic, const QByteArray &payload, bool retained);
    void handleSnapshot(const BoardSnapshot &snapshot);
    void handleFinished(BoardView &view, const QString &command, const BoardResult &result);
    static QDateTime servingSince();
    void handleForeignState(BoardView &view, const QByteArray &payload);
    void publishEverything();
    void publishDiscovery();
    void publishState(BoardView &view, bool force);
    void publishAvailability(const BoardView &view);
    void reportError(const BoardView &view, const QString &command, const QString &error,
                     const QString &kind, bool logged = false);
    BoardView *viewOf(const QString &id);

    BrokerConfig m_broker;
    BoardHub *m_hub;
    QList<BoardView> m_views;
    MqttConnection *m_connection;
    QString m_version;
    quint64 m_nextId = 1;
    QStringList m_retired;
    std::deque<PendingError> m_backlog;
    qsizetype m_dropped = 0;
    // Before the first publishing, other services of this id are asked to show themselves.
    QTimer m_alone{this};
    bool m_checked = false;
    bool m_serving = false; // publishing: alone on the broker with this id
};
