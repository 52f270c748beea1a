#include "seriallink.h"

#include "owedanswers.h"

#include "comportpath.h"
#include "serialdevice.h"

#include <QFileInfo>

#include <sys/ioctl.h>

namespace {

QString notOpenRemedy()
{
    return QStringLiteral("Press Connect to open it.");
}

} // namespace

// Marks a call whose failures are returned to the caller instead of being announced.
class CallScope
{
public:
    explicit CallScope(int &depth, QString &error) : m_depth(depth)
    {
        if (m_depth++ == 0)
            error.clear();
    }
    ~CallScope() { --m_depth; }
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

private:
    int &m_depth;
};

SerialLink::SerialLink(QObject *parent) : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialLink::handleReadyRead);
    connect(&m_port, &QSerialPort::bytesWritten, this, &SerialLink::handleBytesWritten);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialLink::handlePortError);
}

SerialLink::~SerialLink()
{
    closePort();
}

bool SerialLink::portOpen() const
{
    return m_port.isOpen() && !m_deviceLost;
}

bool SerialLink::setPortOpen(bool open)
{
    m_lostReason.clear();
    if (!open || m_deviceLost) {
        closePort();
        m_deviceLost = false;
    }
    if (!open || m_port.isOpen())
        return true;
    return openPort();
}

bool SerialLink::setCommPort(qint16 port)
{
    if (portOpen() && port != m_commPort)
        return fail(QStringLiteral("Cannot switch to COM%1 while %2 is open; close it first.")
                        .arg(port)
                        .arg(portDescription()));
    m_commPort = port;
    return true;
}

bool SerialLink::setSettings(const QString &settings)
{
    QString why;
    const std::optional<LineSettings> line = LineSettings::parse(settings, &why);
    if (!line)
        return fail(QStringLiteral("Invalid line settings \"%1\": %2.").arg(settings, why));
    m_settings = settings;
    m_line = *line;
    return !m_port.isOpen() || applySettings();
}

void SerialLink::setInputLen(int length)
{
    m_inputLen = qMax(0, length);
}

void SerialLink::setRThreshold(int threshold)
{
    m_rThreshold = qMax(0, threshold);
}

void SerialLink::setSThreshold(int threshold)
{
    m_sThreshold = qMax(0, threshold);
}

bool SerialLink::setInBufferCount(int count)
{
    if (count != 0)
        return fail(QStringLiteral("Only 0 can be written to the input buffer count."));
    if (!requireOpen(QStringLiteral("nothing can be read from it")))
        return false;
    CallScope scope(m_callDepth, m_callError);
    // Read out rather than flushed, so that every byte the line brought is counted.
    pullFromDriver();
    if (portOpen())
        m_received += quint64(m_port.readAll().size());
    return m_callError.isEmpty() || fail(m_callError);
}

int SerialLink::inBufferCount() const
{
    return portOpen() ? static_cast<int>(m_port.bytesAvailable()) : 0;
}

bool SerialLink::setOutput(const QByteArray &bytes)
{
    if (!requireOpen(QStringLiteral("nothing can be sent to the board")))
        return false;
    CallScope scope(m_callDepth, m_callError);
    if (m_port.write(bytes) != bytes.size() && m_callError.isEmpty())
        m_callError =
            QStringLiteral("Cannot send to %1: %2.").arg(portDescription(), m_port.errorString());
    // Hand the bytes to the driver now: the caller reads CommEvent and waits next, and the
    // board must already be answering by then.
    if (m_callError.isEmpty())
        m_port.flush();
    return m_callError.isEmpty() || fail(m_callError);
}

QByteArray SerialLink::input()
{
    if (!portOpen())
        return {};
    pullFromDriver();
    if (!portOpen())
        return {};
    const QByteArray bytes = m_inputLen > 0 ? m_port.read(m_inputLen) : m_port.readAll();
    m_received += quint64(bytes.size());
    return bytes;
}

quint64 SerialLink::expectAnswer(int bytes)
{
    settleQuestions();
    quint64 at = m_answersFrom;
    for (const Question &question : m_questions)
        at += quint64(question.bytes);
    m_questions.push_back({m_clock.elapsed(), bytes});
    return at;
}

void SerialLink::settleQuestions()
{
    if (!m_clock.isValid())
        m_clock.start();
    while (!m_questions.empty()) {
        const Question &first = m_questions.front();
        if (m_received >= m_answersFrom + quint64(first.bytes))
            m_answersFrom += quint64(first.bytes); // answered (or taken by whoever read it)
        else if (m_clock.elapsed() - first.askedAt >= OwedAnswers::kHorizon.count())
            m_answersFrom = m_received; // lost: nothing this late counts any more
        else
            break;
        m_questions.pop_front();
    }
    if (m_questions.empty())
        m_answersFrom = std::max(m_answersFrom, m_received);
}

QString SerialLink::portDescription() const
{
    return SerialDevice::describeComPort(m_commPort);
}

