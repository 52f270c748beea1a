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
    bool stopped = false;
    bool reported = false;
};

BoardHub::BoardHub(QObject *parent) : QObject(parent) {}

BoardHub::~BoardHub()
{
    if (std::any_of(m_entries.begin(), m_entries.end(),
                    [](const auto &entry) { return entry->thread->isRunning(); }))
        stop(std::chrono::seconds(15));
}

void BoardHub::load(const QList<BoardConfig> &boards)
{
    std::unique_lock lock(m_entriesMutex);
    m_entries.clear(); // the boards of the last run, stopped
    m_waiting = int(boards.size());
    for (const BoardConfig &config : boards) {
        auto entry = std::make_unique<Entry>();
        entry->board = std::make_unique<Board>(config);
        entry->thread = std::make_unique<QThread>();
        entry->thread->setObjectName(QStringLiteral("board %1").arg(config.id));
        const auto carried = m_lastReads.constFind(config.where());
        if (carried != m_lastReads.constEnd())
            entry->board->continueFrom(*carried);
        entry->board->moveToThread(entry->thread.get());
        Entry *raw = entry.get();
        connect(raw->board.get(), &Board::warning, this,
                [](const QString &message) { Log::warning(message); });
        connect(raw->board.get(), &Board::problem, this,
                [](const BoardResult &result) { Log::warning(result.message); });
        connect(raw->board.get(), &Board::snapshotTaken, this, &BoardHub::snapshotTaken,
                Qt::DirectConnection);
        connect(
            raw->board.get(), &Board::problem, this,
            [this, id = config.id](const BoardResult &result) { emit problem(id, result); },
            Qt::DirectConnection);
        connect(raw->board.get(), &Board::availabilityChanged, this,
                [this, raw, config](bool online, const QString &reason) {
                    if (online)
                        Log::info(QStringLiteral("board %1 (%2) answers: online")
                                      .arg(config.id, config.where()));
                    else
                        Log::warning(QStringLiteral("board %1 (%2) is offline: %3%4Opening it "
                                                    "again with growing pauses up to %5 s.")
                                         .arg(config.id, config.where(), reason,
                                              endsSentence(reason) ? QStringLiteral(" ")
                                                                   : QStringLiteral(". "))
                                         .arg(Board::kLastRetry.count() / 1000));
                    if (!std::exchange(raw->reported, true) && --m_waiting == 0)
                        emit ready(int(m_entries.size()));
                });
        connect(raw->board.get(), &Board::stopped, this, [raw] { raw->stopped = true; });
        connect(raw->thread.get(), &QThread::started, raw->board.get(), &Board::start);
        m_entries.push_back(std::move(entry));
    }
    m_lastReads.clear();
}

void BoardHub::start()
{
    for (const auto &entry : m_entries)
        entry->thread->start();
    if (m_entries.empty())
        emit ready(0);
}

bool BoardHub::stop(std::chrono::milliseconds bound)
{
    const QDeadlineTimer deadline(bound);
    for (const auto &entry : m_entries) {
        if (entry->thread->isRunning())
            QMetaObject::invokeMethod(entry->board.get(), &Board::stop, Qt::QueuedConnection);
        else
            entry->stopped = true; // never started
    }
    const auto running = [this] {
        return std::count_if(m_entries.begin(), m_entries.end(),
                             [](const auto &entry) { return !entry->stopped; });
    };
    while (running() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    QCoreApplication::processEvents(); // the last states and answers, before the fronts go
    bool all = true;
    for (auto &entry : m_entries) {
        entry->thread->quit();
        if (!entry->stopped || !entry->thread->wait(deadline)) {
            Log::error(QStringLiteral("board %1 did not stop within %2 s; its pulses may not "
                                      "have ended")
                           .arg(entry->board->config().id)
                           .arg(double(bound.count()) / 1000));
            // Left running: destroying a thread that still runs would abort the process. What
            // it still says reaches nobody here.
            QObject::disconnect(entry->board.get(), nullptr, this, nullptr);
            (void)entry->thread.release();
            (void)entry->board.release();
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
