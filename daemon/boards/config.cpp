#include "config.h"

#include "comportpath.h"
#include "inireader.h"
#include "relaymask.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUrl>

#include <map>

#include <sys/stat.h>

namespace {

const QString kMqttSection = QStringLiteral("mqtt");
const QStringList kMqttKeys = {
    QStringLiteral("url"),           QStringLiteral("username"),
    QStringLiteral("password_file"), QStringLiteral("ca_file"),
    QStringLiteral("cert_file"),     QStringLiteral("key_file"),
    QStringLiteral("base_topic"),    QStringLiteral("discovery_prefix"),
    QStringLiteral("discovery"),
};
const QStringList kBoardKeys = {
    QStringLiteral("device"),        QStringLiteral("port"),       QStringLiteral("name"),
    QStringLiteral("poll_interval"), QStringLiteral("on_connect"), QStringLiteral("interlock"),
};
constexpr int kMaxPollInterval = 3600000;
constexpr int kMaxName = 64;

std::optional<int> number(const QString &value)
{
    bool ok = false;
    const int n = value.toInt(&ok, 10);
    return ok ? std::optional<int>(n) : std::nullopt;
}

bool readSecret(const QString &path, QString *secret, QString *reason)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *secret = QString::fromUtf8(file.readAll()).section(u'\n', 0, 0).trimmed();
    return true;
}

bool readMqtt(const IniSection &section, IniReader &reader, BrokerConfig *broker)
{
    if (!reader.knownKeys(section, kMqttKeys,
                          QStringLiteral("the [mqtt] section knows %1")
                              .arg(kMqttKeys.join(QStringLiteral(", ")))))
        return false;
    QString reason;
    if (section.contains(QStringLiteral("url")) &&
        !Config::parseUrl(section.text(QStringLiteral("url")), broker, &reason))
        return reader.fail(section, QStringLiteral("url"), reason);
    broker->username = section.text(QStringLiteral("username"));
    const QString passwordFile = section.text(QStringLiteral("password_file"));
    if (!passwordFile.isEmpty() && !readSecret(passwordFile, &broker->password, &reason))
        return reader.fail(section, QStringLiteral("password_file"), reason);
    for (const auto &[key, into] : {std::pair{QStringLiteral("ca_file"), &broker->caFile},
                                    std::pair{QStringLiteral("cert_file"), &broker->certFile},
                                    std::pair{QStringLiteral("key_file"), &broker->keyFile}}) {
        *into = section.text(key);
        if (!into->isEmpty() && !QFile::exists(*into))
            return reader.fail(section, key, QStringLiteral("%1 does not exist").arg(*into));
    }
    if (broker->certFile.isEmpty() != broker->keyFile.isEmpty())
        return reader.fail(section,
                           broker->certFile.isEmpty() ? QStringLiteral("key_file")
                                                      : QStringLiteral("cert_file"),
                           QStringLiteral("cert_file and key_file go together"));
    static const QRegularExpression topicPart(QStringLiteral("^[^#+/]+(/[^#+/]+)*$"));
    for (const auto &[key, into] :
         {std::pair{QStringLiteral("base_topic"), &broker->baseTopic},
          std::pair{QStringLiteral("discovery_prefix"), &broker->discoveryPrefix}}) {
        if (!section.contains(key))
            continue;
        *into = section.text(key);
        if (!topicPart.match(*into).hasMatch())
            return reader.fail(section, key,
                               QStringLiteral("\"%1\" is not a topic: no '+', '#', empty levels "
                                              "or leading or trailing '/'")
                                   .arg(*into));
    }
    if (section.contains(QStringLiteral("discovery"))) {
        const QString value = section.text(QStringLiteral("discovery")).toLower();
        if (value == u"on" || value == u"true" || value == u"yes")
            broker->discovery = true;
        else if (value == u"off" || value == u"false" || value == u"no")
            broker->discovery = false;
        else
            return reader.fail(section, QStringLiteral("discovery"),
                               QStringLiteral("\"%1\" is neither on nor off").arg(value));
    }
    return true;
}

