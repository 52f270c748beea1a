#include "portinfo.h"

#include "comportpath.h"
#include "modcom.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStringList>

#include <unistd.h>

namespace {

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

PortInfo::Access probe(const QString &device)
{
    QSerialPort port(device);
    if (port.open(QIODevice::ReadOnly)) {
        port.close();
        return PortInfo::Access::Free;
    }
    if (port.error() != QSerialPort::PermissionError)
        return PortInfo::Access::Unknown;
    // Qt reports a held lock and a refused open alike; only the file's mode tells them apart.
    return ::access(QFile::encodeName(device).constData(), R_OK | W_OK) == 0
               ? PortInfo::Access::Busy
               : PortInfo::Access::Forbidden;
}

} // namespace

PortInfo PortInfo::of(int n, bool probeAccess)
{
    PortInfo info;
    info.number = n;
    info.name = QStringLiteral("COM%1").arg(n);
    info.path = ComPortPath::devicePath(n);
    info.exists = ComPortExists(qint16(n));
    if (!info.exists)
        return info;
    info.device = QFileInfo(info.path).canonicalFilePath();

    const QList<QSerialPortInfo> known = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : known) {
        if (QFileInfo(port.systemLocation()).canonicalFilePath() != info.device)
            continue;
        info.description = port.description();
        info.manufacturer = port.manufacturer();
        info.serialNumber = port.serialNumber();
        if (port.hasVendorIdentifier())
            info.vendorId = port.vendorIdentifier();
        if (port.hasProductIdentifier())
            info.productId = port.productIdentifier();
        break;
    }
    if (probeAccess)
        info.access = probe(info.device);
    return info;
}

QString PortInfo::usbId() const
{
    if (!vendorId || !productId)
        return {};
    return hex4(*vendorId) + QLatin1Char(':') + hex4(*productId);
}

QString PortInfo::summary() const
{
    QString text = name + QStringLiteral(": ") + path;
    if (exists && device != path)
        text += QStringLiteral(" \u2192 ") + device;
    if (!exists)
        return text + QStringLiteral(" (no device)");

    QStringList identity;
    if (!usbId().isEmpty())
        identity.append(usbId());
    if (!serialNumber.isEmpty())
        identity.append(QStringLiteral("serial ") + serialNumber);
    QStringList names;
    if (!description.isEmpty())
        names.append(description);
    if (!manufacturer.isEmpty() && manufacturer != description)
        names.append(manufacturer);
    QString what = names.join(QStringLiteral(", "));
    if (!identity.isEmpty())
        what += (what.isEmpty() ? QString() : QStringLiteral(" ")) + QLatin1Char('(') +
                identity.join(QStringLiteral(", ")) + QLatin1Char(')');
    if (!what.isEmpty())
        text += QStringLiteral(" \u2014 ") + what;
    if (access == Access::Busy)
        text += QStringLiteral(", busy");
    else if (access == Access::Forbidden)
        text += QStringLiteral(", no permission");
    return text;
}
