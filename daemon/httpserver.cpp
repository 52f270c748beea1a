#include "httpserver.h"

#include "board.h"
#include "httpaccess.h"
#include "httpapi.h"
#include "httpevents.h"
#include "log.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>

#include <httplib.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds kKeepAliveEvery{5000};
constexpr std::chrono::seconds kAnswerBound{60};
constexpr int kSpareThreads = 8; // beyond the clients served: enough to answer a few with 503

thread_local bool t_overCapacity = false;

// One thread per connection, so that a long-lived event stream never holds up a switch. The
// clients past kMaxClients still get a thread, marked, so that they are answered 503 rather
// than left waiting; beyond the spare ones they wait for a thread.
class ConnectionThreads final : public httplib::TaskQueue
{
public:
    void enqueue(std::function<void()> fn) override
    {
        std::lock_guard lock(m_mutex);
        reap();
        if (m_running >= HttpApi::kMaxClients + kSpareThreads) {
            m_waiting.push_back(std::move(fn));
            return;
        }
        ++m_running;
        const bool over = m_running > HttpApi::kMaxClients;
        auto done = std::make_shared<std::atomic<bool>>(false);
        m_threads.push_back({std::thread([this, fn = std::move(fn), over, done]() mutable {
                                 run(std::move(fn), over);
                                 done->store(true);
                             }),
                             done});
    }

    void shutdown() override
    {
        std::list<Worker> threads;
        {
            std::lock_guard lock(m_mutex);
            threads.swap(m_threads);
        }
        for (Worker &worker : threads)
            worker.thread.join();
    }

private:
    struct Worker
    {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void run(std::function<void()> fn, bool over)
    {
        for (;;) {
            t_overCapacity = over;
            fn();
            std::lock_guard lock(m_mutex);
            if (m_waiting.empty()) {
                --m_running;
                return;
            }
            fn = std::move(m_waiting.front());
            m_waiting.pop_front();
            over = m_running > HttpApi::kMaxClients;
        }
    }

