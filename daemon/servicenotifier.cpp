#include "servicenotifier.h"

#include "log.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <ctime>

ServiceNotifier::ServiceNotifier(QObject *parent) : QObject(parent)
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        m_watchdog.setInterval(std::chrono::milliseconds(std::max<uint64_t>(usec / 2000, 1)));
        connect(&m_watchdog, &QTimer::timeout, this, [this] { notify("WATCHDOG=1"); });
    }
}

void ServiceNotifier::ready(const QString &status)
{
    notify("READY=1\nSTATUS=" + status.toUtf8());
    if (m_watchdog.interval() > 0 && !m_watchdog.isActive()) {
        notify("WATCHDOG=1");
        m_watchdog.start();
    }
}

void ServiceNotifier::stopping()
{
    notify("STOPPING=1");
}

void ServiceNotifier::reloading()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const quint64 usec = quint64(now.tv_sec) * 1000000u + quint64(now.tv_nsec) / 1000u;
    notify("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

void ServiceNotifier::notify(const QByteArray &message)
{
    const int result = sd_notify(0, message.constData());
    if (result < 0)
        Log::warning(QStringLiteral("cannot tell systemd \"%1\": %2")
                         .arg(QString::fromUtf8(message.split('\n').constFirst()),
                              QString::fromLocal8Bit(strerror(-result))));
}
