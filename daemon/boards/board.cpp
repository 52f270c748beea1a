#include "board.h"

#include "boardclient.h"
#include "boardplan.h"
#include "boardwords.h"
#include "relaymask.h"
#include "relayprotocol.h"
#include "statefile.h"

#include <QMutexLocker>
#include <QScopeGuard>
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
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(kSaveEvery);
    connect(&m_saveTimer, &QTimer::timeout, this, &Board::saveState);
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
    loadSavedState();
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
    for (int attempt = 0; attempt < kStopPulseAttempts && !m_pulses.empty(); ++attempt) {
        std::vector<int> relays;
        for (const auto &[relay, pulse] : m_pulses)
            relays.push_back(relay);
        for (const int relay : relays)
            endPulse(relay);
    }
    if (!m_pulses.empty()) {
        QList<int> left;
        for (const auto &[relay, pulse] : m_pulses)
            left.append(relay);
        emit problem(result(
            0, BoardResult::Error::Stopping,
            QStringLiteral("%1: the service stopped before relays %2 could be "
                           "switched back at the end of their pulses")
                .arg(m_config.id, RelayMask::fromRelays(left).value_or(RelayMask()).listed()),
            std::nullopt));
    }
    if (m_saveTimer.isActive()) {
        m_saveTimer.stop();
        saveState();
    }
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
        m_source = m_config.onConnect == OnConnect::Restore ? QStringLiteral("restore")
                                                            : QStringLiteral("on-connect");
        const bool applied = applyTarget(state, *wanted, allRelays());
        m_source = kByItself;
        if (!applied)
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
    // Pulse ends owed from before: kept now, whatever on_connect says.
    std::vector<int> owed;
    for (const auto &[relay, pulse] : m_pulses) {
        if (pulse.overdue)
            owed.push_back(relay);
    }
    for (const int relay : owed)
        endPulse(relay);
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
        readUnasked(RelayProtocol::toMask(*state));
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
        m_source = request->source.isEmpty() ? QStringLiteral("unknown") : request->source;
        BoardResult done = execute(*request);
        m_source = kByItself;
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
    const quint16 broken = m_interlocks.broken(wanted);
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
    readUnasked(RelayProtocol::toMask(*state));
    return m_lastRead;
}

// A read with no command of ours since the last one: whatever differs, the board did by itself
// (a reset after a brown-out reads all off, a relay that dropped). Told once per change; with
// on_connect = restore, switched back through the interlocks.
void Board::readUnasked(quint16 state)
{
    const bool known = m_online && m_lastRead;
    const quint16 before = m_lastRead.value_or(0);
    // What changed before a request's commands is not that request's doing.
    const QString asking = std::exchange(m_source, kByItself);
    const auto askingAgain = qScopeGuard([this, &asking] { m_source = asking; });
    read(state);
    if (!known || before == state)
        return;
    const RelayMask changed(before ^ state);
    QString message = BoardWords::unasked(m_config.id, before, state);
    if (m_config.onConnect == OnConnect::Restore) {
        const quint16 target = quint16(before & ~m_interlocks.broken(before));
        m_source = QStringLiteral("restore");
        const bool restored = applyTarget(state, target, changed.bits());
        message += restored
                       ? QStringLiteral("; switched back as on_connect = restore asks")
                       : QStringLiteral("; switching back failed: %1").arg(m_client->errorString());
    }
    emit problem(result(0, BoardResult::Error::Unasked, message, state));
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
    const BoardPlan plan = BoardPlan::of(request, *current, m_interlocks);
    // A request that names several relays is checked whole: none is switched when two it
    // switches on share a group.
    if (const quint16 broken = m_interlocks.broken(plan.switchedOn))
        return result(id, BoardResult::Error::Refused,
                      QStringLiteral("%1: refused: %2; nothing was switched")
                          .arg(m_config.id, m_interlocks.words(plan.switchedOn & broken)),
                      *current);
    quint16 target = plan.target;
    const quint16 care = plan.care;
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
    cancelPulses((care | plan.partners) & ~(restartsPulse ? bitOf(request.relay) : 0));
    m_interlocked = plan.partners;
    const bool applied = restartsPulse || applyTarget(*current, target, care);
    m_interlocked = 0;
    if (!applied)
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
                          .arg(m_config.id, RelayMask((state ^ target) & care).listed(), reason),
                      state);
    }
    missed();
    // The commands went out before the answer failed to come: they may have been carried out.
    return result(
        id, BoardResult::Error::Offline,
        QStringLiteral("%1; the command was sent, so relays %2 may have switched: read the "
                       "state before asking again")
            .arg(reason, RelayMask(care).listed()),
        std::nullopt);
}

