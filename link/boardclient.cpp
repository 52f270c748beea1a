#include "boardclient.h"

#include "comportpath.h"
#include "replytext.h"
#include "serialdevice.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QStringList>

namespace {

// How long the line must stay silent before stray bytes count as all gone.
constexpr std::chrono::milliseconds kQuietGap{50};

quint16 relayBit(int relay)
{
    return quint16(0x8000u >> (relay - 1));
}

QString relayList(const QList<int> &relays)
{
    QStringList words;
    for (const int relay : relays)
        words.append(QString::number(relay));
    return words.join(QStringLiteral(", "));
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
    if (m_port.isOpen())
        m_port.close();
}

std::optional<RelayState> BoardClient::askStatus()
{
    m_failure = Failure::None;
    m_errorString.clear();
    if (!m_port.isOpen()) {
        fail(Failure::NoAnswer, QStringLiteral("No port is open."));
        return std::nullopt;
    }
    // Whatever came before (late answers, noise) is not the answer to this question.
    if (!discardInput(std::chrono::milliseconds::zero()))
        return std::nullopt;
    const QByteArray ask = RelayProtocol::askCommand();
    if (!writeAll(ask))
        return std::nullopt;
    QByteArray reply;
    if (!readAtLeast(2, &reply, m_timeout)) {
        if (m_failure != Failure::None)
            return std::nullopt;
        if (reply.isEmpty())
            fail(Failure::NoAnswer, QStringLiteral("%1: the board did not answer \"%2\" within "
                                                   "%3 ms. Check that it is powered and "
                                                   "connected to this port.")
                                        .arg(m_description, QString::fromLatin1(ask))
                                        .arg(m_timeout.count()));
        else
            fail(Failure::NoAnswer,
                 QStringLiteral("%1: the board answered \"%2\" with one byte "
                                "(%3) within %4 ms; a status has two.")
                     .arg(m_description, QString::fromLatin1(ask), ReplyText::display(reply))
                     .arg(m_timeout.count()));
        return std::nullopt;
    }
    m_lastState = RelayProtocol::decodeStatus(reply);
    return m_lastState;
}

bool BoardClient::switchAndVerify(const QList<QByteArray> &commands, quint16 care, quint16 wanted)
{
    if (!m_port.isOpen())
        return fail(Failure::NoAnswer, QStringLiteral("No port is open."));
    QByteArray bytes;
    for (const QByteArray &command : commands)
        bytes += command;
    if (!bytes.isEmpty() && !writeAll(bytes))
        return false;

    const auto differing = [care, wanted](const RelayState &state) {
        QList<int> relays;
        const quint16 diff = (RelayProtocol::toMask(state) ^ wanted) & care;
        for (int i = 0; i < RelayProtocol::kRelayCount; ++i)
            if (diff & (0x8000u >> i))
                relays.append(i + 1);
        return relays;
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
                         relayList(wrong), details.join(QStringLiteral(", "))));
}

bool BoardClient::switchRelays(const QList<int> &relays, bool on)
{
    QList<QByteArray> commands;
    quint16 care = 0;
    for (const int relay : relays) {
        commands.append(RelayProtocol::switchCommand(relay, on));
        care |= relayBit(relay);
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
        care |= relayBit(relay);
        if (on)
            wanted |= relayBit(relay);
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
        bytes += m_port.read(limit - bytes.size());
        if (bytes.size() >= limit || deadline.hasExpired())
            break;
        if (!m_port.waitForReadyRead(int(deadline.remainingTime())) && lineLost())
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
    if (m_port.open(QIODevice::ReadWrite))
        return true;

    const QSerialPort::SerialPortError error = m_port.error();
    const QString reason = m_port.errorString();
    m_port.clearError();
    m_port.close();
    return fail(Failure::CannotOpen, SerialDevice::openFailure(description, path, error, reason,
                                                               QStringLiteral("try again")));
}

bool BoardClient::writeAll(const QByteArray &bytes)
{
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

bool BoardClient::readAtLeast(qsizetype count, QByteArray *into, std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout, Qt::PreciseTimer);
    for (;;) {
        *into += m_port.read(count - into->size());
        if (into->size() >= count)
            return true;
        if (deadline.hasExpired())
            return false;
        if (!m_port.waitForReadyRead(int(deadline.remainingTime())) && lineLost())
            return false;
    }
}

bool BoardClient::discardInput(std::chrono::milliseconds quietFor)
{
    // Bounded by the timeout, so that a board that never stops talking cannot hold us here.
    const QDeadlineTimer deadline(m_timeout, Qt::PreciseTimer);
    qint64 discarded = 0;
    bool more = false;
    do {
        discarded += m_port.readAll().size();
        m_port.clear(QSerialPort::Input);
        more = m_port.waitForReadyRead(int(quietFor.count()));
    } while (more && !deadline.hasExpired());
    if (!more)
        return !lineLost();
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
