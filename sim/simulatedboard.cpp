#include "simulatedboard.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr qsizetype kReadChunk = 4096;

QString lastError()
{
    return qt_error_string(errno);
}

QByteArray readLink(const QByteArray &path)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.constData(), target, sizeof target);
    return length < 0 ? QByteArray() : QByteArray(target, length);
}

} // namespace

SimulatedBoard::SimulatedBoard(QObject *parent) : QObject(parent)
{
    m_replyTimer.setSingleShot(true);
    // Coarse timers may fire early, and slow mode promises no answer before the delay.
    m_replyTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_replyTimer, &QTimer::timeout, this, &SimulatedBoard::sendDueReplies);
    m_lineTimer.setSingleShot(true);
    m_lineTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_lineTimer, &QTimer::timeout, this, &SimulatedBoard::pumpLine);
}

SimulatedBoard::~SimulatedBoard()
{
    closePty();
    removeLink();
}

bool SimulatedBoard::start(const QString &linkPath)
{
    if (isRunning())
        return fail(QStringLiteral("the board is already running on %1").arg(m_slavePath));
    m_errorString.clear();
    m_linkPath.clear();
    m_received.clear();
    m_commands.clear();
    m_logic = BoardLogic(m_logic.state(), m_logic.faultMode()); // drop any half-received command
    if (!openPty())
        return false;
    if (!linkPath.isEmpty() && !makeLink(linkPath)) {
        closePty();
        return false;
    }
    return true;
}

void SimulatedBoard::setState(quint16 state)
{
    if (state == m_logic.state())
        return;
    m_logic.setState(state);
    emit stateChanged(state);
}

bool SimulatedBoard::setByteLog(const QString &path)
{
    m_byteLog.close();
    if (path.isEmpty())
        return true;
    m_byteLog.setFileName(path);
    if (!m_byteLog.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        return fail(
            QStringLiteral("cannot open byte log %1: %2").arg(path, m_byteLog.errorString()));
    }
    return true;
}

void SimulatedBoard::clearReceived()
{
    m_received.clear();
    m_commands.clear();
}

void SimulatedBoard::send(const QByteArray &bytes)
{
    writeToTool(bytes);
}

void SimulatedBoard::vanish()
{
    closePty();
    removeLink();
}

bool SimulatedBoard::openPty()
{
    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_masterFd < 0)
        return fail(QStringLiteral("cannot open a pseudo-terminal: %1").arg(lastError()));

    char name[PATH_MAX];
    if (::grantpt(m_masterFd) != 0 || ::unlockpt(m_masterFd) != 0 ||
        ::ptsname_r(m_masterFd, name, sizeof name) != 0) {
        const QString error = lastError();
        closePty();
        return fail(QStringLiteral("cannot set up the pseudo-terminal: %1").arg(error));
    }
    m_slavePath = QFile::decodeName(name);

    // Held for the board's lifetime so the master never sees a hangup when the tool closes its
    // end; otherwise the read notifier would fire on EIO forever.
    m_slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios line{};
    if (m_slaveFd < 0 || ::tcgetattr(m_slaveFd, &line) != 0) {
        const QString error = lastError();
        closePty();
        return fail(QStringLiteral("cannot open %1: %2").arg(m_slavePath, error));
    }
    ::cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    ::cfsetspeed(&line, B9600);
    const int flags = ::fcntl(m_masterFd, F_GETFL);
    if (::tcsetattr(m_slaveFd, TCSANOW, &line) != 0 || flags < 0 ||
        ::fcntl(m_masterFd, F_SETFL, flags | O_NONBLOCK) != 0) {
        const QString error = lastError();
        closePty();
        return fail(QStringLiteral("cannot configure %1: %2").arg(m_slavePath, error));
    }

    m_readNotifier = new QSocketNotifier(m_masterFd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimulatedBoard::readFromTool);
    m_writeNotifier = new QSocketNotifier(m_masterFd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimulatedBoard::flushOutgoing);
    return true;
}

