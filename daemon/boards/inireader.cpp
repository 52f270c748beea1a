#include "inireader.h"

#include <QFile>

const IniEntry *IniSection::find(const QString &key) const
{
    for (const IniEntry &entry : entries) {
        if (entry.key == key)
            return &entry;
    }
    return nullptr;
}

QString IniSection::text(const QString &key) const
{
    const IniEntry *entry = find(key);
    return entry ? entry->value : QString();
}

bool IniReader::read()
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *m_error =
            QStringLiteral("%1: cannot read the config file: %2").arg(m_path, file.errorString());
        return false;
    }
    m_sections.append(IniSection{});
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']'))
                return failAt(number, line, QStringLiteral("a section is written [name]"));
            const QString name = line.mid(1, line.size() - 2).trimmed();
            for (const IniSection &section : std::as_const(m_sections)) {
                if (section.line > 0 && section.name == name)
                    return failAt(number, QStringLiteral("[%1]").arg(name),
                                  QStringLiteral("the section is written twice"));
            }
            m_sections.append(IniSection{name, number, {}});
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0)
            return failAt(number, line.left(32), QStringLiteral("not a line key = value"));
        IniEntry entry{line.left(equals).trimmed(), line.mid(equals + 1).trimmed(), number};
        if (entry.value.size() >= 2 && entry.value.startsWith(u'"') && entry.value.endsWith(u'"'))
            entry.value = entry.value.mid(1, entry.value.size() - 2);
        if (m_sections.last().contains(entry.key))
            return failAt(number, entry.key, QStringLiteral("the key is written twice"));
        m_sections.last().entries.append(entry);
    }
    return true;
}

const IniSection *IniReader::section(const QString &name) const
{
    for (const IniSection &section : m_sections) {
        if (section.line > 0 && section.name == name)
            return &section;
    }
    return nullptr;
}

bool IniReader::failAt(int line, const QString &what, const QString &reason)
{
    *m_error = QStringLiteral("%1:%2: %3: %4").arg(m_path).arg(line).arg(what, reason);
    return false;
}

bool IniReader::fail(const IniSection &section, const QString &key, const QString &reason)
{
    const IniEntry *entry = key.isEmpty() ? nullptr : section.find(key);
    return failAt(entry ? entry->line : section.line,
                  key.isEmpty() ? QStringLiteral("[%1]").arg(section.name) : key, reason);
}

bool IniReader::knownKeys(const IniSection &section, const QStringList &keys, const QString &known)
{
    for (const IniEntry &entry : section.entries) {
        if (!keys.contains(entry.key))
            return failAt(entry.line, entry.key, QStringLiteral("unknown key; %1").arg(known));
    }
    return true;
}
