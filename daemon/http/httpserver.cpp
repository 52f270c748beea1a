#include "httpserver.h"

#include "boardhub.h"
#include "httpaccess.h"
#include "httpapi.h"
#include "httpevents.h"
#include "httptransport.h"
#include "log.h"

#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>

#include <mutex>

#include <unistd.h>

namespace {

QByteArray resource(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

HttpResponse responseOf(const HttpApi::Reply &reply)
{
    HttpResponse response;
    response.status = reply.status;
    if (!reply.allow.isEmpty())
        response.setHeader("Allow", reply.allow);
    response.setHeader("Cache-Control", "no-store");
    response.body = reply.body;
    response.contentType = reply.contentType;
    return response;
}

HttpResponse errorResponse(int status, const QString &message)
{
    return responseOf(HttpApi::error(status, message));
}

HttpResponse jsonResponse(const QByteArray &json)
{
    HttpResponse response;
    response.setHeader("Cache-Control", "no-store");
    response.body = json;
    response.contentType = "application/json";
    return response;
}

HttpResponse staticFile(const QByteArray &content, const QByteArray &type)
{
    HttpResponse response;
    response.setHeader("Cache-Control", "no-cache");
    response.setHeader("Content-Security-Policy",
                       "default-src 'none'; script-src 'self'; style-src 'self'; "
                       "connect-src 'self'; img-src 'self'; frame-ancestors 'none'; "
                       "base-uri 'none'; form-action 'none'");
    response.setHeader("Referrer-Policy", "no-referrer");
    response.body = content;
    response.contentType = type;
    return response;
}

QByteArray compact(const QJsonObject &json)
{
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

} // namespace

struct HttpServer::Private
{
    HttpServer *q = nullptr;
    HttpConfig config;
    BoardHub *hub = nullptr;
    QList<BoardConfig> boards;
    QStringList ids;
    HttpAccess::Policy policy;
    QByteArray page;
    QByteArray script;
    QByteArray style;
    QByteArray icon;
    HttpEvents events;
    std::unique_ptr<HttpTransport> tcp;
    std::unique_ptr<HttpTransport> local; // on the Unix socket
    int localListener = -1;
    bool serveTcp = true;
    quint16 port = 0;

    std::mutex mutex; // guards the snapshots, and orders them with new event streams
    QHash<QString, BoardSnapshot> snapshots;

    std::unique_ptr<HttpTransport> transport(bool trusted);
    void route(const HttpRequest &request, const HttpResponder &responder, bool trusted);
    void streamEvents(const HttpRequest &request, const HttpResponder &responder);
    void perform(const QString &board, BoardRequest request, const HttpResponder &responder);
    HttpApi::BoardView view(const BoardConfig &board);
    QByteArray everything();
    void onSnapshot(const BoardSnapshot &snapshot);
    void onProblem(const QString &board, const BoardResult &result);
};

HttpServer::HttpServer(const HttpConfig &config, BoardHub *hub, QObject *parent)
    : QObject(parent), d(std::make_shared<Private>())
{
    d->q = this;
    d->config = config;
    d->hub = hub;
    d->boards = hub->configs();
    for (const BoardConfig &board : std::as_const(d->boards)) {
        d->ids.append(board.id);
        BoardSnapshot known = hub->snapshot(board.id);
        if (known.seq == 0) {
            known.board = board.id;
            known.offlineReason = QStringLiteral("not read yet");
        }
        d->snapshots.insert(board.id, known);
    }
    // Direct: these run on the boards' threads, so that the event streams learn of a read
    // without a detour through the main loop. Boards a reload keeps run on while this front is
    // made anew: what they call holds the state it needs.
    connect(
        hub, &BoardHub::snapshotTaken, this,
        [shared = d](const BoardSnapshot &snapshot) { shared->onSnapshot(snapshot); },
        Qt::DirectConnection);
    connect(
        hub, &BoardHub::problem, this,
        [shared = d](const QString &board, const BoardResult &result) {
            shared->onProblem(board, result);
        },
        Qt::DirectConnection);
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
    d->serveTcp = tcp;
}

bool HttpServer::start(QString *error)
{
    const HttpConfig &config = d->config;
    if (d->serveTcp && !HttpAccess::listenAllowed(config.address, config.tokenFile, error))
        return false;
    if (d->serveTcp && !config.tokenFile.isEmpty() &&
        !HttpAccess::readTokenFile(config.tokenFile, &d->policy.token, error))
        return false;
    d->policy.allowOrigin = config.allowOrigin;
    d->page = resource(QStringLiteral(":/web/index.html"));
    d->script = resource(QStringLiteral(":/web/app.js"));
    d->style = resource(QStringLiteral(":/web/style.css"));
    d->icon = resource(QStringLiteral(":/web/favicon.svg"));

    if (d->localListener >= 0) {
        d->local = d->transport(true);
        d->local->adopt(std::exchange(d->localListener, -1));
        if (!d->local->start(error))
            return false;
    }
    if (!d->serveTcp)
        return true;
    d->tcp = d->transport(false);
    QString reason;
    d->port = d->tcp->bind(config.address, quint16(config.port), &reason);
    if (d->port == 0) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3; choose another address or port "
                                "with --http or listen in [http]")
                     .arg(config.address)
                     .arg(config.port)
                     .arg(reason);
        return false;
    }
    return d->tcp->start(error);
}

