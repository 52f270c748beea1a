#include "linesettings.h"

#include <QStringList>

#include <algorithm>
#include <utility>

std::optional<LineSettings> LineSettings::parse(const QString &text, QString *why)
{
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4) {
        *why = QStringLiteral("expected four fields: baud, parity, data bits, stop bits");
        return std::nullopt;
    }
    LineSettings line;
    bool ok = false;
    line.baudRate = fields[0].trimmed().toInt(&ok);
    if (!ok || line.baudRate <= 0) {
        *why = QStringLiteral("the baud rate must be a positive whole number");
        return std::nullopt;
    }
    static const std::pair<QLatin1Char, QSerialPort::Parity> parities[] = {
        {QLatin1Char('N'), QSerialPort::NoParity},    {QLatin1Char('E'), QSerialPort::EvenParity},
        {QLatin1Char('O'), QSerialPort::OddParity},   {QLatin1Char('M'), QSerialPort::MarkParity},
        {QLatin1Char('S'), QSerialPort::SpaceParity},
    };
    const QString p = fields[1].trimmed().toUpper();
    const auto found = std::find_if(std::begin(parities), std::end(parities), [&p](const auto &e) {
        return p.size() == 1 && p.at(0) == e.first;
    });
    if (found == std::end(parities)) {
        *why = QStringLiteral("the parity must be N, E, O, M or S");
        return std::nullopt;
    }
    line.parity = found->second;
    const int bits = fields[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8) {
        *why = QStringLiteral("the data bits must be 5, 6, 7 or 8");
        return std::nullopt;
    }
    line.dataBits = static_cast<QSerialPort::DataBits>(bits);
    const QString stop = fields[3].trimmed();
    if (stop == QLatin1String("1")) {
        line.stopBits = QSerialPort::OneStop;
    } else if (stop == QLatin1String("1.5")) {
        line.stopBits = QSerialPort::OneAndHalfStop;
    } else if (stop == QLatin1String("2")) {
        line.stopBits = QSerialPort::TwoStop;
    } else {
        *why = QStringLiteral("the stop bits must be 1, 1.5 or 2");
        return std::nullopt;
    }
    return line;
}
