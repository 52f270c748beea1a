#include "httptransport.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <system_error>
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
#include <pwd.h>
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

const char *reasonPhrase(int status)
{
    static const std::map<int, const char *> phrases = {
        {100, "Continue"},
        {200, "OK"},
        {204, "No Content"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {408, "Request Timeout"},
        {409, "Conflict"},
        {411, "Length Required"},
        {413, "Content Too Large"},
        {414, "URI Too Long"},
        {431, "Request Header Fields Too Large"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {505, "HTTP Version Not Supported"},
    };
    const auto found = phrases.find(status);
    return found != phrases.end() ? found->second : status < 400 ? "OK" : "Error";
}

QByteArray head(const HttpResponse &response, bool close, bool chunked, qsizetype length)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                     reasonPhrase(response.status) + "\r\n";
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

// Where the head ends (the blank line's start) and the blank line's length; -1 before then. A
// line may end in CRLF or in LF alone, so the blank line is "\n\r\n" or "\n\n" after the last
// header's end.
qsizetype headEnd(const QByteArray &in, qsizetype *blank)
{
    const qsizetype crlf = in.indexOf("\n\r\n");
    const qsizetype bare = in.indexOf("\n\n");
    if (crlf < 0 && bare < 0)
        return -1;
    if (bare >= 0 && (crlf < 0 || bare < crlf)) {
        *blank = 2;
        return bare;
    }
    // Counted from the CR that ends the last header, where there is one.
    const bool cr = crlf > 0 && in.at(crlf - 1) == '\r';
    *blank = cr ? 4 : 3;
    return cr ? crlf - 1 : crlf;
}

// One address's share of the connections: an IPv4 address, or an IPv6 one's /64, which one
// host commonly holds whole.
QByteArray addressKey(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = "local";
    if (address.ss_family == AF_INET6) {
        in6_addr prefix = reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_addr;
        if (!IN6_IS_ADDR_V4MAPPED(&prefix)) {
            std::fill(prefix.s6_addr + 8, prefix.s6_addr + 16, 0);
            ::inet_ntop(AF_INET6, &prefix, text, sizeof text);
            return QByteArray(text) + "/64";
        }
        ::inet_ntop(AF_INET, prefix.s6_addr + 12, text, sizeof text);
    } else if (address.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&address)->sin_addr, text,
                    sizeof text);
    }
    return text;
}

QString addressText(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_addr, text,
                    sizeof text);
    else if (address.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&address)->sin_addr, text,
                    sizeof text);
    return QString::fromLatin1(text);
}

// A Unix socket's client as the kernel vouches for it: "alice (usb16relay-ctl, pid 1234)".
QString unixPeer(int fd)
{
    ucred credentials = {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return QStringLiteral("a local user");
    QString user = QStringLiteral("uid %1").arg(credentials.uid);
    passwd entry = {};
    passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(credentials.uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        user = QString::fromLocal8Bit(found->pw_name);
    QFile comm(QStringLiteral("/proc/%1/comm").arg(credentials.pid));
    const QString program = comm.open(QIODevice::ReadOnly)
                                ? QString::fromLocal8Bit(comm.read(64).trimmed())
                                : QStringLiteral("?");
    return QStringLiteral("%1 (%2, pid %3)").arg(user, program).arg(credentials.pid);
}

bool isLocal(const sockaddr_storage &address, const QByteArray &key)
{
    if (address.ss_family == AF_UNIX)
        return true;
    if (address.ss_family == AF_INET6 &&
        IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_addr))
        return true;
    return key.startsWith("127.");
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

struct HttpResponder::Exchange
{
    std::atomic<bool> answered{false};
    std::function<void(HttpResponse, std::shared_ptr<HttpStream>)> deliver;
    std::function<std::shared_ptr<HttpStream>()> makeStream;
};

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

struct HttpTransport::Private : std::enable_shared_from_this<HttpTransport::Private>
{
    enum class State { Idle, Head, Body, Waiting, Writing, Streaming, Draining };

    struct Connection
    {
        quint64 id = 0;
        int fd = -1;
        QByteArray peer;
        QString who; // for the requests' record of who asked
        bool local = false;
        bool refused = false; // refused at the door: not counted among the connections held
        State state = State::Idle;
        Clock::time_point deadline;
        QByteArray in;
        qsizetype headLength = 0;
        qsizetype bodyLength = 0;
        bool chunkedBody = false;
        bool closeAfter = false;
        HttpRequest request;
        HttpResponse admitted; // headers the admission set, for the answer
        quint64 exchange = 0;  // the request now being answered
        QByteArray out;
        Clock::time_point progress; // when the client last took bytes
        std::shared_ptr<HttpStream> stream;
        bool chunked = false;
        QByteArray keepAlive;
        Clock::time_point lastSent;
    };
    using Link = std::shared_ptr<Connection>;

    struct Completion
    {
        quint64 connection = 0;
        quint64 exchange = 0;
        HttpResponse response;
        std::shared_ptr<HttpStream> stream;
    };

    HttpLimits limits;
    Refusal refusal;
    Admit admit;
    Handle handle;
    Failed failed;
    int listener = -1;
    int wake[2] = {-1, -1};    // answers and stream bytes are waiting
    int stopped[2] = {-1, -1}; // readable once stopping
    std::thread reader;
    std::atomic<bool> stopping{false};

    // The reading thread's own.
    std::map<quint64, Link> connections;
    quint64 nextId = 1;
    QHash<QByteArray, int> perAddress;
    int held = 0;
    int draining = 0;
    int streams = 0;
    Clock::time_point acceptAgain;

    std::mutex mutex; // guards `completed`
    std::deque<Completion> completed;

    ~Private();
    void run();
    void wakeUp();
    void acceptAll();
    void readFrom(const Link &connection);
    void advance(const Link &connection);
    bool readHead(Connection &c, const Link &connection);
    void dispatch(const Link &connection);
    void applyCompletions();
    void respond(const Link &connection, HttpResponse response);
    void startStream(const Link &connection, HttpResponse head,
                     const std::shared_ptr<HttpStream> &stream);
    void pumpStreams();
    void flush(const Link &connection);
    void answered(const Link &connection);
    void refuse(const Link &connection, int status, const QString &message);
    void refuseWith(const Link &connection, const HttpResponse &response);
    void expire();
    Clock::time_point nextTime(const Connection &c) const;
    void close(const Link &connection);
    void finish();
};

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
    static_cast<void>(::write(d->stopped[1], &byte, 1));
    d->reader.join();
}

void HttpTransport::Private::wakeUp()
{
    const char byte = 0;
    static_cast<void>(::write(wake[1], &byte, 1));
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
    c.out += ::head(head, true, c.chunked, -1);
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
