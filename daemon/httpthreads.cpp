#include "httpthreads.h"

#include "httpapi.h"

#include <QHash>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kBacklog = 128;
constexpr auto kAcceptPause = 100ms;
// After a refusal: how long what the client still sends is read and dropped, so that closing
// does not reset the connection before the answer is read.
constexpr auto kDrainFor = 1000ms;
constexpr int kMaxDraining = 128; // beyond the connections held: refused ones still draining
constexpr qsizetype kReadChunk = 16384;
// Threads kept waiting for the next request, so that a keep-alive client's requests do not
// each start one; past a while unused they end.
constexpr int kMaxParked = 16;
constexpr auto kParkedFor = 30s;
// How long a thread that has answered waits for the same client's next request.
constexpr auto kLinger = 50ms;

const char *reason(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 414:
        return "URI Too Long";
    case 431:
        return "Request Header Fields Too Large";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return status < 400 ? "OK" : "Error";
    }
}

QByteArray head(const HttpResponse &response, bool close, bool chunked, qsizetype length)
{
    QByteArray out =
        "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reason(response.status) + "\r\n";
    if (!response.contentType.isEmpty())
        out += "Content-Type: " + response.contentType + "\r\n";
    for (const auto &[name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    if (chunked)
        out += "Transfer-Encoding: chunked\r\n";
    else if (length >= 0)
        out += "Content-Length: " + QByteArray::number(length) + "\r\n";
    if (close)
        out += "Connection: close\r\n";
    return out + "\r\n";
}

HttpResponse errorResponse(int status, const QString &message)
{
    const HttpApi::Reply reply = HttpApi::error(status, message);
    HttpResponse response;
    response.status = reply.status;
    response.contentType = reply.contentType;
    response.body = reply.body;
    response.setHeader("X-Content-Type-Options", "nosniff");
    response.setHeader("Cache-Control", "no-store");
    return response;
}

// Where the head ends (the blank line's start) and the blank line's length; -1 before then.
qsizetype headEnd(const QByteArray &in, qsizetype *blank)
{
    qsizetype end = in.indexOf("\r\n\r\n");
    *blank = 4;
    const qsizetype bare = in.indexOf("\n\n");
    if (bare >= 0 && (end < 0 || bare < end)) {
        end = bare;
        *blank = 2;
    }
    return end;
}

} // namespace

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

struct HttpThreads::Private
{
    enum class State { Idle, Head, Body, Busy, Draining };

    struct Connection
    {
        int fd = -1;
        QByteArray peer;
        QByteArray in;
        State state = State::Idle;
        Clock::time_point deadline;
        qsizetype headLength = 0;
        qsizetype bodyLength = 0;
        bool closeAfter = false;
        bool refused = false; // refused at the door: not counted among the connections held
        HttpRequest request;
        HttpResponse response;
    };
    using Link = std::shared_ptr<Connection>;

    struct Worker
    {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    Limits limits;
    Admit admit;
    Handle handle;
    int listener = -1;
    int wake[2] = {-1, -1};    // tells the reading thread that a connection came back
    int stopped[2] = {-1, -1}; // readable once stopping: ends every wait for a socket
    std::thread reader;
    std::atomic<bool> stopping{false};

    std::list<Link> connections; // the reading thread's own
    QHash<QByteArray, int> perAddress;
    int held = 0;
    int draining = 0;
    Clock::time_point acceptAgain;

    std::mutex mutex; // guards what follows
    std::deque<Link> returned;
    std::list<Worker> workers;
    std::condition_variable jobReady;
    std::deque<Link> jobs;
    int idle = 0;
    int busy = 0;

    void run();
    void acceptAll();
    void readFrom(const Link &connection);
    void advance(const Link &connection);
    std::optional<HttpRefusal> parseHead(Connection &connection);
    void dispatch(const Link &connection);
    void refuse(const Link &connection, const HttpResponse &response);
    void close(const Link &connection);
    void work();
    void serve(const Link &connection);
    void respond(Connection &connection);
    bool nextRequest(Connection &connection);
    bool send(int fd, const QByteArray &bytes);
    void reap(bool all);
};

HttpThreads::HttpThreads(const Limits &limits, Admit admit, Handle handle)
    : d(std::make_unique<Private>())
{
    d->limits = limits;
    d->admit = std::move(admit);
    d->handle = std::move(handle);
}

HttpThreads::~HttpThreads()
{
    stop();
    for (int fd : {d->listener, d->wake[0], d->wake[1], d->stopped[0], d->stopped[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}

QString HttpThreads::busyMessage(const Limits &limits)
{
    return QStringLiteral("this service serves at most %1 clients at once; close another page or "
                          "client, or try again in a moment")
        .arg(limits.maxClients);
}

quint16 HttpThreads::bind(const QString &address, quint16 port, QString *error)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *found = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int lookup =
        ::getaddrinfo(address.toUtf8().constData(), service.constData(), &hints, &found);
    if (lookup != 0) {
        *error = QString::fromLocal8Bit(gai_strerror(lookup));
        return 0;
    }
    int fd = -1;
    for (addrinfo *each = found; each && fd < 0; each = each->ai_next) {
        fd = ::socket(each->ai_family, each->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      each->ai_protocol);
        if (fd < 0)
            continue;
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, each->ai_addr, each->ai_addrlen) != 0 || ::listen(fd, kBacklog) != 0) {
            *error = QString::fromLocal8Bit(strerror(errno));
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0)
        return 0;
    sockaddr_storage bound = {};
    socklen_t size = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &size);
    d->listener = fd;
    return bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                       : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
}

void HttpThreads::adopt(int listener)
{
    // One handed over (by systemd) may block: accepting must never wait.
    ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK);
    d->listener = listener;
}

void HttpThreads::start()
{
    if (::pipe2(d->wake, O_CLOEXEC | O_NONBLOCK) != 0 ||
        ::pipe2(d->stopped, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    d->reader = std::thread([this] { d->run(); });
}

void HttpThreads::stop()
{
    if (!d->reader.joinable())
        return;
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->jobReady.notify_all();
    const char byte = 0;
    static_cast<void>(::write(d->stopped[1], &byte, 1));
    d->reader.join();
}

void HttpThreads::Private::run()
{
    std::vector<pollfd> polled;
    std::vector<Link> watched;
    while (!stopping) {
        reap(false);
        polled.clear();
        watched.clear();
        const bool accepting = Clock::now() >= acceptAgain;
        polled.push_back({listener, short(accepting ? POLLIN : 0), 0});
        polled.push_back({wake[0], POLLIN, 0});
        polled.push_back({stopped[0], POLLIN, 0});
        Clock::time_point next = accepting ? Clock::now() + 60s : acceptAgain;
        for (const Link &connection : connections) {
            if (connection->state == State::Busy)
                continue;
            polled.push_back({connection->fd, POLLIN, 0});
            watched.push_back(connection);
            next = std::min(next, connection->deadline);
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        const int ready = ::poll(polled.data(), nfds_t(polled.size()),
                                 int(std::clamp<qint64>(wait.count(), 0, 60000)));
        if (ready < 0 && errno != EINTR)
            break;
        if (stopping)
            break;
        if (polled[1].revents) {
            char drain[64];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
            std::deque<Link> back;
            {
                std::lock_guard lock(mutex);
                back.swap(returned);
            }
            for (const Link &connection : back) {
                if (connection->closeAfter) {
                    ::shutdown(connection->fd, SHUT_WR);
                    connection->state = State::Draining;
                    connection->deadline = Clock::now() + kDrainFor;
                    connection->in.clear();
                } else {
                    connection->state = State::Idle;
                    connection->deadline = Clock::now() + limits.idleDeadline;
                    advance(connection); // what was pipelined behind the last request
                }
            }
        }
        for (size_t i = 0; i < watched.size(); ++i) {
            if (polled[i + 3].revents)
                readFrom(watched[i]);
        }
        const Clock::time_point now = Clock::now();
        for (const Link &connection : std::list<Link>(connections)) {
            if (connection->state == State::Busy || connection->deadline > now)
                continue;
            switch (connection->state) {
            case State::Head:
            case State::Body:
                refuse(connection,
                       errorResponse(408, QStringLiteral("the request was not sent whole within "
                                                         "%1 s; nothing was done")
                                              .arg(double(connection->state == State::Head
                                                              ? limits.headDeadline.count()
                                                              : limits.bodyDeadline.count()) /
                                                   1000)));
                break;
            default:
                close(connection);
                break;
            }
        }
        if (polled[0].revents)
            acceptAll();
    }
    // Stopping: the handlers have been answered; what they still write ends at the stop pipe.
    reap(true);
    for (const Link &connection : connections)
        ::close(connection->fd);
    connections.clear();
    ::close(listener);
    listener = -1;
}

void HttpThreads::Private::acceptAll()
{
    for (int round = 0; round < 64; ++round) {
        sockaddr_storage address = {};
        socklen_t size = sizeof address;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr *>(&address), &size,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            // Out of descriptors: the listener stays readable, so it rests a moment rather
            // than spin.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptAgain = Clock::now() + kAcceptPause;
            return;
        }
        const int yes = 1;
        if (address.ss_family != AF_UNIX)
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        char text[INET6_ADDRSTRLEN] = "local";
        if (address.ss_family == AF_UNIX) {
            // This machine's users, whom the socket's permissions let in.
        } else if (address.ss_family == AF_INET6)
            ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(&address)->sin6_addr, text,
                        sizeof text);
        else
            ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&address)->sin_addr, text,
                        sizeof text);
        auto connection = std::make_shared<Connection>();
        connection->fd = fd;
        connection->peer = text;
        connection->deadline = Clock::now() + limits.idleDeadline;
        // This machine's own clients (and a proxy in front) share one address: only the whole
        // limits them.
        const bool local =
            address.ss_family == AF_UNIX ||
            (address.ss_family == AF_INET6
                 ? IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<sockaddr_in6 *>(&address)->sin6_addr) ||
                       connection->peer.startsWith("::ffff:127.")
                 : connection->peer.startsWith("127."));
        const int fromThere = perAddress.value(connection->peer);
        if (held >= limits.maxConnections || (!local && fromThere >= limits.maxPerAddress)) {
            if (draining >= kMaxDraining) {
                ::close(fd);
                continue;
            }
            connection->refused = true;
            ++draining;
            connections.push_back(connection);
            refuse(connection,
                   errorResponse(503, QStringLiteral("this service holds at most %1 connections "
                                                     "at once, %2 from one address; close "
                                                     "another page or client, or try again in a "
                                                     "moment")
                                          .arg(limits.maxConnections)
                                          .arg(limits.maxPerAddress)));
            continue;
        }
        ++held;
        perAddress[connection->peer] = fromThere + 1;
        connections.push_back(connection);
    }
}

