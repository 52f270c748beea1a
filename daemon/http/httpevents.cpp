#include "httpevents.h"

#include "httptransport.h"

#include <algorithm>

void HttpEvents::subscribe(const std::shared_ptr<HttpStream> &stream, const QByteArray &first)
{
    std::lock_guard lock(m_mutex);
    if (stream->send(first))
        m_streams.push_back(stream);
}

void HttpEvents::publish(const QByteArray &event)
{
    std::lock_guard lock(m_mutex);
    m_streams.erase(std::remove_if(m_streams.begin(), m_streams.end(),
                                   [&event](const auto &stream) { return !stream->send(event); }),
                    m_streams.end());
}

void HttpEvents::close()
{
    std::lock_guard lock(m_mutex);
    m_streams.clear();
}
