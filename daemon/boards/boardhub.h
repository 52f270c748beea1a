#pragma once

#include "boardrequest.h"
#include "boardsnapshot.h"
#include "config.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

class Board;
class QThread;

// The owner of every board the service runs: each board on a thread of its own, their start and
// their bounded stop, and the log lines of their availability. Fronts only ask: submit() answers
// the one that asked, and the boards' signals say what they read.
class BoardHub final : public QObject
{
    Q_OBJECT

public:
    explicit BoardHub(QObject *parent = nullptr);
    ~BoardHub() override;

    // Creates the boards, for the fronts to connect to, in the order given; a board still running
    // with the very same configuration (a reload) is kept as it runs, its queue, pulses and port
    // untouched. A new one on a device an earlier board of this hub served takes over its last
    // state and keeps what the board holds on opening.
    void load(const QList<BoardConfig> &boards);
    // Starts the boards load() created, each on its thread.
    void start();
    // Ends every board's pulses, answers what still waits with Stopping and closes the ports.
    // False when a board did not stop within `bound`: its thread is left behind, and the
    // process should end rather than wait for it. The boards that stopped stay, refusing every
    // request with Stopping, until the next load(): the fronts still say goodbye for them.
    bool stop(std::chrono::milliseconds bound);
    // Stops, as stop() does, only the boards that `next` removes or changes: a reload.
    bool retire(const QList<BoardConfig> &next, std::chrono::milliseconds bound);

    QList<Board *> boards() const;
    Board *board(const QString &id) const;
    // The boards load() made, in the configuration's order: what the fronts serve.
    QList<BoardConfig> configs() const;
    // The board's last snapshot; a default one (seq 0) before it took any.
    BoardSnapshot snapshot(const QString &id) const;
    // Hands the request to the board named `id`; its reply answers, with UnknownBoard when there
    // is none.
    void submit(const QString &id, BoardRequest request);

signals:
    // Once after start(): every board was opened or its next try scheduled.
    void ready(int boards);
    // Every board's snapshots and the failures nobody waits for, emitted on the board's thread:
    // a front that lives elsewhere gets them queued.
    void snapshotTaken(const BoardSnapshot &snapshot);
    void problem(const QString &board, const BoardResult &result);

private:
    struct Entry;

    void create(const BoardConfig &config);
    bool stopEntries(const std::function<bool(const Entry &)> &which,
                     std::chrono::milliseconds bound);

    // Changed by load() and stop() on the hub's thread, read by fronts on theirs.
    mutable std::shared_mutex m_entriesMutex;
    std::vector<std::unique_ptr<Entry>> m_entries;
    std::vector<std::unique_ptr<Entry>> m_leftBehind;   // boards that did not stop within the bound
    QHash<QString, std::optional<quint16>> m_lastReads; // by device, kept over a reload
    int m_waiting = 0;
    mutable std::mutex m_snapshotsMutex; // the boards' threads write, any thread reads
    QHash<QString, BoardSnapshot> m_snapshots;
};