void HttpServer::stop()
{
    d->events.close();
    for (auto *transport : {&d->tcp, &d->local}) {
        if (*transport)
            (*transport)->stop();
        transport->reset();
    }
}

QString HttpServer::url() const
{
    const bool v6 = QHostAddress(d->config.address).protocol() == QAbstractSocket::IPv6Protocol;
    return QStringLiteral("http://%1:%2/")
        .arg(v6 ? QStringLiteral("[%1]").arg(d->config.address) : d->config.address)
        .arg(d->port);
}

std::unique_ptr<HttpTransport> HttpServer::Private::transport(bool trusted)
{
    HttpAccess::Policy access = policy;
    access.trusted = trusted;
    return std::make_unique<HttpTransport>(
        HttpLimits{}, errorResponse,
        [access](const HttpRequest &request, HttpResponse &response) {
            const auto refusal =
                HttpAccess::admit(access, request, HttpApi::needsToken(request.path), response);
            if (!refusal)
                return true;
            HttpResponse refused = errorResponse(refusal->status, refusal->message);
            for (const auto &[name, value] : std::as_const(response.headers))
                refused.setHeader(name, value);
            response = refused;
            return false;
        },
        [this, access](const HttpRequest &request, const HttpResponder &responder) {
            HttpResponse preflight;
            if (HttpAccess::answerPreflight(access, request, preflight)) {
                responder.answer(preflight);
                return;
            }
            route(request, responder, access.trusted);
        },
        [this](const QString &reason) { emit q->failed(reason); });
}

void HttpServer::Private::route(const HttpRequest &request, const HttpResponder &responder,
                                bool trusted)
{
    if (request.path == u"*") { // OPTIONS *, the server as a whole
        HttpResponse methods;
        methods.status = 204;
        methods.setHeader("Allow", "GET, HEAD, PUT, POST, OPTIONS");
        responder.answer(methods);
        return;
    }
    // HEAD is GET without the body, which the transport leaves out.
    const QByteArray method = request.method == "HEAD" ? QByteArrayLiteral("GET") : request.method;
    const HttpApi::Parsed parsed = HttpApi::parse(method, request.path, request.body, ids);
    if (parsed.reply) {
        responder.answer(responseOf(*parsed.reply));
        return;
    }
    switch (parsed.endpoint) {
    case HttpApi::Endpoint::Page:
        responder.answer(staticFile(page, "text/html; charset=utf-8"));
        return;
    case HttpApi::Endpoint::Script:
        responder.answer(staticFile(script, "text/javascript; charset=utf-8"));
        return;
    case HttpApi::Endpoint::Style:
        responder.answer(staticFile(style, "text/css; charset=utf-8"));
        return;
    case HttpApi::Endpoint::Icon:
        responder.answer(staticFile(icon, "image/svg+xml"));
        return;
    case HttpApi::Endpoint::Boards: {
        QList<HttpApi::BoardView> all;
        for (const BoardConfig &board : std::as_const(boards))
            all.append(view(board));
        responder.answer(jsonResponse(HttpApi::boardsJson(all)));
        return;
    }
    case HttpApi::Endpoint::Board:
        for (const BoardConfig &board : std::as_const(boards)) {
            if (board.id == parsed.board)
                responder.answer(jsonResponse(compact(HttpApi::boardJson(view(board)))));
        }
        return;
    case HttpApi::Endpoint::Events:
        streamEvents(request, responder);
        return;
    default: {
        BoardRequest asked = *parsed.request;
        asked.source =
            (trusted ? QStringLiteral("socket: ") : QStringLiteral("http: ")) + request.peer;
        perform(parsed.board, asked, responder);
        return;
    }
    }
}