    void reap()
    {
        for (auto it = m_threads.begin(); it != m_threads.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = m_threads.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::mutex m_mutex;
    std::list<Worker> m_threads;
    std::deque<std::function<void()>> m_waiting;
    int m_running = 0;
};

QByteArray resource(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void answer(httplib::Response &response, const HttpApi::Reply &reply)
{
    response.status = reply.status;
    if (!reply.allow.isEmpty())
        response.set_header("Allow", reply.allow.toStdString());
    response.set_content(reply.body.toStdString(), reply.contentType.toStdString());
}

QByteArray header(const httplib::Request &request, const char *name)
{
    return QByteArray::fromStdString(request.get_header_value(name));
}

// "host:port" or "[v6]:port" without the port.
QString hostOf(const QByteArray &hostHeader)
{
    QString host = QString::fromLatin1(hostHeader);
    if (host.startsWith(u'[')) {
        const qsizetype end = host.indexOf(u']');
        return end < 0 ? host : host.mid(1, end - 1);
    }
    const qsizetype colon = host.lastIndexOf(u':');
    return colon < 0 ? host : host.left(colon);
}

} // namespace

struct HttpServer::Private
{
    struct View
    {
        Board *board = nullptr;
        HttpApi::BoardView state;
    };

    HttpConfig config;
    QByteArray token;
    QList<View> views;
    QStringList ids;
    QByteArray page;
    QByteArray script;
    QByteArray style;
    HttpEvents events;
    httplib::Server server;
    std::thread thread;
    int port = 0;

    std::mutex mutex; // guards views' states, pending and nextId
    std::map<quint64, std::shared_ptr<std::promise<BoardResult>>> pending;
    quint64 nextId = 1;

    std::optional<HttpApi::Reply> admit(const httplib::Request &request,
                                        httplib::Response &response);
    void route(const httplib::Request &request, httplib::Response &response);
    void streamEvents(httplib::Response &response);
    HttpApi::Reply perform(const QString &board, BoardRequest request);
    View *viewOf(const QString &id);
    QByteArray everything();

    void onRead(View &view, quint16 state);
    void onAvailability(View &view, bool online, const QString &reason);
    void onFinished(View &view, const BoardResult &result);
};

HttpServer::HttpServer(const HttpConfig &config, const QList<Board *> &boards, QObject *parent)
    : QObject(parent), d(std::make_unique<Private>())
{
    d->config = config;
    d->views.reserve(boards.size());
    for (Board *board : boards) {
        Private::View view;
        view.board = board;
        view.state.id = board->config().id;
        view.state.name = board->config().name;
        view.state.names = board->config().relayNames;
        view.state.offlineReason = QStringLiteral("not read yet");
        d->views.append(view);
        d->ids.append(view.state.id);
    }
    // Direct: these run on the boards' threads, under the mutex, so that a switching request
    // waiting on a client's thread learns its result without a detour through the main loop.
    for (qsizetype i = 0; i < d->views.size(); ++i) {
        Board *board = d->views[i].board;
        connect(
            board, &Board::answered, this,
            [this, i](quint16 state) { d->onRead(d->views[i], state); }, Qt::DirectConnection);
        connect(
            board, &Board::availabilityChanged, this,
            [this, i](bool online, const QString &reason) {
                d->onAvailability(d->views[i], online, reason);
            },
            Qt::DirectConnection);
        connect(
            board, &Board::problem, this,
            [this, i](const BoardResult &result) { d->onFinished(d->views[i], result); },
            Qt::DirectConnection);
    }
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::start(QString *error)
{
    const HttpConfig &config = d->config;
    if (!HttpAccess::listenAllowed(config.address, config.tokenFile, error))
        return false;
    if (!config.tokenFile.isEmpty() &&
        !HttpAccess::readTokenFile(config.tokenFile, &d->token, error))
        return false;
    d->page = resource(QStringLiteral(":/web/index.html"));
    d->script = resource(QStringLiteral(":/web/app.js"));
    d->style = resource(QStringLiteral(":/web/style.css"));

    httplib::Server &server = d->server;
    server.new_task_queue = [] {
        return new ConnectionThreads;
    };
    server.set_payload_max_length(HttpApi::kMaxBody);
    server.set_keep_alive_max_count(1000);
    // An idle connection holds a thread, and the stop waits for it: short, and the browsers
    // open another when they need one.
    server.set_keep_alive_timeout(2);
    server.set_read_timeout(5);
    server.set_write_timeout(5);
    server.set_tcp_nodelay(true);
    // Refused before the body is read: over capacity, too long, without the token.
    server.set_expect_100_continue_handler(
        [this](const httplib::Request &request, httplib::Response &response) {
            if (const auto refused = d->admit(request, response)) {
                answer(response, *refused);
                return refused->status;
            }
            return 100;
        });
    server.set_pre_routing_handler(
        [this](const httplib::Request &request, httplib::Response &response) {
            if (const auto refused = d->admit(request, response)) {
                answer(response, *refused);
                response.set_header("Connection", "close");
                return httplib::Server::HandlerResponse::Handled;
            }
            // Without a length there is no body (HTTP/1.1): answered now, rather than have the
            // library wait for one until the connection closes.
            if (!request.has_header("Content-Length")) {
                d->route(request, response);
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
    const auto handler = [this](const httplib::Request &request, httplib::Response &response) {
        d->route(request, response);
    };
    server.Get(".*", handler);
    server.Put(".*", handler);
    server.Post(".*", handler);
    server.Delete(".*", handler);
    server.Patch(".*", handler);
    server.Options(".*", handler);
    server.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (response.body.empty())
            answer(response, HttpApi::error(response.status,
                                            QStringLiteral("the request could not be read as "
                                                           "HTTP/1.1 (status %1)")
                                                .arg(response.status)));
    });

    d->port =
        config.port == 0
            ? server.bind_to_any_port(config.address.toStdString())
            : (server.bind_to_port(config.address.toStdString(), config.port) ? config.port : -1);
    if (d->port <= 0) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3; choose another address or port "
                                "with --http or listen in [http]")
                     .arg(config.address)
                     .arg(config.port)
                     .arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    d->thread = std::thread([this] { d->server.listen_after_bind(); });
    return true;
}

void HttpServer::stop()
{
    if (!d->thread.joinable())
        return;
    d->events.close();
    {
        std::lock_guard lock(d->mutex);
        for (auto &[id, promise] : d->pending)
            promise->set_value({id, BoardResult::Error::Stopping,
                                QStringLiteral("the service is stopping; nothing more is switched"),
                                std::nullopt});
        d->pending.clear();
    }
    d->server.stop();
    d->thread.join();
}

QString HttpServer::url() const
{
    const bool v6 = QHostAddress(d->config.address).protocol() == QAbstractSocket::IPv6Protocol;
    return QStringLiteral("http://%1:%2/")
        .arg(v6 ? QStringLiteral("[%1]").arg(d->config.address) : d->config.address)
        .arg(d->port);
}

std::optional<HttpApi::Reply> HttpServer::Private::admit(const httplib::Request &request,
                                                         httplib::Response &response)
{
    if (t_overCapacity)
        return HttpApi::error(503, QStringLiteral("this service serves at most %1 clients at "
                                                  "once; close another page or client, or try "
                                                  "again in a moment")
                                       .arg(HttpApi::kMaxClients));
    qsizetype headerBytes = qsizetype(request.method.size() + request.target.size() + 12);
    for (const auto &[name, value] : request.headers)
        headerBytes += qsizetype(name.size() + value.size() + 4);
    if (headerBytes > HttpApi::kMaxHeaders)
        return HttpApi::error(431, QStringLiteral("the request's headers hold %1 bytes; at most "
                                                  "%2 are read")
                                       .arg(headerBytes)
                                       .arg(HttpApi::kMaxHeaders));
    if (request.has_header("Transfer-Encoding"))
        return HttpApi::error(411, QStringLiteral("send the body with a Content-Length (at most "
                                                  "%1 bytes), not in chunks")
                                       .arg(HttpApi::kMaxBody));
    const qint64 length = header(request, "Content-Length").toLongLong();
    if (length > HttpApi::kMaxBody)
        return HttpApi::error(413, QStringLiteral("the body has %1 bytes; requests take at most "
                                                  "%2, such as {\"on\":true}")
                                       .arg(length)
                                       .arg(HttpApi::kMaxBody));
    // Without a token only this machine may call: a page elsewhere that names this machine
    // under another host name (DNS rebinding) is turned away.
    const QString host = hostOf(header(request, "Host"));
    if (token.isEmpty() && host != u"localhost" && !QHostAddress(host).isLoopback())
        return HttpApi::error(403, QStringLiteral("this service answers only to 127.0.0.1 or "
                                                  "localhost without a token; \"%1\" is "
                                                  "neither. Set token_file to reach it by name")
                                       .arg(host));
    const QByteArray origin = header(request, "Origin");
    const QByteArray own = "http://" + header(request, "Host");
    const bool allowedOrigin =
        !config.allowOrigin.isEmpty() && origin == config.allowOrigin.toUtf8();
    if (!origin.isEmpty() && origin != own && !allowedOrigin)
        return HttpApi::error(403, QStringLiteral("pages from %1 may not use this service; add "
                                                  "allow_origin = %1 to [http] to let them")
                                       .arg(QString::fromUtf8(origin)));
    if (allowedOrigin) {
        response.set_header("Access-Control-Allow-Origin", origin.toStdString());
        response.set_header("Vary", "Origin");
        if (request.method == "OPTIONS")
            return std::nullopt; // the preflight itself carries no token
    }
    if (!token.isEmpty() && HttpApi::needsToken(QString::fromStdString(request.path)) &&
        !HttpAccess::authorizes(token, header(request, "Authorization"))) {
        response.set_header("WWW-Authenticate", "Bearer");
        return HttpApi::error(401, QStringLiteral("this service needs its token: send the "
                                                  "header Authorization: Bearer TOKEN, with the "
                                                  "token from the file named by token_file"));
    }
    return std::nullopt;
}

void HttpServer::Private::route(const httplib::Request &request, httplib::Response &response)
{
    const QString path = QString::fromStdString(request.path);
    const QByteArray method = QByteArray::fromStdString(request.method);
    if (method == "OPTIONS" && !config.allowOrigin.isEmpty() &&
        header(request, "Origin") == config.allowOrigin.toUtf8()) {
        response.status = 204;
        response.set_header("Access-Control-Allow-Methods", "GET, PUT, POST");
        response.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type");
        response.set_header("Access-Control-Max-Age", "600");
        return;
    }
    const HttpApi::Parsed parsed =
        HttpApi::parse(method, path, QByteArray::fromStdString(request.body), ids);
    if (parsed.reply) {
        answer(response, *parsed.reply);
        return;
    }
    const auto staticFile = [&](const QByteArray &content, const char *type) {
        response.set_header("Cache-Control", "no-cache");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; style-src 'self'; "
                            "connect-src 'self'; img-src 'self'; frame-ancestors 'none'; "
                            "base-uri 'none'; form-action 'none'");
        response.set_header("Referrer-Policy", "no-referrer");
        response.set_content(content.toStdString(), type);
    };
    switch (parsed.endpoint) {
    case HttpApi::Endpoint::Page:
        staticFile(page, "text/html; charset=utf-8");
        return;
    case HttpApi::Endpoint::Script:
        staticFile(script, "text/javascript; charset=utf-8");
        return;
    case HttpApi::Endpoint::Style:
        staticFile(style, "text/css; charset=utf-8");
        return;
    case HttpApi::Endpoint::Boards: {
        QList<HttpApi::BoardView> all;
        {
            std::lock_guard lock(mutex);
            for (const View &view : std::as_const(views))
                all.append(view.state);
        }
        response.set_header("Cache-Control", "no-store");
        response.set_content(HttpApi::boardsJson(all).toStdString(), "application/json");
        return;
    }
    case HttpApi::Endpoint::Board: {
        HttpApi::BoardView one;
        {
            std::lock_guard lock(mutex);
            one = viewOf(parsed.board)->state;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_content(
            QJsonDocument(HttpApi::boardJson(one)).toJson(QJsonDocument::Compact).toStdString(),
            "application/json");
        return;
    }
    case HttpApi::Endpoint::Events:
        streamEvents(response);
        return;
    default:
        answer(response, perform(parsed.board, *parsed.request));
        return;
    }
}

QByteArray HttpServer::Private::everything()
{
    QByteArray all;
    for (const View &view : std::as_const(views))
        all += HttpApi::event("board", HttpApi::boardJson(view.state));
    return all;
}

void HttpServer::Private::streamEvents(httplib::Response &response)
{
    HttpEvents::Handle subscriber;
    {
        std::lock_guard lock(mutex); // no change slips between the first states and the rest
        subscriber = events.subscribe("retry: 1000\n\n" + everything());
    }
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Accel-Buffering", "no");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, subscriber](size_t, httplib::DataSink &sink) {
            const std::optional<QByteArray> next = events.next(subscriber, kKeepAliveEvery);
            if (!next)
                return false;
            // A comment every few seconds finds the clients that have gone.
            const QByteArray bytes = next->isEmpty() ? QByteArray(": still here\n\n") : *next;
            return sink.write(bytes.constData(), size_t(bytes.size()));
        },
        [this, subscriber](bool) { events.unsubscribe(subscriber); });
}

HttpApi::Reply HttpServer::Private::perform(const QString &board, BoardRequest request)
{
    View *view = viewOf(board);
    auto promise = std::make_shared<std::promise<BoardResult>>();
    std::future<BoardResult> future = promise->get_future();
    {
        std::lock_guard lock(mutex);
        request.id = nextId++;
        pending.emplace(request.id, promise);
    }
    request.reply = [this, &view = *view](const BoardResult &result) {
        onFinished(view, result);
    };
    view->board->submit(std::move(request));
    if (future.wait_for(kAnswerBound) != std::future_status::ready) {
        std::lock_guard lock(mutex);
        if (pending.erase(request.id) > 0)
            return HttpApi::error(503, QStringLiteral("%1 gave no answer within %2 s; the "
                                                      "request still waits its turn and may yet "
                                                      "run: read the board before asking again")
                                           .arg(board)
                                           .arg(kAnswerBound.count()));
    }
    const BoardResult result = future.get();
    if (!result.ok()) {
        Log::warning(QStringLiteral("HTTP request on %1 failed: %2").arg(board, result.message));
        return HttpApi::error(HttpApi::statusOf(result.error), result.message);
    }
    HttpApi::BoardView answered;
    {
        std::lock_guard lock(mutex);
        answered = view->state;
    }
    answered.state = result.state; // exactly what the board reported for this request
    HttpApi::Reply reply;
    reply.body = QJsonDocument(HttpApi::boardJson(answered)).toJson(QJsonDocument::Compact);
    return reply;
}

HttpServer::Private::View *HttpServer::Private::viewOf(const QString &id)
{
    for (View &view : views) {
        if (view.state.id == id)
            return &view;
    }
    return nullptr;
}

void HttpServer::Private::onRead(View &view, quint16 state)
{
    std::lock_guard lock(mutex);
    const bool changed = view.state.state != state || !view.state.online;
    view.state.state = state;
    view.state.readAt = QDateTime::currentDateTimeUtc();
    if (changed) {
        events.publish(HttpApi::event("board", HttpApi::boardJson(view.state)));
    } else {
        events.publish(HttpApi::event(
            "read", {{QStringLiteral("id"), view.state.id},
                     {QStringLiteral("read_at"), view.state.readAt.toString(Qt::ISODateWithMs)}}));
    }
}

void HttpServer::Private::onAvailability(View &view, bool online, const QString &reason)
{
    std::lock_guard lock(mutex);
    view.state.online = online;
    view.state.offlineReason = reason;
    events.publish(HttpApi::event("board", HttpApi::boardJson(view.state)));
}

void HttpServer::Private::onFinished(View &view, const BoardResult &result)
{
    std::lock_guard lock(mutex);
    const auto found = pending.find(result.id);
    if (found != pending.end()) {
        found->second->set_value(result);
        pending.erase(found);
        return;
    }
    // A pulse's end, or a request whose client stopped waiting: nobody asks any more, so the
    // pages are told.
    if (!result.ok())
        events.publish(HttpApi::event("error", {{QStringLiteral("id"), view.state.id},
                                                {QStringLiteral("error"), result.message}}));
}
