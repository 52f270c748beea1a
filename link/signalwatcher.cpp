#include "signalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};

extern "C" void onSignal(int signal)
{
    SignalPipe::forward(signal);
}

} // namespace

namespace SignalPipe {

bool open()
{
    return g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) == 0;
}

int readEnd()
{
    return g_pipe[0];
}

void forward(int signal)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace SignalPipe

SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent) {}

SignalWatcher::~SignalWatcher() = default;

bool SignalWatcher::install(std::initializer_list<int> caught)
{
    if (!SignalPipe::open())
        return false;
    m_notifier = new QSocketNotifier(SignalPipe::readEnd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::handleReadable);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : caught) {
        if (sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    return true;
}

void SignalWatcher::handleReadable()
{
    unsigned char byte = 0;
    while (::read(SignalPipe::readEnd(), &byte, 1) == 1)
        emit signalReceived(byte);
}
