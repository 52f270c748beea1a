#include "boardhub.h"

#include "board.h"
#include "log.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>

namespace {

bool endsSentence(const QString &text)
{
    return text.endsWith(u'.') || text.endsWith(u'?') || text.endsWith(u'!');
}

} // namespace

struct BoardHub::Entry
{
    std::unique_ptr<Board> board;
    std::unique_ptr<QThread> thread;
    bool started = false;
    bool stopped = false;
    bool reported = false;
};

BoardHub::BoardHub(QObject *parent) : QObject(parent) {}

BoardHub::~BoardHub()
{
    if (std::any_of(m_entries.begin(), m_entries.end(),
                    [](const auto &entry) { return entry->thread->isRunning(); }))
        stop(std::chrono::seconds(15));
    // A board left behind is freed once its thread has ended after all; one still hanging is
    // left to the process's end.
    for (auto &entry : m_leftBehind) {
        entry->thread->quit();
        if (!entry->thread->wait(std::chrono::seconds(5))) {
            (void)entry->thread.release();
            (void)entry->board.release();
        }
    }
}

void BoardHub::load(const QList<BoardConfig> &boards)
{
    std::vector<std::unique_ptr<Entry>> previous;
    {
        std::unique_lock lock(m_entriesMutex);
        previous.swap(m_entries);
    }
    m_waiting = 0;
    for (const BoardConfig &config : boards) {
        const auto running = std::find_if(previous.begin(), previous.end(), [&](const auto &e) {
            return e && e->board && !e->stopped && e->board->config() == config;
        });
        if (running != previous.end()) {
            std::unique_lock lock(m_entriesMutex);
            m_entries.push_back(std::move(*running));
            continue;
        }
        create(config);
    }
    m_lastReads.clear();
    std::lock_guard lock(m_snapshotsMutex);
    for (auto it = m_snapshots.begin(); it != m_snapshots.end();) {
        if (std::any_of(boards.begin(), boards.end(),
                        [&](const BoardConfig &config) { return config.id == it.key(); }))
            ++it;
        else
            it = m_snapshots.erase(it);
    }
    // What is left of `previous` has stopped: destroyed here.
}

void BoardHub::create(const BoardConfig &config)
{
    auto entry = std::make_unique<Entry>();
    entry->board = std::make_unique<Board>(config);
    entry->thread = std::make_unique<QThread>();
    entry->thread->setObjectName(QStringLiteral("board %1").arg(config.id));
    const auto carried = m_lastReads.constFind(config.where());
    if (carried != m_lastReads.constEnd())
        entry->board->continueFrom(*carried);
    entry->board->moveToThread(entry->thread.get());
    Entry *raw = entry.get();
    Board *board = raw->board.get();
    connect(board, &Board::warning, this, [](const QString &message) { Log::warning(message); });
    connect(board, &Board::switched, this, [](const QString &line) { Log::info(line); });
    connect(board, &Board::problem, this,
            [](const BoardResult &result) { Log::warning(result.message); });
    connect(
        board, &Board::snapshotTaken, this,
        [this](const BoardSnapshot &snapshot) {
            {
                std::lock_guard lock(m_snapshotsMutex);
                m_snapshots.insert(snapshot.board, snapshot);
            }
            emit snapshotTaken(snapshot);
        },
        Qt::DirectConnection);
    connect(
        board, &Board::problem, this,
        [this, id = config.id](const BoardResult &result) { emit problem(id, result); },
        Qt::DirectConnection);
    connect(
        board, &Board::availabilityChanged, this,
        [this, raw, config](bool online, const QString &reason) {
            if (online)
                Log::info(
                    QStringLiteral("board %1 (%2) answers: online").arg(config.id, config.where()));
            else
                Log::warning(
                    QStringLiteral("board %1 (%2) is offline: %3%4Opening it again "
                                   "with growing pauses up to %5 s.")
                        .arg(config.id, config.where(), reason,
                             endsSentence(reason) ? QStringLiteral(" ") : QStringLiteral(". "))
                        .arg(Board::kLastRetry.count() / 1000));
            if (!std::exchange(raw->reported, true) && --m_waiting == 0)
                emit ready(int(m_entries.size()));
        });
    connect(board, &Board::stopped, this, [raw] { raw->stopped = true; });
    connect(raw->thread.get(), &QThread::started, board, &Board::start);
    ++m_waiting;
    std::unique_lock lock(m_entriesMutex);
    m_entries.push_back(std::move(entry));
}

