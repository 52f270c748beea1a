#include "board.h"

#include "boardclient.h"
#include "relayprotocol.h"

#include <QMutexLocker>
#include <QStringList>

namespace {

constexpr quint16 bitOf(int relay)
{
    return quint16(1u << (16 - relay));
}

quint16 allRelays()
{
    return 0xFFFF;
}

} // namespace

Board::Board(const BoardConfig &config, QObject *parent) : QObject(parent), m_config(config)
{
    m_pollTimer.setInterval(m_config.pollInterval);
    m_retryTimer.setSingleShot(true);
    connect(&m_pollTimer, &QTimer::timeout, this, &Board::poll);
    connect(&m_retryTimer, &QTimer::timeout, this, &Board::open);
}

Board::~Board() = default;

bool Board::submit(const BoardRequest &request)
{
    QMutexLocker lock(&m_queueMutex);
    if (m_stopping || qsizetype(m_queue.size()) >= kQueueLimit)
        return false;
    m_queue.push_back(request);
    if (!m_drainPosted) {
        m_drainPosted = true;
        QMetaObject::invokeMethod(this, &Board::drain, Qt::QueuedConnection);
    }
    return true;
}

void Board::start()
{
    m_client = std::make_unique<BoardClient>();
    m_client->setTimeout(kAnswerTimeout);
    // The service holds the port for as long as it runs, so nothing unasked can be on the way;
    // what it still owes after a timeout is counted by the client.
    m_client->setGuard(kAnswerGuard);
    m_client->keepOwedAnswersInMemory(); // no advice for the command line on its pages
    open();
}

void Board::stop()
{
    std::deque<BoardRequest> waiting;
    {
        QMutexLocker lock(&m_queueMutex);
        m_stopping = true;
        waiting.swap(m_queue);
    }
    for (const BoardRequest &request : waiting) {
        emit requestFinished(
            {request.id, BoardResult::Error::Stopping,
             QStringLiteral("%1: the service stopped before this ran").arg(m_config.id),
             std::nullopt});
    }
    m_pollTimer.stop();
    m_retryTimer.stop();
    while (!m_pulses.empty())
        endPulse(m_pulses.begin()->first);
    m_client.reset();
    m_online = false;
    m_stopped = true;
    emit stopped();
}

void Board::open()
{
    if (m_stopped)
        return;
    const bool opened = m_config.device.isEmpty() ? m_client->openComPort(m_config.port)
                                                  : m_client->openDevice(m_config.device);
    if (!opened) {
        goOffline(m_client->errorString());
        return;
    }
    const std::optional<RelayState> found = m_client->askStatus();
    if (!found) {
        goOffline(m_client->errorString());
        return;
    }
    quint16 state = RelayProtocol::toMask(*found);
    std::optional<quint16> wanted;
    if (m_config.onConnect == OnConnect::AllOff)
        wanted = 0;
    else if (m_config.onConnect == OnConnect::Restore)
        wanted = m_lastRead;
    if (wanted && *wanted != state) {
        if (!applyTarget(state, *wanted, allRelays()))
            emit warning(QStringLiteral("%1: could not bring the board to %2 on connecting: %3")
                             .arg(m_config.id)
                             .arg(*wanted, 4, 16, QLatin1Char('0'))
                             .arg(m_client->errorString()));
        if (!m_client->isOpen()) {
            goOffline(m_client->errorString());
            return;
        }
        if (m_client->lastState())
            state = RelayProtocol::toMask(*m_client->lastState());
    }
    m_misses = 0;
    m_retryDelay = kFirstRetry;
    m_lastEmitted.reset(); // a board back after a gap is published again
    read(state);
    m_online = true;
    m_offlineReason.clear();
    emit availabilityChanged(true, {});
    m_pollTimer.start();
}

void Board::poll()
{
    if (!m_online)
        return;
    {
        QMutexLocker lock(&m_queueMutex);
        if (!m_queue.empty())
            return; // the requests read the board anyway
    }
    const std::optional<RelayState> state = m_client->askStatus();
    if (state) {
        m_misses = 0;
        read(RelayProtocol::toMask(*state));
    } else {
        missed();
    }
}

void Board::drain()
{
    std::optional<BoardRequest> request;
    bool more = false;
    {
        QMutexLocker lock(&m_queueMutex);
        if (!m_queue.empty()) {
            request = m_queue.front();
            m_queue.pop_front();
        }
        more = !m_queue.empty();
        m_drainPosted = more;
    }
    if (request)
        emit requestFinished(execute(*request));
    if (more)
        QMetaObject::invokeMethod(this, &Board::drain, Qt::QueuedConnection);
}

