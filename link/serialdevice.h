#pragma once

#include <QSerialPort>
#include <QString>

// What the window's link and the command-line client share about serial devices: how a port is
// named in messages, why it would not open, and whether its line was hung up.
namespace SerialDevice {

// "COM3 (/dev/ttyUSB2)", or through a link "COM3 (/tmp/ports/COM3 → /dev/pts/4)".
QString describeComPort(int n);

// Why QSerialPort could not open `device`, and what to do about it; the advice ends with
// "then <retry>." ("press Connect", "try again").
QString openFailure(const QString &what, const QString &device, QSerialPort::SerialPortError error,
                    const QString &reason, const QString &retry);

// An unplugged adapter or a closed pty hangs the line up: reads then return nothing forever and
// the terminal calls fail.
bool hungUp(int fd);

} // namespace SerialDevice
