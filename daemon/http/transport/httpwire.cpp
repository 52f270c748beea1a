#include "httpwire.h"

#include <QFile>

#include <algorithm>
#include <map>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>

namespace HttpWire {

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

} // namespace HttpWire