bool readInterlocks(const QString &value, BoardConfig *board, QString *reason)
{
    QList<int> seen;
    for (const QString &group :
         value.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        QList<int> relays;
        for (const QString &item : group.split(u',', Qt::SkipEmptyParts)) {
            const std::optional<int> relay = parseRelayNumber(item);
            if (!relay) {
                *reason = QStringLiteral("bad relay number \"%1\" (relays are 1 to 16)").arg(item);
                return false;
            }
            if (seen.contains(*relay)) {
                *reason = QStringLiteral("relay %1 is in two groups").arg(*relay);
                return false;
            }
            seen.append(*relay);
            relays.append(*relay);
        }
        if (relays.size() < 2) {
            *reason = QStringLiteral("group \"%1\" needs at least two relays, like 1,2").arg(group);
            return false;
        }
        board->interlocks.append(relays);
    }
    return true;
}

QString sameName(const QString &name, int relay)
{
    return QStringLiteral("\"%1\" already names relay %2 (names are compared ignoring case); "
                          "every relay of a board needs a name of its own, or \"on %1\" could "
                          "not say which it means")
        .arg(name)
        .arg(relay);
}

// relay1 = Pump ... relay16: each a name of its own, not a number, not another relay's.
bool readRelayNames(const IniSection &section, IniReader &reader, BoardConfig *board)
{
    static const QRegularExpression relayKey(QStringLiteral("^relay(.*)$"));
    for (const IniEntry &entry : section.entries) {
        const QString &key = entry.key;
        const QRegularExpressionMatch match = relayKey.match(key);
        if (!match.hasMatch()) {
            if (!kBoardKeys.contains(key))
                return reader.fail(section, key,
                                   QStringLiteral("unknown key; a board's section knows %1 and "
                                                  "relay1 to relay16")
                                       .arg(kBoardKeys.join(QStringLiteral(", "))));
            continue;
        }
        const std::optional<int> relay = parseRelayNumber(match.captured(1));
        if (!relay)
            return reader.fail(section, key,
                               QStringLiteral("bad relay number \"%1\" (relay1 to relay16)")
                                   .arg(match.captured(1)));
        const QString name = section.text(key);
        if (name.isEmpty() || name.size() > kMaxName)
            return reader.fail(
                section, key,
                QStringLiteral("a relay's name has 1 to %1 characters").arg(kMaxName));
        if (!board->relayNames[*relay - 1].isEmpty())
            return reader.fail(section, key, QStringLiteral("relay %1 is named twice").arg(*relay));
        if (const std::optional<int> number = parseRelayNumber(name))
            return reader.fail(section, key,
                               QStringLiteral("\"%1\" is a relay number: \"on %1\" switches "
                                              "relay %2, never a relay named \"%1\"; give a name "
                                              "that is not a number from 1 to 16")
                                   .arg(name)
                                   .arg(*number));
        for (int other = 1; other <= RelayMask::kRelayCount; ++other) {
            if (board->relayNames[other - 1].compare(name, Qt::CaseInsensitive) == 0)
                return reader.fail(section, key, sameName(name, other));
        }
        board->relayNames[*relay - 1] = name;
    }
    // A name may not be what another relay is called by default either: clients are given all
    // sixteen names.
    for (const IniEntry &entry : section.entries) {
        const std::optional<int> relay = parseRelayNumber(relayKey.match(entry.key).captured(1));
        if (!relay)
            continue;
        for (int other = 1; other <= RelayMask::kRelayCount; ++other) {
            if (other != *relay && board->relayNames[other - 1].isEmpty() &&
                BoardConfig::defaultRelayName(other).compare(entry.value, Qt::CaseInsensitive) == 0)
                return reader.fail(section, entry.key, sameName(entry.value, other));
        }
    }
    return true;
}

// device = PATH, or port = N: exactly one.
bool readWhere(const IniSection &section, IniReader &reader, BoardConfig *board)
{
    const bool hasDevice = section.contains(QStringLiteral("device"));
    const bool hasPort = section.contains(QStringLiteral("port"));
    if (hasDevice == hasPort)
        return reader.fail(
            section, hasDevice ? QStringLiteral("port") : QStringLiteral("device"),
            QStringLiteral("a board needs either device (a path such as "
                           "/dev/serial/by-id/...) or port (a COM number), not %1")
                .arg(hasDevice ? QStringLiteral("both") : QStringLiteral("neither")));
    if (hasDevice) {
        board->device = section.text(QStringLiteral("device"));
        if (!board->device.startsWith(u'/'))
            return reader.fail(section, QStringLiteral("device"),
                               QStringLiteral("\"%1\" is not an absolute path").arg(board->device));
        return true;
    }
    const std::optional<int> port = parseRelayNumber(section.text(QStringLiteral("port")));
    if (!port)
        return reader.fail(section, QStringLiteral("port"),
                           QStringLiteral("\"%1\" is not a COM number from 1 to 16")
                               .arg(section.text(QStringLiteral("port"))));
    board->port = *port;
    return true;
}

