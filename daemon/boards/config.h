#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <chrono>
#include <optional>

class RelayMask;

// What the service runs, read once at start into plain values; nothing reads the file later.
enum class OnConnect { Keep, Restore, AllOff };

struct BoardConfig
{
    QString id;     // [a-z0-9_-]{1,32}, part of every topic
    QString name;   // shown in Home Assistant
    QString device; // a device path, or empty when `port` names a COM number
    int port = 0;   // COM n, 0 when `device` is set
    std::chrono::milliseconds pollInterval{1000};
    std::array<QString, 16> relayNames; // empty = "Relay N"
    OnConnect onConnect = OnConnect::Keep;
    QList<QList<int>> interlocks; // groups of relay numbers, never two of a group on
    QString stateDirectory;       // where its last verified state is kept; empty: nowhere

    QString relayName(int relay) const;
    // The sixteen names as relayName() gives them, relay 1 first.
    QStringList relayNameList() const;
    // Relays as messages and the page name them: "1 · Pump, 2 · Fan"; one without a name by its
    // number alone.
    QString relayLabels(RelayMask relays) const;
    static QString defaultRelayName(int relay);
    QString where() const; // "COM3" or the device path, for log lines
    // Every setting alike: a board a reload need not restart.
    bool operator==(const BoardConfig &other) const;
};

struct BrokerConfig
{
    QString host = QStringLiteral("localhost");
    int port = 1883;
    bool tls = false;
    QString username;
    QString password; // from password_file or USB16RELAY_MQTT_PASSWORD, never from the file itself
    QString caFile;
    QString certFile;
    QString keyFile;
    QString baseTopic = QStringLiteral("usb16relay");
    QString discoveryPrefix = QStringLiteral("homeassistant");
    bool discovery = true;
    // This service among others on one broker: its status topic, and (when given in the file)
    // part of its entities' ids. Defaults to the host name.
    QString serviceId;
    bool serviceIdGiven = false;

    static QString defaultServiceId();
};

// The HTTP front: off unless an [http] section or --http asks for it.
struct HttpConfig
{
    static constexpr quint16 kDefaultPort = 8080;

    QString address = QStringLiteral("127.0.0.1");
    quint16 port = kDefaultPort;
    QString tokenFile;   // required for any address but loopback
    QString allowOrigin; // the one other origin a browser may call from; none by default

    // "ADDRESS:PORT", "[IPv6]:PORT" or ":PORT" (loopback); false with a reason otherwise.
    static bool parseListen(const QString &listen, HttpConfig *http, QString *reason);
    static bool isLoopback(const QString &address);
};

struct Config
{
    BrokerConfig broker;
    QList<BoardConfig> boards;
    bool mqtt = false;              // an [mqtt] section or --mqtt
    std::optional<HttpConfig> http; // an [http] section or --http
    // The HTTP API on a Unix socket ([service] socket or --socket), for this machine's users in
    // the socket's group; empty for none unless systemd hands one over.
    QString socket;
    // Where each board's last verified state is kept ([service] state_directory), for
    // on_connect = restore after a restart; empty for nowhere unless systemd names one.
    QString stateDirectory;

    static constexpr const char *kPasswordVariable = "USB16RELAY_MQTT_PASSWORD";
    static constexpr std::chrono::milliseconds kMinPollInterval{100};

    // Reads an INI file. On failure returns nothing and sets `error` to "FILE:LINE: key: reason".
    static std::optional<Config> load(const QString &path, QString *error);

    // "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]" into `broker`; false with a reason otherwise.
    static bool parseUrl(const QString &url, BrokerConfig *broker, QString *reason);
    static bool isValidId(const QString &id);
    static bool isValidSocketPath(const QString &path, QString *reason);
};
