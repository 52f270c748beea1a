#pragma once

#include <QGenericPlugin>

// Loaded into the measured program through QT_QPA_GENERIC_PLUGINS=usb16relay-startup.
class StartupProbePlugin final : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "startupprobe.json")

public:
    QObject *create(const QString &name, const QString &parameters) override;
};
