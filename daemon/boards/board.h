#pragma once

#include "boardrequest.h"
#include "boardsnapshot.h"
#include "config.h"
#include "interlocks.h"

#include <QMutex>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>

class BoardClient;

// One board: its port, its queue of requests, its poll, its reconnects and the last state it
// reported. Knows nothing of MQTT or any other front. Lives on a thread of its own (its client
// waits on the port synchronously), so that one board's silence never delays another; fronts
// talk to it through submit() and its signals only.
class Board final : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype kQueueLimit = 1024;
    static constexpr int kMissesToOffline = 3;
    static constexpr std::chrono::milliseconds kFirstRetry{1000};
    static constexpr std::chrono::milliseconds kLastRetry{30000};
    static constexpr std::chrono::milliseconds kAnswerTimeout{1000};
    static constexpr std::chrono::milliseconds kAnswerGuard{2};
    // A pulse's end that the board did not confirm is tried again this often while it answers.
    static constexpr std::chrono::milliseconds kPulseEndRetry{500};
    static constexpr int kStopPulseAttempts = 3;
    // The saved state is written at most this often: an SD card wears out.
    static constexpr std::chrono::milliseconds kSaveEvery{1000};

    explicit Board(const BoardConfig &config, QObject *parent = nullptr);
    ~Board() override;

    const BoardConfig &config() const { return m_config; }

    // From any thread. Queues the request and returns at once. Its reply answers once: with
    // QueueFull or Stopping at once, inside this call, when nothing was queued; otherwise on the
    // board's thread when it has run.
    void submit(BoardRequest request);

    // A board taken over from an earlier instance of itself on the same device (a reload): its
    // first opening keeps what the board holds, whatever on_connect says. Before start().
    void continueFrom(std::optional<quint16> lastRead);

    // On the board's thread (invoke them queued): start opens the board; stop ends the running
    // pulses (switching their relays back and verifying), answers the waiting requests with
    // Stopping, closes the port and emits stopped().
    void start();
    void stop();

    // The state read last (any thread once stopped() came).
    std::optional<quint16> lastRead() const { return m_lastRead; }

signals:
    // Every read, changed or not, and every change of availability: one value for every front.
    void snapshotTaken(const BoardSnapshot &snapshot);
    void availabilityChanged(bool online, const QString &reason);
    // A failure nobody waits for: a pulse that could not end as asked, a state that could not
    // be restored on connecting. Every front may tell its clients.
    void problem(const BoardResult &result);
    void stopped();
    // Something a person running the service should read in its log.
    void warning(const QString &message);
    // Relays that changed, and who changed them: a line for the log.
    void switched(const QString &line);

private:
    struct Pulse
    {
        bool original = false;
        std::unique_ptr<QTimer> timer;
        bool overdue = false; // its end came and is not confirmed yet
    };

    void open();
    void poll();
    void drain();
    BoardResult execute(const BoardRequest &request);
    std::optional<quint16> onConnectTarget();
    bool applyTarget(quint16 current, quint16 target, quint16 care);
    BoardResult failure(quint64 id, quint16 care, quint16 target);
    void endPulse(int relay);
    void owePulseEnd(int relay, BoardResult failed);
    void cancelPulses(quint16 relays);
    void read(quint16 state);
    void takeSnapshot();
    BoardResult result(quint64 id, BoardResult::Error error, const QString &message,
                       std::optional<quint16> state) const;
    void missed();
    void goOffline(const QString &reason);
    void scheduleRetry();
    std::optional<quint16> currentState();
    bool breaksInterlock(quint16 mask, QString *why) const;
    quint16 beforePulses() const;
    void readUnasked(quint16 state);
    void loadSavedState();
    void saveState();

    const BoardConfig m_config;
    const Interlocks m_interlocks{m_config};
    std::unique_ptr<BoardClient> m_client;
    QTimer m_pollTimer{this};
    QTimer m_retryTimer{this};
    QTimer m_saveTimer{this};
    std::optional<quint16> m_saved; // what the state file holds
    QString m_saveError;            // told once until a save succeeds
    std::chrono::milliseconds m_retryDelay = kFirstRetry;
    bool m_online = false;
    bool m_stopped = false;
    int m_misses = 0;
    QString m_offlineReason;
    std::optional<quint16> m_lastRead;
    // What on_connect = restore brings back: the state last read while online, with every pulse
    // that was running put back to the state it started from.
    std::optional<quint16> m_restore;
    bool m_continued = false;
    BoardSnapshot m_snapshot;
    // Who the next change read is by: a request's source, or what the board does itself; the
    // relays an interlock switches off for a partner.
    static inline const QString kByItself = QStringLiteral("board");
    QString m_source = kByItself;
    quint16 m_interlocked = 0;
    std::map<int, Pulse> m_pulses;

    QMutex m_queueMutex; // guards the three below, shared with submit()
    std::deque<BoardRequest> m_queue;
    bool m_drainPosted = false;
    bool m_stopping = false;
};
