#include "localsocket.h"

#include "log.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool addressOf(const QByteArray &path, sockaddr_un *address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= qsizetype(sizeof address->sun_path))
        return false;
    std::memcpy(address->sun_path, path.constData(), size_t(path.size()));
    return true;
}

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Every directory on the way, not only the last: a link anywhere could lead elsewhere. A link
// only root could have made (/var/run) is followed; anyone else's is not.
bool directoriesTrusted(const QString &parent, QString *error)
{
    QString walked;
    for (const QString &part : parent.split(u'/', Qt::SkipEmptyParts)) {
        walked += u'/' + part;
        const QByteArray native = QFile::encodeName(walked);
        struct stat info = {};
        const bool rootsLink =
            ::lstat(native.constData(), &info) == 0 && S_ISLNK(info.st_mode) && info.st_uid == 0;
        const int found =
            rootsLink ? ::stat(native.constData(), &info) : ::lstat(native.constData(), &info);
        if (found != 0 || !S_ISDIR(info.st_mode)) {
            *error = QStringLiteral("%1, on the way to the socket, does not exist or is a link; "
                                    "create the directory %2 (or let systemd's "
                                    "RuntimeDirectory= do so)")
                         .arg(walked, parent);
            return false;
        }
    }
    return true;
}

// What is at the path already: nothing, or a socket of this user's that nothing answers on any
// more (removed); anything else is refused and left where it is.
bool takeOverStale(const QString &path, const sockaddr_un &address, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info = {};
    if (::lstat(name.constData(), &info) != 0)
        return true;
    if (!S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid()) {
        *error = QStringLiteral("%1 exists and is not a socket this service left; not touching "
                                "it: remove it or choose another path")
                     .arg(path);
        return false;
    }
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answered =
        ::connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    const int why = errno;
    ::close(probe);
    if (answered || why != ECONNREFUSED) {
        *error = QStringLiteral("%1 is in use by another running service; stop it, or choose "
                                "another path")
                     .arg(path);
        return false;
    }
    ::unlink(name.constData());
    return true;
}

} // namespace

LocalSocket::~LocalSocket()
{
    close();
}

bool LocalSocket::adoptFromSystemd()
{
    const int count = sd_listen_fds(1);
    for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
        if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0)
            continue;
        sockaddr_un address = {};
        socklen_t size = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
        m_fd = fd;
        m_path = QFile::decodeName(address.sun_path);
        m_created = false;
        return true;
    }
    return false;
}

bool LocalSocket::listen(const QString &path, gid_t group, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address = {};
    if (!addressOf(name, &address)) {
        *error = QStringLiteral("the socket path %1 is longer than 107 bytes").arg(path);
        return false;
    }
    if (!directoriesTrusted(QFileInfo(path).absolutePath(), error) ||
        !takeOverStale(path, address, error))
        return false;
    struct stat info = {};
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) {
        *error = lastError();
        return false;
    }
    // Made 0660 from the start: there is no moment when others could connect.
    const mode_t old = ::umask(0117);
    const int bound = ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const int why = errno;
    ::umask(old);
    if (bound != 0 || ::listen(m_fd, 128) != 0) {
        errno = bound != 0 ? why : errno;
        *error = QStringLiteral("cannot listen on %1: %2").arg(path, lastError());
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_path = path;
    m_created = true;
    if (::lstat(name.constData(), &info) == 0) {
        m_dev = info.st_dev;
        m_ino = info.st_ino;
    }
    if (group != gid_t(-1) && info.st_gid != group &&
        ::lchown(name.constData(), uid_t(-1), group) != 0)
        Log::warning(QStringLiteral("%1 keeps group %2: cannot give it group %3 (%4); only "
                                    "that group's members can use it")
                         .arg(path)
                         .arg(info.st_gid)
                         .arg(group)
                         .arg(lastError()));
    return true;
}

void LocalSocket::close()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
    struct stat info = {};
    const QByteArray name = QFile::encodeName(m_path);
    if (m_created && ::lstat(name.constData(), &info) == 0 && S_ISSOCK(info.st_mode) &&
        info.st_dev == m_dev && info.st_ino == m_ino)
        ::unlink(name.constData());
}

gid_t LocalSocket::groupFor(const QStringList &devices)
{
    for (const QString &device : devices) {
        struct stat info = {};
        if (::stat(QFile::encodeName(device).constData(), &info) == 0 && S_ISCHR(info.st_mode))
            return info.st_gid;
    }
    if (const group *dialout = ::getgrnam("dialout"))
        return dialout->gr_gid;
    return gid_t(-1);
}
