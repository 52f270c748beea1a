#include "board.h"

#include "boardclient.h"
#include "relaymask.h"
#include "relayprotocol.h"

#include <QMutexLocker>
#include <QStringList>

namespace {

constexpr quint16 bitOf(int relay)
{
    return RelayMask::relay(relay).bits();
}

constexpr quint16 allRelays()
{
    return RelayMask::all().bits();
}

void answer(const BoardRequest &request, const BoardResult &result)
{
    if (request.reply)
        request.reply(result);
}

} // namespace

Board::Board(const BoardConfig &config, QObject *parent) : QObject(parent), m_config(config)
{
    m_snapshot.board = m_config.id;
    m_snapshot.offlineReason = QStringLiteral("not read yet");
    m_pollTimer.setInterval(m_config.pollInterval);
    m_retryTimer.setSingleShot(true);
    connect(&m_pollTimer, &QTimer::timeout, this, &Board::poll);
    connect(&m_retryTimer, &QTimer::timeout, this, &Board::open);
}

Board::~Board() = default;

void Board::submit(BoardRequest request)
{
    BoardResult refused{request.id, BoardResult::Error::None, {}, std::nullopt, {}};
    refused.snapshot.board = m_config.id;
    {
        QMutexLocker lock(&m_queueMutex);
        if (m_stopping) {
            refused.error = BoardResult::Error::Stopping;
            refused.message = QStringLiteral("%1: the service is stopping; nothing was switched")
                                  .arg(m_config.id);
        } else if (qsizetype(m_queue.size()) >= kQueueLimit) {
            refused.error = BoardResult::Error::QueueFull;
            refused.message = QStringLiteral("%1 has %2 requests waiting; this one was refused, "
                                             "nothing was switched")
                                  .arg(m_config.id)
                                  .arg(kQueueLimit);
        } else {
            m_queue.push_back(std::move(request));
            if (!m_drainPosted) {
                m_drainPosted = true;
                QMetaObject::invokeMethod(this, &Board::drain, Qt::QueuedConnection);
            }
            return;
        }
    }
    answer(request, refused);
}

void Board::continueFrom(std::optional<quint16> lastRead)
{
    m_continued = true;
    m_lastRead = lastRead;
    m_restore = lastRead;
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
        answer(request,
               result(request.id, BoardResult::Error::Stopping,
                      QStringLiteral("%1: the service stopped before this ran").arg(m_config.id),
                      std::nullopt));
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
    const std::optional<quint16> wanted = onConnectTarget();
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
    m_online = true;
    m_offlineReason.clear();
    read(state);
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
    if (request) {
        BoardResult done = execute(*request);
        done.snapshot = m_snapshot;
        answer(*request, done);
    }
    if (more)
        QMetaObject::invokeMethod(this, &Board::drain, Qt::QueuedConnection);
}

std::optional<quint16> Board::onConnectTarget()
{
    const bool continued = std::exchange(m_continued, false);
    if (continued || m_config.onConnect == OnConnect::Keep)
        return std::nullopt;
    if (m_config.onConnect == OnConnect::AllOff)
        return quint16(0);
    if (!m_restore)
        return std::nullopt;
    // Restoring goes through the interlocks like every other switching on: a group that would
    // have two on stays as the board has it now if that is safe, and off otherwise.
    quint16 wanted = *m_restore;
    const quint16 broken = brokenGroups(wanted);
    if (broken) {
        wanted &= ~broken;
        const QString message =
            QStringLiteral("%1: relays %2 are interlocked and were on together before the "
                           "board went away; they are left off rather than restored")
                .arg(m_config.id, m_config.relayLabels(RelayMask(*m_restore & broken)));
        emit problem(result(0, BoardResult::Error::Refused, message, std::nullopt));
    }
    return wanted;
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
        return result(id, BoardResult::Error::Offline,
                      QStringLiteral("%1 is offline, nothing was switched: %2")
                          .arg(m_config.id, m_offlineReason),
                      std::nullopt);
    if (request.kind == BoardRequest::Kind::Mask) {
        QString why;
        if (breaksInterlock(request.mask, &why))
            return result(id, BoardResult::Error::Refused, why, m_lastRead);
    }
    const std::optional<quint16> current = currentState();
    if (!current) {
        const QString reason = m_client->errorString();
        missed();
        return result(id, BoardResult::Error::Offline, reason, std::nullopt);
    }
    if (request.kind == BoardRequest::Kind::Read)
        return result(id, BoardResult::Error::None, {}, *current);
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
    case BoardRequest::Kind::Read:
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
        pulse.original =
            restartsPulse ? running.original : ((*current & bitOf(request.relay)) != 0);
        pulse.timer = std::make_unique<QTimer>();
        pulse.timer->setSingleShot(true);
        pulse.timer->setTimerType(Qt::PreciseTimer); // a coarse timer may end a pulse early
        const int relay = request.relay;
        connect(pulse.timer.get(), &QTimer::timeout, this, [this, relay] { endPulse(relay); });
        pulse.timer->start(request.length);
        m_pulses[relay] = std::move(pulse);
    }
    return result(id, BoardResult::Error::None, {}, m_lastRead);
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
        return result(id, BoardResult::Error::OtherState,
                      QStringLiteral("%1: the board reports %2 otherwise than asked: %3")
                          .arg(m_config.id, relayList((state ^ target) & care), reason),
                      state);
    }
    missed();
    // The commands went out before the answer failed to come: they may have been carried out.
    return result(
        id, BoardResult::Error::Offline,
        QStringLiteral("%1; the command was sent, so relays %2 may have switched: read the "
                       "state before asking again")
            .arg(reason, relayList(care)),
        std::nullopt);
}

