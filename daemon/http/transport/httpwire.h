#pragma once

#include "httptransport.h"

#include <QByteArray>
#include <QString>

#include <sys/socket.h>

// What the transport says and reads on the wire, and who is at the other end: small pure
// helpers of its own.
namespace HttpWire {

const char *reasonPhrase(int status);
// The status line and headers of an answer.
QByteArray head(const HttpResponse &response, bool close, bool chunked, qsizetype length);
// Where the head ends (the blank line's start) and the blank line's length; -1 before then. A
// line may end in CRLF or in LF alone.
qsizetype headEnd(const QByteArray &in, qsizetype *blank);
// One address's share of the connections: an IPv4 address, or an IPv6 one's /64.
QByteArray addressKey(const sockaddr_storage &address);
QString addressText(const sockaddr_storage &address);
// A Unix socket's client as the kernel vouches for it: "alice (usb16relay-ctl, pid 1234)".
QString unixPeer(int fd);
// This machine's own clients: the Unix socket and loopback.
bool isLocal(const sockaddr_storage &address, const QByteArray &key);

} // namespace HttpWire