std::optional<quint16> Board::currentState()
{
    const std::optional<RelayState> state = m_client->askStatus();
    if (!state)
        return std::nullopt;
    read(RelayProtocol::toMask(*state));
    return RelayProtocol::toMask(*state);
}

BoardResult Board::execute(const BoardRequest &request)
{
    const quint64 id = request.id;
    if (!m_online)
        return {id, BoardResult::Error::Offline,
                QStringLiteral("%1 is offline, nothing was switched: %2")
                    .arg(m_config.id, m_offlineReason),
                std::nullopt};
    if (request.kind == BoardRequest::Kind::Mask) {
        QString why;
        if (breaksInterlock(request.mask, &why))
            return {id, BoardResult::Error::Refused, why, m_lastRead};
    }
    const std::optional<quint16> current = currentState();
    if (!current) {
        const QString reason = m_client->errorString();
        missed();
        return {id, BoardResult::Error::Offline, reason, std::nullopt};
    }
    m_misses = 0;
    quint16 target = *current;
    quint16 care = 0;
    switch (request.kind) {
    case BoardRequest::Kind::Switch:
        care = bitOf(request.relay);
        target = request.on ? (target | care) : (target & ~care);
        break;
    case BoardRequest::Kind::Toggle:
    case BoardRequest::Kind::Pulse:
        care = bitOf(request.relay);
        target ^= care;
        break;
    case BoardRequest::Kind::Mask:
        care = allRelays();
        target = request.mask;
        break;
    }
    if (request.kind != BoardRequest::Kind::Mask && (target & bitOf(request.relay))) {
        // Switching one on: the others of its group go off first, and are verified off.
        const quint16 partners = interlockPartners(request.relay);
        target &= ~partners;
        care |= partners & *current;
    }
    // A later request on a relay takes over from a pulse running on it.
    const bool restartsPulse =
        request.kind == BoardRequest::Kind::Pulse && m_pulses.count(request.relay) > 0;
    Pulse running;
    if (restartsPulse) {
        running = std::move(m_pulses[request.relay]);
        m_pulses.erase(request.relay);
        target = *current; // already switched; only the length changes
    }
    // A relay switched on also ends the pulses of its partners: their switching back would
    // fight the interlock.
    const quint16 partnersOfOn =
        (request.kind != BoardRequest::Kind::Mask && (target & bitOf(request.relay)))
            ? interlockPartners(request.relay)
            : 0;
    cancelPulses((care | partnersOfOn) & ~(restartsPulse ? bitOf(request.relay) : 0));
    if (!restartsPulse && !applyTarget(*current, target, care))
        return failure(id, care, target);

    if (request.kind == BoardRequest::Kind::Pulse) {
        Pulse pulse;
        pulse.original = restartsPulse ? running.original : ((*current & care) != 0);
        pulse.requestId = id;
        pulse.timer = std::make_unique<QTimer>();
        pulse.timer->setSingleShot(true);
        pulse.timer->setTimerType(Qt::PreciseTimer); // a coarse timer may end a pulse early
        const int relay = request.relay;
        connect(pulse.timer.get(), &QTimer::timeout, this, [this, relay] { endPulse(relay); });
        pulse.timer->start(request.length);
        m_pulses[relay] = std::move(pulse);
    }
    return {id, BoardResult::Error::None, {}, m_lastRead};
}

bool Board::applyTarget(quint16 current, quint16 target, quint16 care)
{
    using RelayProtocol::commandsToReach;
    using RelayProtocol::fromMask;
    // Off before on, so that no moment has two relays of a group on.
    const quint16 between = current & target;
    if (between != current &&
        !m_client->switchAndVerify(commandsToReach(fromMask(current), fromMask(between)),
                                   care | (current ^ between), between))
        return false;
    if (between != target &&
        !m_client->switchAndVerify(commandsToReach(fromMask(between), fromMask(target)), care,
                                   target))
        return false;
    if (m_client->lastState())
        read(RelayProtocol::toMask(*m_client->lastState()));
    return true;
}

