#include "consoleview.h"

#include "relaymask.h"

#include <QTime>

#include <cstdio>
#include <langinfo.h>
#include <unistd.h>

namespace {

constexpr char kClearLine[] = "\r\x1b[K";
constexpr int kRelayCount = 16;

QString describe(const QByteArray &command, bool understood)
{
    if (!understood)
        return QStringLiteral("ignored (unknown command)");
    if (command == "ask//")
        return QStringLiteral("status request");
    if (command == "on//")
        return QStringLiteral("all relays on");
    if (command == "off//")
        return QStringLiteral("all relays off");
    if (command.startsWith('x'))
        return QStringLiteral("sequence command");
    return QStringLiteral("relay %1 %2")
        .arg(command.left(2).toInt())
        .arg(command.at(2) == '+' ? QStringLiteral("on") : QStringLiteral("off"));
}

QString hexBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

} // namespace

ConsoleView::ConsoleView(bool quiet)
    : m_quiet(quiet), m_interactive(::isatty(STDOUT_FILENO) == 1),
      m_unicode(qstrcmp(::nl_langinfo(CODESET), "UTF-8") == 0)
{}

ConsoleView::~ConsoleView()
{
    if (m_interactive && m_relaysShown)
        write(QStringLiteral("\n"));
}

void ConsoleView::info(const QString &line)
{
    if (m_quiet)
        return;
    if (m_interactive && m_relaysShown)
        write(kClearLine + line + QLatin1Char('\n') + relayLine());
    else
        write(line + QLatin1Char('\n'));
}

void ConsoleView::logCommand(const QByteArray &command, bool understood, const QByteArray &answer)
{
    QString line = QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")) +
                   QStringLiteral("  ") + printable(command) + QStringLiteral("  ") +
                   describe(command, understood);
    if (!answer.isEmpty())
        line += (m_unicode ? QStringLiteral("  → ") : QStringLiteral("  -> ")) + hexBytes(answer);
    else if (command == "ask//")
        line += QStringLiteral("  (no answer)");
    info(line);
}

void ConsoleView::showRelays(quint16 state)
{
    m_state = state;
    if (m_quiet)
        return;
    if (m_interactive) {
        write(kClearLine + relayLine());
        m_relaysShown = true;
    } else {
        write(relayLine() + QLatin1Char('\n'));
    }
}

QString ConsoleView::printable(const QByteArray &bytes)
{
    QString text;
    for (const char byte : bytes) {
        const auto value = uchar(byte);
        if (value >= 0x20 && value < 0x7F)
            text += QLatin1Char(byte);
        else
            text += QStringLiteral("<%1>").arg(value, 2, 16, QLatin1Char('0')).toUpper();
    }
    return text;
}

QString ConsoleView::relayLine() const
{
    const QString on = m_unicode ? QStringLiteral("●") : QStringLiteral("#");
    const QString off = m_unicode ? QStringLiteral("○") : QStringLiteral(".");
    QString line = QStringLiteral("relays  1-8 ");
    for (int relay = 1; relay <= kRelayCount; ++relay) {
        if (relay == 9)
            line += QStringLiteral(" | 9-16 ");
        line += RelayMask(m_state).isOn(relay) ? on : off;
    }
    return line;
}

void ConsoleView::write(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout); // also when piped, so a watching process sees each line as it happens
}