void HttpThreads::Private::readFrom(const Link &connection)
{
    char buffer[kReadChunk];
    const ssize_t got = ::recv(connection->fd, buffer, sizeof buffer, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        close(connection);
        return;
    }
    if (got < 0)
        return;
    if (connection->state == State::Draining)
        return;
    connection->in.append(buffer, got);
    advance(connection);
}

void HttpThreads::Private::advance(const Link &connection)
{
    Connection &c = *connection;
    if ((c.state == State::Idle || c.state == State::Head) && !c.in.isEmpty()) {
        if (c.state == State::Idle) {
            c.state = State::Head;
            c.deadline = Clock::now() + limits.headDeadline;
        }
        qsizetype blank = 0;
        const qsizetype end = headEnd(c.in, &blank);
        if ((end < 0 && c.in.size() > limits.maxHead) || end > limits.maxHead) {
            refuse(connection,
                   errorResponse(431, QStringLiteral("the request's line and headers take more "
                                                     "than %1 bytes; at most %1 are read")
                                          .arg(limits.maxHead)));
            return;
        }
        if (end < 0)
            return;
        c.headLength = end + blank;
        if (const auto refusal = parseHead(c)) {
            refuse(connection, errorResponse(refusal->status, refusal->message));
            return;
        }
        {
            std::lock_guard lock(mutex);
            if (busy >= limits.maxClients) {
                refuse(connection, errorResponse(503, HttpThreads::busyMessage(limits)));
                return;
            }
        }
        c.response = HttpResponse();
        c.response.setHeader("X-Content-Type-Options", "nosniff");
        if (!admit(c.request, c.response)) {
            refuse(connection, c.response);
            return;
        }
        c.state = State::Body;
        c.deadline = Clock::now() + limits.bodyDeadline;
        if (c.bodyLength > 0 && c.in.size() < c.headLength + c.bodyLength &&
            c.request.header("expect").compare("100-continue", Qt::CaseInsensitive) == 0) {
            static const QByteArray proceed = "HTTP/1.1 100 Continue\r\n\r\n";
            static_cast<void>(::send(c.fd, proceed.constData(), size_t(proceed.size()),
                                     MSG_NOSIGNAL | MSG_DONTWAIT));
        }
    }
    if (c.state == State::Body && c.in.size() >= c.headLength + c.bodyLength) {
        c.request.body = c.in.mid(c.headLength, c.bodyLength);
        c.in.remove(0, c.headLength + c.bodyLength);
        dispatch(connection);
    }
}