// poll_interval and on_connect.
bool readBehaviour(const IniSection &section, IniReader &reader, BoardConfig *board)
{
    if (section.contains(QStringLiteral("poll_interval"))) {
        const QString value = section.text(QStringLiteral("poll_interval"));
        const std::optional<int> ms = number(value);
        if (!ms || *ms < Config::kMinPollInterval.count() || *ms > kMaxPollInterval)
            return reader.fail(
                section, QStringLiteral("poll_interval"),
                QStringLiteral("\"%1\" is not a number of milliseconds from %2 to %3")
                    .arg(value)
                    .arg(Config::kMinPollInterval.count())
                    .arg(kMaxPollInterval));
        board->pollInterval = std::chrono::milliseconds(*ms);
    }
    if (!section.contains(QStringLiteral("on_connect")))
        return true;
    static const std::map<QString, OnConnect> choices = {
        {QStringLiteral("keep"), OnConnect::Keep},
        {QStringLiteral("restore"), OnConnect::Restore},
        {QStringLiteral("all-off"), OnConnect::AllOff},
    };
    const QString value = section.text(QStringLiteral("on_connect"));
    const auto chosen = choices.find(value);
    if (chosen == choices.end())
        return reader.fail(section, QStringLiteral("on_connect"),
                           QStringLiteral("\"%1\" is not keep, restore or all-off").arg(value));
    board->onConnect = chosen->second;
    return true;
}

bool readBoard(const IniSection &section, IniReader &reader, BoardConfig *board)
{
    const QString &id = section.name;
    board->id = id;
    if (!Config::isValidId(id))
        return reader.fail(section, {},
                           QStringLiteral("\"%1\" is not a board id: use 1 to 32 of a-z, 0-9, _ "
                                          "and -")
                               .arg(id));
    if (!readRelayNames(section, reader, board) || !readWhere(section, reader, board) ||
        !readBehaviour(section, reader, board))
        return false;
    board->name =
        section.contains(QStringLiteral("name")) ? section.text(QStringLiteral("name")) : id;
    if (board->name.isEmpty() || board->name.size() > kMaxName)
        return reader.fail(section, QStringLiteral("name"),
                           QStringLiteral("a board's name has 1 to %1 characters").arg(kMaxName));
    QString reason;
    if (!readInterlocks(section.text(QStringLiteral("interlock")), board, &reason))
        return reader.fail(section, QStringLiteral("interlock"), reason);
    return true;
}

// Two paths for one device (a /dev/serial/by-id link and its target, or COM n and the device it
// maps to) are one board: compare what they open, not how they are written.
bool sameDevice(const BoardConfig &a, const BoardConfig &b)
{
    const auto pathOf = [](const BoardConfig &board) {
        return board.device.isEmpty() ? ComPortPath::devicePath(board.port) : board.device;
    };
    const QByteArray first = QFile::encodeName(pathOf(a));
    const QByteArray second = QFile::encodeName(pathOf(b));
    if (first == second)
        return true;
    struct stat one = {};
    struct stat two = {};
    if (::stat(first.constData(), &one) != 0 || ::stat(second.constData(), &two) != 0)
        return false;
    if (S_ISCHR(one.st_mode) && S_ISCHR(two.st_mode))
        return one.st_rdev == two.st_rdev;
    return one.st_dev == two.st_dev && one.st_ino == two.st_ino;
}

const QString kServiceSection = QStringLiteral("service");

