#include "mqttbridge.h"

#include "boardhub.h"
#include "log.h"
#include "mqttconnection.h"
#include "mqttprotocol.h"
#include "relaymask.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRandomGenerator>

using namespace MqttProtocol;

MqttBridge::MqttBridge(const BrokerConfig &broker, BoardHub *hub, MqttConnection *connection,
                       const QString &version, QObject *parent)
    : QObject(parent), m_broker(broker), m_hub(hub), m_connection(connection), m_version(version)
{
    static_cast<void>(servingSince()); // its clock starts with the first bridge, at start
    // Boards kept through a reload are published as they are: no blink of their availability.
    for (const BoardConfig &config : hub->configs()) {
        BoardView view;
        view.config = config;
        view.snapshot = hub->snapshot(config.id);
        view.snapshot.board = config.id;
        if (view.snapshot.seq != 0)
            view.online = view.snapshot.online;
        m_views.append(view);
    }
    // Queued: the boards live on threads of their own.
    connect(hub, &BoardHub::snapshotTaken, this, &MqttBridge::handleSnapshot);
    // Logged by the hub already.
    connect(hub, &BoardHub::problem, this, [this](const QString &board, const BoardResult &result) {
        if (BoardView *view = viewOf(board))
            reportError(*view,
                        result.error == BoardResult::Error::Unasked
                            ? QStringLiteral("no command")
                            : QStringLiteral("end of a pulse or restore"),
                        result.message, BoardResult::kindName(result.error), true);
    });
    // A bridge made anew on a reload, connected already, has been alone on the broker.
    m_checked = m_connection->isConnected();
    m_alone.setSingleShot(true);
    m_alone.setInterval(kAloneAfter);
    connect(&m_alone, &QTimer::timeout, this, [this] {
        m_checked = true;
        serve();
    });
    connect(m_connection, &MqttConnection::connected, this, &MqttBridge::handleConnected);
    connect(m_connection, &MqttConnection::messageReceived, this, &MqttBridge::handleMessage);
    if (m_connection->isConnected())
        QMetaObject::invokeMethod(this, &MqttBridge::handleConnected, Qt::QueuedConnection);
}

void MqttBridge::retire(const QStringList &topics)
{
    m_retired += topics;
}

namespace {

QString instanceId()
{
    static const QString id =
        QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, u'0');
    return id;
}

} // namespace

void MqttBridge::handleConnected()
{
    m_connection->subscribe({servicePingTopic(m_broker)});
    ServicePing ping{instanceId(), QHostInfo::localHostName(), QCoreApplication::applicationPid(),
                     servingSince(), false};
    m_connection->publish(servicePingTopic(m_broker), servicePingPayload(ping), false);
    if (m_checked)
        serve();
    else
        m_alone.start();
}

// Another service with this one's id: the one running longer keeps the id (on a tie, the first
// instance), the other steps back before it has published anything.
void MqttBridge::handlePing(const QByteArray &payload)
{
    const std::optional<ServicePing> other = parseServicePing(payload);
    if (!other || other->instance == instanceId())
        return;
    if (!other->answer)
        m_connection->publish(
            servicePingTopic(m_broker),
            servicePingPayload({instanceId(), QHostInfo::localHostName(),
                                QCoreApplication::applicationPid(), servingSince(), true}),
            false);
    const QString them = QStringLiteral("another usb16relayd with the service id \"%1\" (on %2, "
                                        "pid %3, running since %4)")
                             .arg(m_broker.serviceId, other->host)
                             .arg(other->pid)
                             .arg(other->since.toString(Qt::ISODate));
    const bool older = other->since < servingSince() ||
                       (other->since == servingSince() && other->instance < instanceId());
    if (!older) {
        Log::warning(QStringLiteral("%1 has started on the same broker; it should step back: "
                                    "give it another [service] id")
                         .arg(them));
        return;
    }
    m_alone.stop();
    m_serving = false;
    emit conflict(QStringLiteral("%1 serves on this broker already: both would share one status "
                                 "topic. Give this one another id under [service] in its "
                                 "configuration; not serving")
                      .arg(them));
}

