#include "boardports.h"

#include "comportpath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

BoardPorts::BoardPorts(const QString &dirTemplate)
    : m_dir(dirTemplate.isEmpty()
                ? QDir::temp().filePath(QCoreApplication::applicationName() + "-XXXXXX")
                : dirTemplate)
{
    qputenv(ComPortPath::kPortDirVariable, QFile::encodeName(m_dir.path()));
    // Answers still owed on a pty number are no business of the next test that gets the number.
    qputenv("USB16RELAY_OWED_DIR", QFile::encodeName(m_dir.path()));
}

BoardPorts::~BoardPorts()
{
    m_boards.clear();
    qunsetenv(ComPortPath::kPortDirVariable);
    qunsetenv("USB16RELAY_OWED_DIR");
}

QString BoardPorts::pathOf(int port) const
{
    return m_dir.filePath(QStringLiteral("COM%1").arg(port));
}

SimulatedBoard *BoardPorts::add(int port, quint16 state)
{
    auto board = std::make_unique<SimulatedBoard>();
    board->setState(state);
    if (!board->start(pathOf(port))) {
        qWarning("cannot start a board as COM%d: %s", port, qPrintable(board->errorString()));
        return nullptr;
    }
    SimulatedBoard *started = board.get();
    m_boards[port] = std::move(board);
    return started;
}

SimulatedBoard *BoardPorts::board(int port) const
{
    const auto found = m_boards.find(port);
    return found == m_boards.end() ? nullptr : found->second.get();
}

QList<QByteArray> switching(const SimulatedBoard *board)
{
    QList<QByteArray> commands;
    for (const QByteArray &command : board->commands()) {
        if (command != "ask//")
            commands.append(command);
    }
    return commands;
}

QString maskText(quint16 state)
{
    return QStringLiteral("%1").arg(state, 4, 16, QLatin1Char('0')).toUpper();
}
