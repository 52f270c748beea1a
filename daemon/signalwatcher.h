#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// SIGTERM and SIGINT as a Qt signal on the event loop (through a pipe the handler writes), so
// that the service stops between steps: a pulse is still switched back.
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
