#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The file as written, read once: sections in order, each key with its value and its line.
// Values are taken as written (after the "=" and without the spaces around it); a value in
// double quotes loses them.
struct IniEntry
{
    QString key;
    QString value;
    int line = 0;
};

struct IniSection
{
    QString name; // empty for the lines before the first section
    int line = 0;
    QList<IniEntry> entries;

    const IniEntry *find(const QString &key) const;
    bool contains(const QString &key) const { return find(key) != nullptr; }
    QString text(const QString &key) const;
};

// An INI file read whole, and its errors as "FILE:LINE: key: reason".
class IniReader final
{
public:
    IniReader(const QString &path, QString *error) : m_path(path), m_error(error) {}

    bool read();
    const QList<IniSection> &sections() const { return m_sections; }
    const IniSection *section(const QString &name) const;

    bool failAt(int line, const QString &what, const QString &reason);
    bool fail(const IniSection &section, const QString &key, const QString &reason);
    // Every key of the section is one the table knows.
    bool knownKeys(const IniSection &section, const QStringList &keys, const QString &known);

private:
    QString m_path;
    QString *m_error;
    QList<IniSection> m_sections;
};
