#include "boardclient.h"

#include "relaymask.h"

#include "comportpath.h"
#include "replytext.h"
#include "serialdevice.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

#include <cerrno>
#include <poll.h>

namespace {

// How long the line must stay silent before stray bytes count as all gone.
constexpr std::chrono::milliseconds kQuietGap{50};
// Silence before a question, once bytes were waiting: whatever is still arriving then is not this
// question's answer.
constexpr std::chrono::milliseconds kQuietBefore{10};
// How often a status that could not be told apart is asked again.
constexpr int kStatusAttempts = 3;
constexpr qsizetype kShownBytes = 24;
// Silence after a first answer that makes a board one that answers a single question per write.
constexpr std::chrono::milliseconds kOneAnswerSilence{100};

// Two status answers, each two bytes, one after the other and equal. A board that ends every
// status with a line ending (CR, LF or both) is taken as it is, as long as both answers do.
bool isTwoEqualAnswers(const QByteArray &came)
{
    const qsizetype half = came.size() / 2;
    if (came.size() % 2 != 0 || half < 2 || half > 4 || came.left(half) != came.mid(half))
        return false;
    for (qsizetype i = 2; i < half; ++i) {
        if (came[i] != '\r' && came[i] != '\n')
            return false;
    }
    return true;
}

QString hex(const QByteArray &bytes)
{
    QString text = QString::fromLatin1(bytes.left(kShownBytes).toHex(' ').toUpper());
    if (bytes.size() > kShownBytes)
        text += QStringLiteral(" \u2026 (%1 bytes)").arg(bytes.size());
    return text;
}

} // namespace

BoardClient::BoardClient() = default;

BoardClient::~BoardClient()
{
    close();
}

bool BoardClient::openComPort(int n)
{
    const QString path = ComPortPath::devicePath(n);
    m_portName = QStringLiteral("COM%1").arg(n);
    if (path.isEmpty())
        return fail(Failure::CannotOpen,
                    QStringLiteral("Cannot open COM%1: no serial device stands for that number. %2")
                        .arg(n)
                        .arg(ComPortPath::mappingHint()));
    const QFileInfo info(path);
    const QString description = SerialDevice::describeComPort(n);
    if (!info.exists())
        return fail(Failure::CannotOpen,
                    QStringLiteral("Cannot open %1: the device does not exist. Check that the "
                                   "board is plugged in. %2")
                        .arg(description, ComPortPath::mappingHint()));
    return open(info.canonicalFilePath(), description);
}

bool BoardClient::openDevice(const QString &path)
{
    m_portName.clear();
    const QFileInfo info(path);
    if (!info.exists())
        return fail(Failure::CannotOpen,
                    QStringLiteral("Cannot open %1: the device does not exist. Check that the "
                                   "board is plugged in and the path is right.")
                        .arg(path));
    const QString device = info.canonicalFilePath();
    const QString description =
        device == path ? path : QStringLiteral("%1 (\u2192 %2)").arg(path, device);
    return open(device, description);
}

void BoardClient::close()
{
    if (m_port.isOpen()) {
        if (m_lowLatency)
            SerialDevice::endLowLatency(int(m_port.handle()));
        m_port.close();
    }
    m_lowLatency = false;
    m_owed.detach();
}

