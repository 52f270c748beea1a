#include "boardlogic.h"

#include "relaymask.h"

namespace {

constexpr char kTerminator[] = "//";
constexpr char kStatusRequest[] = "ask//";
constexpr char kAllOn[] = "on//";
constexpr char kAllOff[] = "off//";
constexpr char kSequenceCommand[] = "x\x1A\x05//";
constexpr quint16 kAllRelays = 0xFFFF;

bool isLineBreak(char byte)
{
    return byte == '\r' || byte == '\n';
}

bool isDigit(char byte)
{
    return byte >= '0' && byte <= '9';
}

// Relay number of a terminated "NN+//" or "NN-//", or 0 if it is not one.
int switchedRelay(const QByteArray &command)
{
    if (command.size() != 5 || !isDigit(command[0]) || !isDigit(command[1]) ||
        (command[2] != '+' && command[2] != '-'))
        return 0;
    const int relay = (command[0] - '0') * 10 + (command[1] - '0');
    return isRelayNumber(relay) ? relay : 0;
}

quint16 relayBit(int relay)
{
    return RelayMask::relay(relay).bits();
}

} // namespace

BoardLogic::BoardLogic(quint16 state, FaultMode fault) : m_state(state), m_fault(fault) {}

QByteArray BoardLogic::feed(const QByteArray &bytes, QList<Command> *commands)
{
    QByteArray reply;
    for (const char byte : bytes) {
        if (m_partial.isEmpty() && (isLineBreak(byte) || byte == ' '))
            continue;
        if (isLineBreak(byte)) {
            finishPartial(false, commands);
            continue;
        }
        m_partial.append(byte);
        if (m_partial.endsWith(kTerminator)) {
            bool understood = false;
            reply += execute(m_partial, &understood);
            finishPartial(understood, commands);
        } else if (m_partial.size() >= kMaxCommandLength) {
            finishPartial(false, commands);
        }
    }
    return reply;
}

QByteArray BoardLogic::statusReply(quint16 state)
{
    QByteArray reply(2, Qt::Uninitialized);
    reply[0] = char(state >> 8);
    reply[1] = char(state & 0xFF);
    return reply;
}

QByteArray BoardLogic::execute(const QByteArray &command, bool *understood)
{
    *understood = true;
    if (command == kStatusRequest)
        return answerStatusRequest();

    if (command == kAllOn) {
        m_state = kAllRelays;
    } else if (command == kAllOff) {
        m_state = 0;
    } else if (command == kSequenceCommand) {
        // accepted, changes nothing
    } else if (const int relay = switchedRelay(command); relay != 0) {
        if (command[2] == '+')
            m_state |= relayBit(relay);
        else
            m_state &= quint16(~relayBit(relay));
    } else {
        *understood = false;
        return {};
    }
    return m_fault == FaultMode::Chatty ? statusReply(m_state) : QByteArray();
}

QByteArray BoardLogic::answerStatusRequest() const
{
    switch (m_fault) {
    case FaultMode::Silent:
        return {};
    case FaultMode::Short:
        return statusReply(m_state).left(1);
    case FaultMode::Long:
        return statusReply(m_state) + "\r\n";
    case FaultMode::None:
    case FaultMode::Chatty:
        break;
    }
    return statusReply(m_state);
}

void BoardLogic::finishPartial(bool understood, QList<Command> *commands)
{
    while (m_partial.endsWith(' '))
        m_partial.chop(1);
    if (commands && !m_partial.isEmpty())
        commands->append({m_partial, understood});
    m_partial.clear();
}
