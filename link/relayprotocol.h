#pragma once

#include <QByteArray>
#include <QList>

#include <array>
#include <chrono>
#include <optional>

// Sixteen relay states, index 0 = relay 1; true = energised.
using RelayState = std::array<bool, 16>;

namespace RelayProtocol {

constexpr int kRelayCount = 16;

// Pauses the board needs between a command and the next step.
constexpr std::chrono::milliseconds kSwitchPause{50};   // switching command -> status refresh
constexpr std::chrono::milliseconds kStatusPause{300};  // "ask//" -> read the reply
constexpr std::chrono::milliseconds kConnectPause{200}; // first refresh -> second refresh
constexpr std::chrono::milliseconds kConsolePause{50};  // console command -> read the reply

// "NN+//" or "NN-//"; empty for a relay outside 1..16.
QByteArray switchCommand(int relay, bool on);
QByteArray allOnCommand();
QByteArray allOffCommand();
QByteArray askCommand();
QByteArray sequenceCommand();
// The operator's bytes followed by the one carriage return the board expects after free text.
QByteArray freeCommand(const QByteArray &typed);

// Decodes the first two bytes of a status reply; nothing for a reply shorter than two bytes.
std::optional<RelayState> decodeStatus(const QByteArray &reply);

// The sixteen states as a mask, bit 15 = relay 1 ... bit 0 = relay 16 (the status bytes' order).
quint16 toMask(const RelayState &state);
RelayState fromMask(quint16 mask);

// The fewest commands that take the board from one state to another: nothing when they are equal,
// "on//" or "off//" when every relay ends on or off and more than one must change, otherwise one
// "NN+//" or "NN-//" per relay that differs, in relay order.
QList<QByteArray> commandsToReach(const RelayState &from, const RelayState &to);

} // namespace RelayProtocol
