#pragma once

#include <QString>

#include <optional>

// What is known about COM n: where it leads, what Qt Serial Port's port information says about
// the device behind it, and whether it can be opened now.
struct PortInfo
{
    enum class Access { Unknown, Free, Busy, Forbidden };

    int number = 0;
    QString name;   // "COM1"
    QString path;   // the COM table's entry: /dev/ttyUSB0, or $USB16RELAY_PORT_DIR/COM1
    QString device; // the device the entry leads to (the link's target), when it exists
    bool exists = false;
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId;
    std::optional<quint16> productId;
    Access access = Access::Unknown;

    // Looks COM n up. With probeAccess, the device is opened for a moment to learn whether
    // another program holds it (Qt's lock file, or an exclusive open).
    static PortInfo of(int n, bool probeAccess = true);

    // "COM1: /dev/ttyUSB0 — USB Serial (1234:5678), serial A1B2C3"; ", busy" when held.
    QString summary() const;
    // "1234:5678", empty when unknown.
    QString usbId() const;
};
