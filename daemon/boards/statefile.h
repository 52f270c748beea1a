#pragma once

#include "config.h"

#include <QString>

#include <optional>

// A board's last verified state on disk, so that on_connect = restore can bring it back after a
// restart or a power cut. Written whole or not at all (a temporary file, fsync, rename, the
// directory's fsync); believed only from a regular file of this service's user, writable by no
// one else, naming the same board on the same device.
namespace StateFile {

// "<state directory>/<board id>.state"; empty when the board has no state directory.
QString pathFor(const BoardConfig &board);
// Nothing when there is no file, or with `warning` saying why the one there is not believed.
std::optional<quint16> read(const BoardConfig &board, QString *warning);
bool write(const BoardConfig &board, quint16 state, QString *error);

} // namespace StateFile
