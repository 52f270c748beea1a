#include "mqttbridge.h"

#include "board.h"
#include "log.h"
#include "mqttconnection.h"
#include "mqttprotocol.h"

using namespace MqttProtocol;

MqttBridge::MqttBridge(const BrokerConfig &broker, const QList<Board *> &boards,
                       MqttConnection *connection, const QString &version, QObject *parent)
    : QObject(parent), m_broker(broker), m_connection(connection), m_version(version)
{
    m_views.reserve(boards.size());
    for (Board *board : boards)
        m_views.append(BoardView{board, {}, {}, {}, {}});
    for (qsizetype i = 0; i < m_views.size(); ++i) {
        Board *board = m_views[i].board;
        // Queued: the boards live on threads of their own.
        connect(board, &Board::stateRead, this,
                [this, i](quint16 state) { handleState(m_views[i], state); });
        connect(board, &Board::availabilityChanged, this,
                [this, i](bool online, const QString &reason) {
                    handleAvailability(m_views[i], online, reason);
                });
        connect(board, &Board::requestFinished, this,
                [this, i](const BoardResult &result) { handleFinished(m_views[i], result); });
    }
    connect(m_connection, &MqttConnection::connected, this, &MqttBridge::handleConnected);
    connect(m_connection, &MqttConnection::messageReceived, this, &MqttBridge::handleMessage);
}

void MqttBridge::handleConnected()
{
    QStringList filters{homeAssistantStatusTopic(m_broker.discoveryPrefix)};
    for (const BoardView &view : std::as_const(m_views))
        filters += commandFilters(m_broker.baseTopic, view.board->config().id);
    m_connection->subscribe(filters);
    publishEverything();
}

void MqttBridge::publishEverything()
{
    m_connection->publish(statusTopic(m_broker.baseTopic), "online", true);
    publishDiscovery();
    for (BoardView &view : m_views) {
        publishState(view, true);
        publishAvailability(view);
    }
}

void MqttBridge::publishDiscovery()
{
    if (!m_broker.discovery)
        return;
    for (const BoardView &view : std::as_const(m_views)) {
        const BoardConfig &board = view.board->config();
        for (int relay = 1; relay <= 16; ++relay)
            m_connection->publish(discoveryTopic(m_broker, board, relay),
                                  discoveryPayload(m_broker, board, relay, m_version), true);
    }
}

void MqttBridge::publishState(BoardView &view, bool force)
{
    if (!view.state || !m_connection->isConnected())
        return;
    const QString &id = view.board->config().id;
    const quint16 state = *view.state;
    for (int relay = 1; relay <= 16; ++relay) {
        const quint16 bit = quint16(1u << (16 - relay));
        if (force || !view.published || ((*view.published ^ state) & bit))
            m_connection->publish(relayTopic(m_broker.baseTopic, id, relay),
                                  relayPayload(state & bit), true);
    }
    if (force || view.published != state)
        m_connection->publish(stateTopic(m_broker.baseTopic, id), statePayload(state), true);
    view.published = state;
}

void MqttBridge::publishAvailability(const BoardView &view)
{
    if (view.online)
        m_connection->publish(availabilityTopic(m_broker.baseTopic, view.board->config().id),
                              *view.online ? "online" : "offline", true);
}

void MqttBridge::publishOffline()
{
    for (BoardView &view : m_views) {
        view.online = false;
        publishAvailability(view);
    }
    m_connection->publish(statusTopic(m_broker.baseTopic), "offline", true);
}

void MqttBridge::handleMessage(const QString &topic, const QByteArray &payload, bool retained)
{
    if (topic == homeAssistantStatusTopic(m_broker.discoveryPrefix)) {
        // A retained "online" is an old one: everything went out on connecting anyway.
        if (payload == "online" && !retained) {
            Log::info(QStringLiteral("Home Assistant is back: discovery and states again"));
            publishEverything();
        }
        return;
    }
    const Command command = parseCommand(m_broker.baseTopic, topic, payload);
    BoardView *view = viewOf(command.board);
    if (!view)
        return;
    const QString described = describeCommand(topic, payload);
    if (retained) {
        reportError(*view, described,
                    QStringLiteral("a retained command is never carried out: it may be old. "
                                   "Publish commands without the retain flag, and clear this one "
                                   "(an empty retained message on %1); nothing was switched")
                        .arg(topic),
                    BoardResult::kindName(BoardResult::Error::BadRequest));
        return;
    }
    if (!command.request) {
        reportError(*view, described, command.error,
                    BoardResult::kindName(BoardResult::Error::BadRequest));
        return;
    }
    BoardRequest request = *command.request;
    request.id = m_nextId++;
    Log::debug(QStringLiteral("command %1").arg(described));
    if (!view->board->submit(request)) {
        reportError(*view, described,
                    QStringLiteral("%1 has %2 commands waiting; this one was refused, nothing "
                                   "was switched")
                        .arg(view->board->config().id)
                        .arg(Board::kQueueLimit),
                    BoardResult::kindName(BoardResult::Error::QueueFull));
        return;
    }
    view->commands.insert(request.id, described);
}

void MqttBridge::handleState(BoardView &view, quint16 state)
{
    view.state = state;
    publishState(view, false);
}

void MqttBridge::handleAvailability(BoardView &view, bool online, const QString &reason)
{
    const BoardConfig &config = view.board->config();
    if (online)
        Log::info(QStringLiteral("board %1 (%2) answers: online").arg(config.id, config.where()));
    else
        Log::warning(QStringLiteral("board %1 (%2) is offline: %3%4Opening it again with growing "
                                    "pauses up to %5 s.")
                         .arg(config.id, config.where(), reason,
                              reason.endsWith(u'.') ? QStringLiteral(" ") : QStringLiteral(". "))
                         .arg(Board::kLastRetry.count() / 1000));
    view.online = online;
    if (online)
        publishState(view, true); // a board back after a gap: its state as read now
    publishAvailability(view);
}

void MqttBridge::handleFinished(BoardView &view, const BoardResult &result)
{
    if (result.id & BoardRequest::kHttpIdBit)
        return; // the HTTP front's, answered there
    // A pulse that ran reports again only if its end fails; its command is gone by then.
    QString command = view.commands.take(result.id);
    if (result.ok())
        return;
    if (command.isEmpty())
        command = QStringLiteral("end of a pulse");
    reportError(view, command, result.message, BoardResult::kindName(result.error));
}

void MqttBridge::reportError(const BoardView &view, const QString &command, const QString &error,
                             const QString &kind)
{
    Log::warning(QStringLiteral("command %1 failed: %2").arg(command, error));
    m_connection->publish(errorTopic(m_broker.baseTopic, view.board->config().id),
                          errorPayload(command, error, kind), false);
}

MqttBridge::BoardView *MqttBridge::viewOf(const QString &id)
{
    for (BoardView &view : m_views) {
        if (view.board->config().id == id)
            return &view;
    }
    return nullptr;
}
