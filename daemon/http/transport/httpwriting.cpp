#include "httptransport_p.h"
#include "httpwire.h"

#include <vector>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace HttpWire;

namespace {

// After a refusal: how long what the client still sends is read and dropped, so that closing
// does not reset the connection before the answer is read.
constexpr auto kDrainFor = 1000ms;

} // namespace

void HttpTransport::Private::applyCompletions()
{
    std::deque<Completion> done;
    {
        std::lock_guard lock(mutex);
        done.swap(completed);
    }
    for (Completion &completion : done) {
        const auto found = connections.find(completion.connection);
        // An answer for a connection that went, or for a request already answered 503.
        if (found == connections.end() || found->second->exchange != completion.exchange ||
            found->second->state != State::Waiting) {
            if (completion.stream)
                completion.stream->end();
            continue;
        }
        if (completion.stream)
            startStream(found->second, std::move(completion.response), completion.stream);
        else
            respond(found->second, std::move(completion.response));
    }
}

void HttpTransport::Private::respond(const Link &connection, HttpResponse response)
{
    Connection &c = *connection;
    for (const auto &[name, value] : std::as_const(c.admitted.headers)) {
        if (!response.hasHeader(name))
            response.setHeader(name, value);
    }
    c.out += head(response, c.closeAfter, false, response.body.size());
    if (c.request.method != "HEAD")
        c.out += response.body;
    c.state = State::Writing;
    c.progress = Clock::now();
    flush(connection);
}

void HttpTransport::Private::startStream(const Link &connection, HttpResponse head,
                                         const std::shared_ptr<HttpStream> &stream)
{
    Connection &c = *connection;
    if (streams >= limits.maxStreams) {
        stream->end();
        c.closeAfter = true;
        respond(connection, refusal(503, QStringLiteral("this service serves at most %1 event "
                                                        "streams at once; close another page, "
                                                        "or try again in a moment")
                                             .arg(limits.maxStreams)));
        return;
    }
    ++streams;
    c.stream = stream;
    c.keepAlive = std::exchange(head.body, {});
    c.chunked = c.request.version == "HTTP/1.1";
    c.closeAfter = true;
    ::setsockopt(c.fd, SOL_SOCKET, SO_SNDBUF, &limits.streamSendBuffer,
                 sizeof limits.streamSendBuffer);
    for (const auto &[name, value] : std::as_const(c.admitted.headers)) {
        if (!head.hasHeader(name))
            head.setHeader(name, value);
    }
    c.out += HttpWire::head(head, true, c.chunked, -1);
    c.state = State::Streaming;
    c.progress = c.lastSent = Clock::now();
    flush(connection);
}

void HttpTransport::Private::pumpStreams()
{
    const Clock::time_point now = Clock::now();
    for (const Link &connection : std::vector<Link>([this] {
             std::vector<Link> streaming;
             for (const auto &[id, connection] : connections) {
                 if (connection->state == State::Streaming)
                     streaming.push_back(connection);
             }
             return streaming;
         }())) {
        Connection &c = *connection;
        bool ended = false;
        bool overflowed = false;
        QByteArray bytes = c.stream->take(&ended, &overflowed);
        if (overflowed) {
            close(connection); // it fell too far behind to be told everything
            continue;
        }
        if (bytes.isEmpty() && !ended && now - c.lastSent >= limits.streamKeepAlive)
            bytes = c.keepAlive;
        if (!bytes.isEmpty()) {
            c.out +=
                c.chunked ? QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n" : bytes;
            c.lastSent = now;
        }
        if (ended) {
            if (c.chunked)
                c.out += "0\r\n\r\n";
            c.state = State::Writing;
        }
        if (c.out.size() > limits.maxUnsent) {
            close(connection);
            continue;
        }
        flush(connection);
    }
}

