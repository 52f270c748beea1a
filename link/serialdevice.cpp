#include "serialdevice.h"

#include "comportpath.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace SerialDevice {

QString describeComPort(int n)
{
    const QString name = QStringLiteral("COM%1").arg(n);
    const QString path = ComPortPath::devicePath(n);
    if (path.isEmpty())
        return name;
    const QFileInfo info(path);
    if (info.isSymLink() && info.exists())
        return QStringLiteral("%1 (%2 \u2192 %3)").arg(name, path, info.canonicalFilePath());
    return QStringLiteral("%1 (%2)").arg(name, path);
}

QString openFailure(const QString &what, const QString &device, QSerialPort::SerialPortError error,
                    const QString &reason, const QString &retry)
{
    switch (error) {
    case QSerialPort::PermissionError:
        // Qt reports a port held by another program (its lock file) as a permission error too.
        if (::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0)
            return QStringLiteral("Cannot open %1: permission denied. Add your user to the dialout "
                                  "group (sudo usermod -aG dialout $USER), log out and back in, "
                                  "then %2.")
                .arg(what, retry);
        if (const std::optional<PortHolder> owner = holder(device)) {
            const QString name =
                owner->program.isEmpty() ? QStringLiteral("another program") : owner->program;
            return QStringLiteral("Cannot open %1: the port is busy, held by %2 (pid %3); close "
                                  "that program, then %4.")
                .arg(what, name)
                .arg(owner->pid)
                .arg(retry);
        }
        if (const QString stale = staleLock(device); !stale.isEmpty())
            return QStringLiteral("Cannot open %1: %2, then %3.").arg(what, stale, retry);
        return QStringLiteral("Cannot open %1: the port is busy. Another program holds it (another "
                              "usb16relay window, a terminal program); close that program, then "
                              "%2.")
            .arg(what, retry);
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("Cannot open %1: the device is gone (%2). Check that the board is "
                              "plugged in, then %3.")
            .arg(what, reason, retry);
    default:
        return QStringLiteral("Cannot open %1: %2. Is it a serial port?").arg(what, reason);
    }
}

QString lockFilePath(const QString &device)
{
    // Qt's naming: the path without "/dev/", every '/' made '_', in the first lock directory.
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.prepend(QLatin1String("/LCK.."));
    static const char *const directories[] = {
        "/var/lock", "/etc/locks", "/var/spool/locks",  "/var/spool/uucp",
        "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock",
    };
    for (const char *directory : directories) {
        const QString path = QLatin1String(directory) + name;
        if (QFileInfo::exists(path))
            return path;
    }
    return {};
}

