#include "pacedwait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

void pacedWait(int milliseconds)
{
    if (milliseconds <= 0)
        return;

    // A monotonic deadline, and a sleep in the event loop rather than a spin: the wait costs no
    // processor time, and the board's side of a pty on the same machine keeps its share.
    const QDeadlineTimer deadline(milliseconds, Qt::PreciseTimer);
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        if (!wake.isActive()) {
            const qint64 remainingNs = deadline.remainingTimeNSecs();
            wake.start(static_cast<int>((remainingNs + 999'999) / 1'000'000));
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}