void BoardHub::start()
{
    for (const auto &entry : m_entries) {
        if (!std::exchange(entry->started, true))
            entry->thread->start();
    }
    // Nothing new to wait for: every board was there already.
    if (m_waiting == 0)
        emit ready(int(m_entries.size()));
}

bool BoardHub::stop(std::chrono::milliseconds bound)
{
    return stopEntries([](const Entry &) { return true; }, bound);
}

bool BoardHub::retire(const QList<BoardConfig> &next, std::chrono::milliseconds bound)
{
    return stopEntries(
        [&next](const Entry &entry) { return !next.contains(entry.board->config()); }, bound);
}

bool BoardHub::stopEntries(const std::function<bool(const Entry &)> &which,
                           std::chrono::milliseconds bound)
{
    const QDeadlineTimer deadline(bound);
    std::vector<Entry *> stopping;
    for (const auto &entry : m_entries) {
        if (!entry->board || entry->stopped || !which(*entry))
            continue;
        stopping.push_back(entry.get());
        if (entry->thread->isRunning())
            QMetaObject::invokeMethod(entry->board.get(), &Board::stop, Qt::QueuedConnection);
        else
            entry->stopped = true; // never started
    }
    const auto running = [&stopping] {
        return std::count_if(stopping.begin(), stopping.end(),
                             [](const Entry *entry) { return !entry->stopped; });
    };
    while (running() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    QCoreApplication::processEvents(); // the last states and answers, before the fronts go
    bool all = true;
    for (Entry *entry : stopping) {
        entry->thread->quit();
        if (!entry->stopped || !entry->thread->wait(deadline)) {
            Log::error(QStringLiteral("board %1 did not stop within %2 s; its pulses may not "
                                      "have ended")
                           .arg(entry->board->config().id)
                           .arg(double(bound.count()) / 1000));
            // Left running: destroying a thread that still runs would abort the process. What
            // it still says reaches nobody here.
            QObject::disconnect(entry->board.get(), nullptr, this, nullptr);
            auto left = std::make_unique<Entry>();
            left->board = std::move(entry->board);
            left->thread = std::move(entry->thread);
            m_leftBehind.push_back(std::move(left));
            all = false;
            continue;
        }
        m_lastReads.insert(entry->board->config().where(), entry->board->lastRead());
    }
    // The stopped boards stay until the next load(): the fronts still say goodbye for them.
    std::unique_lock lock(m_entriesMutex);
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [](const auto &entry) { return !entry->board; }),
                    m_entries.end());
    return all;
}

QList<Board *> BoardHub::boards() const
{
    std::shared_lock lock(m_entriesMutex);
    QList<Board *> boards;
    for (const auto &entry : m_entries)
        boards.append(entry->board.get());
    return boards;
}

Board *BoardHub::board(const QString &id) const
{
    std::shared_lock lock(m_entriesMutex);
    for (const auto &entry : m_entries) {
        if (entry->board->config().id == id)
            return entry->board.get();
    }
    return nullptr;
}

QList<BoardConfig> BoardHub::configs() const
{
    std::shared_lock lock(m_entriesMutex);
    QList<BoardConfig> configs;
    for (const auto &entry : m_entries)
        configs.append(entry->board->config());
    return configs;
}

BoardSnapshot BoardHub::snapshot(const QString &id) const
{
    std::lock_guard lock(m_snapshotsMutex);
    return m_snapshots.value(id);
}

void BoardHub::submit(const QString &id, BoardRequest request)
{
    {
        // Held while queueing, so that no load() destroys the board meanwhile.
        std::shared_lock lock(m_entriesMutex);
        for (const auto &entry : m_entries) {
            if (entry->board->config().id == id) {
                entry->board->submit(std::move(request));
                return;
            }
        }
    }
    if (request.reply)
        request.reply({request.id,
                       BoardResult::Error::UnknownBoard,
                       QStringLiteral("there is no board \"%1\"; nothing was switched").arg(id),
                       std::nullopt,
                       {}});
}
