// LineSettings::parse on any text.

#include "fuzzcheck.h"
#include "linesettings.h"

#include <QString>

#include <cstddef>
#include <cstdint>

namespace {

bool same(const LineSettings &a, const LineSettings &b)
{
    return a.baudRate == b.baudRate && a.parity == b.parity && a.dataBits == b.dataBits &&
           a.stopBits == b.stopBits;
}

QString written(const LineSettings &line)
{
    const char parity = line.parity == QSerialPort::NoParity     ? 'N'
                        : line.parity == QSerialPort::EvenParity ? 'E'
                        : line.parity == QSerialPort::OddParity  ? 'O'
                        : line.parity == QSerialPort::MarkParity ? 'M'
                                                                 : 'S';
    const char *stop = line.stopBits == QSerialPort::OneStop          ? "1"
                       : line.stopBits == QSerialPort::OneAndHalfStop ? "1.5"
                                                                      : "2";
    return QStringLiteral("%1,%2,%3,%4")
        .arg(line.baudRate)
        .arg(QLatin1Char(parity))
        .arg(int(line.dataBits))
        .arg(QLatin1String(stop));
}

void check(const QString &text)
{
    QString why;
    const std::optional<LineSettings> line = LineSettings::parse(text, &why);
    if (!line) {
        fuzzCheck(!why.isEmpty(), "a refusal says why");
        fuzzCheck(!LineSettings::parse(text, &why), "a refused text stays refused");
        return;
    }
    fuzzCheck(why.isEmpty(), "an accepted text leaves the reason alone");
    fuzzCheck(text.count(QLatin1Char(',')) == 3, "four fields");
    fuzzCheck(line->baudRate > 0, "a positive baud rate");
    fuzzCheck(line->dataBits >= QSerialPort::Data5 && line->dataBits <= QSerialPort::Data8,
              "5 to 8 data bits");
    fuzzCheck(line->parity == QSerialPort::NoParity || line->parity == QSerialPort::EvenParity ||
                  line->parity == QSerialPort::OddParity ||
                  line->parity == QSerialPort::MarkParity ||
                  line->parity == QSerialPort::SpaceParity,
              "a known parity");
    fuzzCheck(line->stopBits == QSerialPort::OneStop ||
                  line->stopBits == QSerialPort::OneAndHalfStop ||
                  line->stopBits == QSerialPort::TwoStop,
              "a known number of stop bits");

    const std::optional<LineSettings> again = LineSettings::parse(text, &why);
    fuzzCheck(again && same(*again, *line), "the same text parses the same way twice");
    const std::optional<LineSettings> canonical = LineSettings::parse(written(*line), &why);
    fuzzCheck(canonical && same(*canonical, *line), "the settings written out parse back");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    check(QString::fromUtf8(bytes));
    check(QString::fromLatin1(bytes));
    return 0;
}
