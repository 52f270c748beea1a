#pragma once

#include "boardrequest.h"
#include "config.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <optional>

class Board;
class MqttConnection;

// The MQTT front: turns messages into board requests and the boards' reports into retained
// topics, error events and Home Assistant discovery. Publishes only states the boards read.
class MqttBridge final : public QObject
{
    Q_OBJECT

public:
    MqttBridge(const BrokerConfig &broker, const QList<Board *> &boards, MqttConnection *connection,
               const QString &version, QObject *parent = nullptr);

    // "offline" on every board's availability and on the service's status, for a clean stop.
    void publishOffline();

private:
    struct BoardView
    {
        Board *board = nullptr;
        std::optional<quint16> state;     // last read
        std::optional<quint16> published; // last published on the relay and state topics
        std::optional<bool> online;
        QHash<quint64, QString> commands; // running requests: what was asked, for error events
    };

    void handleConnected();
    void handleMessage(const QString &topic, const QByteArray &payload, bool retained);
    void handleState(BoardView &view, quint16 state);
    void handleAvailability(BoardView &view, bool online, const QString &reason);
    void handleFinished(BoardView &view, const BoardResult &result);
    void publishEverything();
    void publishDiscovery();
    void publishState(BoardView &view, bool force);
    void publishAvailability(const BoardView &view);
    void reportError(const BoardView &view, const QString &command, const QString &error,
                     const QString &kind);
    BoardView *viewOf(const QString &id);

    BrokerConfig m_broker;
    QList<BoardView> m_views;
    MqttConnection *m_connection;
    QString m_version;
    quint64 m_nextId = 1;
};
