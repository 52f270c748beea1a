#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <variant>

// One request as read from a connection: the head parsed and checked, the body whole.
struct HttpRequest
{
    QByteArray method;
    QByteArray version;                           // "HTTP/1.1" or "HTTP/1.0"
    QString path;                                 // percent-decoded, without the query
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;

    QByteArray header(const char *lowerName) const;
    bool hasHeader(const char *lowerName) const;
};

struct HttpHeadLimits
{
    qsizetype maxHead = 8192; // request line and headers, without the blank line
    qsizetype maxBody = 4096; // as announced by Content-Length
};

// A head read and checked; its body, `bodyLength` bytes, is still to be read.
struct HttpHead
{
    HttpRequest request;
    qsizetype bodyLength = 0;
    bool closeAfter = false; // HTTP/1.0, or Connection: close
};

// A head answered at once with this status (4xx or 5xx) and these words.
struct HttpRefusal
{
    int status = 400;
    QString message;
};

// The request line and headers up to the blank line that ends them (included or not), with no
// I/O: one Host at most, one Content-Length value, no chunked body, no control characters, a
// path that starts with "/" and holds no control character once percent-decoded.
std::variant<HttpHead, HttpRefusal> parseRequestHead(const QByteArray &head,
                                                     const HttpHeadLimits &limits);
