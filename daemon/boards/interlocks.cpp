#include "interlocks.h"

#include "relaymask.h"

quint16 Interlocks::partners(int relay) const
{
    for (const QList<int> &group : m_config.interlocks) {
        if (group.contains(relay))
            return RelayMask::fromRelays(group).value_or(RelayMask()).with(relay, false).bits();
    }
    return 0;
}

quint16 Interlocks::broken(quint16 mask) const
{
    quint16 broken = 0;
    for (const QList<int> &group : m_config.interlocks) {
        const quint16 relays = RelayMask::fromRelays(group).value_or(RelayMask()).bits();
        if (RelayMask(mask & relays).count() > 1)
            broken |= relays;
    }
    return broken;
}

QString Interlocks::words(quint16 mask) const
{
    QStringList groups;
    for (const QList<int> &group : m_config.interlocks) {
        const RelayMask inGroup =
            RelayMask(mask) & RelayMask::fromRelays(group).value_or(RelayMask());
        if (inGroup.count() > 1)
            groups += QStringLiteral("relays %1").arg(m_config.relayLabels(inGroup));
    }
    if (groups.isEmpty())
        return {};
    QString words =
        QStringLiteral("%1 are interlocked and never on together").arg(groups.takeFirst());
    for (const QString &group : std::as_const(groups))
        words += QStringLiteral("; so are %1").arg(group);
    return words;
}
