#include "httpserver.h"

#include "board.h"
#include "httpaccess.h"
#include "httpapi.h"
#include "httpevents.h"
#include "httpthreads.h"
#include "log.h"
#include "relaymask.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds kKeepAliveEvery{5000};
constexpr std::chrono::seconds kAnswerBound{60};

QByteArray resource(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void answer(HttpResponse &response, const HttpApi::Reply &reply)
{
    response.status = reply.status;
    if (!reply.allow.isEmpty())
        response.setHeader("Allow", reply.allow);
    response.setHeader("Cache-Control", "no-store");
    response.body = reply.body;
    response.contentType = reply.contentType;
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
    QByteArray icon;
    HttpEvents events;
    std::unique_ptr<HttpThreads> connections;
    std::unique_ptr<HttpThreads> local; // on the Unix socket
    int localListener = -1;
    bool tcp = true;
    int port = 0;

    std::mutex mutex; // guards views' states, pending and nextId
    std::map<quint64, std::shared_ptr<std::promise<BoardResult>>> pending;
    quint64 nextId = 1;
    std::map<quint64, HttpApi::BoardView> finishedViews; // the board as its request left it
    // Microseconds since the epoch at the start, then one more for every state: later states
    // carry larger numbers, even after a restart.
    quint64 sequence = quint64(QDateTime::currentMSecsSinceEpoch()) * 1000;

    bool admit(const HttpRequest &request, HttpResponse &response, bool trusted);
    void route(const HttpRequest &request, HttpResponse &response);
    void streamEvents(HttpResponse &response);
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
        view.state.where = board->config().where();
        view.state.names = board->config().relayNames;
        view.state.offlineReason = QStringLiteral("not read yet");
        view.state.interlocks = board->config().interlocks;
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
    if (d->localListener >= 0)
        ::close(d->localListener);
}

void HttpServer::serveLocal(int listener, bool tcp)
{
    d->localListener = listener;
    d->tcp = tcp;
}

bool HttpServer::start(QString *error)
{
    const HttpConfig &config = d->config;
    if (d->tcp && !HttpAccess::listenAllowed(config.address, config.tokenFile, error))
        return false;
    if (d->tcp && !config.tokenFile.isEmpty() &&
        !HttpAccess::readTokenFile(config.tokenFile, &d->token, error))
        return false;
    d->page = resource(QStringLiteral(":/web/index.html"));
    d->script = resource(QStringLiteral(":/web/app.js"));
    d->style = resource(QStringLiteral(":/web/style.css"));

    d->icon = resource(QStringLiteral(":/web/favicon.svg"));

    HttpThreads::Limits limits;
    limits.maxClients = HttpApi::kMaxClients;
    limits.maxHead = HttpApi::kMaxHeaders;
    limits.maxBody = HttpApi::kMaxBody;
    const auto threads = [this, &limits](bool trusted) {
        return std::make_unique<HttpThreads>(
            limits,
            [this, trusted](const HttpRequest &request, HttpResponse &response) {
                return d->admit(request, response, trusted);
            },
            [this](const HttpRequest &request, HttpResponse &response) {
                d->route(request, response);
            });
    };
    if (d->localListener >= 0) {
        d->local = threads(true);
        d->local->adopt(d->localListener);
        d->localListener = -1;
        d->local->start();
    }
    if (!d->tcp)
        return true;
    d->connections = threads(false);
    QString reason;
    d->port = d->connections->bind(config.address, quint16(config.port), &reason);
    if (d->port <= 0) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3; choose another address or port "
                                "with --http or listen in [http]")
                     .arg(config.address)
                     .arg(config.port)
                     .arg(reason);
        return false;
    }
    d->connections->start();
    return true;
}

void HttpServer::stop()
{
    if (!d->connections && !d->local)
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
    for (auto *threads : {&d->connections, &d->local}) {
        if (*threads)
            (*threads)->stop();
        threads->reset();
    }
}

QString HttpServer::url() const
{
    const bool v6 = QHostAddress(d->config.address).protocol() == QAbstractSocket::IPv6Protocol;
    return QStringLiteral("http://%1:%2/")
        .arg(v6 ? QStringLiteral("[%1]").arg(d->config.address) : d->config.address)
        .arg(d->port);
}

bool HttpServer::Private::admit(const HttpRequest &request, HttpResponse &response, bool trusted)
{
    const auto refuse = [&response](const HttpApi::Reply &reply) {
        answer(response, reply);
        return false;
    };
    // Without a token only this machine may call: a page elsewhere that names this machine
    // under another host name (DNS rebinding) is turned away.
    const QString host = hostOf(request.header("host"));
    if (token.isEmpty() && host != u"localhost" && !QHostAddress(host).isLoopback())
        return refuse(
            HttpApi::error(403, QStringLiteral("this service answers only to 127.0.0.1 or "
                                               "localhost without a token; \"%1\" is "
                                               "neither. Set token_file to reach it by name")
                                    .arg(host)));
    const QByteArray origin = request.header("origin");
    const QByteArray own = "http://" + request.header("host");
    const bool allowedOrigin =
        !config.allowOrigin.isEmpty() && origin == config.allowOrigin.toUtf8();
    if (!origin.isEmpty() && origin != own && !allowedOrigin)
        return refuse(HttpApi::error(403, QStringLiteral("pages from %1 may not use this "
                                                         "service; add allow_origin = %1 to "
                                                         "[http] to let them")
                                              .arg(QString::fromUtf8(origin))));
    if (allowedOrigin) {
        response.setHeader("Access-Control-Allow-Origin", origin);
        response.setHeader("Vary", "Origin");
        if (request.method == "OPTIONS")
            return true; // the preflight itself carries no token
    }
    // On the Unix socket, the socket's permissions stand for the token.
    if (!trusted && !token.isEmpty() && HttpApi::needsToken(request.path) &&
        !HttpAccess::authorizes(token, request.header("authorization"))) {
        response.setHeader("WWW-Authenticate", "Bearer");
        return refuse(HttpApi::error(401, QStringLiteral("this service needs its token: send "
                                                         "the header Authorization: Bearer "
                                                         "TOKEN, with the token from the file "
                                                         "named by token_file")));
    }
    return true;
}

