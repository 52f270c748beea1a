#include "reportlog.h"

#include <QStringList>

namespace {

QString clock(const QTime &time)
{
    return time.toString(QStringLiteral("HH:mm:ss"));
}

} // namespace

void ReportLog::add(const QString &text, const QTime &at)
{
    const QString shown = elided(text, kMaxLength);
    if (!m_entries.empty() && m_entries.back().text == shown) {
        ++m_entries.back().count;
        m_entries.back().last = at;
        return;
    }
    m_entries.push_back({shown, at, at, 1});
    if (int(m_entries.size()) > kMaxEntries) {
        m_entries.pop_front();
        ++m_leftOut;
    }
}

void ReportLog::clear()
{
    m_entries.clear();
    m_leftOut = 0;
}

QString ReportLog::text() const
{
    QStringList parts;
    if (m_leftOut == 1)
        parts << QStringLiteral("1 earlier report was left out.");
    else if (m_leftOut > 1)
        parts << QStringLiteral("%1 earlier reports were left out.").arg(m_leftOut);
    for (const Entry &entry : m_entries) {
        QString line = clock(entry.first) + QStringLiteral("  ") + entry.text;
        if (entry.count > 1)
            line += QStringLiteral(" (%1 times, last at %2)")
                        .arg(QString::number(entry.count), clock(entry.last));
        parts << line;
    }
    return parts.join(QStringLiteral("\n\n"));
}

QString ReportLog::elided(const QString &text, int maxLength)
{
    if (text.size() <= maxLength)
        return text;
    int cut = maxLength - 1;
    if (cut > 0 && text.at(cut - 1).isHighSurrogate())
        --cut; // never split a character in two
    return text.left(cut) + QChar(0x2026);
}
