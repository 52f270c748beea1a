#pragma once

#include "relayprotocol.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <optional>

class ServiceClient;

// Finding usb16relayd's board on a port, and reading what the service says of a board: the
// same for every program that goes through the service.
namespace ServiceBoards {

// Listing the boards is the service's own state: it answers at once.
constexpr std::chrono::milliseconds kListBound{3000};

// The boards the service serves; empty when it cannot be reached (the client says why) or
// answers with an error.
QJsonArray list(ServiceClient &client);
// The board of `boards` on the port `portName` ("COM3", may be empty) or the device `device`,
// followed through links; an empty object for none.
QJsonObject boardOn(const QJsonArray &boards, const QString &portName, const QString &device);
// The relays a board's view reports; nothing when it reports none (never read).
std::optional<RelayState> stateOf(const QJsonObject &view);
// "b1 "Greenhouse"": the board's id, and its name where it has one of its own.
QString nameOf(const QJsonObject &view);

// What a person can do when usb16relayd holds a port and its socket cannot be used, for the
// reason the client found; ends with "then <retry>."
QString reachAdvice(const ServiceClient &client, const QString &retry);

} // namespace ServiceBoards