void HttpTransport::Private::flush(const Link &connection)
{
    Connection &c = *connection;
    qsizetype sent = 0;
    while (sent < c.out.size()) {
        const ssize_t wrote = ::send(c.fd, c.out.constData() + sent, size_t(c.out.size() - sent),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote > 0) {
            sent += wrote;
            continue;
        }
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0 && errno != EAGAIN) {
            close(connection);
            return;
        }
        break;
    }
    if (sent > 0) {
        c.out.remove(0, sent);
        c.progress = Clock::now();
    }
    if (c.out.isEmpty() && c.state == State::Writing)
        answered(connection);
}

// The answer went out whole: the connection closes, or waits for the next request, which may
// be there already.
void HttpTransport::Private::answered(const Link &connection)
{
    Connection &c = *connection;
    if (c.stream) {
        c.stream->end();
        c.stream.reset();
        --streams;
    }
    if (c.closeAfter) {
        ::shutdown(c.fd, SHUT_WR);
        c.state = State::Draining;
        c.deadline = Clock::now() + kDrainFor;
        c.in.clear();
        return;
    }
    c.state = State::Idle;
    c.deadline = Clock::now() + limits.idleDeadline;
    advance(connection);
}

void HttpTransport::Private::refuse(const Link &connection, int status, const QString &message)
{
    refuseWith(connection, refusal(status, message));
}

void HttpTransport::Private::refuseWith(const Link &connection, const HttpResponse &response)
{
    Connection &c = *connection;
    c.closeAfter = true;
    c.in.clear();
    c.out += head(response, true, false, response.body.size()) + response.body;
    c.state = State::Writing;
    c.progress = Clock::now();
    flush(connection);
}

Clock::time_point HttpTransport::Private::nextTime(const Connection &c) const
{
    switch (c.state) {
    case State::Writing:
        return c.progress + limits.writeDeadline;
    case State::Streaming:
        return c.out.isEmpty() ? c.lastSent + limits.streamKeepAlive
                               : c.progress + limits.writeDeadline;
    default:
        return c.deadline;
    }
}

void HttpTransport::Private::expire()
{
    const Clock::time_point now = Clock::now();
    std::vector<Link> due;
    for (const auto &[id, connection] : connections) {
        if (nextTime(*connection) <= now)
            due.push_back(connection);
    }
    for (const Link &connection : due) {
        Connection &c = *connection;
        switch (c.state) {
        case State::Head:
        case State::Body:
            refuse(connection, 408,
                   QStringLiteral("the request was not sent whole within %1 s; nothing was done")
                       .arg(double(c.state == State::Head ? limits.headDeadline.count()
                                                          : limits.bodyDeadline.count()) /
                            1000));
            break;
        case State::Waiting:
            ++c.exchange; // whatever answer comes later is not sent
            respond(connection,
                    refusal(503, QStringLiteral("no answer within %1 s; what was asked still "
                                                "waits its turn and may yet be done: read the "
                                                "state before asking again")
                                     .arg(limits.answerDeadline.count() / 1000)));
            break;
        case State::Streaming:
            if (c.out.isEmpty())
                break; // only its keep-alive is due
            [[fallthrough]];
        default:
            close(connection); // idle, or a client that takes nothing
            break;
        }
    }
}

void HttpTransport::Private::close(const Link &connection)
{
    if (connection->fd < 0)
        return;
    ::close(connection->fd);
    connection->fd = -1;
    if (connection->stream) {
        connection->stream->end();
        connection->stream.reset();
        --streams;
    }
    if (connection->refused) {
        --draining;
    } else {
        --held;
        if (--perAddress[connection->peer] <= 0)
            perAddress.remove(connection->peer);
    }
    connections.erase(connection->id);
}

// Stopping: the answers given so far and what the streams hold go out as far as the clients
// take them at once; then every connection closes.
void HttpTransport::Private::finish()
{
    applyCompletions();
    for (const auto &[id, connection] : connections) {
        if (connection->stream)
            connection->stream->end();
    }
    pumpStreams();
    while (!connections.empty()) {
        const Link connection = connections.begin()->second;
        if (!connection->out.isEmpty())
            flush(connection);
        close(connection);
    }
    ::close(listener);
    listener = -1;
}
