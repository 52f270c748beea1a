#include "httpevents.h"

#include <algorithm>

HttpEvents::Handle HttpEvents::subscribe(const QByteArray &first)
{
    auto subscriber = std::make_shared<Subscriber>();
    subscriber->pending.push_back(first);
    subscriber->bytes = first.size();
    std::lock_guard lock(m_mutex);
    subscriber->ended = m_closed;
    m_subscribers.push_back(subscriber);
    return subscriber;
}

void HttpEvents::unsubscribe(const Handle &subscriber)
{
    std::lock_guard lock(m_mutex);
    m_subscribers.remove(subscriber);
}

void HttpEvents::publish(const QByteArray &event)
{
    {
        std::lock_guard lock(m_mutex);
        for (const Handle &subscriber : m_subscribers) {
            if (subscriber->ended)
                continue;
            if (subscriber->bytes + event.size() > kMaxBacklog) {
                subscriber->ended = true;
                continue;
            }
            subscriber->pending.push_back(event);
            subscriber->bytes += event.size();
        }
    }
    m_changed.notify_all();
}

std::optional<QByteArray> HttpEvents::next(const Handle &subscriber, std::chrono::milliseconds wait)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, wait,
                       [&] { return subscriber->ended || !subscriber->pending.empty(); });
    if (subscriber->ended)
        return std::nullopt;
    QByteArray all;
    while (!subscriber->pending.empty()) {
        all += subscriber->pending.front();
        subscriber->pending.pop_front();
    }
    subscriber->bytes = 0;
    return all;
}

void HttpEvents::close()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        for (const Handle &subscriber : m_subscribers)
            subscriber->ended = true;
    }
    m_changed.notify_all();
}