BoardResult Board::failure(quint64 id, quint16 care, quint16 target)
{
    const QString reason = m_client->errorString();
    if (m_client->failure() == BoardClient::Failure::WrongState && m_client->lastState()) {
        const quint16 state = RelayProtocol::toMask(*m_client->lastState());
        read(state);
        return {id, BoardResult::Error::OtherState,
                QStringLiteral("%1: the board reports %2 otherwise than asked: %3")
                    .arg(m_config.id, relayList((state ^ target) & care), reason),
                state};
    }
    missed();
    return {id, BoardResult::Error::Offline, reason, std::nullopt};
}

void Board::endPulse(int relay)
{
    const auto found = m_pulses.find(relay);
    if (found == m_pulses.end())
        return;
    const bool original = found->second.original;
    const quint64 id = found->second.requestId;
    m_pulses.erase(found);
    const quint16 bit = bitOf(relay);
    const QString what =
        QStringLiteral("%1: relay %2 could not be switched back %3 at the end of its pulse")
            .arg(m_config.id)
            .arg(relay)
            .arg(original ? QStringLiteral("on") : QStringLiteral("off"));
    if (!m_online) {
        emit requestFinished({id, BoardResult::Error::Offline,
                              QStringLiteral("%1: %2").arg(what, m_offlineReason), std::nullopt});
        return;
    }
    const std::optional<quint16> current = currentState();
    if (!current) {
        const QString reason = m_client->errorString();
        missed();
        emit requestFinished(
            {id, BoardResult::Error::Offline, QStringLiteral("%1: %2").arg(what, reason), {}});
        return;
    }
    // Back on goes through the interlock like any other switching on.
    const quint16 partners = original ? interlockPartners(relay) : 0;
    const quint16 target =
        original ? quint16((*current | bit) & ~partners) : quint16(*current & ~bit);
    const quint16 care = bit | (partners & *current);
    if (!applyTarget(*current, target, care)) {
        BoardResult result = failure(id, care, target);
        result.message = QStringLiteral("%1: %2").arg(what, result.message);
        emit requestFinished(result);
    }
}

void Board::cancelPulses(quint16 relays)
{
    for (auto it = m_pulses.begin(); it != m_pulses.end();) {
        if (relays & bitOf(it->first))
            it = m_pulses.erase(it);
        else
            ++it;
    }
}

void Board::read(quint16 state)
{
    m_lastRead = state;
    if (m_lastEmitted != state) {
        m_lastEmitted = state;
        emit stateRead(state);
    }
    emit answered(state);
}

void Board::missed()
{
    if (!m_client->isOpen() || ++m_misses >= kMissesToOffline)
        goOffline(m_client->errorString());
}

void Board::goOffline(const QString &reason)
{
    m_client->close();
    m_pollTimer.stop();
    m_misses = 0;
    const bool wasOnline = m_online || m_offlineReason.isEmpty();
    const bool reasonChanged = reason != m_offlineReason;
    m_online = false;
    m_offlineReason = reason;
    // The pulses cannot end as asked; say so now rather than switch later by surprise.
    while (!m_pulses.empty())
        endPulse(m_pulses.begin()->first);
    if (wasOnline || reasonChanged)
        emit availabilityChanged(false, reason);
    scheduleRetry();
}

void Board::scheduleRetry()
{
    if (m_stopped)
        return;
    m_retryTimer.start(m_retryDelay);
    m_retryDelay = std::min(m_retryDelay * 2, kLastRetry);
}

quint16 Board::interlockPartners(int relay) const
{
    for (const QList<int> &group : m_config.interlocks) {
        if (!group.contains(relay))
            continue;
        quint16 partners = 0;
        for (int other : group) {
            if (other != relay)
                partners |= bitOf(other);
        }
        return partners;
    }
    return 0;
}

bool Board::breaksInterlock(quint16 mask, QString *why) const
{
    for (const QList<int> &group : m_config.interlocks) {
        quint16 on = 0;
        for (int relay : group)
            on |= mask & bitOf(relay);
        if (on & (on - 1)) {
            *why = QStringLiteral("%1: refused: relays %2 are interlocked and never on together; "
                                  "nothing was switched")
                       .arg(m_config.id, relayList(on));
            return true;
        }
    }
    return false;
}

QString Board::relayList(quint16 relays) const
{
    QStringList names;
    for (int relay = 1; relay <= RelayProtocol::kRelayCount; ++relay) {
        if (relays & bitOf(relay))
            names.append(QString::number(relay));
    }
    return names.join(QStringLiteral(", "));
}