void HttpServer::Private::route(const HttpRequest &request, HttpResponse &response)
{
    const QString &path = request.path;
    const QByteArray &method = request.method;
    if (method == "OPTIONS" && !config.allowOrigin.isEmpty() &&
        request.header("origin") == config.allowOrigin.toUtf8()) {
        response.status = 204;
        response.setHeader("Access-Control-Allow-Methods", "GET, HEAD, PUT, POST");
        response.setHeader("Access-Control-Allow-Headers", "Authorization, Content-Type");
        response.setHeader("Access-Control-Max-Age", "600");
        return;
    }
    // HEAD is GET without the body, which the connection leaves out.
    const HttpApi::Parsed parsed = HttpApi::parse(
        method == "HEAD" ? QByteArrayLiteral("GET") : method, path, request.body, ids);
    if (parsed.reply) {
        answer(response, *parsed.reply);
        return;
    }
    const auto staticFile = [&](const QByteArray &content, const char *type) {
        response.setHeader("Cache-Control", "no-cache");
        response.setHeader("Content-Security-Policy",
                           "default-src 'none'; script-src 'self'; style-src 'self'; "
                           "connect-src 'self'; img-src 'self'; frame-ancestors 'none'; "
                           "base-uri 'none'; form-action 'none'");
        response.setHeader("Referrer-Policy", "no-referrer");
        response.body = content;
        response.contentType = type;
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
    case HttpApi::Endpoint::Icon:
        staticFile(icon, "image/svg+xml");
        return;
    case HttpApi::Endpoint::Boards: {
        QList<HttpApi::BoardView> all;
        {
            std::lock_guard lock(mutex);
            for (const View &view : std::as_const(views))
                all.append(view.state);
        }
        response.setHeader("Cache-Control", "no-store");
        response.body = HttpApi::boardsJson(all);
        response.contentType = "application/json";
        return;
    }
    case HttpApi::Endpoint::Board: {
        HttpApi::BoardView one;
        {
            std::lock_guard lock(mutex);
            one = viewOf(parsed.board)->state;
        }
        response.setHeader("Cache-Control", "no-store");
        response.body = QJsonDocument(HttpApi::boardJson(one)).toJson(QJsonDocument::Compact);
        response.contentType = "application/json";
        return;
    }
    case HttpApi::Endpoint::Events:
        if (method == "HEAD") {
            response.contentType = "text/event-stream";
            response.setHeader("Cache-Control", "no-store");
        } else {
            streamEvents(response);
        }
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

void HttpServer::Private::streamEvents(HttpResponse &response)
{
    HttpEvents::Handle subscriber;
    {
        std::lock_guard lock(mutex); // no change slips between the first states and the rest
        subscriber = events.subscribe("retry: 1000\n\n" + everything());
    }
    response.contentType = "text/event-stream";
    response.setHeader("Cache-Control", "no-store");
    response.setHeader("X-Accel-Buffering", "no");
    response.stream = [this, subscriber]() -> std::optional<QByteArray> {
        const std::optional<QByteArray> next = events.next(subscriber, kKeepAliveEvery);
        if (!next)
            return std::nullopt;
        // A comment every few seconds finds the clients that have gone.
        return next->isEmpty() ? QByteArray(": still here\n\n") : *next;
    };
    response.streamEnded = [this, subscriber] {
        events.unsubscribe(subscriber);
    };
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
    HttpApi::BoardView answered;
    {
        std::lock_guard lock(mutex);
        const auto found = finishedViews.find(request.id);
        answered = found != finishedViews.end() ? found->second : view->state;
        if (found != finishedViews.end())
            finishedViews.erase(found);
    }
    if (!result.ok()) {
        Log::warning(QStringLiteral("HTTP request on %1 failed: %2").arg(board, result.message));
        return HttpApi::error(HttpApi::statusOf(result.error), result.message);
    }
    // Exactly what the board reported for this request, numbered as the read that brought it,
    // so that a page keeps whatever it learnt since.
    answered.state = result.state;
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
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (view.state.state) {
        for (const int relay : (RelayMask(*view.state.state) ^ RelayMask(state)).relays())
            view.state.changedAt[size_t(relay - 1)] = now;
    }
    view.state.state = state;
    view.state.readAt = now;
    view.state.seq = ++sequence;
    if (changed) {
        events.publish(HttpApi::event("board", HttpApi::boardJson(view.state)));
    } else {
        events.publish(HttpApi::event(
            "read", {{QStringLiteral("id"), view.state.id},
                     {QStringLiteral("seq"), qint64(view.state.seq)},
                     {QStringLiteral("read_at"), view.state.readAt.toString(Qt::ISODateWithMs)}}));
    }
}

void HttpServer::Private::onAvailability(View &view, bool online, const QString &reason)
{
    std::lock_guard lock(mutex);
    view.state.online = online;
    view.state.offlineReason = reason;
    view.state.seq = ++sequence;
    events.publish(HttpApi::event("board", HttpApi::boardJson(view.state)));
}

void HttpServer::Private::onFinished(View &view, const BoardResult &result)
{
    std::lock_guard lock(mutex);
    const auto found = pending.find(result.id);
    if (found != pending.end()) {
        finishedViews[result.id] = view.state;
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