std::optional<RelayState> BoardClient::askStatus()
{
    m_failure = Failure::None;
    m_errorString.clear();
    if (!m_port.isOpen()) {
        fail(Failure::NoAnswer, QStringLiteral("No port is open."));
        return std::nullopt;
    }
    const QByteArray ask = RelayProtocol::askCommand();
    const QByteArray question = ask + ask;
    const qsizetype expected = 4;
    QList<QByteArray> cameInstead;
    bool extraBytes = false;
    for (int attempt = 0; attempt < kStatusAttempts; ++attempt) {
        if (!settleLine())
            return std::nullopt;
        if (!m_owed.owe(int(expected))) {
            fail(Failure::NoAnswer, m_description + QStringLiteral(": ") + m_owed.error());
            return std::nullopt;
        }
        if (!writeAll(question))
            return std::nullopt;
        QByteArray reply;
        const QDeadlineTimer deadline(m_timeout, Qt::PreciseTimer);
        bool complete = readAtLeast(expected / 2, &reply, deadline);
        const qint64 silentAfterFirst = deadline.remainingTime();
        if (complete)
            complete = readAtLeast(expected, &reply, deadline);
        m_owed.pay(int(reply.size()));
        if (m_failure != Failure::None)
            return std::nullopt;
        if (!complete) {
            failIncomplete(reply, silentAfterFirst);
            return std::nullopt;
        }
        const QByteArray extra = readFor(m_guard);
        m_owed.pay(int(extra.size()));
        if (m_failure != Failure::None)
            return std::nullopt;
        const QByteArray came = reply + extra;
        if (isTwoEqualAnswers(came)) {
            m_lastState = RelayProtocol::decodeStatus(came);
            return m_lastState;
        }
        extraBytes = extraBytes || came.size() > expected;
        cameInstead.append(came);
    }

    failUnclear(cameInstead, extraBytes);
    return std::nullopt;
}

// Fewer than two answers' bytes within the timeout: what that says of the board.
void BoardClient::failIncomplete(const QByteArray &reply, qint64 silentAfterFirst)
{
    const QByteArray ask = RelayProtocol::askCommand();
    const qsizetype expected = 4;
    if (reply.isEmpty())
        fail(Failure::NoAnswer, QStringLiteral("%1: the board did not answer \"%2\" within "
                                               "%3 ms. Check that it is powered and "
                                               "connected to this port.")
                                    .arg(m_description, QString::fromLatin1(ask))
                                    .arg(m_timeout.count()));
    else if (reply.size() == 1)
        fail(Failure::NoAnswer,
             QStringLiteral("%1: the board answered \"%2\" with one byte (%3) within "
                            "%4 ms; a status has two.")
                 .arg(m_description, QString::fromLatin1(ask), hex(reply))
                 .arg(m_timeout.count()));
    else if (reply.size() == expected / 2 &&
             silentAfterFirst >=
                 std::max<qint64>(kOneAnswerSilence.count(), m_timeout.count() / 2)) {
        // A board that is late answers both questions late, a few milliseconds apart:
        // this one answered once and then kept silent. The second answer will not come.
        m_owed.forgive();
        fail(Failure::NoAnswer,
             QStringLiteral("%1: \"%2\" was asked twice in one write and only 2 bytes (%3) "
                            "came, then nothing for %4 ms: the board answers only one "
                            "question per write (or each with one byte). This program "
                            "asks twice in one write so that a late answer cannot be "
                            "taken for the state; such a board cannot be used with it.")
                 .arg(m_description, QString::fromLatin1(ask), hex(reply))
                 .arg(silentAfterFirst));
    } else
        fail(Failure::NoAnswer,
             QStringLiteral("%1: \"%2\" was asked twice and only %3 bytes (%4) came "
                            "within %5 ms, where two answers are four. The board may "
                            "answer later than the timeout (raise --timeout), or these "
                            "were late answers to earlier questions.")
                 .arg(m_description, QString::fromLatin1(ask))
                 .arg(reply.size())
                 .arg(hex(reply))
                 .arg(m_timeout.count()));
}

// Every try brought bytes that were not two equal answers: what they most likely were.
void BoardClient::failUnclear(const QList<QByteArray> &cameInstead, bool extraBytes)
{
    const QByteArray ask = RelayProtocol::askCommand();
    const QByteArray question = ask + ask;
    QStringList shown;
    bool echo = false;
    for (const QByteArray &bytes : std::as_const(cameInstead)) {
        shown.append(hex(bytes));
        echo = echo || bytes.contains(ask) || question.startsWith(bytes);
    }
    QString meaning;
    if (echo)
        meaning = QStringLiteral("The device sends back what it is sent: it is not the board "
                                 "(a loopback plug, a modem or the wrong port?).");
    else if (extraBytes)
        meaning = QStringLiteral("More bytes came than two status answers: answers to earlier "
                                 "questions arriving late, another program talking on the line, "
                                 "or a board that adds bytes of its own.");
    else
        meaning = QStringLiteral("The two answers differ: at least one is a late answer to an "
                                 "earlier question, or the line is noisy.");
    fail(Failure::NoAnswer,
         QStringLiteral("%1: no status could be told apart from other bytes on the line after %2 "
                        "tries (\"%3\" twice each; came: %4). %5 Nothing was taken as the "
                        "board's state.")
             .arg(m_description)
             .arg(kStatusAttempts)
             .arg(QString::fromLatin1(ask), shown.join(QStringLiteral(" | ")), meaning));
}

