#include "relayprotocol.h"

#include "relaymask.h"

namespace RelayProtocol {

QByteArray switchCommand(int relay, bool on)
{
    if (!isRelayNumber(relay))
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
    return fromMask(quint16(bits));
}

quint16 toMask(const RelayState &state)
{
    RelayMask mask;
    for (int i = 0; i < kRelayCount; ++i)
        mask = mask.with(i + 1, state[i]);
    return mask.bits();
}

RelayState fromMask(quint16 mask)
{
    RelayState state{};
    for (int i = 0; i < kRelayCount; ++i)
        state[i] = RelayMask(mask).isOn(i + 1);
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
