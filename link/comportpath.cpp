#include "comportpath.h"

#include <QDir>

namespace ComPortPath {

QString devicePath(int n)
{
    const QString dir = qEnvironmentVariable(kPortDirVariable);
    if (!dir.isEmpty())
        return n >= 1 && n <= 16 ? QDir(dir).filePath(QStringLiteral("COM%1").arg(n)) : QString();
    if (n >= 1 && n <= 8)
        return QStringLiteral("/dev/ttyUSB%1").arg(n - 1);
    if (n >= 9 && n <= 16)
        return QStringLiteral("/dev/ttyACM%1").arg(n - 9);
    return {};
}

QString mappingHint()
{
    const QString dir = qEnvironmentVariable(kPortDirVariable);
    if (!dir.isEmpty())
        return QStringLiteral("Ports are COM1 to COM16, found in %1 (%2).")
            .arg(dir, kPortDirVariable);
    return QStringLiteral("Ports are COM1 to COM16: COM1 to COM8 are /dev/ttyUSB0 to /dev/ttyUSB7, "
                          "COM9 to COM16 are /dev/ttyACM0 to /dev/ttyACM7.");
}

} // namespace ComPortPath