bool readService(const IniSection &section, IniReader &reader, BrokerConfig *broker,
                 QString *socket, QString *stateDirectory)
{
    if (!reader.knownKeys(
            section,
            {QStringLiteral("id"), QStringLiteral("socket"), QStringLiteral("state_directory")},
            QStringLiteral("the [service] section knows id, socket and "
                           "state_directory")))
        return false;
    if (section.contains(QStringLiteral("state_directory"))) {
        *stateDirectory = section.text(QStringLiteral("state_directory"));
        if (!stateDirectory->startsWith(u'/'))
            return reader.fail(
                section, QStringLiteral("state_directory"),
                QStringLiteral("\"%1\" is not an absolute path").arg(*stateDirectory));
    }
    if (section.contains(QStringLiteral("socket"))) {
        *socket = section.text(QStringLiteral("socket"));
        QString reason;
        if (!Config::isValidSocketPath(*socket, &reason))
            return reader.fail(section, QStringLiteral("socket"), reason);
    }
    if (!section.contains(QStringLiteral("id")))
        return true;
    broker->serviceId = section.text(QStringLiteral("id"));
    broker->serviceIdGiven = true;
    if (!Config::isValidId(broker->serviceId))
        return reader.fail(section, QStringLiteral("id"),
                           QStringLiteral("\"%1\" is not a service id: use 1 to 32 of a-z, 0-9, _ "
                                          "and -")
                               .arg(broker->serviceId));
    return true;
}

const QString kHttpSection = QStringLiteral("http");
const QStringList kHttpKeys = {QStringLiteral("listen"), QStringLiteral("token_file"),
                               QStringLiteral("allow_origin")};

bool readHttp(const IniSection &section, IniReader &reader, HttpConfig *http)
{
    if (!reader.knownKeys(section, kHttpKeys,
                          QStringLiteral("the [http] section knows %1")
                              .arg(kHttpKeys.join(QStringLiteral(", ")))))
        return false;
    QString reason;
    if (section.contains(QStringLiteral("listen")) &&
        !HttpConfig::parseListen(section.text(QStringLiteral("listen")), http, &reason))
        return reader.fail(section, QStringLiteral("listen"), reason);
    http->tokenFile = section.text(QStringLiteral("token_file"));
    if (section.contains(QStringLiteral("token_file")) && http->tokenFile.isEmpty())
        return reader.fail(section, QStringLiteral("token_file"),
                           QStringLiteral("give the path of a file holding the token"));
    http->allowOrigin = section.text(QStringLiteral("allow_origin"));
    static const QRegularExpression origin(QStringLiteral("^https?://[^/\\s]+$"));
    if (!http->allowOrigin.isEmpty() && !origin.match(http->allowOrigin).hasMatch())
        return reader.fail(section, QStringLiteral("allow_origin"),
                           QStringLiteral("\"%1\" is not an origin such as "
                                          "https://home.example:8123 (scheme, host, port; no path)")
                               .arg(http->allowOrigin));
    return true;
}

} // namespace

QString BoardConfig::relayName(int relay) const
{
    const QString &name = relayNames.at(relay - 1);
    return name.isEmpty() ? defaultRelayName(relay) : name;
}

QStringList BoardConfig::relayNameList() const
{
    QStringList names;
    for (int relay = 1; relay <= RelayMask::kRelayCount; ++relay)
        names.append(relayName(relay));
    return names;
}

QString BoardConfig::relayLabels(RelayMask relays) const
{
    QStringList labels;
    for (int relay : relays.relays()) {
        const QString name = relayName(relay);
        labels.append(name == defaultRelayName(relay)
                          ? QString::number(relay)
                          : QStringLiteral("%1 · %2").arg(relay).arg(name));
    }
    return labels.join(QStringLiteral(", "));
}

QString BoardConfig::defaultRelayName(int relay)
{
    return QStringLiteral("Relay %1").arg(relay);
}

QString BoardConfig::where() const
{
    return device.isEmpty() ? QStringLiteral("COM%1").arg(port) : device;
}

bool BoardConfig::operator==(const BoardConfig &other) const
{
    return id == other.id && name == other.name && device == other.device && port == other.port &&
           pollInterval == other.pollInterval && relayNames == other.relayNames &&
           onConnect == other.onConnect && interlocks == other.interlocks &&
           stateDirectory == other.stateDirectory;
}

QString BrokerConfig::defaultServiceId()
{
    QString host = QSysInfo::machineHostName().toLower().section(u'.', 0, 0);
    host.replace(QRegularExpression(QStringLiteral("[^a-z0-9_-]")), QStringLiteral("-"));
    host.truncate(32);
    return host.isEmpty() ? QStringLiteral("usb16relayd") : host;
}

bool Config::isValidId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9_-]{1,32}$"));
    return pattern.match(id).hasMatch();
}