namespace {

constexpr qint64 kMaxLock = 4096;

struct LockFile
{
    QString path;
    struct stat st
    {
    };
    qint64 pid = 0;
    QByteArray name; // the second line: the program Qt writes there
};

// Read from a shared directory: without blocking or following links, a small regular file only.
std::optional<LockFile> readLock(const QString &device)
{
    LockFile lock;
    lock.path = lockFilePath(device);
    if (lock.path.isEmpty())
        return std::nullopt;
    const QFileInfo where(lock.path);
    const int directory =
        ::open(QFile::encodeName(where.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return std::nullopt;
    const int fd = ::openat(directory, QFile::encodeName(where.fileName()).constData(),
                            O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    ::close(directory);
    if (fd < 0)
        return std::nullopt;
    char buffer[256];
    ssize_t count = -1;
    if (::fstat(fd, &lock.st) == 0 && S_ISREG(lock.st.st_mode) && lock.st.st_size <= kMaxLock)
        count = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (count <= 0)
        return std::nullopt;
    const QList<QByteArray> lines = QByteArray(buffer, int(count)).split('\n');
    bool ok = false;
    lock.pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || lock.pid <= 0)
        return std::nullopt;
    lock.name = lines.value(1).trimmed();
    return lock;
}

enum class Holding { Yes, No, CannotTell };

// Whether process `pid` has the device open, as far as /proc shows.
Holding holds(qint64 pid, const struct stat &device)
{
    const QByteArray fds = "/proc/" + QByteArray::number(pid) + "/fd";
    DIR *dir = ::opendir(fds.constData());
    if (!dir)
        return errno == ENOENT ? Holding::No : Holding::CannotTell;
    Holding found = Holding::No;
    while (const dirent *entry = ::readdir(dir)) {
        struct stat target
        {
        };
        if (entry->d_name[0] != '.' &&
            ::stat((fds + '/' + entry->d_name).constData(), &target) == 0 &&
            S_ISCHR(target.st_mode) && target.st_rdev == device.st_rdev) {
            found = Holding::Yes;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

QString userName(uid_t uid)
{
    if (const passwd *user = ::getpwuid(uid))
        return QString::fromLocal8Bit(user->pw_name);
    return QStringLiteral("uid %1").arg(uid);
}

// Empty when the lock's process holds the device (or cannot be told not to); else why not.
QString notHeldBecause(const LockFile &lock, const QString &device)
{
    if (::kill(pid_t(lock.pid), 0) != 0 && errno != EPERM)
        return QStringLiteral("which is not running (a program killed without letting the port "
                              "go leaves its lock)");
    struct stat process
    {
    };
    if (::stat(QByteArray("/proc/" + QByteArray::number(lock.pid)).constData(), &process) == 0 &&
        process.st_uid != lock.st.st_uid)
        return QStringLiteral("a process of %1, not of the lock's owner")
            .arg(userName(process.st_uid));
    struct stat node
    {
    };
    if (::stat(QFile::encodeName(device).constData(), &node) == 0 &&
        holds(lock.pid, node) == Holding::No)
        return QStringLiteral("which does not have the device open");
    return {};
}

} // namespace

std::optional<PortHolder> holder(const QString &device)
{
    const std::optional<LockFile> lock = readLock(device);
    if (!lock || !notHeldBecause(*lock, device).isEmpty())
        return std::nullopt;
    const qint64 pid = lock->pid;

    PortHolder owner;
    owner.pid = pid;
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (commandLine.open(QIODevice::ReadOnly)) {
        const QByteArray program = commandLine.read(4096).split('\0').value(0);
        owner.program = QFileInfo(QFile::decodeName(program)).fileName();
    }
    if (owner.program.isEmpty()) {
        QFile name(QStringLiteral("/proc/%1/comm").arg(pid));
        if (name.open(QIODevice::ReadOnly))
            owner.program = QString::fromUtf8(name.readAll().trimmed());
    }
    if (owner.program.isEmpty())
        owner.program = QString::fromUtf8(lock->name); // Qt writes its name there
    return owner;
}

QString staleLock(const QString &device)
{
    const std::optional<LockFile> lock = readLock(device);
    if (!lock)
        return {};
    const QString why = notHeldBecause(*lock, device);
    if (why.isEmpty())
        return {};
    const QString owner = userName(lock->st.st_uid);
    QString remove = QStringLiteral("rm %1").arg(lock->path);
    if (lock->st.st_uid != ::geteuid())
        remove = (lock->st.st_uid == 0 ? QStringLiteral("root can: sudo ")
                                       : QStringLiteral("%1 or root can: sudo ").arg(owner)) +
                 remove;
    return QStringLiteral("the lock file %1 (owned by %2) names process %3, %4, so nothing holds "
                          "the port but the lock is in the way. Remove it (%5)")
        .arg(lock->path, owner)
        .arg(lock->pid)
        .arg(why, remove);
}

std::optional<std::chrono::milliseconds> adapterLatency(const QString &device, int fd,
                                                        const QString &sysfsRoot)
{
    struct stat node
    {
    };
    if (::fstat(fd, &node) == 0 && S_ISCHR(node.st_mode) && major(node.st_rdev) >= 136 &&
        major(node.st_rdev) <= 143)
        return std::nullopt; // Unix 98 pty slaves
    const QString name = QFileInfo(device).fileName();
    QFile timer(QStringLiteral("%1/class/tty/%2/device/latency_timer").arg(sysfsRoot, name));
    if (timer.open(QIODevice::ReadOnly)) {
        bool known = false;
        const int latency = timer.read(16).trimmed().toInt(&known);
        if (known && latency >= 0)
            return std::chrono::milliseconds(latency);
    }
    const bool usb =
        name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM"));
    return usb ? std::chrono::milliseconds(16) : std::chrono::milliseconds(0);
}

bool requestLowLatency(int fd)
{
    serial_struct line{};
    if (::ioctl(fd, TIOCGSERIAL, &line) != 0 || (line.flags & ASYNC_LOW_LATENCY))
        return false;
    line.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &line) == 0;
}

void endLowLatency(int fd)
{
    serial_struct line{};
    if (::ioctl(fd, TIOCGSERIAL, &line) == 0 && (line.flags & ASYNC_LOW_LATENCY)) {
        line.flags &= ~ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &line);
    }
}

std::chrono::milliseconds answerGuard(std::optional<std::chrono::milliseconds> latency, int baud)
{
    constexpr std::chrono::milliseconds kMargin{2};
    if (!latency)
        return kMargin;
    // Ten bits a byte: start, eight data bits, stop.
    const auto twoBytes = std::chrono::microseconds(2 * 10 * 1000000LL / std::max(1, baud));
    return kMargin + *latency + std::chrono::ceil<std::chrono::milliseconds>(twoBytes);
}

bool hungUp(int fd)
{
    pollfd line{fd, POLLIN, 0};
    if (::poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return true;
    termios settings{};
    return ::tcgetattr(fd, &settings) != 0;
}

} // namespace SerialDevice
