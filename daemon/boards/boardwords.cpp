#include "boardwords.h"

#include "relaymask.h"

#include <QStringList>

namespace BoardWords {

QString relays(quint16 relays)
{
    QStringList words;
    for (const int relay : RelayMask(relays).relays())
        words.append(QString::number(relay));
    const QString last = words.takeLast();
    return words.isEmpty()
               ? QStringLiteral("relay %1").arg(last)
               : QStringLiteral("relays %1 and %2").arg(words.join(QStringLiteral(", ")), last);
}

QString byWhom(const QString &source)
{
    const QString kind = source.section(u':', 0, 0);
    const QString who = source.section(u':', 1).trimmed();
    if (kind == u"socket")
        return QStringLiteral("by %1 over the socket").arg(who);
    if (kind == u"http")
        return QStringLiteral("by %1 over HTTP").arg(who);
    if (kind == u"mqtt")
        return QStringLiteral("by a message on %1").arg(who);
    if (kind == u"restore")
        return QStringLiteral("restored as on_connect = restore asks");
    if (kind == u"on-connect")
        return QStringLiteral("as on_connect asks");
    if (kind == u"pulse-end")
        return QStringLiteral("at the end of its pulse");
    if (kind == u"interlock")
        return QStringLiteral("by the interlock, for its partner");
    if (kind == u"board")
        return QStringLiteral("by the board itself, without a command");
    return QStringLiteral("by %1").arg(source);
}

QString unasked(const QString &board, quint16 before, quint16 after)
{
    const RelayMask changed(before ^ after);
    const RelayMask wentOff = changed & RelayMask(before);
    const RelayMask wentOn = changed & RelayMask(after);
    QStringList parts;
    if (!wentOff.isEmpty())
        parts += QStringLiteral("%1 went off").arg(relays(wentOff.bits()));
    if (!wentOn.isEmpty())
        parts += QStringLiteral("%1 went on").arg(relays(wentOn.bits()));
    return QStringLiteral("%1: %2 without a command; %3")
        .arg(board, parts.join(QStringLiteral(" and ")),
             after == 0 ? QStringLiteral("the board may have lost power")
                        : QStringLiteral("nothing this service sent did it"));
}

} // namespace BoardWords
