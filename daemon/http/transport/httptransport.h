#pragma once

#include "httplimits.h"
#include "httprequest.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

struct HttpResponse
{
    int status = 200;
    QByteArray contentType;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    void setHeader(const QByteArray &name, const QByteArray &value);
    bool hasHeader(const QByteArray &name) const;
};

// An endless answer's way in, from any thread: what send() gives goes out as the next chunk.
class HttpStream final
{
public:
    // False once the stream has ended: the client went or fell too far behind, or the service
    // stops. Never blocks.
    bool send(const QByteArray &bytes);
    bool ended() const;

private:
    friend class HttpTransport;
    friend class HttpResponder;
    HttpStream(std::function<void()> wake, qsizetype maxUnsent);
    // What was sent since the last call; `ended` once the stream has ended, `overflowed` when
    // the service gave more than the client took.
    QByteArray take(bool *ended, bool *overflowed);
    void end();

    const std::function<void()> m_wake;
    const qsizetype m_maxUnsent;
    mutable std::mutex m_mutex;
    QByteArray m_pending;
    bool m_ended = false;
    bool m_overflowed = false;
};

// How one request is answered: once, from any thread, now or later.
class HttpResponder final
{
public:
    void answer(HttpResponse response) const;
    // Starts an endless answer with `head`'s status and headers; `keepAlive` goes out whenever it
    // has been quiet for a while, so that clients that went are found. An ended stream when the
    // transport serves its most streams already (it answers 503 itself) or stops.
    std::shared_ptr<HttpStream> stream(HttpResponse head, const QByteArray &keepAlive) const;

private:
    friend class HttpTransport;
    struct Exchange;

    std::shared_ptr<Exchange> m_exchange;
};

// HTTP/1.1 connections on one listening socket, all on one thread that never blocks on a client:
// it accepts, reads each request's head and body against deadlines, hands the request to
// `handle` and writes whatever answer comes back, whenever and from whichever thread it comes.
// Idle connections, requests waiting for a board and event streams hold no thread of their own.
// It knows no route and no body of its own: a refusal's words go through `refusal`.
class HttpTransport final
{
public:
    // On the reading thread once the head is read, before the body: false refuses the request
    // with `response`. Headers it sets stay on the answer when it admits.
    using Admit = std::function<bool(const HttpRequest &, HttpResponse &response)>;
    // On the reading thread: must return at once, answering through the responder now or later.
    using Handle = std::function<void(const HttpRequest &, const HttpResponder &)>;
    using Refusal = std::function<HttpResponse(int status, const QString &message)>;
    // On the reading thread as it ends on a fault: nothing is served any more.
    using Failed = std::function<void(const QString &reason)>;

    HttpTransport(const HttpLimits &limits, Refusal refusal, Admit admit, Handle handle,
                  Failed failed);
    ~HttpTransport();

    // The port bound (the one asked for, or a free one for 0), or 0 with `error` set.
    quint16 bind(const QString &address, quint16 port, QString *error);
    // Serves a socket already listening (a Unix socket), which it then owns.
    void adopt(int listener);
    bool start(QString *error);
    // Writes the answers already given, ends the streams and closes every connection.
    void stop();

private:
    struct Private;
    std::shared_ptr<Private> d;
};