bool BoardClient::switchAndVerify(const QList<QByteArray> &commands, quint16 care, quint16 wanted)
{
    m_failure = Failure::None;
    m_errorString.clear();
    if (!m_port.isOpen())
        return fail(Failure::NoAnswer, QStringLiteral("No port is open."));
    QByteArray bytes;
    for (const QByteArray &command : commands)
        bytes += command;
    // Nothing switches unless what the board will owe for the check can be recorded.
    if (!m_owed.check())
        return fail(Failure::NoAnswer, m_description + QStringLiteral(": ") + m_owed.error());
    if (!bytes.isEmpty() && !writeAll(bytes))
        return false;

    const auto differing = [care, wanted](const RelayState &state) {
        return ((RelayMask(RelayProtocol::toMask(state)) ^ RelayMask(wanted)) & RelayMask(care))
            .relays();
    };
    std::optional<RelayState> state = askStatus();
    if (!state)
        return false;
    if (differing(*state).isEmpty())
        return true;
    // A board that answers switching commands too leaves their replies in front of the status.
    if (!discardInput(kQuietGap))
        return false;
    state = askStatus();
    if (!state)
        return false;
    const QList<int> wrong = differing(*state);
    if (wrong.isEmpty())
        return true;
    QStringList details;
    for (const int relay : wrong) {
        const bool on = (*state)[relay - 1];
        details.append(QStringLiteral("relay %1 is %2 (asked %3)")
                           .arg(relay)
                           .arg(on ? QStringLiteral("on") : QStringLiteral("off"),
                                on ? QStringLiteral("off") : QStringLiteral("on")));
    }
    return fail(Failure::WrongState,
                QStringLiteral("%1: the board does not report what was asked for relay%2 %3: %4.")
                    .arg(m_description, wrong.size() > 1 ? QStringLiteral("s") : QString(),
                         RelayMask::fromRelays(wrong).value_or(RelayMask()).listed(),
                         details.join(QStringLiteral(", "))));
}

bool BoardClient::switchRelays(const QList<int> &relays, bool on)
{
    QList<QByteArray> commands;
    quint16 care = 0;
    for (const int relay : relays) {
        commands.append(RelayProtocol::switchCommand(relay, on));
        care |= RelayMask::relay(relay).bits();
    }
    return switchAndVerify(commands, care, on ? care : 0);
}

bool BoardClient::switchAll(bool on)
{
    return switchAndVerify({on ? RelayProtocol::allOnCommand() : RelayProtocol::allOffCommand()},
                           0xFFFF, on ? 0xFFFF : 0);
}

bool BoardClient::toggleRelays(const QList<int> &relays)
{
    const std::optional<RelayState> before = askStatus();
    if (!before)
        return false;
    QList<QByteArray> commands;
    quint16 care = 0;
    quint16 wanted = 0;
    for (const int relay : relays) {
        const bool on = !(*before)[relay - 1];
        commands.append(RelayProtocol::switchCommand(relay, on));
        care |= RelayMask::relay(relay).bits();
        if (on)
            wanted |= RelayMask::relay(relay).bits();
    }
    return switchAndVerify(commands, care, wanted);
}

bool BoardClient::setRelays(quint16 mask)
{
    const std::optional<RelayState> before = askStatus();
    if (!before)
        return false;
    return switchAndVerify(RelayProtocol::commandsToReach(*before, RelayProtocol::fromMask(mask)),
                           0xFFFF, mask);
}

bool BoardClient::send(const QByteArray &bytes)
{
    m_failure = Failure::None;
    m_errorString.clear();
    if (!m_port.isOpen())
        return fail(Failure::NoAnswer, QStringLiteral("No port is open."));
    return discardInput(std::chrono::milliseconds::zero()) && writeAll(bytes);
}

