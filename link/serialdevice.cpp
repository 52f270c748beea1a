#include "serialdevice.h"

#include "comportpath.h"

#include <QFile>
#include <QFileInfo>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Qt's lock file for a port names the program holding it: its process id, then its name.
QString holderOf(const QString &device)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(u'/', u'_');
    for (const char *dir : {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks",
                            "/var/spool/uucp", "/tmp", "/var/tmp"}) {
        QFile file(QString::fromLatin1(dir) + QStringLiteral("/LCK..") + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.read(4096).split('\n');
        bool ok = false;
        const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
        if (!ok || pid <= 0)
            continue;
        const QString program = QString::fromUtf8(lines.value(1).trimmed());
        return QStringLiteral("%1 (pid %2)")
            .arg(program.isEmpty() ? QStringLiteral("a program") : program)
            .arg(pid);
    }
    return {};
}

} // namespace

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
        if (const QString holder = holderOf(device); !holder.isEmpty())
            return QStringLiteral("Cannot open %1: the port is busy, held by %2. Another program "
                                  "holds it as long as it runs; close that program, then %3.")
                .arg(what, holder, retry);
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

bool hungUp(int fd)
{
    pollfd line{fd, POLLIN, 0};
    if (::poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return true;
    termios settings{};
    return ::tcgetattr(fd, &settings) != 0;
}

} // namespace SerialDevice
