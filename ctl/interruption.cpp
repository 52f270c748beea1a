#include "interruption.h"

#include "signalwatcher.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace Interruption {

namespace {

constexpr std::array kSignals = {SIGHUP,  SIGINT,  SIGQUIT, SIGUSR1,
                                 SIGUSR2, SIGALRM, SIGPIPE, SIGTERM};

// Read by the handler: written only while the signals are blocked.
volatile sig_atomic_t holding = 0;
bool stopIsSuccess = false;
char afterText[1024] = {};
char lockFile[4096] = {};

int caught = 0;

void writeText(const char *text)
{
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text, std::strlen(text));
}

// Only async-signal-safe calls here: write, unlink, _exit.
void handleSignal(int signal)
{
    if (holding) {
        SignalPipe::forward(signal);
        return;
    }
    if (lockFile[0] != '\0')
        ::unlink(lockFile);
    if (signal != SIGPIPE && afterText[0] != '\0') {
        writeText("usb16relay-ctl: stopped by ");
        writeText(signalName(signal));
        writeText(" ");
        writeText(afterText);
        writeText("\n");
    }
    ::_exit(stopIsSuccess && (signal == SIGINT || signal == SIGTERM) ? 0 : 128 + signal);
}

// Runs `change` with every caught signal blocked, so that the handler never sees it half done.
template <typename Change> void changeSafely(Change change)
{
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    for (const int signal : kSignals)
        sigaddset(&blocked, signal);
    ::sigprocmask(SIG_BLOCK, &blocked, &previous);
    change();
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void drain()
{
    char bytes[16];
    ssize_t count = 0;
    while ((count = ::read(SignalPipe::readEnd(), bytes, sizeof bytes)) > 0) {
        if (caught == 0)
            caught = bytes[0];
    }
}

void copy(char *into, std::size_t size, const QByteArray &text)
{
    const std::size_t length = std::min(size - 1, std::size_t(text.size()));
    std::memcpy(into, text.constData(), length);
    into[length] = '\0';
}

} // namespace

const char *signalName(int signal)
{
    switch (signal) {
    case SIGHUP:
        return "SIGHUP";
    case SIGINT:
        return "SIGINT";
    case SIGQUIT:
        return "SIGQUIT";
    case SIGUSR1:
        return "SIGUSR1";
    case SIGUSR2:
        return "SIGUSR2";
    case SIGALRM:
        return "SIGALRM";
    case SIGPIPE:
        return "SIGPIPE";
    case SIGTERM:
        return "SIGTERM";
    default:
        return "a signal";
    }
}

bool catchSignals()
{
    if (SignalPipe::readEnd() >= 0)
        return true;
    if (!SignalPipe::open())
        return false;
    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : kSignals)
        sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    for (const int signal : kSignals) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    return true;
}

void endAtOnce(const QString &after, bool stopSucceeds)
{
    const QByteArray text = after.toUtf8();
    changeSafely([&] {
        copy(afterText, sizeof afterText, text);
        stopIsSuccess = stopSucceeds;
        holding = 0;
    });
}

void setLockFile(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    changeSafely([&] { copy(lockFile, sizeof lockFile, name); });
}

void holdSignals()
{
    changeSafely([] { holding = 1; });
}

int pending()
{
    if (SignalPipe::readEnd() >= 0)
        drain();
    return caught;
}

Wake sleep(std::chrono::milliseconds length, int output)
{
    const QDeadlineTimer deadline(length, Qt::PreciseTimer);
    for (;;) {
        if (pending() != 0)
            return Wake::Signal;
        // No events asked of the output: poll reports its errors and hang-ups all the same.
        pollfd watched[2] = {{SignalPipe::readEnd(), POLLIN, 0}, {output, 0, 0}};
        const int count = ::poll(watched, output >= 0 ? 2 : 1, int(deadline.remainingTime()));
        if (count < 0 && errno != EINTR)
            return Wake::TimeUp;
        if (output >= 0 && (watched[1].revents & (POLLERR | POLLHUP | POLLNVAL)))
            return Wake::OutputGone;
        if (count == 0 || deadline.hasExpired())
            return pending() != 0 ? Wake::Signal : Wake::TimeUp;
    }
}

int holdFor(std::chrono::milliseconds length, const std::function<bool()> &stillThere)
{
    constexpr std::chrono::milliseconds kStep{100};
    QElapsedTimer held;
    held.start();
    int signal = 0;
    while (signal == 0) {
        const auto left = length - std::chrono::milliseconds(held.elapsed());
        if (left <= std::chrono::milliseconds::zero())
            break;
        if (sleep(std::min(left, kStep)) == Wake::Signal)
            signal = pending();
        if (stillThere && !stillThere())
            return -1;
    }
    return signal;
}

} // namespace Interruption
