#pragma once

#include "config.h"

#include <QString>

// A board's interlocks, groups of relays never on together as its configuration gives them, and
// what they say of a set of relays.
class Interlocks final
{
public:
    explicit Interlocks(const BoardConfig &config) : m_config(config) {}

    // The others of `relay`'s group; none when it is in no group.
    quint16 partners(int relay) const;
    // The relays of every group that has more than one on in `mask`.
    quint16 broken(quint16 mask) const;
    // The groups `mask` has more than one relay of, with the relays' names: "relays 1 · Pump,
    // 2 · Fan are interlocked and never on together; so are relays 3, 4".
    QString words(quint16 mask) const;

private:
    const BoardConfig &m_config;
};
