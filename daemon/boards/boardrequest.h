#pragma once

#include "boardsnapshot.h"

#include <QMetaType>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

struct BoardResult;
// How a request is answered: once, to the front that asked and no other. Called on the board's
// thread, or at once inside submit() when the request is refused before it is queued.
using BoardReply = std::function<void(const BoardResult &)>;

// What a front asks of a board. The only place a wanted state exists is a request in a queue;
// what is published or answered is the state the board reported back.
struct BoardRequest
{
    // SwitchSome and ToggleSome name several relays in `mask`, checked and switched as one.
    enum class Kind { Switch, Toggle, Mask, Pulse, Read, SwitchSome, ToggleSome };

    quint64 id = 0; // chosen by the front, handed back in the result
    BoardReply reply;
    Kind kind = Kind::Switch;
    int relay = 0;                       // 1..16 for Switch, Toggle and Pulse
    bool on = false;                     // Switch
    quint16 mask = 0;                    // Mask, bit 15 = relay 1
    std::chrono::milliseconds length{0}; // Pulse
    // Who asks, for the record of who switched: "mqtt: TOPIC", "http: ADDRESS" or
    // "socket: USER (PROGRAM, pid N)".
    QString source;

    static constexpr std::chrono::milliseconds kMaxPulse{86400000};

    static BoardRequest switchRelay(int relay, bool on);
    static BoardRequest toggle(int relay);
    static BoardRequest setMask(quint16 mask);
    static BoardRequest switchRelays(quint16 relays, bool on);
    static BoardRequest toggleRelays(quint16 relays);
    static BoardRequest pulse(int relay, std::chrono::milliseconds length);
    // Asks the board for its state, in turn with the switching requests; switches nothing.
    static BoardRequest read();
};

// How a request ended. A front turns the kind into its own words or status code.
struct BoardResult
{
    enum class Error {
        None,
        BadRequest,   // malformed or out of range; nothing was sent to the board
        Refused,      // an interlock forbids it; nothing was sent
        UnknownBoard, // no board has that id; nothing was sent
        QueueFull,    // too many requests waiting; nothing was sent
        OtherState,   // the board answered with another state than the one asked for
        Offline,      // the board cannot be opened or does not answer
        Stopping,     // the service stopped before the request ran
        Unasked,      // no request: the board switched relays by itself
    };

    quint64 id = 0;
    Error error = Error::None;
    QString message;              // for a person, naming the board and the relays
    std::optional<quint16> state; // the state read back, when the board answered
    // The board as this request left it: its last read, or why it is offline.
    BoardSnapshot snapshot;

    bool ok() const { return error == Error::None; }
    static QString kindName(Error error); // "interlock", "other-state", ...
};

Q_DECLARE_METATYPE(BoardRequest)
Q_DECLARE_METATYPE(BoardResult)