void Board::endPulse(int relay)
{
    const auto found = m_pulses.find(relay);
    if (found == m_pulses.end())
        return;
    const bool original = found->second.original;
    found->second.timer->stop();
    const QString what =
        QStringLiteral("%1: relay %2 could not be switched back %3 at the end of its pulse")
            .arg(m_config.id)
            .arg(relay)
            .arg(original ? QStringLiteral("on") : QStringLiteral("off"));
    if (!m_online) {
        owePulseEnd(relay,
                    result(0, BoardResult::Error::Offline,
                           QStringLiteral("%1: %2").arg(what, m_offlineReason), std::nullopt));
        return;
    }
    const std::optional<quint16> current = currentState();
    if (!current) {
        const QString reason = m_client->errorString();
        missed();
        owePulseEnd(relay, result(0, BoardResult::Error::Offline,
                                  QStringLiteral("%1: %2").arg(what, reason), std::nullopt));
        return;
    }
    // Back on goes through the interlock like any other switching on.
    const quint16 bit = bitOf(relay);
    const quint16 partners = original ? m_interlocks.partners(relay) : 0;
    const quint16 target =
        original ? quint16((*current | bit) & ~partners) : quint16(*current & ~bit);
    const quint16 care = bit | (partners & *current);
    m_source = QStringLiteral("pulse-end");
    m_interlocked = partners;
    const bool applied = applyTarget(*current, target, care);
    m_source = kByItself;
    m_interlocked = 0;
    if (!applied) {
        // Nobody waits for this any more: an id of 0 is nobody's request.
        BoardResult failed = failure(0, care, target);
        failed.message = QStringLiteral("%1: %2").arg(what, failed.message);
        owePulseEnd(relay, failed);
        return;
    }
    const auto ended = m_pulses.find(relay);
    const bool wasOverdue = ended != m_pulses.end() && ended->second.overdue;
    if (ended != m_pulses.end())
        m_pulses.erase(ended);
    if (wasOverdue) {
        emit warning(QStringLiteral("%1: relay %2 is back %3: its pulse has ended after all")
                         .arg(m_config.id)
                         .arg(relay)
                         .arg(original ? QStringLiteral("on") : QStringLiteral("off")));
        takeSnapshot();
    }
}

// A pulse's end is a promise: kept until the board confirms it, tried again while the board
// answers and as soon as it answers again after a gap. Told once.
void Board::owePulseEnd(int relay, BoardResult failed)
{
    const auto found = m_pulses.find(relay);
    if (found == m_pulses.end())
        return;
    Pulse &pulse = found->second;
    if (m_online)
        pulse.timer->start(kPulseEndRetry);
    if (std::exchange(pulse.overdue, true))
        return;
    failed.message += QStringLiteral("; trying again until the board confirms it");
    failed.snapshot = m_snapshot;
    emit problem(failed);
    takeSnapshot();
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
    if (!m_config.stateDirectory.isEmpty() && !m_saveTimer.isActive() && m_saved != beforePulses())
        m_saveTimer.start();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_snapshot.changed = m_snapshot.state ? quint16(*m_snapshot.state ^ state) : 0;
    QStringList said;
    for (const int relay : RelayMask(m_snapshot.changed).relays()) {
        const QString by =
            RelayMask(m_interlocked).isOn(relay) ? QStringLiteral("interlock") : m_source;
        m_snapshot.changedAt[size_t(relay - 1)] = now;
        m_snapshot.changedBy[size_t(relay - 1)] = by;
        said +=
            QStringLiteral("relay %1 %2, %3")
                .arg(relay)
                .arg(RelayMask(state).isOn(relay) ? QStringLiteral("on") : QStringLiteral("off"),
                     BoardWords::byWhom(by));
    }
    if (!said.isEmpty())
        emit switched(QStringLiteral("%1: %2").arg(m_config.id, said.join(QStringLiteral("; "))));
    m_snapshot.state = state;
    m_snapshot.readAt = now;
    takeSnapshot();
}

void Board::takeSnapshot()
{
    m_snapshot.overdue = 0;
    for (const auto &[relay, pulse] : m_pulses) {
        if (pulse.overdue)
            m_snapshot.overdue |= bitOf(relay);
    }
    m_snapshot.online = m_online;
    m_snapshot.offlineReason = m_online ? QString() : m_offlineReason;
    m_snapshot.seq = BoardSnapshot::nextSeq();
    emit snapshotTaken(m_snapshot);
}

// What restore brings back after a restart or a power cut, when this run has read nothing yet.
void Board::loadSavedState()
{
    if (m_config.onConnect != OnConnect::Restore || m_continued || m_restore)
        return;
    QString warning;
    m_saved = StateFile::read(m_config, &warning);
    if (!warning.isEmpty())
        emit this->warning(warning);
    m_restore = m_saved;
}

// The last verified state, a pulse under way counted as ended; written only when it changed.
void Board::saveState()
{
    if (!m_lastRead || m_config.stateDirectory.isEmpty())
        return;
    const quint16 state = beforePulses();
    if (m_saved == state)
        return;
    QString error;
    if (!StateFile::write(m_config, state, &error)) {
        if (std::exchange(m_saveError, error) != error)
            emit warning(QStringLiteral("%1: %2; restore after a restart may bring back an older "
                                        "state")
                             .arg(m_config.id, error));
        return;
    }
    m_saveError.clear();
    m_saved = state;
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

bool Board::breaksInterlock(quint16 mask, QString *why) const
{
    const quint16 broken = m_interlocks.broken(mask);
    if (!broken)
        return false;
    *why = QStringLiteral("%1: refused: %2; nothing was switched")
               .arg(m_config.id, m_interlocks.words(mask & broken));
    return true;
}

quint16 Board::beforePulses() const
{
    RelayMask state(m_lastRead.value_or(0));
    for (const auto &[relay, pulse] : m_pulses)
        state = state.with(relay, pulse.original);
    return state.bits();
}
