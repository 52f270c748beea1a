#include "modcom.h"

#include "comportpath.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool ComPortExists(const qint16 &n)
{
    const QString path = ComPortPath::devicePath(n);
    if (path.isEmpty())
        return false;
    const QByteArray native = QFile::encodeName(path);

    struct stat info
    {
    };
    if (::stat(native.constData(), &info) != 0 || !S_ISCHR(info.st_mode))
        return false;

    // Read-only and non-blocking: no waiting for carrier, no controlling terminal.
    const int fd = ::open(native.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES || errno == EPERM || errno == EBUSY;
    const bool serial = ::isatty(fd) == 1; // not /dev/null or another character device
    ::close(fd);
    return serial;
}

std::optional<int> lowestComPort()
{
    for (qint16 n = 1; n <= 16; ++n) {
        if (ComPortExists(n))
            return n;
    }
    return std::nullopt;
}