std::optional<HttpRefusal> HttpThreads::Private::parseHead(Connection &c)
{
    auto parsed = parseRequestHead(c.in.left(c.headLength), {limits.maxHead, limits.maxBody});
    if (const auto *refusal = std::get_if<HttpRefusal>(&parsed))
        return *refusal;
    HttpHead &read = std::get<HttpHead>(parsed);
    c.request = std::move(read.request);
    c.bodyLength = read.bodyLength;
    c.closeAfter = read.closeAfter;
    return std::nullopt;
}

void HttpThreads::Private::dispatch(const Link &connection)
{
    std::lock_guard lock(mutex);
    if (busy >= limits.maxClients) {
        refuse(connection, errorResponse(503, HttpThreads::busyMessage(limits)));
        return;
    }
    ++busy;
    connection->state = State::Busy;
    jobs.push_back(connection);
    if (int(jobs.size()) <= idle) {
        jobReady.notify_one();
        return;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers.push_back({std::thread([this, done] {
                           work();
                           done->store(true);
                       }),
                       done});
}

void HttpThreads::Private::work()
{
    std::unique_lock lock(mutex);
    for (;;) {
        if (jobs.empty()) {
            if (stopping || idle >= kMaxParked)
                return;
            ++idle;
            jobReady.wait_for(lock, kParkedFor, [this] { return !jobs.empty() || stopping; });
            --idle;
            if (jobs.empty())
                return;
        }
        const Link job = jobs.front();
        jobs.pop_front();
        lock.unlock();
        serve(job);
        lock.lock();
    }
}

void HttpThreads::Private::refuse(const Link &connection, const HttpResponse &response)
{
    const QByteArray bytes = head(response, true, false, response.body.size()) + response.body;
    static_cast<void>(::send(connection->fd, bytes.constData(), size_t(bytes.size()),
                             MSG_NOSIGNAL | MSG_DONTWAIT));
    ::shutdown(connection->fd, SHUT_WR);
    connection->state = State::Draining;
    connection->deadline = Clock::now() + kDrainFor;
    connection->in.clear();
}

void HttpThreads::Private::close(const Link &connection)
{
    ::close(connection->fd);
    if (connection->refused) {
        --draining;
    } else {
        --held;
        if (--perAddress[connection->peer] <= 0)
            perAddress.remove(connection->peer);
    }
    connections.remove(connection);
}

bool HttpThreads::Private::send(int fd, const QByteArray &bytes)
{
    const Clock::time_point deadline = Clock::now() + limits.writeDeadline;
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t wrote = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote > 0) {
            sent += wrote;
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd both[2] = {{fd, POLLOUT, 0}, {stopped[0], POLLIN, 0}};
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || ::poll(both, 2, int(left)) <= 0 || both[1].revents)
            return false;
    }
    return true;
}