bool Config::isValidSocketPath(const QString &path, QString *reason)
{
    // sockaddr_un holds 108 bytes with the terminating zero.
    if (!path.startsWith(u'/') || QFile::encodeName(path).size() > 107) {
        *reason = QStringLiteral("\"%1\" is not an absolute path of at most 107 bytes, such as "
                                 "/run/usb16relayd/http.sock")
                      .arg(path);
        return false;
    }
    return true;
}

bool Config::parseUrl(const QString &url, BrokerConfig *broker, QString *reason)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    if (!parsed.isValid() || (scheme != u"mqtt" && scheme != u"mqtts") || parsed.host().isEmpty() ||
        (!parsed.path().isEmpty() && parsed.path() != u"/") || !parsed.userInfo().isEmpty()) {
        *reason =
            QStringLiteral("\"%1\" is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]").arg(url);
        return false;
    }
    broker->tls = scheme == u"mqtts";
    broker->host = parsed.host();
    broker->port = parsed.port(broker->tls ? 8883 : 1883);
    if (broker->port < 1) {
        *reason = QStringLiteral("\"%1\" has no valid port").arg(url);
        return false;
    }
    return true;
}

std::optional<Config> Config::load(const QString &path, QString *error)
{
    IniReader reader(path, error);
    if (!reader.read())
        return std::nullopt;
    Config config;
    const IniSection &outside = reader.sections().constFirst();
    if (!outside.entries.isEmpty()) {
        reader.fail(outside, outside.entries.constFirst().key,
                    QStringLiteral("unknown key outside any section; put it under [mqtt] "
                                   "or a board's [id]"));
        return std::nullopt;
    }
    // An empty section counts too: "[mqtt]" alone means the broker on localhost.
    const IniSection none;
    const IniSection *mqtt = reader.section(kMqttSection);
    const IniSection *service = reader.section(kServiceSection);
    if (!readMqtt(mqtt ? *mqtt : none, reader, &config.broker) ||
        !readService(service ? *service : none, reader, &config.broker, &config.socket,
                     &config.stateDirectory))
        return std::nullopt;
    if (config.broker.password.isEmpty())
        config.broker.password = qEnvironmentVariable(kPasswordVariable);
    if (config.broker.serviceId.isEmpty())
        config.broker.serviceId = BrokerConfig::defaultServiceId();
    config.mqtt = mqtt != nullptr;
    if (const IniSection *http = reader.section(kHttpSection)) {
        config.http.emplace();
        if (!readHttp(*http, reader, &*config.http))
            return std::nullopt;
    }

    for (const IniSection &section : reader.sections()) {
        const QString &id = section.name;
        if (section.line == 0 || id == kMqttSection || id == kHttpSection || id == kServiceSection)
            continue;
        BoardConfig board;
        if (!readBoard(section, reader, &board))
            return std::nullopt;
        for (const BoardConfig &other : std::as_const(config.boards)) {
            if (sameDevice(board, other)) {
                const QString key =
                    board.device.isEmpty() ? QStringLiteral("port") : QStringLiteral("device");
                reader.fail(section, key,
                            QStringLiteral("%1 is already served by board [%2]")
                                .arg(board.where(), other.id));
                return std::nullopt;
            }
        }
        config.boards.append(board);
    }
    if (config.boards.isEmpty()) {
        *error =
            QStringLiteral("%1: no board: add a section such as [com1] with port = 1").arg(path);
        return std::nullopt;
    }
    return config;
}

bool HttpConfig::parseListen(const QString &listen, HttpConfig *http, QString *reason)
{
    const qsizetype colon = listen.lastIndexOf(u':');
    QString address = colon < 0 ? QString() : listen.left(colon);
    bool ok = false;
    const int port = listen.mid(colon + 1).toInt(&ok);
    if (address.startsWith(u'[') && address.endsWith(u']'))
        address = address.mid(1, address.size() - 2);
    if (address.isEmpty())
        address = QStringLiteral("127.0.0.1");
    if (colon < 0 || !ok || port < 0 || port > 65535 || QHostAddress(address).isNull()) {
        *reason = QStringLiteral("\"%1\" is not ADDRESS:PORT, such as 127.0.0.1:8080 or "
                                 "[::1]:8080 (an IP address, not a host name)")
                      .arg(listen);
        return false;
    }
    http->address = address;
    http->port = quint16(port);
    return true;
}

bool HttpConfig::isLoopback(const QString &address)
{
    return QHostAddress(address).isLoopback();
}
