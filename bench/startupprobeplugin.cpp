#include "startupprobeplugin.h"

#include "shownprobe.h"

QObject *StartupProbePlugin::create(const QString &name, const QString &spec)
{
    Q_UNUSED(spec);
    return name == QLatin1String("usb16relay-startup") ? new ShownProbe : nullptr;
}
