#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>

// Every signal that would end the program (SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
// SIGPIPE, SIGTERM), caught so that the program decides how it ends. Two ways:
// - ending at once: the handler itself removes the port's lock file, says what was left undone
//   and exits with 128 + the signal, even in the middle of a wait for the board (nothing waits
//   for a timeout after Ctrl-C);
// - holding: the signal is only noted, for a pulse that must switch its relay back first.
namespace Interruption {

enum class Wake {
    TimeUp,
    Signal,
    OutputGone, // the watched descriptor reports an error or a hang-up: its reader left
};

// From now on the signals end the program at once; false when they cannot be caught.
bool catchSignals();

// How ending at once ends: "usb16relay-ctl: stopped by SIGINT <after>" on standard error (none
// when `after` is empty, and never for SIGPIPE, whose reader is gone). With `stopSucceeds`,
// SIGINT and SIGTERM end with status 0 (the way to stop watch).
void endAtOnce(const QString &after, bool stopSucceeds = false);
// The lock file the handler removes, once the port is open.
void setLockFile(const QString &path);
// From now on signals are noted for the caller (pending(), sleep()) instead of ending at once.
void holdSignals();

// "SIGINT" for SIGINT, and so on for the signals caught.
const char *signalName(int signal);

// The first signal noted while holding, or 0.
int pending();

// Waits for the given time, or until a signal is noted while holding, or until `output` (when
// not -1) reports that its reader is gone.
Wake sleep(std::chrono::milliseconds length, int output = -1);

// Holds a pulse for `length`, in steps of at most 100 ms so that `stillThere` (when given) can
// end it early by saying false. The signal that ended it, 0 when it ran out, -1 when
// `stillThere` ended it.
int holdFor(std::chrono::milliseconds length, const std::function<bool()> &stillThere = {});

} // namespace Interruption
