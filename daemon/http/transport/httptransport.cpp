#include "httptransport_p.h"
#include "httpwire.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace HttpWire;

namespace {

constexpr int kBacklog = 128;
constexpr auto kAcceptPause = 100ms;
constexpr int kMaxDraining = 128; // beyond the connections held: refused ones still draining
constexpr qsizetype kReadChunk = 16384;

} // namespace

void HttpResponder::answer(HttpResponse response) const
{
    if (!m_exchange->answered.exchange(true))
        m_exchange->deliver(std::move(response), nullptr);
}

std::shared_ptr<HttpStream> HttpResponder::stream(HttpResponse head,
                                                  const QByteArray &keepAlive) const
{
    std::shared_ptr<HttpStream> stream = m_exchange->makeStream();
    if (m_exchange->answered.exchange(true)) {
        stream->end();
        return stream;
    }
    head.body = keepAlive; // carried to the reading thread, which sends it as keep-alive
    m_exchange->deliver(std::move(head), stream);
    return stream;
}

HttpTransport::Private::~Private()
{
    for (int fd : {listener, wake[0], wake[1], stopped[0], stopped[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}

HttpTransport::HttpTransport(const HttpLimits &limits, Refusal refusal, Admit admit, Handle handle,
                             Failed failed)
    : d(std::make_shared<Private>())
{
    d->limits = limits;
    d->refusal = std::move(refusal);
    d->admit = std::move(admit);
    d->handle = std::move(handle);
    d->failed = std::move(failed);
}

HttpTransport::~HttpTransport()
{
    stop();
}

quint16 HttpTransport::bind(const QString &address, quint16 port, QString *error)
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

void HttpTransport::adopt(int listener)
{
    // One handed over (by systemd) may block: accepting must never wait.
    ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK);
    d->listener = listener;
}

bool HttpTransport::start(QString *error)
{
    if (::pipe2(d->wake, O_CLOEXEC | O_NONBLOCK) != 0 ||
        ::pipe2(d->stopped, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = QStringLiteral("cannot make the pipes that wake its thread: %1")
                     .arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    try {
        d->reader = std::thread([d = d] { d->run(); });
    } catch (const std::system_error &failure) {
        *error = QStringLiteral("cannot start its thread: %1")
                     .arg(QString::fromLocal8Bit(failure.what()));
        return false;
    }
    return true;
}

void HttpTransport::stop()
{
    if (!d->reader.joinable())
        return;
    d->stopping = true;
    const char byte = 0;
    // A full pipe is readable already: the reader wakes either way.
    [[maybe_unused]] const ssize_t woken = ::write(d->stopped[1], &byte, 1);
    d->reader.join();
}

void HttpTransport::Private::wakeUp()
{
    const char byte = 0;
    // A full pipe is readable already: the reader wakes either way.
    [[maybe_unused]] const ssize_t woken = ::write(wake[1], &byte, 1);
}

void HttpTransport::Private::run()
{
    std::vector<pollfd> polled;
    std::vector<Link> watched;
    while (!stopping) {
        polled.clear();
        watched.clear();
        const Clock::time_point now = Clock::now();
        const bool accepting = now >= acceptAgain;
        polled.push_back({listener, short(accepting ? POLLIN : 0), 0});
        polled.push_back({wake[0], POLLIN, 0});
        polled.push_back({stopped[0], POLLIN, 0});
        Clock::time_point next = accepting ? now + 60s : acceptAgain;
        for (const auto &[id, connection] : connections) {
            // A request being answered leaves what is pipelined behind it in the kernel.
            short events = connection->state == State::Waiting ? 0 : POLLIN;
            if (!connection->out.isEmpty())
                events |= POLLOUT;
            polled.push_back({connection->fd, events, 0});
            watched.push_back(connection);
            next = std::min(next, nextTime(*connection));
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
        const int ready = ::poll(polled.data(), nfds_t(polled.size()),
                                 int(std::clamp<qint64>(wait.count(), 0, 60000)));
        if (ready < 0 && errno != EINTR) {
            failed(QStringLiteral("waiting for its clients failed: %1")
                       .arg(QString::fromLocal8Bit(strerror(errno))));
            break;
        }
        if (stopping)
            break;
        if (polled[1].revents) {
            char drain[256];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        applyCompletions();
        for (size_t i = 0; i < watched.size(); ++i) {
            const Link &connection = watched[i];
            const short revents = polled[i + 3].revents;
            if ((revents & (POLLOUT | POLLERR)) && connection->fd >= 0)
                flush(connection);
            if ((revents & (POLLIN | POLLHUP | POLLERR)) && connection->fd >= 0)
                readFrom(connection);
        }
        applyCompletions(); // what the requests just read were answered at once
        pumpStreams();
        expire();
        if (polled[0].revents)
            acceptAll();
    }
    finish();
}

void HttpTransport::Private::acceptAll()
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
        auto connection = std::make_shared<Connection>();
        connection->id = nextId++;
        connection->fd = fd;
        connection->peer = addressKey(address);
        // This machine's own clients (and a proxy in front) share one address: only the whole
        // limits them.
        connection->local = isLocal(address, connection->peer);
        connection->who = address.ss_family == AF_UNIX ? unixPeer(fd) : addressText(address);
        connection->deadline = Clock::now() + limits.idleDeadline;
        const int fromThere = perAddress.value(connection->peer);
        connections.emplace(connection->id, connection);
        if (held >= limits.maxConnections ||
            (!connection->local && fromThere >= limits.maxPerAddress)) {
            connection->refused = true;
            if (++draining > kMaxDraining) {
                close(connection);
                continue;
            }
            refuse(connection, 503,
                   QStringLiteral("this service holds at most %1 connections at once, %2 from one "
                                  "address; close another page or client, or try again in a "
                                  "moment")
                       .arg(limits.maxConnections)
                       .arg(limits.maxPerAddress));
            continue;
        }
        ++held;
        perAddress[connection->peer] = fromThere + 1;
    }
}

void HttpTransport::Private::readFrom(const Link &connection)
{
    char buffer[kReadChunk];
    const ssize_t got = ::recv(connection->fd, buffer, sizeof buffer, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        close(connection);
        return;
    }
    if (got < 0)
        return;
    // What a stream's client or a refused one still sends is read and dropped.
    if (connection->state == State::Draining || connection->state == State::Streaming)
        return;
    connection->in.append(buffer, got);
    advance(connection);
}

void HttpTransport::Private::advance(const Link &connection)
{
    Connection &c = *connection;
    if ((c.state == State::Idle || c.state == State::Head) && !c.in.isEmpty()) {
        if (c.state == State::Idle) {
            c.state = State::Head;
            c.deadline = Clock::now() + limits.headDeadline;
        }
        if (!readHead(c, connection))
            return;
    }
    if (c.state != State::Body)
        return;
    if (c.chunkedBody) {
        auto decoded = decodeChunkedBody(c.in.mid(c.headLength), limits.maxBody);
        if (const auto *refused = std::get_if<HttpRefusal>(&decoded)) {
            refuse(connection, refused->status, refused->message);
        } else if (auto *body = std::get_if<HttpChunkedBody>(&decoded)) {
            c.request.body = std::move(body->body);
            c.in.remove(0, c.headLength + body->consumed);
            dispatch(connection);
        }
        return;
    }
    if (c.in.size() >= c.headLength + c.bodyLength) {
        c.request.body = c.in.mid(c.headLength, c.bodyLength);
        c.in.remove(0, c.headLength + c.bodyLength);
        dispatch(connection);
    }
}

// The head, once it is all there: parsed and admitted, or refused. False while it is not whole
// or once it was refused.
bool HttpTransport::Private::readHead(Connection &c, const Link &connection)
{
    qsizetype blank = 0;
    const qsizetype end = headEnd(c.in, &blank);
    if ((end < 0 && c.in.size() > limits.maxHead) || end > limits.maxHead) {
        refuse(connection, 431,
               QStringLiteral("the request's line and headers take more than %1 bytes; at most "
                              "%1 are read")
                   .arg(limits.maxHead));
        return false;
    }
    if (end < 0)
        return false;
    c.headLength = end + blank;
    auto parsed = parseRequestHead(c.in.left(c.headLength), {limits.maxHead, limits.maxBody});
    if (const auto *refused = std::get_if<HttpRefusal>(&parsed)) {
        refuse(connection, refused->status, refused->message);
        return false;
    }
    HttpHead &read = std::get<HttpHead>(parsed);
    c.request = std::move(read.request);
    c.request.peer = c.who;
    c.bodyLength = read.bodyLength;
    c.chunkedBody = read.chunked;
    c.closeAfter = read.closeAfter;
    c.admitted = HttpResponse();
    c.admitted.setHeader("X-Content-Type-Options", "nosniff");
    if (!admit(c.request, c.admitted)) {
        refuseWith(connection, c.admitted);
        return false;
    }
    c.state = State::Body;
    c.deadline = Clock::now() + limits.bodyDeadline;
    const bool bodyToCome =
        c.chunkedBody ? c.in.size() == c.headLength : c.in.size() < c.headLength + c.bodyLength;
    if ((c.bodyLength > 0 || c.chunkedBody) && bodyToCome && c.request.version == "HTTP/1.1" &&
        c.request.header("expect").compare("100-continue", Qt::CaseInsensitive) == 0)
        c.out += "HTTP/1.1 100 Continue\r\n\r\n";
    return true;
}

void HttpTransport::Private::dispatch(const Link &connection)
{
    Connection &c = *connection;
    c.state = State::Waiting;
    c.deadline = Clock::now() + limits.answerDeadline;
    const quint64 exchange = ++c.exchange;
    const quint64 id = c.id;
    const std::weak_ptr<Private> self = weak_from_this();
    HttpResponder responder;
    responder.m_exchange = std::make_shared<HttpResponder::Exchange>();
    responder.m_exchange->deliver = [self, id, exchange](HttpResponse response,
                                                         std::shared_ptr<HttpStream> stream) {
        const std::shared_ptr<Private> transport = self.lock();
        if (!transport) {
            if (stream)
                stream->end();
            return;
        }
        {
            std::lock_guard lock(transport->mutex);
            transport->completed.push_back({id, exchange, std::move(response), std::move(stream)});
        }
        transport->wakeUp();
    };
    responder.m_exchange->makeStream = [self, maxUnsent = limits.maxUnsent] {
        return std::shared_ptr<HttpStream>(new HttpStream(
            [self] {
                if (const std::shared_ptr<Private> transport = self.lock())
                    transport->wakeUp();
            },
            maxUnsent));
    };
    handle(c.request, responder);
}
