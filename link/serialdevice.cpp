#include "serialdevice.h"

#include "comportpath.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <poll.h>
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

std::optional<PortHolder> holder(const QString &device)
{
    QFile lock(lockFilePath(device));
    if (lock.fileName().isEmpty() || !lock.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = lock.read(4096).split('\n');
    bool ok = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno != EPERM))
        return std::nullopt;

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
        owner.program = QString::fromUtf8(lines.value(1).trimmed()); // Qt writes its name there
    return owner;
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
