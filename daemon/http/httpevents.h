#pragma once

#include <QByteArray>

#include <memory>
#include <mutex>
#include <vector>

class HttpStream;

// The live event stream's fan-out: every client of GET /api/v1/events has a stream of its own,
// which the transport writes without blocking anyone; one that ended (its client went or fell
// behind) is dropped at the next event.
class HttpEvents final
{
public:
    // `first` goes out before any event published after this call.
    void subscribe(const std::shared_ptr<HttpStream> &stream, const QByteArray &first);
    void publish(const QByteArray &event);
    // Ends every stream, for stopping.
    void close();

private:
    std::mutex m_mutex;
    std::vector<std::shared_ptr<HttpStream>> m_streams;
};