void Board::endPulse(int relay)
{
    const auto found = m_pulses.find(relay);
    if (found == m_pulses.end())
        return;
    const bool original = found->second.original;
    m_pulses.erase(found);
    // Nobody waits for this any more: an id of 0 is nobody's request.
    constexpr quint64 id = 0;
    const auto report = [this](BoardResult result) {
        result.snapshot = m_snapshot;
        emit problem(result);
    };
    const quint16 bit = bitOf(relay);
    const QString what =
        QStringLiteral("%1: relay %2 could not be switched back %3 at the end of its pulse")
            .arg(m_config.id)
            .arg(relay)
            .arg(original ? QStringLiteral("on") : QStringLiteral("off"));
    if (!m_online) {
        report(result(id, BoardResult::Error::Offline,
                      QStringLiteral("%1: %2").arg(what, m_offlineReason), std::nullopt));
        return;
    }
    const std::optional<quint16> current = currentState();
    if (!current) {
        const QString reason = m_client->errorString();
        missed();
        report(result(id, BoardResult::Error::Offline, QStringLiteral("%1: %2").arg(what, reason),
                      std::nullopt));
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
        report(result);
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
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_snapshot.changed = m_snapshot.state ? quint16(*m_snapshot.state ^ state) : 0;
    for (const int relay : RelayMask(m_snapshot.changed).relays())
        m_snapshot.changedAt[size_t(relay - 1)] = now;
    m_snapshot.state = state;
    m_snapshot.readAt = now;
    takeSnapshot();
}

void Board::takeSnapshot()
{
    m_snapshot.online = m_online;
    m_snapshot.offlineReason = m_online ? QString() : m_offlineReason;
    m_snapshot.seq = BoardSnapshot::nextSeq();
    emit snapshotTaken(m_snapshot);
}

BoardResult Board::result(quint64 id, BoardResult::Error error, const QString &message,
                          std::optional<quint16> state) const
{
    return {id, error, message, state, m_snapshot};
}

void Board::missed()
{
    if (!m_client->isOpen() || ++m_misses >= kMissesToOffline)
        goOffline(m_client->errorString());
}

void Board::goOffline(const QString &reason)
{
    if (m_online && m_lastRead)
        m_restore = beforePulses();
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
    if (wasOnline || reasonChanged) {
        m_snapshot.changed = 0;
        takeSnapshot();
        emit availabilityChanged(false, reason);
    }
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
        return RelayMask::fromRelays(group).value_or(RelayMask()).with(relay, false).bits();
    }
    return 0;
}

quint16 Board::brokenGroups(quint16 mask) const
{
    quint16 broken = 0;
    for (const QList<int> &group : m_config.interlocks) {
        const quint16 relays = RelayMask::fromRelays(group).value_or(RelayMask()).bits();
        if (RelayMask(mask & relays).count() > 1)
            broken |= relays;
    }
    return broken;
}

bool Board::breaksInterlock(quint16 mask, QString *why) const
{
    const quint16 broken = brokenGroups(mask);
    if (!broken)
        return false;
    *why = QStringLiteral("%1: refused: relays %2 are interlocked and never on together; "
                          "nothing was switched")
               .arg(m_config.id, m_config.relayLabels(RelayMask(mask & broken)));
    return true;
}

quint16 Board::beforePulses() const
{
    RelayMask state(m_lastRead.value_or(0));
    for (const auto &[relay, pulse] : m_pulses)
        state = state.with(relay, pulse.original);
    return state.bits();
}

QString Board::relayList(quint16 relays) const
{
    QStringList names;
    for (int relay : RelayMask(relays).relays())
        names.append(QString::number(relay));
    return names.join(QStringLiteral(", "));
}
