#pragma once

#include <QtGlobal>

// True when COM n has a serial device on this computer. The device is opened for a query only
// and closed at once. A device that exists but is forbidden to us or held by another program
// counts as present, so that connecting to it can tell the operator why it fails.
bool ComPortExists(const qint16 &n);
