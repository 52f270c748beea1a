#pragma once

#include "relayprotocol.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <variant>

// watch, whichever way the board is read (its port, or through usb16relayd): reads every
// `interval`, prints each change with the local time, and ends on a failure, a signal or a
// reader that has gone. `read` gives the state, or the exit status that ends the watch; `line`
// what is printed for a state read at `time`. The exit status.
int watchLoop(std::chrono::milliseconds interval,
              const std::function<std::variant<RelayState, int>()> &read,
              const std::function<QByteArray(const QString &time, const RelayState &)> &line);