QByteArray BoardClient::collect(std::chrono::milliseconds window, qsizetype limit)
{
    QByteArray bytes;
    const QDeadlineTimer deadline(window, Qt::PreciseTimer);
    while (m_port.isOpen() && bytes.size() < limit) {
        bytes += takeInput(limit - bytes.size());
        if (bytes.size() >= limit || !waitForInput(deadline))
            break;
    }
    return bytes;
}

bool BoardClient::checkLine()
{
    if (!m_port.isOpen())
        return fail(Failure::NoAnswer, QStringLiteral("No port is open."));
    if (!SerialDevice::hungUp(m_port.handle()))
        return true;
    m_port.close();
    return fail(Failure::NoAnswer, QStringLiteral("%1 stopped answering: the device was "
                                                  "disconnected or hung up. Check the cable or "
                                                  "adapter.")
                                       .arg(m_description));
}

bool BoardClient::open(const QString &path, const QString &description)
{
    close();
    m_device = path;
    m_description = description;
    m_failure = Failure::None;
    m_errorString.clear();
    m_lastState.reset();

    // The real device's name, so that Qt's lock file is the same whichever link led here.
    m_port.setPortName(path);
    m_port.setBaudRate(QSerialPort::Baud9600);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (m_port.open(QIODevice::ReadWrite)) {
        m_owed.attach(path, int(m_port.handle()));
        // Before the guard: the adapter's latency timer may be shorter now.
        m_lowLatency = SerialDevice::requestLowLatency(int(m_port.handle()));
        if (!m_guardFixed)
            m_guard = SerialDevice::answerGuard(
                SerialDevice::adapterLatency(path, int(m_port.handle())), QSerialPort::Baud9600);
        return true;
    }

    const QSerialPort::SerialPortError error = m_port.error();
    const QString reason = m_port.errorString();
    m_port.clearError();
    m_port.close();
    return fail(Failure::CannotOpen, SerialDevice::openFailure(description, path, error, reason,
                                                               QStringLiteral("try again")));
}

bool BoardClient::writeAll(const QByteArray &bytes)
{
    if (m_trace)
        m_trace(true, bytes);
    if (m_port.write(bytes) != bytes.size()) {
        lineLost();
        return fail(
            Failure::NoAnswer,
            QStringLiteral("Cannot send to %1: %2.").arg(m_description, m_port.errorString()));
    }
    const QDeadlineTimer deadline(m_timeout, Qt::PreciseTimer);
    while (m_port.bytesToWrite() > 0) {
        if (!m_port.waitForBytesWritten(int(deadline.remainingTime()))) {
            if (lineLost())
                return false;
            if (deadline.hasExpired())
                return fail(Failure::NoAnswer,
                            QStringLiteral("%1: could not send \"%2\" within %3 ms.")
                                .arg(m_description, ReplyText::display(bytes))
                                .arg(m_timeout.count()));
        }
    }
    return true;
}

QByteArray BoardClient::takeInput(qint64 maxSize)
{
    const QByteArray bytes = maxSize < 0 ? m_port.readAll() : m_port.read(maxSize);
    if (m_trace && !bytes.isEmpty())
        m_trace(false, bytes);
    return bytes;
}

bool BoardClient::waitForInput(const QDeadlineTimer &deadline)
{
    // Polled here rather than through QSerialPort, so that a hang-up is seen as soon as it comes.
    for (;;) {
        if (!m_port.isOpen())
            return false;
        if (m_port.bytesAvailable() > 0)
            return true;
        pollfd line{int(m_port.handle()), POLLIN, 0};
        const int ready = ::poll(&line, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0 && line.revents != 0) {
            m_port.waitForReadyRead(0); // lets QSerialPort take in what the descriptor holds
            if (m_port.bytesAvailable() > 0)
                return true;
            if (lineLost())
                return false;
            if (line.revents & (POLLHUP | POLLERR | POLLNVAL)) {
                m_port.close();
                fail(Failure::NoAnswer, QStringLiteral("%1 stopped answering: the device was "
                                                       "disconnected or hung up. Check the cable "
                                                       "or adapter.")
                                            .arg(m_description));
                return false;
            }
        }
        if (deadline.hasExpired())
            return false;
    }
}

