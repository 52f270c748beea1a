#pragma once

#include "owedanswers.h"
#include "relayprotocol.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QSerialPort>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// A short-lived client for one board: opens a port, asks the board with a deadline and switches
// relays with verification. Unlike the window's SerialLink it keeps no pauses of its own: every
// exchange ends as soon as the board's answer is complete, or at the deadline. Synchronous; it
// needs no event loop. Calls that can fail return false (or nothing) and leave failure() and
// errorString() set.
class BoardClient final
{
public:
    enum class Failure {
        None,
        CannotOpen, // no device, no permission, held by another program, refused line settings
        NoAnswer,   // silence, fewer than two status bytes, or the line was lost
        WrongState, // the board answered but reports another state than the one asked for
    };

    // Sees every byte written (sent = true) and read, as it passes.
    using Trace = std::function<void(bool sent, const QByteArray &bytes)>;

    BoardClient();
    ~BoardClient();
    BoardClient(const BoardClient &) = delete;
    BoardClient &operator=(const BoardClient &) = delete;

    // COM n through the window's table (and USB16RELAY_PORT_DIR), or any serial device.
    bool openComPort(int n);
    bool openDevice(const QString &path);
    bool isOpen() const { return m_port.isOpen(); }
    void close();

    QString portName() const { return m_portName; }       // "COM3", empty for a device path
    QString devicePath() const { return m_device; }       // the device actually opened
    QString description() const { return m_description; } // "COM3 (/dev/ttyUSB2)"

    std::chrono::milliseconds timeout() const { return m_timeout; }
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    void setTrace(Trace trace) { m_trace = std::move(trace); }

    // A program that holds the port for long keeps what the board still owes in memory, for as
    // long as the same device is reopened; short-lived ones share a note (see OwedAnswers).
    // Before the port is opened.
    void keepOwedAnswersInMemory() { m_owed.setKeeping(OwedAnswers::Keeping::InMemory); }
    // Told of notes found and ignored; qWarning without.
    void setWarning(std::function<void(const QString &)> warning)
    {
        m_owed.setWarning(std::move(warning));
    }

    // Silence required after the two answers: by default what bytes right behind them could take
    // to come, derived on opening from the line (two bytes at 9600 baud) and the adapter's
    // latency timer (sysfs latency_timer for FTDI, 16 ms for other USB adapters), plus 2 ms; a
    // pty has neither. Opening asks the driver for low latency first (an FTDI adapter then runs
    // its timer at 1 ms), and closing puts the setting back. A program that has just opened the
    // port cannot know what is still on the way to it and keeps the default. One that holds the
    // port for long has seen everything the line carried, and what it still owes is counted, so
    // it may shorten it: bytes already waiting behind the answers are still seen.
    std::chrono::milliseconds guard() const { return m_guard; }
    void setGuard(std::chrono::milliseconds guard)
    {
        m_guard = guard;
        m_guardFixed = true;
    }

    // The board's status, taken only when it cannot be anything else: the line quiet before the
    // question, "ask//" sent twice in one write, exactly two equal pairs back and then silence for
    // a guard time. Anything else (extra bytes, pairs that differ) is asked again a few times,
    // then reported with the bytes that came. Answers still owed to earlier questions (of this
    // or an earlier program, see OwedAnswers) are waited for first.
    std::optional<RelayState> askStatus();

    // Sends the commands, then reads the state back and checks the relays selected by `care`
    // (bit 15 = relay 1) against `wanted`. A reply that differs is asked once more after the
    // line has gone quiet, so bytes the board sent unasked do not count as its state.
    bool switchAndVerify(const QList<QByteArray> &commands, quint16 care, quint16 wanted);

    // The switching commands, each verified. Relays are numbers from 1 to 16.
    bool switchRelays(const QList<int> &relays, bool on);
    bool switchAll(bool on);
    // Reads the state first and switches each relay to the opposite of what the board reports.
    bool toggleRelays(const QList<int> &relays);
    // Reads the state first and sends only the commands that make it `mask` (bit 15 = relay 1).
    bool setRelays(quint16 mask);

    // Sends bytes as they are; then everything that arrives within `window` (at most `limit`).
    bool send(const QByteArray &bytes);
    QByteArray collect(std::chrono::milliseconds window, qsizetype limit);

    // False (with the failure set) when the device has hung up since the last exchange, as an
    // unplugged adapter or a closed pty does; for long waits between exchanges.
    bool checkLine();

    // The last state the board reported.
    std::optional<RelayState> lastState() const { return m_lastState; }

    Failure failure() const { return m_failure; }
    QString errorString() const { return m_errorString; }

private:
    bool open(const QString &path, const QString &description);
    bool writeAll(const QByteArray &bytes);
    bool readAtLeast(qsizetype count, QByteArray *into, const QDeadlineTimer &deadline);
    QByteArray readFor(std::chrono::milliseconds window);
    bool waitForInput(const QDeadlineTimer &deadline);
    bool settleLine();
    bool discardInput(std::chrono::milliseconds quietFor);
    QByteArray takeInput(qint64 maxSize = -1);
    bool lineLost();
    bool fail(Failure failure, const QString &message);
    void failIncomplete(const QByteArray &reply, qint64 silentAfterFirst);
    void failUnclear(const QList<QByteArray> &cameInstead, bool extraBytes);

    QSerialPort m_port;
    QString m_portName;
    QString m_device;
    QString m_description;
    std::chrono::milliseconds m_timeout{1000};
    std::chrono::milliseconds m_guard{20};
    bool m_guardFixed = false;
    bool m_lowLatency = false; // asked for on opening, to be put back on closing
    std::optional<RelayState> m_lastState;
    OwedAnswers m_owed;
    Trace m_trace;
    Failure m_failure = Failure::None;
    QString m_errorString;
};