bool SimulatedBoard::makeLink(const QString &linkPath)
{
    const QFileInfo info(linkPath);
    const QString path = info.absoluteFilePath();
    if (!QDir().mkpath(info.absolutePath()))
        return fail(QStringLiteral("cannot create directory %1").arg(info.absolutePath()));

    const QByteArray encoded = QFile::encodeName(path);
    struct stat existing = {};
    if (::lstat(encoded.constData(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode))
            return fail(
                QStringLiteral("%1 exists and is not a symbolic link; not replacing it").arg(path));
        if (::unlink(encoded.constData()) != 0)
            return fail(QStringLiteral("cannot replace %1: %2").arg(path, lastError()));
    }
    if (::symlink(QFile::encodeName(m_slavePath).constData(), encoded.constData()) != 0)
        return fail(QStringLiteral("cannot make link %1: %2").arg(path, lastError()));
    m_linkPath = path;
    m_linkMade = true;
    return true;
}

void SimulatedBoard::closePty()
{
    // deleteLater: this can run from a slot called inside one of the notifiers' activations.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    for (int *fd : {&m_slaveFd, &m_masterFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_replyTimer.stop();
    m_pendingReplies.clear();
    m_outgoing.clear();
    // Whatever was on the wire goes with the adapter.
    m_lineTimer.stop();
    m_toBoard.clear();
    m_toTool.clear();
}

void SimulatedBoard::removeLink()
{
    if (!m_linkMade)
        return;
    m_linkMade = false;
    // Someone may have put their own file or link there since.
    const QByteArray encoded = QFile::encodeName(m_linkPath);
    if (readLink(encoded) == QFile::encodeName(m_slavePath))
        ::unlink(encoded.constData());
}

void SimulatedBoard::readFromTool()
{
    char buffer[kReadChunk];
    const ssize_t count = ::read(m_masterFd, buffer, sizeof buffer);
    if (count > 0 && m_baud > 0) {
        const auto now = std::chrono::steady_clock::now();
        for (ssize_t i = 0; i < count; ++i)
            m_toBoard.push_back({onWire(&m_toBoardFree, now), buffer[i]});
        pumpLine();
    } else if (count > 0) {
        process(QByteArray(buffer, count));
    } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
        // Level-triggered: a hung-up master would otherwise be reported as readable forever.
        m_readNotifier->setEnabled(false);
    }
}

void SimulatedBoard::process(const QByteArray &bytes)
{
    m_received += bytes;
    if (m_byteLog.isOpen())
        m_byteLog.write(bytes);

    // Byte by byte, so each command's answer, signal and state change come in wire order.
    QList<BoardLogic::Command> commands;
    for (const char byte : bytes) {
        const quint16 before = m_logic.state();
        const QByteArray reply = m_logic.feed(QByteArray(1, byte), &commands);
        const quint16 after = m_logic.state();
        if (!reply.isEmpty())
            queueReply(reply);
        for (const BoardLogic::Command &command : std::as_const(commands)) {
            m_commands.append(command.bytes);
            emit commandReceived(command.bytes, command.understood);
        }
        commands.clear();
        if (after != before)
            emit stateChanged(after);
        if (!isRunning())
            return; // a slot unplugged the board
    }
}

void SimulatedBoard::queueReply(const QByteArray &reply)
{
    const auto now = std::chrono::steady_clock::now();
    if (m_replyDelay <= std::chrono::milliseconds::zero() && m_pendingReplies.empty()) {
        writeToTool(reply);
        return;
    }
    // First in, first out even if the delay was shortened meanwhile: answers never overtake.
    m_pendingReplies.push_back({now + m_replyDelay, reply});
    if (!m_replyTimer.isActive())
        sendDueReplies();
}

