#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// The one signal self-pipe of every program: a handler writes the signal's number into it
// (keeping errno, which the interrupted code may be about to read), and the program reads it
// where it is safe to act.
namespace SignalPipe {

// Makes the pipe, non-blocking and closed on exec; once. False when it cannot be made.
bool open();
// The end to read or watch; -1 before open().
int readEnd();
// From a signal handler: async-signal-safe.
void forward(int signal);

} // namespace SignalPipe

// Signals as a Qt signal on the event loop, through SignalPipe, so that a program acts on them
// between steps: the service still switches a pulse back, the simulated board removes its link.
class SignalWatcher final : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    // False when one of the signals cannot be caught.
    bool install(std::initializer_list<int> caught);

signals:
    void signalReceived(int signal);

private:
    void handleReadable();

    QSocketNotifier *m_notifier = nullptr;
};
