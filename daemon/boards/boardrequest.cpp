#include "boardrequest.h"

BoardRequest BoardRequest::switchRelay(int relay, bool on)
{
    BoardRequest request;
    request.kind = Kind::Switch;
    request.relay = relay;
    request.on = on;
    return request;
}

BoardRequest BoardRequest::toggle(int relay)
{
    BoardRequest request;
    request.kind = Kind::Toggle;
    request.relay = relay;
    return request;
}

BoardRequest BoardRequest::setMask(quint16 mask)
{
    BoardRequest request;
    request.kind = Kind::Mask;
    request.mask = mask;
    return request;
}

BoardRequest BoardRequest::switchRelays(quint16 relays, bool on)
{
    BoardRequest request;
    request.kind = Kind::SwitchSome;
    request.mask = relays;
    request.on = on;
    return request;
}

BoardRequest BoardRequest::toggleRelays(quint16 relays)
{
    BoardRequest request;
    request.kind = Kind::ToggleSome;
    request.mask = relays;
    return request;
}

BoardRequest BoardRequest::pulse(int relay, std::chrono::milliseconds length)
{
    BoardRequest request;
    request.kind = Kind::Pulse;
    request.relay = relay;
    request.length = length;
    return request;
}

QString BoardResult::kindName(Error error)
{
    switch (error) {
    case Error::None:
        return QStringLiteral("none");
    case Error::BadRequest:
        return QStringLiteral("bad-request");
    case Error::Refused:
        return QStringLiteral("interlock");
    case Error::UnknownBoard:
        return QStringLiteral("unknown-board");
    case Error::QueueFull:
        return QStringLiteral("queue-full");
    case Error::OtherState:
        return QStringLiteral("other-state");
    case Error::Offline:
        return QStringLiteral("offline");
    case Error::Stopping:
        return QStringLiteral("stopping");
    case Error::Unasked:
        return QStringLiteral("by-itself");
    }
    return {};
}

BoardRequest BoardRequest::read()
{
    BoardRequest request;
    request.kind = Kind::Read;
    return request;
}
