#pragma once

#include <chrono>

// SIGINT and SIGTERM, caught through a pipe so that they are handled between steps instead of
// killing the program midway (a pulse must still switch its relay back).
namespace Interruption {

// From now on the two signals no longer end the program; false when they cannot be caught.
bool catchSignals();

// Waits for the given time or until a signal came (also one that came before the call).
// Returns the signal's number, or 0 when the time ran out. Needs a QCoreApplication.
int sleep(std::chrono::milliseconds length);

// The signal caught so far without sleeping, or 0.
int pending();

} // namespace Interruption