bool BoardClient::readAtLeast(qsizetype count, QByteArray *into, const QDeadlineTimer &deadline)
{
    for (;;) {
        *into += takeInput(count - into->size());
        if (into->size() >= count)
            return true;
        if (!waitForInput(deadline))
            return false;
    }
}

QByteArray BoardClient::readFor(std::chrono::milliseconds window)
{
    QByteArray bytes;
    const QDeadlineTimer deadline(window, Qt::PreciseTimer);
    do
        bytes += takeInput();
    while (waitForInput(deadline));
    return bytes;
}

bool BoardClient::settleLine()
{
    if (m_owed.bytes() > 0 && m_owed.ageMs() >= OwedAnswers::kHorizon.count())
        m_owed.forgive();
    if (m_owed.bytes() > 0) {
        const int owed = m_owed.bytes();
        const qint64 age = m_owed.ageMs();
        const QDeadlineTimer deadline(m_timeout, Qt::PreciseTimer);
        while (m_owed.bytes() > 0) {
            m_owed.pay(int(takeInput().size()));
            if (m_owed.bytes() == 0)
                break;
            if (waitForInput(deadline))
                continue;
            if (m_failure != Failure::None)
                return false;
            if (m_owed.keeping() == OwedAnswers::Keeping::InMemory)
                return fail(Failure::NoAnswer,
                            QStringLiteral("%1: answers to earlier questions (%2 bytes, asked %3 "
                                           "ms ago) have not come within %4 ms, so a late one "
                                           "could be taken for the answer to the next; nothing "
                                           "was asked. They are given up %5 s after they were "
                                           "asked.")
                                .arg(m_description)
                                .arg(owed)
                                .arg(age)
                                .arg(m_timeout.count())
                                .arg(OwedAnswers::kHorizon.count() / 1000));
            return fail(
                Failure::NoAnswer,
                QStringLiteral("%1: answers to earlier questions (%2 bytes, asked %3 ms ago by "
                               "this or another program) have not come within %4 ms, so a late "
                               "one could be taken for the answer to the next; nothing was asked. "
                               "If the board was off or unplugged then, they will never come: "
                               "try again in %5 s. Otherwise the board answers later than the "
                               "timeout: raise it.")
                    .arg(m_description)
                    .arg(owed)
                    .arg(age)
                    .arg(m_timeout.count())
                    .arg((OwedAnswers::kHorizon.count() - age - m_timeout.count()) / 1000 + 1));
        }
    }
    return discardInput(kQuietBefore);
}

bool BoardClient::discardInput(std::chrono::milliseconds quietFor)
{
    // Bounded by the timeout, so that a board that never stops talking cannot hold us here.
    const QDeadlineTimer deadline(m_timeout, Qt::PreciseTimer);
    qint64 discarded = 0;
    // A line with nothing waiting is quiet already; only one that was talking is watched until
    // it stops.
    m_port.waitForReadyRead(0);
    if (m_port.bytesAvailable() == 0)
        return !lineLost() && m_port.isOpen();
    for (;;) {
        const qsizetype count = takeInput().size();
        discarded += count;
        m_owed.pay(int(count));
        if (!waitForInput(QDeadlineTimer(quietFor, Qt::PreciseTimer)))
            return m_failure == Failure::None;
        if (deadline.hasExpired())
            break;
    }
    return fail(Failure::NoAnswer,
                QStringLiteral("%1: the board keeps sending (%2 bytes or more within %3 ms "
                               "without a pause), so its status cannot be told apart.")
                    .arg(m_description)
                    .arg(discarded)
                    .arg(m_timeout.count()));
}

bool BoardClient::lineLost()
{
    const QSerialPort::SerialPortError error = m_port.error();
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError) {
        m_port.clearError();
        return false;
    }
    m_port.clearError();
    m_port.close();
    fail(Failure::NoAnswer, QStringLiteral("%1 stopped answering: the device was disconnected or "
                                           "hung up. Check the cable or adapter.")
                                .arg(m_description));
    return true;
}

bool BoardClient::fail(Failure failure, const QString &message)
{
    m_failure = failure;
    m_errorString = message;
    return false;
}