void SimulatedBoard::sendDueReplies()
{
    const auto now = std::chrono::steady_clock::now();
    while (!m_pendingReplies.empty() && m_pendingReplies.front().due <= now) {
        const QByteArray reply = m_pendingReplies.front().bytes;
        m_pendingReplies.pop_front();
        writeToTool(reply);
    }
    if (!m_pendingReplies.empty()) {
        m_replyTimer.start(
            std::chrono::ceil<std::chrono::milliseconds>(m_pendingReplies.front().due - now));
    }
}

void SimulatedBoard::writeToTool(const QByteArray &bytes)
{
    if (!isRunning())
        return;
    if (m_baud > 0 || m_latency.count() > 0) {
        const auto now = std::chrono::steady_clock::now();
        for (const char byte : bytes) {
            auto due = onWire(&m_toToolFree, now);
            if (m_latency.count() > 0) {
                // The adapter hands on what it holds each time its timer runs out.
                const auto tick =
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(m_latency);
                due = std::chrono::steady_clock::time_point(
                    ((due.time_since_epoch() + tick - std::chrono::steady_clock::duration(1)) /
                     tick) *
                    tick);
            }
            m_toTool.push_back({due, byte});
        }
        // Not pumped from here: this runs while the board answers, in the middle of the bytes
        // the pump handed it.
        scheduleLine(now);
        return;
    }
    m_outgoing += bytes;
    flushOutgoing();
}

void SimulatedBoard::setLine(int baud, std::chrono::milliseconds latency)
{
    m_baud = std::max(0, baud);
    m_latency = std::max(std::chrono::milliseconds::zero(), latency);
}

std::chrono::steady_clock::time_point
SimulatedBoard::onWire(std::chrono::steady_clock::time_point *free,
                       std::chrono::steady_clock::time_point now) const
{
    if (m_baud <= 0)
        return now;
    // Ten bits a byte: start, eight data bits, stop.
    const auto byteTime = std::chrono::nanoseconds(10'000'000'000LL / m_baud);
    *free = std::max(*free, now) + byteTime;
    return *free;
}

void SimulatedBoard::pumpLine()
{
    // One pump at a time: a second one (a slot's nested event loop) would hand the board later
    // bytes before the first has finished with earlier ones. What comes meanwhile waits for the
    // next round of this loop.
    if (m_pumping)
        return;
    m_pumping = true;
    auto now = std::chrono::steady_clock::now();
    for (;;) {
        QByteArray delivered;
        while (!m_toTool.empty() && m_toTool.front().due <= now) {
            delivered += m_toTool.front().byte;
            m_toTool.pop_front();
        }
        if (!delivered.isEmpty()) {
            m_outgoing += delivered;
            flushOutgoing();
        }
        QByteArray arrived;
        while (!m_toBoard.empty() && m_toBoard.front().due <= now) {
            arrived += m_toBoard.front().byte;
            m_toBoard.pop_front();
        }
        if (arrived.isEmpty() || !isRunning())
            break;
        process(arrived);
        now = std::chrono::steady_clock::now();
    }
    m_pumping = false;
    scheduleLine(now);
}

void SimulatedBoard::scheduleLine(std::chrono::steady_clock::time_point now)
{
    auto next = std::chrono::steady_clock::time_point::max();
    if (!m_toBoard.empty())
        next = m_toBoard.front().due;
    if (!m_toTool.empty())
        next = std::min(next, m_toTool.front().due);
    if (next != std::chrono::steady_clock::time_point::max() && isRunning())
        m_lineTimer.start(std::max(std::chrono::milliseconds::zero(),
                                   std::chrono::ceil<std::chrono::milliseconds>(next - now)));
}

void SimulatedBoard::flushOutgoing()
{
    while (!m_outgoing.isEmpty()) {
        const ssize_t written = ::write(m_masterFd, m_outgoing.constData(), m_outgoing.size());
        if (written > 0) {
            m_outgoing.remove(0, written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno == EAGAIN) {
            break; // the tool is not reading; the write notifier resumes
        } else {
            m_outgoing.clear();
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_outgoing.isEmpty());
}

bool SimulatedBoard::fail(const QString &message)
{
    m_errorString = message;
    return false;
}
