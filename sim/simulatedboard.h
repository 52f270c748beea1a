#pragma once

#include "boardlogic.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>

class QSocketNotifier;

// The board on a pseudo-terminal: the tool opens slavePath() (or the link) as its serial port.
// Runs on the owner's event loop.
class SimulatedBoard final : public QObject
{
    Q_OBJECT

public:
    explicit SimulatedBoard(QObject *parent = nullptr);
    ~SimulatedBoard() override;

    // Opens the pty; with a linkPath, also makes a symbolic link there to the slave. Can be called
    // again after vanish() to plug the board back in (relay state is kept).
    bool start(const QString &linkPath = {});
    QString errorString() const { return m_errorString; }
    QString slavePath() const { return m_slavePath; }
    QString linkPath() const { return m_linkPath; }
    bool isRunning() const { return m_masterFd >= 0; }

    quint16 state() const { return m_logic.state(); }
    void setState(quint16 state);
    FaultMode faultMode() const { return m_logic.faultMode(); }
    void setFaultMode(FaultMode mode) { m_logic.setFaultMode(mode); }
    std::chrono::milliseconds replyDelay() const { return m_replyDelay; }
    void setReplyDelay(std::chrono::milliseconds delay) { m_replyDelay = delay; }

    // A wire of `baud` bits per second (ten bits a byte, both ways; 0: as fast as the pty) and a
    // USB adapter's latency timer: bytes for the tool are delivered in bursts, each when the
    // timer next runs out after they came off the wire (0: at once).
    void setLine(int baud, std::chrono::milliseconds latency);

    // An empty path stops logging.
    bool setByteLog(const QString &path);
    QByteArray received() const { return m_received; }
    QList<QByteArray> commands() const { return m_commands; }
    void clearReceived(); // clears commands() too

    void send(const QByteArray &bytes);
    // Like an unplugged adapter: the tool's descriptor on the slave sees a hangup.
    void vanish();

signals:
    void commandReceived(const QByteArray &command, bool understood);
    void stateChanged(quint16 state);

private:
    struct PendingReply
    {
        std::chrono::steady_clock::time_point due;
        QByteArray bytes;
    };

    bool openPty();
    bool makeLink(const QString &linkPath);
    void closePty();
    void removeLink();
    void readFromTool();
    void process(const QByteArray &bytes);
    void queueReply(const QByteArray &reply);
    void sendDueReplies();
    void writeToTool(const QByteArray &bytes);
    void flushOutgoing();
    void pumpLine();
    void scheduleLine(std::chrono::steady_clock::time_point now);
    std::chrono::steady_clock::time_point onWire(std::chrono::steady_clock::time_point *free,
                                                 std::chrono::steady_clock::time_point now) const;
    bool fail(const QString &message);

    BoardLogic m_logic;
    int m_masterFd = -1;
    int m_slaveFd = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QString m_slavePath;
    QString m_linkPath;
    bool m_linkMade = false;
    QString m_errorString;
    std::chrono::milliseconds m_replyDelay{0};
    std::deque<PendingReply> m_pendingReplies;
    QTimer m_replyTimer;
    QByteArray m_outgoing;
    struct TimedByte
    {
        std::chrono::steady_clock::time_point due;
        char byte;
    };
    int m_baud = 0;
    std::chrono::milliseconds m_latency{0};
    std::deque<TimedByte> m_toBoard; // from the tool, still on the wire
    std::deque<TimedByte> m_toTool;  // for the tool, on the wire or in the adapter
    std::chrono::steady_clock::time_point m_toBoardFree;
    std::chrono::steady_clock::time_point m_toToolFree;
    QTimer m_lineTimer;
    bool m_pumping = false;
    QFile m_byteLog;
    QByteArray m_received;
    QList<QByteArray> m_commands;
};
