#pragma once

#include "linesettings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <deque>

// The window's serial link to the board: a COM port number, line settings, an input buffer and
// a record of the last event on the line. Failures never throw: calls that can fail return
// false and leave the reason in errorString(); failures no call caused (the device vanishing)
// are announced through errorOccurred().
class SerialLink final : public QObject
{
    Q_OBJECT

public:
    // Codes commEvent() reports.
    enum CommEventCode : qint16 {
        NoEvent = 0,
        Send = 1,    // output buffer fell below SThreshold
        Receive = 2, // at least RThreshold bytes are buffered
        DeviceLost = 1010,
        ReadFault = 1011,
        WriteFault = 1012,
    };

    // Unread input kept at most; older bytes beyond it are dropped.
    static constexpr qint64 kMaxUnread = 64 * 1024;

    explicit SerialLink(QObject *parent = nullptr);
    ~SerialLink() override;

    bool portOpen() const;
    bool setPortOpen(bool open);

    qint16 commPort() const { return m_commPort; }
    bool setCommPort(qint16 port);

    QString settings() const { return m_settings; }
    bool setSettings(const QString &settings);

    int inputLen() const { return m_inputLen; }
    void setInputLen(int length);
    int rThreshold() const { return m_rThreshold; }
    void setRThreshold(int threshold);
    int sThreshold() const { return m_sThreshold; }
    void setSThreshold(int threshold);

    // Only 0 is meaningful: discards every unread byte, ours and the driver's.
    bool setInBufferCount(int count);
    int inBufferCount() const;

    // Queues the bytes exactly as given and hands them to the driver at once.
    bool setOutput(const QByteArray &bytes);

    // Everything received so far (at most InputLen bytes when that is set), including bytes the
    // driver holds that have not been picked up yet; they leave the buffer. Nothing when closed.
    QByteArray input();

    qint16 commEvent() const { return m_commEvent; }

    // Bytes taken off the line since the port was opened: read through input() or discarded.
    quint64 receivedCount() const { return m_received; }
    // Records a question just written whose answer is `bytes` long, and returns where on the
    // line (in receivedCount() terms) its answer begins: after the answers still owed to earlier
    // questions. An answer that has not come whole within OwedAnswers::kHorizon of its
    // question is taken as lost, and the questions after it move up.
    quint64 expectAnswer(int bytes);

    QString errorString() const { return m_errorString; }

    // "COM3 (/dev/ttyUSB2)", naming the device the link points at.
    QString portDescription() const;

signals:
    void errorOccurred(const QString &message);

private:
    bool openPort();
    // Puts back the driver's low-latency setting where opening changed it, then closes.
    void closePort();
    bool applySettings();
    bool fail(const QString &message);
    bool requireOpen(const QString &action);
    void pullFromDriver();
    void handleReadyRead();
    void handleBytesWritten();
    void handlePortError(QSerialPort::SerialPortError error);

    void settleQuestions();

    struct Question
    {
        qint64 askedAt; // milliseconds on m_clock
        int bytes;
    };

    QSerialPort m_port;
    bool m_lowLatency = false;
    quint64 m_received = 0;
    // Questions whose answers have not all come, oldest first; the first one's answer begins at
    // m_answersFrom.
    std::deque<Question> m_questions;
    quint64 m_answersFrom = 0;
    QElapsedTimer m_clock;
    qint16 m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    LineSettings m_line;
    int m_inputLen = 0;
    int m_rThreshold = 0;
    int m_sThreshold = 0;
    qint16 m_commEvent = NoEvent;
    QString m_errorString;
    // While a call runs, a port error belongs to that call's result rather than to errorOccurred.
    bool m_deviceLost = false;
    QString m_lostReason;
    int m_callDepth = 0;
    QString m_callError;
};
