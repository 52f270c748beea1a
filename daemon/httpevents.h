#pragma once

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>

// The live event stream's fan-out: every client of GET /api/v1/events has its own queue, filled
// from the boards' threads and emptied by the thread serving that client.
class HttpEvents final
{
public:
    // A client that lets this much pile up is too slow; its stream ends and it reconnects.
    static constexpr qsizetype kMaxBacklog = 1 << 20;

    struct Subscriber
    {
        std::deque<QByteArray> pending;
        qsizetype bytes = 0;
        bool ended = false;
    };
    using Handle = std::shared_ptr<Subscriber>;

    Handle subscribe(const QByteArray &first);
    void unsubscribe(const Handle &subscriber);
    void publish(const QByteArray &event);
    // Everything pending, waiting up to `wait` for something; nothing when the stream has ended.
    std::optional<QByteArray> next(const Handle &subscriber, std::chrono::milliseconds wait);
    // Ends every stream, for stopping.
    void close();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::list<Handle> m_subscribers;
    bool m_closed = false;
};
