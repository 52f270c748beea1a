#include "startupprobeplugin.h"

#include "shownprobe.h"

QObject *StartupProbePlugin::create(const QString &name, const QString &parameters)
{
    Q_UNUSED(parameters);
    return name == QLatin1String("usb16relay-startup") ? new ShownProbe : nullptr;
}
