#pragma once

#include "serviceclient.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// What the command line asks for, checked: relay numbers are 1 to 16, masks and times are in
// range, text is sendable. Nothing here touches a port.
struct CommandLine
{
    enum class Command {
        Help,
        Version,
        Ports,
        Status,
        On,
        Off,
        Toggle,
        AllOn,
        AllOff,
        Set,
        Pulse,
        Send,
        Watch,
    };

    static constexpr const char *kDefaultSocket = ServiceClient::kDefaultSocket;

    Command command = Command::Help;
    std::optional<int> port; // --port N
    QString device;          // --device PATH
    QString board;           // --board ID: a board of usb16relayd's, through its socket
    QString socket = QString::fromLatin1(kDefaultSocket); // --socket PATH: usb16relayd's socket
    QStringList relayNames; // with --board: relays named rather than numbered, resolved later
    std::chrono::milliseconds timeout{1000};
    std::chrono::milliseconds wait{0}; // --wait SECONDS: how long a busy port is waited for
    bool json = false;
    bool raw = false;
    bool trace = false;
    std::chrono::milliseconds interval{500};
    QList<int> relays; // on, off, toggle, pulse (one)
    quint16 mask = 0;  // set
    std::chrono::milliseconds pulseLength{0};
    QByteArray text; // send, without the carriage return

    // Nothing for bad usage; *error then says what was expected. `rawArguments` are the bytes
    // the program was given (argv), to name a byte that is not text as the byte it is.
    static std::optional<CommandLine> parse(const QStringList &arguments, QString *error,
                                            const QList<QByteArray> &rawArguments = {});
    static QString helpText();
};