void HttpServer::Private::streamEvents(const HttpRequest &request, const HttpResponder &responder)
{
    HttpResponse head;
    head.contentType = "text/event-stream";
    head.setHeader("Cache-Control", "no-store");
    if (request.method == "HEAD") {
        responder.answer(head);
        return;
    }
    head.setHeader("X-Accel-Buffering", "no");
    // A comment every few seconds finds the clients that have gone.
    const std::shared_ptr<HttpStream> stream = responder.stream(head, ": still here\n\n");
    std::lock_guard lock(mutex); // no change slips between the first states and the rest
    events.subscribe(stream, "retry: 1000\n\n" + everything());
}

void HttpServer::Private::perform(const QString &board, BoardRequest request,
                                  const HttpResponder &responder)
{
    BoardConfig config;
    for (const BoardConfig &each : std::as_const(boards)) {
        if (each.id == board)
            config = each;
    }
    // On the board's thread, or at once when it is refused before being queued.
    request.reply = [responder, config](const BoardResult &result) {
        if (!result.ok()) {
            Log::warning(
                QStringLiteral("HTTP request on %1 failed: %2").arg(config.id, result.message));
            responder.answer(errorResponse(HttpApi::statusOf(result.error), result.message));
            return;
        }
        // Exactly what the board reported for this request, numbered as the read that brought
        // it, so that a page keeps whatever it learnt since.
        HttpApi::BoardView answered = HttpApi::viewOf(config, result.snapshot);
        answered.state = result.state;
        responder.answer(jsonResponse(compact(HttpApi::boardJson(answered))));
    };
    hub->submit(board, std::move(request));
}

HttpApi::BoardView HttpServer::Private::view(const BoardConfig &board)
{
    std::lock_guard lock(mutex);
    return HttpApi::viewOf(board, snapshots.value(board.id));
}

QByteArray HttpServer::Private::everything()
{
    QByteArray all;
    for (const BoardConfig &board : std::as_const(boards))
        all += HttpApi::event(
            "board", HttpApi::boardJson(HttpApi::viewOf(board, snapshots.value(board.id))));
    return all;
}

void HttpServer::Private::onSnapshot(const BoardSnapshot &snapshot)
{
    const auto config = std::find_if(boards.cbegin(), boards.cend(),
                                     [&snapshot](const auto &b) { return b.id == snapshot.board; });
    if (config == boards.cend())
        return;
    std::lock_guard lock(mutex);
    BoardSnapshot &known = snapshots[snapshot.board];
    if (snapshot.seq < known.seq)
        return;
    const bool changed = known.state != snapshot.state || known.online != snapshot.online ||
                         known.offlineReason != snapshot.offlineReason ||
                         known.overdue != snapshot.overdue;
    known = snapshot;
    if (changed) {
        events.publish(
            HttpApi::event("board", HttpApi::boardJson(HttpApi::viewOf(*config, known))));
        return;
    }
    events.publish(HttpApi::event(
        "read", {{QStringLiteral("id"), snapshot.board},
                 {QStringLiteral("seq"), qint64(snapshot.seq)},
                 {QStringLiteral("read_at"), snapshot.readAt.toString(Qt::ISODateWithMs)}}));
}

// A pulse's end or a restore that failed: nobody asks any more, so the pages are told.
void HttpServer::Private::onProblem(const QString &board, const BoardResult &result)
{
    if (!result.ok())
        events.publish(HttpApi::event(
            "error", {{QStringLiteral("id"), board}, {QStringLiteral("error"), result.message}}));
}