void HttpThreads::Private::serve(const Link &connection)
{
    Connection &c = *connection;
    bool counted = true; // among the requests served, rather than waiting for the next
    for (;;) {
        respond(c);
        if (c.closeAfter || stopping)
            break;
        {
            std::lock_guard lock(mutex);
            --busy;
            counted = false;
        }
        if (!nextRequest(c))
            break;
        counted = true;
    }
    {
        std::lock_guard lock(mutex);
        if (counted)
            --busy;
        returned.push_back(connection);
    }
    const char byte = 0;
    static_cast<void>(::write(wake[1], &byte, 1));
}

void HttpThreads::Private::respond(Connection &c)
{
    HttpResponse response = c.response;
    handle(c.request, response);
    const bool headOnly = c.request.method == "HEAD";
    bool ok = true;
    if (response.stream && !headOnly) {
        const bool chunked = c.request.version == "HTTP/1.1";
        ok = send(c.fd, head(response, true, chunked, -1));
        while (ok && !stopping) {
            const std::optional<QByteArray> next = response.stream();
            if (!next)
                break;
            if (next->isEmpty())
                continue;
            ok = send(c.fd, chunked ? QByteArray::number(next->size(), 16) + "\r\n" + *next + "\r\n"
                                    : *next);
        }
        if (ok && chunked)
            send(c.fd, "0\r\n\r\n");
        c.closeAfter = true;
    } else {
        const QByteArray bytes = head(response, c.closeAfter, false, response.body.size());
        ok = send(c.fd, headOnly ? bytes : bytes + response.body);
    }
    if (response.streamEnded)
        response.streamEnded();
    c.closeAfter = c.closeAfter || !ok;
}

