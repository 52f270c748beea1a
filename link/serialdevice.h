#pragma once

#include <QSerialPort>
#include <QString>

#include <chrono>
#include <optional>

// What the window's link and the command-line client share about serial devices: how a port is
// named in messages, why it would not open, and whether its line was hung up.
namespace SerialDevice {

// "COM3 (/dev/ttyUSB2)", or through a link "COM3 (/tmp/ports/COM3 → /dev/pts/4)".
QString describeComPort(int n);

// Why QSerialPort could not open `device`, and what to do about it; the advice ends with
// "then <retry>." ("press Connect", "try again").
QString openFailure(const QString &what, const QString &device, QSerialPort::SerialPortError error,
                    const QString &reason, const QString &retry);

// The program that holds `device` through a lock file in the system's lock directory (the UUCP
// convention Qt follows: /var/lock/LCK..ttyUSB0, its first line the holder's pid).
struct PortHolder
{
    qint64 pid = 0;
    QString program; // "usb16relay-ctl", or empty when the system does not say
};
// Nothing when no lock file names a running process that holds the device: where /proc shows
// the process's descriptors, one of them must be the device, and the lock file must belong to
// the process's user (a lock planted by another user, or left by a killed program, is no holder).
std::optional<PortHolder> holder(const QString &device);
// A lock file that names no holder of the device: why, and what to do about it ("Remove it ...").
// Empty when there is no such lock.
QString staleLock(const QString &device);
// Where Qt's lock for `device` is while it is held, or empty when there is none.
QString lockFilePath(const QString &device);

// An unplugged adapter or a closed pty hangs the line up: reads then return nothing forever and
// the terminal calls fail.
bool hungUp(int fd);

// How long the adapter behind `device` (open as `fd`) may hold received bytes: its latency timer
// as sysfs under `sysfsRoot` shows it (FTDI adapters do), else 16 ms for another USB adapter and
// 0 for a built-in UART. Nothing for a pty, which has neither a wire nor an adapter.
std::optional<std::chrono::milliseconds>
adapterLatency(const QString &device, int fd, const QString &sysfsRoot = QStringLiteral("/sys"));
// Asks the driver to hand on received bytes at once (ASYNC_LOW_LATENCY, which FTDI adapters
// take as a 1 ms latency timer). True when it was set here, to be put back with endLowLatency()
// before the port closes; false, with nothing changed, where the driver has no such setting (a
// pty), refuses it or has it already.
bool requestLowLatency(int fd);
void endLowLatency(int fd);

// The silence after the last byte read that shows nothing more is on its way: two bytes at
// `baud`, the adapter's latency and 2 ms for the scheduler; on a pty (no latency), the 2 ms.
std::chrono::milliseconds answerGuard(std::optional<std::chrono::milliseconds> latency, int baud);

} // namespace SerialDevice
