#include "relaymask.h"

#include <QStringList>

namespace {

std::optional<int> hexDigit(QChar c)
{
    if (c >= u'0' && c <= u'9')
        return c.unicode() - u'0';
    if (c >= u'a' && c <= u'f')
        return c.unicode() - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c.unicode() - u'A' + 10;
    return std::nullopt;
}

} // namespace

std::optional<int> parseRelayNumber(QStringView text)
{
    if (text.isEmpty() || text.size() > 2)
        return std::nullopt;
    int relay = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        relay = relay * 10 + (c.unicode() - u'0');
    }
    return isRelayNumber(relay) ? std::optional<int>(relay) : std::nullopt;
}

std::optional<RelayMask> RelayMask::fromHex(QStringView text)
{
    if (text.size() != 4)
        return std::nullopt;
    quint16 bits = 0;
    for (const QChar c : text) {
        const std::optional<int> digit = hexDigit(c);
        if (!digit)
            return std::nullopt;
        bits = quint16((bits << 4) | *digit);
    }
    return RelayMask(bits);
}

std::optional<RelayMask> RelayMask::fromRelays(const QList<int> &relays)
{
    RelayMask mask;
    for (const int relay : relays) {
        if (!isRelayNumber(relay))
            return std::nullopt;
        mask = mask.with(relay, true);
    }
    return mask;
}

int RelayMask::count() const
{
    return relays().size();
}

QString RelayMask::toHex() const
{
    return QStringLiteral("%1").arg(m_bits, 4, 16, QLatin1Char('0')).toUpper();
}

QJsonArray RelayMask::toJson() const
{
    QJsonArray states;
    for (int relay = 1; relay <= kRelayCount; ++relay)
        states.append(isOn(relay));
    return states;
}

QList<int> RelayMask::relays() const
{
    QList<int> on;
    for (int relay = 1; relay <= kRelayCount; ++relay)
        if (isOn(relay))
            on.append(relay);
    return on;
}

QString RelayMask::listed() const
{
    QStringList numbers;
    for (const int relay : relays())
        numbers.append(QString::number(relay));
    return numbers.join(QStringLiteral(", "));
}
