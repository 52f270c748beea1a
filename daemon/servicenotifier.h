#pragma once

#include <QObject>
#include <QTimer>

// Tells systemd where the service stands (READY, STOPPING, STATUS) and keeps its watchdog fed at
// half the interval systemd asks for. Does nothing when not run by systemd.
class ServiceNotifier final : public QObject
{
    Q_OBJECT

public:
    explicit ServiceNotifier(QObject *parent = nullptr);

    void ready(const QString &status);
    void stopping();
    // Reading the configuration again; ready() follows when it is in force.
    void reloading();

private:
    void notify(const QByteArray &message);

    QTimer m_watchdog{this};
};
