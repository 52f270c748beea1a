#pragma once

#include "relayprotocol.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct PortInfo;

// Every line the program prints, built whole before it is written.
namespace Output {

// "1:on 2:off ... 16:off"
QByteArray statusText(const RelayState &state);
// {"port":"COM1","device":"/dev/ttyUSB0","relays":[true,false,...]}; port is null for --device.
QByteArray statusJson(const QString &port, const QString &device, const RelayState &state);
// The same, with "time" first, for watch.
QByteArray watchText(const QString &time, const RelayState &state);
QByteArray watchJson(const QString &time, const QString &port, const QString &device,
                     const RelayState &state);
// {"port":"COM1","device":"/dev/ttyUSB0","reply":"<81>@","hex":"8140"} for send.
QByteArray replyJson(const QString &port, const QString &device, const QByteArray &reply);
QByteArray portsText(const QList<PortInfo> &ports);
QByteArray portsJson(const QList<PortInfo> &ports);

// Writes the bytes to standard output at once (adding nothing). False when they could not all be
// written: the error is then reported on standard error (not when the reader is gone, as for
// `| head`), and writeFailure() gives the exit status.
bool print(const QByteArray &bytes);
// 1 for a write error (a full disk, a closed descriptor), 128 + SIGPIPE when the reader is gone.
int writeFailure();
// print(), as an exit status: 0 when all was written, writeFailure() otherwise.
int printed(const QByteArray &bytes);
// "usb16relay-ctl: message" on standard error.
void printError(const QString &message);
// "+12.345 ms > 61 73 6B 2F 2F  ask//" on standard error: a byte sent (>) or received (<).
void printTrace(qint64 microseconds, bool sent, const QByteArray &bytes);
// "+12.345 ms > PUT /api/v1/boards/b/relays/5 {...}": a request to usb16relayd (>) or its answer.
void printTraceLine(qint64 microseconds, bool sent, const QByteArray &line);

} // namespace Output
