#include "shownprobe.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <ctime>

ShownProbe::ShownProbe(QObject *parent) : QObject(parent)
{
    QCoreApplication::instance()->installEventFilter(this);
}

bool ShownProbe::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_seen && event->type() == QEvent::Expose && watched->isWindowType()) {
        if (static_cast<QWindow *>(watched)->isExposed()) {
            m_seen = true;
            // Runs after the expose has been handled, that is after the first frame.
            QTimer::singleShot(0, this, &ShownProbe::report);
        }
    }
    return QObject::eventFilter(watched, event);
}

void ShownProbe::report()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::fprintf(stderr, "usb16relay-shown %.3f\n",
                 double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6);
    std::fflush(stderr);
    QCoreApplication::quit();
}
