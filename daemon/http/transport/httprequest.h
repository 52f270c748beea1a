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
    // Who sent it, as the transport knows: an address, or on a Unix socket "USER (PROGRAM, pid
    // N)" from the socket's credentials.
    QString peer;

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
    bool chunked = false;    // the body comes in chunks (decodeChunkedBody) instead
    bool closeAfter = false; // HTTP/1.0, or Connection: close in any Connection header
};

// A head answered at once with this status (4xx or 5xx) and these words.
struct HttpRefusal
{
    int status = 400;
    QString message;
};

// The request line and headers up to the blank line that ends them (included or not), with no
// I/O: one Host at most, one Content-Length value or a chunked body (not both), no control
// characters, a path that starts with "/" and holds no control character once percent-decoded.
// An absolute-form target ("http://host:port/path") gives its path, and its authority stands
// for the Host header; "*" is taken for OPTIONS only.
std::variant<HttpHead, HttpRefusal> parseRequestHead(const QByteArray &head,
                                                     const HttpHeadLimits &limits);

// A chunked body decoded from what has arrived after the head: the body and how many bytes it
// took, once the last chunk and the trailers have arrived whole.
struct HttpChunkedBody
{
    QByteArray body;
    qsizetype consumed = 0;
};
struct HttpNeedMore
{
};
// Refused with 400 for a malformed chunk, 413 past `maxBody` decoded bytes (or far more bytes of
// framing than a body of that size needs).
std::variant<HttpChunkedBody, HttpNeedMore, HttpRefusal> decodeChunkedBody(const QByteArray &in,
                                                                           qsizetype maxBody);
