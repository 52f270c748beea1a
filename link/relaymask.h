#pragma once

#include <QJsonArray>
#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

// A relay number from 1 to 16 written with one or two decimal digits ("5", "05", "16"); nothing
// for anything else: signs, spaces, a trailing newline, 0, 17.
std::optional<int> parseRelayNumber(QStringView text);
constexpr bool isRelayNumber(int relay)
{
    return relay >= 1 && relay <= 16;
}

// Sixteen relays as one value, in the order of the board's two status bytes:
// bit 15 = relay 1 ... bit 0 = relay 16.
class RelayMask final
{
public:
    static constexpr int kRelayCount = 16;

    constexpr RelayMask() = default;
    constexpr explicit RelayMask(quint16 bits) : m_bits(bits) {}

    static constexpr RelayMask all() { return RelayMask(0xFFFF); }
    // Only that relay; an empty mask for a number outside 1..16.
    static constexpr RelayMask relay(int relay)
    {
        return isRelayNumber(relay) ? RelayMask(quint16(0x8000u >> (relay - 1))) : RelayMask();
    }
    // Exactly four hex digits, either case ("8140" = relays 1, 8 and 10).
    static std::optional<RelayMask> fromHex(QStringView text);
    // The relay numbers given, each 1..16; nothing if any is outside.
    static std::optional<RelayMask> fromRelays(const QList<int> &relays);

    constexpr quint16 bits() const { return m_bits; }
    constexpr bool isOn(int relay) const { return (m_bits & RelayMask::relay(relay).m_bits) != 0; }
    constexpr bool isEmpty() const { return m_bits == 0; }
    constexpr RelayMask with(int relay, bool on) const
    {
        return RelayMask(on ? quint16(m_bits | RelayMask::relay(relay).m_bits)
                            : quint16(m_bits & ~RelayMask::relay(relay).m_bits));
    }
    int count() const;
    // Four upper-case hex digits.
    QString toHex() const;
    // The relays that are set, in ascending order.
    QList<int> relays() const;
    // Their numbers for a person: "1, 5, 16".
    QString listed() const;
    // Sixteen booleans, relay 1 first.
    QJsonArray toJson() const;

    constexpr RelayMask operator&(RelayMask other) const
    {
        return RelayMask(m_bits & other.m_bits);
    }
    constexpr RelayMask operator|(RelayMask other) const
    {
        return RelayMask(m_bits | other.m_bits);
    }
    constexpr RelayMask operator^(RelayMask other) const
    {
        return RelayMask(m_bits ^ other.m_bits);
    }
    constexpr RelayMask operator~() const { return RelayMask(quint16(~m_bits)); }
    constexpr bool operator==(RelayMask other) const { return m_bits == other.m_bits; }
    constexpr bool operator!=(RelayMask other) const { return m_bits != other.m_bits; }

private:
    quint16 m_bits = 0;
};