void MqttBridge::serve()
{
    m_serving = true;
    QStringList filters{homeAssistantStatusTopic(m_broker.discoveryPrefix)};
    for (const BoardView &view : std::as_const(m_views)) {
        filters += commandFilters(m_broker.baseTopic, view.config.id);
        // Another service publishing for the same board id shows here.
        filters += stateTopic(m_broker.baseTopic, view.config.id);
    }
    m_connection->subscribe(filters);
    while (!m_retired.isEmpty() && m_connection->publish(m_retired.constFirst(), {}, true))
        m_retired.removeFirst();
    publishEverything();
    if (m_dropped > 0)
        Log::warning(QStringLiteral("%1 error event(s) were lost while the broker was away (only "
                                    "the last %2 are kept)")
                         .arg(m_dropped)
                         .arg(kErrorBacklog));
    m_dropped = 0;
    while (!m_backlog.empty() &&
           m_connection->publish(m_backlog.front().topic, m_backlog.front().payload, false))
        m_backlog.pop_front();
}

void MqttBridge::publishEverything()
{
    m_connection->publish(statusTopic(m_broker), "online", true);
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
        if (view.foreign)
            continue;
        const BoardConfig &board = view.config;
        for (int relay = 1; relay <= RelayMask::kRelayCount; ++relay)
            m_connection->publish(discoveryTopic(m_broker, board, relay),
                                  discoveryPayload(m_broker, board, relay, m_version), true);
    }
}

void MqttBridge::publishState(BoardView &view, bool force)
{
    if (!m_serving || !m_connection->isConnected() || view.foreign)
        return;
    const QString &id = view.config.id;
    const BoardSnapshot &snapshot = view.snapshot;
    const StateReport report{snapshot.state,    view.online.value_or(false) && snapshot.state,
                             snapshot.readAt,   m_broker.serviceId,
                             servingSince(),    view.config.relayNameList(),
                             snapshot.changedBy};
    if (!snapshot.state) {
        // Nothing read by this run yet: what an earlier run left retained must not pass for
        // the state now.
        if (force) {
            for (int relay = 1; relay <= RelayMask::kRelayCount; ++relay)
                m_connection->publish(relayTopic(m_broker.baseTopic, id, relay), {}, true);
            m_connection->publish(stateTopic(m_broker.baseTopic, id), statePayload(report), true);
        }
        return;
    }
    const RelayMask state(*snapshot.state);
    const RelayMask changed =
        view.published ? state ^ RelayMask(*view.published) : RelayMask::all();
    for (int relay = 1; relay <= RelayMask::kRelayCount; ++relay) {
        if (force || changed.isOn(relay))
            m_connection->publish(relayTopic(m_broker.baseTopic, id, relay),
                                  relayPayload(state.isOn(relay)), true);
    }
    if (force || view.published != *snapshot.state)
        m_connection->publish(stateTopic(m_broker.baseTopic, id), statePayload(report), true);
    view.published = *snapshot.state;
}

void MqttBridge::publishAvailability(const BoardView &view)
{
    if (!m_serving || view.foreign)
        return;
    m_connection->publish(availabilityTopic(m_broker.baseTopic, view.config.id),
                          view.online.value_or(false) ? "online" : "offline", true);
}

void MqttBridge::publishOffline()
{
    for (BoardView &view : m_views) {
        view.online = false;
        publishAvailability(view);
        publishState(view, true);
    }
    m_connection->publish(statusTopic(m_broker), "offline", true);
}

void MqttBridge::handleMessage(const QString &topic, const QByteArray &payload, bool retained)
{
    if (topic == servicePingTopic(m_broker)) {
        handlePing(payload);
        return;
    }
    if (topic == homeAssistantStatusTopic(m_broker.discoveryPrefix)) {
        // A retained "online" is an old one: everything went out on connecting anyway.
        if (payload == "online" && !retained) {
            Log::info(QStringLiteral("Home Assistant is back: discovery and states again"));
            publishEverything();
        }
        return;
    }
    for (BoardView &view : m_views) {
        if (topic == stateTopic(m_broker.baseTopic, view.config.id)) {
            handleForeignState(view, payload);
            return;
        }
    }
    const Command command = parseCommand(m_broker.baseTopic, topic, payload);
    BoardView *view = viewOf(command.board);
    if (!view || view->foreign)
        return;
    // An empty message is how a retained command is cleared (and it reaches a subscriber
    // already there without the retain flag): nothing to carry out, nothing to report.
    if (payload.isEmpty())
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
    request.source = QStringLiteral("mqtt: ") + topic;
    const qsizetype index = view - m_views.data();
    // On the board's thread, or at once when refused: answered here, on this one.
    // A board kept through a reload may answer after this bridge has gone: judged on the main
    // thread, where bridges are made and destroyed.
    request.reply = [bridge = QPointer<MqttBridge>(this), index,
                     described](const BoardResult &result) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [bridge, index, described, result] {
                if (bridge)
                    bridge->handleFinished(bridge->m_views[index], described, result);
                else if (!result.ok())
                    Log::warning(
                        QStringLiteral("command %1 failed: %2").arg(described, result.message));
            },
            Qt::QueuedConnection);
    };
    Log::debug(QStringLiteral("command %1").arg(described));
    m_hub->submit(view->config.id, std::move(request));
}

