#include "relayprotocol.h"

namespace RelayProtocol {

QByteArray switchCommand(int relay, bool on)
{
    if (relay < 1 || relay > kRelayCount)
        return {};
    QByteArray command = QByteArray::number(relay).rightJustified(2, '0');
    command += on ? '+' : '-';
    command += "//";
    return command;
}

QByteArray allOnCommand()
{
    return QByteArrayLiteral("on//");
}

QByteArray allOffCommand()
{
    return QByteArrayLiteral("off//");
}

QByteArray askCommand()
{
    return QByteArrayLiteral("ask//");
}

QByteArray sequenceCommand()
{
    return QByteArrayLiteral("x\x1a\x05//");
}

QByteArray freeCommand(const QByteArray &typed)
{
    return typed + '\r';
}

std::optional<RelayState> decodeStatus(const QByteArray &reply)
{
    if (reply.size() < 2)
        return std::nullopt;
    const unsigned bits =
        (static_cast<unsigned char>(reply.at(0)) << 8) | static_cast<unsigned char>(reply.at(1));
    RelayState state{};
    for (int i = 0; i < kRelayCount; ++i)
        state[i] = (bits & (0x8000u >> i)) != 0;
    return state;
}

quint16 toMask(const RelayState &state)
{
    quint16 mask = 0;
    for (int i = 0; i < kRelayCount; ++i)
        if (state[i])
            mask |= quint16(0x8000u >> i);
    return mask;
}

RelayState fromMask(quint16 mask)
{
    RelayState state{};
    for (int i = 0; i < kRelayCount; ++i)
        state[i] = (mask & (0x8000u >> i)) != 0;
    return state;
}

QList<QByteArray> commandsToReach(const RelayState &from, const RelayState &to)
{
    QList<QByteArray> commands;
    for (int i = 0; i < kRelayCount; ++i)
        if (from[i] != to[i])
            commands.append(switchCommand(i + 1, to[i]));
    if (commands.size() > 1 && toMask(to) == 0xFFFF)
        return {allOnCommand()};
    if (commands.size() > 1 && toMask(to) == 0)
        return {allOffCommand()};
    return commands;
}

} // namespace RelayProtocol
