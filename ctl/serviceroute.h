#pragma once

#include "commandline.h"

#include <QByteArray>
#include <QString>

class ServiceClient;

// usb16relay-ctl's commands on a board usb16relayd serves, sent through the service's socket:
// the service's board owner switches, verifies, keeps interlocks and ends pulses; this prints
// what it answered, as the direct route prints what the board answered.
namespace ServiceRoute {

// Runs the command on `board`; the exit status. `portName` and `device` are what --json names,
// as the direct route would (empty: taken from the service's own word for the board).
int run(const CommandLine &request, ServiceClient &client, const QString &board, QString portName,
        QString device);

// The service's boards for `ports`: lines, or JSON objects to append to the ports' array
// (without brackets); empty when the service cannot be reached.
QByteArray boardsText(ServiceClient &client);
QByteArray boardsJson(ServiceClient &client);

} // namespace ServiceRoute