void MqttBridge::handleForeignState(BoardView &view, const QByteArray &payload)
{
    const QJsonObject object = QJsonDocument::fromJson(payload).object();
    const QString service = object.value(u"service").toString();
    if (view.foreign || service.isEmpty() || service == m_broker.serviceId ||
        !object.value(u"online").toBool())
        return;
    // Two services answering one board id would both switch on every command. Exactly one of
    // them keeps it, whichever sees the other first: the one running longer, the first id on a
    // tie; both judge alike. One that names no start (an older service) keeps it.
    const QString &id = view.config.id;
    const QDateTime theirs =
        QDateTime::fromString(object.value(u"service_since").toString(), Qt::ISODateWithMs);
    if (theirs.isValid() &&
        (servingSince() < theirs || (servingSince() == theirs && m_broker.serviceId < service))) {
        Log::warning(QStringLiteral("service \"%1\" publishes board %2 on %3/%2 too; this service "
                                    "(\"%4\") has run longer and keeps it")
                         .arg(service, id, m_broker.baseTopic, m_broker.serviceId));
        publishState(view, true); // this board's state, in place of the other one's
        return;
    }
    const QString message =
        QStringLiteral("service \"%1\" publishes board %2 on %3/%2 too; this service (\"%4\") "
                       "leaves it alone: give one of the boards another id, or the services "
                       "different base_topic settings")
            .arg(service, id, m_broker.baseTopic, m_broker.serviceId);
    Log::error(message);
    reportError(view, QStringLiteral("board %1").arg(id), message, QStringLiteral("conflict"),
                true);
    view.foreign = true;
}

QDateTime MqttBridge::servingSince()
{
    // The first bridge is made at start, and a reload makes new ones: the process's start.
    static const QDateTime since = QDateTime::currentDateTimeUtc();
    return since;
}

void MqttBridge::handleSnapshot(const BoardSnapshot &snapshot)
{
    BoardView *view = viewOf(snapshot.board);
    if (!view || snapshot.seq < view->snapshot.seq)
        return;
    view->snapshot = snapshot;
    // Availability once per change: another reason for staying offline is the hub's to log. A
    // board back after a gap: its state as read now; one gone: its last state, marked so.
    if (view->online != snapshot.online) {
        view->online = snapshot.online;
        publishState(*view, true);
        publishAvailability(*view);
        return;
    }
    if (snapshot.online)
        publishState(*view, false);
}

void MqttBridge::handleFinished(BoardView &view, const QString &command, const BoardResult &result)
{
    if (!result.ok())
        reportError(view, command, result.message, BoardResult::kindName(result.error));
}

void MqttBridge::reportError(const BoardView &view, const QString &command, const QString &error,
                             const QString &kind, bool logged)
{
    if (!logged)
        Log::warning(QStringLiteral("command %1 failed: %2").arg(command, error));
    const QString topic = errorTopic(m_broker.baseTopic, view.config.id);
    const QByteArray payload = errorPayload(command, error, kind);
    if (m_serving && m_connection->publish(topic, payload, false))
        return;
    m_backlog.push_back({topic, payload});
    if (qsizetype(m_backlog.size()) > kErrorBacklog) {
        m_backlog.pop_front();
        ++m_dropped;
    }
}

MqttBridge::BoardView *MqttBridge::viewOf(const QString &id)
{
    for (BoardView &view : m_views) {
        if (view.config.id == id)
            return &view;
    }
    return nullptr;
}
