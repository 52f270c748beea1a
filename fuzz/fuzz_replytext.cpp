// ReplyText::display on any bytes, ReplyText::firstUnsendable on the same bytes read as UTF-16
// and as Latin-1.

#include "fuzzcheck.h"
#include "replytext.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// Reads the display form back into bytes; fails on anything display cannot have written.
QByteArray parseDisplay(const QString &text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != QLatin1Char('<')) {
            bytes += char(text.at(i).unicode());
            continue;
        }
        fuzzCheck(i + 3 < text.size() && text.at(i + 3) == QLatin1Char('>'),
                  "'<' opens a <HH> escape");
        const int high = hexValue(text.at(i + 1));
        const int low = hexValue(text.at(i + 2));
        fuzzCheck(high >= 0 && low >= 0, "escapes hold two upper-case hex digits");
        const int byte = high * 16 + low;
        fuzzCheck(byte < 0x20 || byte > 0x7E || byte == '<',
                  "only bytes with no printable form are escaped");
        bytes += char(byte);
        i += 3;
    }
    return bytes;
}

void checkDisplay(const QByteArray &bytes)
{
    const QString text = ReplyText::display(bytes);
    qsizetype plain = 0;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        plain += byte >= 0x20 && byte <= 0x7E && byte != '<';
    }
    fuzzCheck(text.size() == plain + 4 * (bytes.size() - plain),
              "one character per printable byte, four per other byte");
    for (const QChar c : text)
        fuzzCheck(c.unicode() >= 0x20 && c.unicode() <= 0x7E, "only printable ASCII shown");
    fuzzCheck(parseDisplay(text) == bytes, "the display reads back to the same bytes");
}

void checkFirstUnsendable(const QString &text)
{
    const int first = ReplyText::firstUnsendable(text);
    fuzzCheck(first >= -1 && first < text.size(), "an index into the text or -1");
    const qsizetype clean = first < 0 ? text.size() : first;
    for (qsizetype i = 0; i < clean; ++i)
        fuzzCheck(text.at(i).unicode() <= 0xFF, "everything before it has a byte");
    if (first >= 0)
        fuzzCheck(text.at(first).unicode() > 0xFF, "the character found has no byte");
    else
        fuzzCheck(QString::fromLatin1(text.toLatin1()) == text,
                  "a sendable text goes out and comes back unchanged");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    checkDisplay(bytes);

    std::vector<char16_t> units(size / 2);
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = char16_t(data[2 * i] | (data[2 * i + 1] << 8));
    checkFirstUnsendable(
        QString(reinterpret_cast<const QChar *>(units.data()), qsizetype(units.size())));

    const QString latin1 = QString::fromLatin1(bytes);
    fuzzCheck(ReplyText::firstUnsendable(latin1) == -1, "Latin-1 text is always sendable");
    checkFirstUnsendable(latin1);
    return 0;
}