// A keep-alive client's next request, when it comes whole within moments: served on this
// thread, which meanwhile does not count among the requests served. Anything else (nothing yet, a
// part, a request to refuse) goes back to the reading thread, which reads it again from the start.
bool HttpThreads::Private::nextRequest(Connection &c)
{
    const Clock::time_point until = Clock::now() + kLinger;
    for (;;) {
        qsizetype blank = 0;
        const qsizetype end = headEnd(c.in, &blank);
        if (end >= 0 && end <= limits.maxHead) {
            c.headLength = end + blank;
            // Whatever the reading thread is left to answer, it answers from the start.
            const auto later = [&c] {
                c.closeAfter = false;
                return false;
            };
            if (parseHead(c) || c.in.size() < c.headLength + c.bodyLength)
                return later();
            c.response = HttpResponse();
            c.response.setHeader("X-Content-Type-Options", "nosniff");
            if (!admit(c.request, c.response))
                return later();
            {
                std::lock_guard lock(mutex);
                if (busy >= limits.maxClients)
                    return later(); // refused 503 by the reading thread
                ++busy;
            }
            c.request.body = c.in.mid(c.headLength, c.bodyLength);
            c.in.remove(0, c.headLength + c.bodyLength);
            return true;
        }
        if (c.in.size() > limits.maxHead)
            return false;
        pollfd both[2] = {{c.fd, POLLIN, 0}, {stopped[0], POLLIN, 0}};
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0 || ::poll(both, 2, int(left)) <= 0 || both[1].revents)
            return false;
        char buffer[kReadChunk];
        const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false; // the reading thread sees the end, or the error, again
        c.in.append(buffer, got);
    }
}

void HttpThreads::Private::reap(bool all)
{
    std::list<Worker> finished;
    {
        std::lock_guard lock(mutex);
        for (auto it = workers.begin(); it != workers.end();) {
            if (all || it->done->load()) {
                finished.push_back(std::move(*it));
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Worker &worker : finished)
        worker.thread.join();
}
