#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

// The built usb16relayd as a process; its standard error kept for the test to read.
class ServiceProcess final
{
public:
    explicit ServiceProcess(
        const QStringList &arguments,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    QByteArray log();
    QProcess &process() { return m_process; }
    // Keeps the event loop turning (in-process boards answer on it) until the process ends.
    bool finish(int ms = kWait);
    // SIGTERM, then finish().
    bool stop();

    static constexpr int kWait = 10000;

private:
    QProcess m_process;
    QByteArray m_log;
};
