#include "serialdevice.h"

#include "comportpath.h"

#include <QFile>
#include <QFileInfo>

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
