#pragma once

#include <QString>

// Where "COM n" lives on this computer. With USB16RELAY_PORT_DIR set, COM n is that directory's
// entry "COM<n>" (a device node or a symbolic link to one); otherwise COM1..COM8 are
// /dev/ttyUSB0..7 and COM9..COM16 are /dev/ttyACM0..7.
namespace ComPortPath {

constexpr const char *kPortDirVariable = "USB16RELAY_PORT_DIR";

// Empty when no device stands for COM n.
QString devicePath(int n);

// One sentence on how COM numbers map to devices, for error messages.
QString mappingHint();

} // namespace ComPortPath
