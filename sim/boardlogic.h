#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

enum class FaultMode { None, Silent, Short, Long, Chatty };

// The board's side of the protocol, without any I/O.
class BoardLogic final
{
public:
    struct Command
    {
        QByteArray bytes; // without surrounding CR/LF/space
        bool understood = false;
    };

    static constexpr qsizetype kMaxCommandLength = 64;

    explicit BoardLogic(quint16 state = 0, FaultMode fault = FaultMode::None);

    // Consumes bytes (any split across calls), appends each complete command to *commands (may be
    // null) and returns the bytes the board answers.
    QByteArray feed(const QByteArray &bytes, QList<Command> *commands = nullptr);

    quint16 state() const { return m_state; }
    void setState(quint16 state) { m_state = state; }
    FaultMode faultMode() const { return m_fault; }
    void setFaultMode(FaultMode fault) { m_fault = fault; }

    static QByteArray statusReply(quint16 state);

private:
    QByteArray execute(const QByteArray &command, bool *understood);
    QByteArray answerStatusRequest() const;
    void finishPartial(bool understood, QList<Command> *commands);

    QByteArray m_partial;
    quint16 m_state = 0;
    FaultMode m_fault = FaultMode::None;
};
