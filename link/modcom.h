#pragma once

#include <QtGlobal>

#include <optional>

// True when COM n has a serial device on this computer. The device is opened for a query only
// and closed at once. A device that exists but is forbidden to us or held by another program
// counts as present, so that connecting to it can tell the operator why it fails.
bool ComPortExists(const qint16 &n);

// The lowest COM number that exists: the port a program takes when none is named.
std::optional<int> lowestComPort();