bool SerialLink::openPort()
{
    const QString path = ComPortPath::devicePath(m_commPort);
    const QString what = portDescription();
    if (path.isEmpty())
        return fail(QStringLiteral("Cannot open COM%1: no serial device stands for that number. %2")
                        .arg(m_commPort)
                        .arg(ComPortPath::mappingHint()));
    const QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("Cannot open %1: the device does not exist. Check that the "
                                   "board is plugged in, then pick its port. %2")
                        .arg(what, ComPortPath::mappingHint()));

    CallScope scope(m_callDepth, m_callError);
    m_port.setPortName(info.canonicalFilePath());
    m_port.setBaudRate(m_line.baudRate);
    m_port.setParity(m_line.parity);
    m_port.setDataBits(m_line.dataBits);
    m_port.setStopBits(m_line.stopBits);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = m_port.error();
        const QString reason = m_port.errorString();
        m_port.clearError();
        m_port.close();
        if (error == QSerialPort::UnsupportedOperationError)
            return fail(QStringLiteral("Cannot open %1: it does not accept the line settings %2 "
                                       "(%3).")
                            .arg(what, m_settings, reason));
        return fail(SerialDevice::openFailure(what, info.canonicalFilePath(), error, reason,
                                              QStringLiteral("press Connect")));
    }
    m_lowLatency = SerialDevice::requestLowLatency(int(m_port.handle()));
    // A fresh connection starts with no event recorded and nothing owed: whatever came before
    // belongs to the previous one.
    m_commEvent = NoEvent;
    m_received = 0;
    m_answersFrom = 0;
    m_questions.clear();
    m_deviceLost = false;
    return true;
}

void SerialLink::closePort()
{
    if (m_port.isOpen() && m_lowLatency && !m_deviceLost)
        SerialDevice::endLowLatency(int(m_port.handle()));
    m_lowLatency = false;
    m_port.close();
}

bool SerialLink::applySettings()
{
    CallScope scope(m_callDepth, m_callError);
    const bool ok = m_port.setBaudRate(m_line.baudRate) && m_port.setParity(m_line.parity) &&
                    m_port.setDataBits(m_line.dataBits) && m_port.setStopBits(m_line.stopBits);
    if (ok)
        return true;
    const QString reason = m_port.errorString();
    m_port.clearError();
    return fail(QStringLiteral("%1 does not accept the line settings %2 (%3).")
                    .arg(portDescription(), m_settings, reason));
}

bool SerialLink::fail(const QString &message)
{
    m_errorString = message;
    return false;
}

bool SerialLink::requireOpen(const QString &consequence)
{
    if (portOpen())
        return true;
    // After a device vanished, say why the port is closed rather than only that it is.
    if (!m_lostReason.isEmpty())
        return fail(m_lostReason);
    return fail(QStringLiteral("%1 is not open, so %2. %3")
                    .arg(portDescription(), consequence, notOpenRemedy()));
}

void SerialLink::pullFromDriver()
{
    // Bytes the driver holds that the event loop has not picked up yet count as received.
    int pending = 0;
    for (int round = 0; round < 64 && portOpen(); ++round) {
        if (::ioctl(m_port.handle(), FIONREAD, &pending) != 0 || pending <= 0)
            break;
        if (!m_port.waitForReadyRead(0))
            break;
    }
}

void SerialLink::handleReadyRead()
{
    // A board or a wrong device that streams while nobody reads must not grow the program: keep
    // the newest bytes, a reply is only two.
    const qint64 excess = m_port.bytesAvailable() - kMaxUnread;
    if (excess > 0)
        m_port.skip(excess); // uncounted: what a board that floods the line says is no answer
    if (m_rThreshold > 0 && m_port.bytesAvailable() >= m_rThreshold)
        m_commEvent = Receive;
}

void SerialLink::handleBytesWritten()
{
    if (m_sThreshold > 0 && m_port.bytesToWrite() < m_sThreshold)
        m_commEvent = Send;
}

void SerialLink::handlePortError(QSerialPort::SerialPortError error)
{
    if (m_deviceLost || error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
        return;
    const bool lost = error == QSerialPort::ResourceError ||
                      ((error == QSerialPort::ReadError || error == QSerialPort::WriteError) &&
                       SerialDevice::hungUp(m_port.handle()));
    QString message;
    if (lost) {
        // Close on the next turn of the event loop: the port object is still inside its own
        // notification here. Until then the link already reads as closed.
        m_commEvent = DeviceLost;
        m_deviceLost = true;
        message = QStringLiteral("%1 stopped answering: the device was disconnected or hung up. "
                                 "The port is closed; check the cable or adapter, then press "
                                 "Connect.")
                      .arg(portDescription());
        m_lostReason = message;
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_deviceLost)
                    closePort();
            },
            Qt::QueuedConnection);
    } else if (error == QSerialPort::ReadError) {
        m_commEvent = ReadFault;
        message = QStringLiteral("Reading from %1 failed (%2).")
                      .arg(portDescription(), m_port.errorString());
    } else if (error == QSerialPort::WriteError) {
        m_commEvent = WriteFault;
        message = QStringLiteral("Sending to %1 failed (%2).")
                      .arg(portDescription(), m_port.errorString());
    } else {
        // Open failures are handled where the open is attempted.
        return;
    }
    m_port.clearError();
    if (m_callDepth > 0) {
        if (m_callError.isEmpty())
            m_callError = message;
        return;
    }
    m_errorString = message;
    emit errorOccurred(message);
}
