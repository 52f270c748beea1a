#pragma once

#include "httprequest.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

struct HttpResponse
{
    int status = 200;
    QByteArray contentType;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // An endless body (the event stream), sent in chunks: each call gives what comes next, an
    // empty array to send nothing yet, nothing once it has ended. `streamEnded` runs after it.
    std::function<std::optional<QByteArray>()> stream;
    std::function<void()> streamEnded;

    void setHeader(const QByteArray &name, const QByteArray &value);
};

// The HTTP front's connections. One thread reads every connection without ever blocking on
// one: it accepts, reads each request's head and body against deadlines, and answers by itself
// whatever never needs a board (malformed, too long, too slow, over capacity). A request read
// whole goes to a thread of its own, at most `maxClients` at once; its connection comes back
// for the next request once answered, so pipelined requests are answered in order.
class HttpThreads final
{
public:
    struct Limits
    {
        int maxClients = 64;      // requests served at once; event streams count
        int maxConnections = 512; // connections held open, idle or being read
        int maxPerAddress = 384;  // of those, from one address
        qsizetype maxHead = 8192; // request line and headers
        qsizetype maxBody = 4096;
        std::chrono::milliseconds headDeadline{5000}; // from the first byte to the blank line
        std::chrono::milliseconds bodyDeadline{5000};
        std::chrono::milliseconds idleDeadline{5000}; // between requests on one connection
        std::chrono::milliseconds writeDeadline{5000};
    };

    // Runs on the reading thread once the head is read, before the body: false refuses the
    // request with `response`. Headers it sets stay on the answer when it admits.
    using Admit = std::function<bool(const HttpRequest &, HttpResponse &response)>;
    // Runs on the request's own thread.
    using Handle = std::function<void(const HttpRequest &, HttpResponse &response)>;

    HttpThreads(const Limits &limits, Admit admit, Handle handle);
    ~HttpThreads();

    // The port bound (the one asked for, or a free one for 0), or 0 with `error` set.
    quint16 bind(const QString &address, quint16 port, QString *error);
    // Serves a socket already listening (a Unix socket), which it then owns.
    void adopt(int listener);
    void start();
    // Closes every connection, waits for the requests' threads and ends. Whatever a handler
    // still waits for must have been answered first.
    void stop();

    // The limits' words, for the 503 of a full service.
    static QString busyMessage(const Limits &limits);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
