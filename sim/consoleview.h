#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// What the command shows a person: a log line per command above the sixteen relays, which are
// redrawn in place on a terminal and printed as plain lines otherwise.
class ConsoleView final
{
public:
    explicit ConsoleView(bool quiet);
    ~ConsoleView();
    ConsoleView(const ConsoleView &) = delete;
    ConsoleView &operator=(const ConsoleView &) = delete;

    void info(const QString &line);
    void logCommand(const QByteArray &command, bool understood, const QByteArray &answer);
    void showRelays(quint16 state);

    static QString printable(const QByteArray &bytes);

private:
    QString relayLine() const;
    void write(const QString &text);

    bool m_quiet = false;
    bool m_interactive = false;
    bool m_unicode = false;
    bool m_relaysShown = false;
    quint16 m_state = 0;
};
