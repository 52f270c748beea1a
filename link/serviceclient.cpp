#include "serviceclient.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Waits for `events` on `fd` until the deadline; false at the deadline.
bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd one = {fd, events, 0};
        const qint64 left = deadline.remainingTime();
        const int ready = ::poll(&one, 1, int(std::min<qint64>(left, 60000)));
        if (ready > 0)
            return true;
        if (ready == 0 && deadline.hasExpired())
            return false;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

QJsonObject ServiceClient::Answer::json() const
{
    return QJsonDocument::fromJson(body).object();
}

QString ServiceClient::Answer::error() const
{
    const QString text = json().value(QLatin1String("error")).toString();
    return text.isEmpty() ? QStringLiteral("HTTP status %1").arg(status) : text;
}

// The socket may sit in a place others can write to: what answers there is believed only when it
// runs as root (systemd's socket), as this user, or as the owner of a directory that only its
// owner may change (the service's own runtime directory).
bool ServiceClient::trusted(int fd)
{
    ucred peer = {};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        m_error = QStringLiteral("cannot tell who serves %1: %2")
                      .arg(m_socket, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (peer.uid == 0 || peer.uid == ::geteuid())
        return true;
    struct stat directory = {};
    const QByteArray parent = QFile::encodeName(QFileInfo(m_socket).absolutePath());
    if (::lstat(parent.constData(), &directory) == 0 && S_ISDIR(directory.st_mode) &&
        !(directory.st_mode & (S_IWGRP | S_IWOTH)) && directory.st_uid == peer.uid)
        return true;
    m_error = QStringLiteral("%1 is served by user %2, who is neither root, you, nor the owner "
                             "of its directory; not trusting it, nothing was sent")
                  .arg(m_socket)
                  .arg(peer.uid);
    return false;
}

int ServiceClient::connectTrusted(bool waitForRoom)
{
    m_reachable = false;
    m_problem = Problem::None;
    const QByteArray name = QFile::encodeName(m_socket);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (name.size() >= qsizetype(sizeof address.sun_path)) {
        m_error = QStringLiteral("the socket path %1 is too long").arg(m_socket);
        m_problem = Problem::NotServed;
        return -1;
    }
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int fd =
        ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (waitForRoom ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int why = errno;
        m_error = QStringLiteral("cannot reach usb16relayd at %1: %2%3")
                      .arg(m_socket, QString::fromLocal8Bit(std::strerror(why)),
                           why == EACCES ? QStringLiteral(" (its users are the socket's group, "
                                                          "such as dialout)")
                                         : QString());
        // A full backlog (EAGAIN) is a service too busy to take one more client.
        m_problem = why == EACCES || why == EPERM ? Problem::NoPermission
                    : why == EAGAIN               ? Problem::NoAnswer
                                                  : Problem::NotServed;
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    if (!trusted(fd)) {
        m_problem = Problem::Untrusted;
        ::close(fd);
        return -1;
    }
    m_reachable = true;
    return fd;
}

QByteArray ServiceClient::requestBytes(const QByteArray &method, const QString &path,
                                       const QByteArray &body, bool stream) const
{
    const QByteArray target = QUrl::toPercentEncoding(path, "/");
    QByteArray out = method + ' ' + target + (stream ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n") +
                     "Host: localhost\r\nConnection: close\r\n";
    if (!body.isEmpty())
        out +=
            "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n";
    out += "\r\n" + body;
    if (m_trace)
        m_trace(true, method + ' ' + target + (body.isEmpty() ? QByteArray() : ' ' + body));
    return out;
}

std::optional<std::pair<int, qsizetype>> ServiceClient::head(const QByteArray &in)
{
    const qsizetype end = in.indexOf("\r\n\r\n");
    const QList<QByteArray> status = in.left(in.indexOf("\r\n")).split(' ');
    if (end < 0 || status.size() < 2 || !status.at(0).startsWith("HTTP/1."))
        return std::nullopt;
    return std::make_pair(status.at(1).toInt(), end + 4);
}

std::optional<ServiceClient::Answer> ServiceClient::answerOf(const QByteArray &in,
                                                             std::chrono::milliseconds bound)
{
    const auto found = head(in);
    if (!found) {
        m_error = QStringLiteral("usb16relayd gave no whole answer at %1 within %2 ms")
                      .arg(m_socket)
                      .arg(bound.count());
        m_problem = Problem::NoAnswer;
        return std::nullopt;
    }
    Answer answer;
    answer.status = found->first;
    answer.body = in.mid(found->second);
    if (m_trace)
        m_trace(false, QByteArray::number(answer.status) + ' ' + answer.body);
    return answer;
}

std::optional<ServiceClient::Answer> ServiceClient::request(const QByteArray &method,
                                                            const QString &path,
                                                            const QByteArray &body,
                                                            std::chrono::milliseconds bound)
{
    const QDeadlineTimer deadline(bound);
    const int fd = connectTrusted(true);
    if (fd < 0)
        return std::nullopt;
    const QByteArray out = requestBytes(method, path, body);
    qsizetype sent = 0;
    QByteArray in;
    bool whole = false;
    while (sent < out.size()) {
        const ssize_t wrote = ::send(fd, out.constData() + sent, size_t(out.size() - sent),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote > 0) {
            sent += wrote;
        } else if ((wrote < 0 && errno != EAGAIN && errno != EINTR) ||
                   !waitFor(fd, POLLOUT, deadline)) {
            break;
        }
    }
    while (sent == out.size() && in.size() < kMaxAnswer) {
        if (!waitFor(fd, POLLIN, deadline))
            break;
        char buffer[16384];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0) {
            whole = true;
            break;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (got > 0)
            in.append(buffer, got);
    }
    ::close(fd);
    return answerOf(whole ? in : QByteArray(), bound);
}
