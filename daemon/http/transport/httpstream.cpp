#include "httptransport.h"

#include <algorithm>

void HttpResponse::setHeader(const QByteArray &name, const QByteArray &value)
{
    for (auto &pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0) {
            pair.second = value;
            return;
        }
    }
    headers.append({name, value});
}

bool HttpResponse::hasHeader(const QByteArray &name) const
{
    return std::any_of(headers.begin(), headers.end(), [&name](const auto &pair) {
        return pair.first.compare(name, Qt::CaseInsensitive) == 0;
    });
}

HttpStream::HttpStream(std::function<void()> wake, qsizetype maxUnsent)
    : m_wake(std::move(wake)), m_maxUnsent(maxUnsent)
{}

bool HttpStream::send(const QByteArray &bytes)
{
    bool first = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_ended)
            return false;
        if (m_pending.size() + bytes.size() > m_maxUnsent) {
            m_ended = m_overflowed = true;
            m_pending.clear();
        } else {
            first = m_pending.isEmpty();
            m_pending += bytes;
        }
    }
    if (first || m_overflowed)
        m_wake();
    return !m_overflowed;
}

bool HttpStream::ended() const
{
    std::lock_guard lock(m_mutex);
    return m_ended;
}

QByteArray HttpStream::take(bool *ended, bool *overflowed)
{
    std::lock_guard lock(m_mutex);
    *ended = m_ended;
    *overflowed = m_overflowed;
    return std::exchange(m_pending, {});
}

void HttpStream::end()
{
    std::lock_guard lock(m_mutex);
    m_ended = true;
}
