#include "config.h"

#include "comportpath.h"

#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QUrl>

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

// Where each section and key stands in the file. QSettings keeps no line numbers, and it merges
// a section written twice, so the file is scanned once more for both.
class LineMap
{
public:
    bool scan(const QString &path, QString *error)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            *error =
                QStringLiteral("%1: cannot read the config file: %2").arg(path, file.errorString());
            return false;
        }
        QString section;
        int number = 0;
        while (!file.atEnd()) {
            ++number;
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
                continue;
            if (line.startsWith(u'[') && line.endsWith(u']')) {
                section = line.mid(1, line.size() - 2).trimmed();
                if (m_lines.contains(section) && m_duplicateSection.isEmpty()) {
                    m_duplicateSection = section;
                    m_duplicateLine = number;
                }
                m_lines.insert(section, number);
                continue;
            }
            const qsizetype equals = line.indexOf(u'=');
            const QString key = (equals < 0 ? line : line.left(equals)).trimmed();
            const QString full = section.isEmpty() ? key : section + u'/' + key;
            if (!m_lines.contains(full)) {
                m_lines.insert(full, number);
                m_values.insert(full, equals < 0 ? QString() : line.mid(equals + 1).trimmed());
            }
        }
        return true;
    }
    int lineOf(const QString &section, const QString &key = {}) const
    {
        const QString full =
            key.isEmpty() ? section : (section.isEmpty() ? key : section + u'/' + key);
        return m_lines.value(full, m_lines.value(section, 0));
    }
    QString rawValue(const QString &section, const QString &key) const
    {
        return m_values.value(section.isEmpty() ? key : section + u'/' + key);
    }
    QString duplicateSection() const { return m_duplicateSection; }
    int duplicateLine() const { return m_duplicateLine; }

private:
    QHash<QString, int> m_lines;
    QHash<QString, QString> m_values;
    QString m_duplicateSection;
    int m_duplicateLine = 0;
};

class Reader
{
public:
    Reader(const QString &path, const LineMap &lines, QString *error)
        : m_path(path), m_lines(lines), m_error(error)
    {}

    bool fail(const QString &section, const QString &key, const QString &reason)
    {
        *m_error = QStringLiteral("%1:%2: %3: %4")
                       .arg(m_path)
                       .arg(m_lines.lineOf(section, key))
                       .arg(key.isEmpty() ? QStringLiteral("[%1]").arg(section) : key, reason);
        return false;
    }

    // QSettings turns an unquoted comma into a list and drops the spaces after it; such a value
    // is taken as written in the file.
    QString text(const QSettings &settings, const QString &key) const
    {
        const QVariant value = settings.value(key);
        if (value.typeId() != QMetaType::QStringList)
            return value.toString().trimmed();
        const QString group = settings.group();
        return m_lines.rawValue(group, key);
    }

private:
    QString m_path;
    const LineMap &m_lines;
    QString *m_error;
};

std::optional<int> number(const QString &value)
{
    bool ok = false;
    const int n = value.toInt(&ok, 10);
    return ok ? std::optional<int>(n) : std::nullopt;
}

std::optional<int> relayNumber(const QString &value)
{
    const std::optional<int> n = number(value);
    return n && *n >= 1 && *n <= 16 ? n : std::nullopt;
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

bool readMqtt(QSettings &settings, Reader &reader, BrokerConfig *broker)
{
    settings.beginGroup(kMqttSection);
    const auto done = qScopeGuard([&settings] { settings.endGroup(); });
    for (const QString &key : settings.childKeys()) {
        if (!kMqttKeys.contains(key))
            return reader.fail(kMqttSection, key,
                               QStringLiteral("unknown key; the [mqtt] section knows %1")
                                   .arg(kMqttKeys.join(QStringLiteral(", "))));
    }
    QString reason;
    if (settings.contains(QStringLiteral("url")) &&
        !Config::parseUrl(reader.text(settings, QStringLiteral("url")), broker, &reason))
        return reader.fail(kMqttSection, QStringLiteral("url"), reason);
    broker->username = reader.text(settings, QStringLiteral("username"));
    const QString passwordFile = reader.text(settings, QStringLiteral("password_file"));
    if (!passwordFile.isEmpty() && !readSecret(passwordFile, &broker->password, &reason))
        return reader.fail(kMqttSection, QStringLiteral("password_file"), reason);
    for (const auto &[key, into] : {std::pair{QStringLiteral("ca_file"), &broker->caFile},
                                    std::pair{QStringLiteral("cert_file"), &broker->certFile},
                                    std::pair{QStringLiteral("key_file"), &broker->keyFile}}) {
        *into = reader.text(settings, key);
        if (!into->isEmpty() && !QFile::exists(*into))
            return reader.fail(kMqttSection, key, QStringLiteral("%1 does not exist").arg(*into));
    }
    if (broker->certFile.isEmpty() != broker->keyFile.isEmpty())
        return reader.fail(kMqttSection,
                           broker->certFile.isEmpty() ? QStringLiteral("key_file")
                                                      : QStringLiteral("cert_file"),
                           QStringLiteral("cert_file and key_file go together"));
    static const QRegularExpression topicPart(QStringLiteral("^[^#+/]+(/[^#+/]+)*$"));
    for (const auto &[key, into] :
         {std::pair{QStringLiteral("base_topic"), &broker->baseTopic},
          std::pair{QStringLiteral("discovery_prefix"), &broker->discoveryPrefix}}) {
        if (!settings.contains(key))
            continue;
        *into = reader.text(settings, key);
        if (!topicPart.match(*into).hasMatch())
            return reader.fail(kMqttSection, key,
                               QStringLiteral("\"%1\" is not a topic: no '+', '#', empty levels "
                                              "or leading or trailing '/'")
                                   .arg(*into));
    }
    if (settings.contains(QStringLiteral("discovery"))) {
        const QString value = reader.text(settings, QStringLiteral("discovery")).toLower();
        if (value == u"on" || value == u"true" || value == u"yes")
            broker->discovery = true;
        else if (value == u"off" || value == u"false" || value == u"no")
            broker->discovery = false;
        else
            return reader.fail(kMqttSection, QStringLiteral("discovery"),
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
            const std::optional<int> relay = relayNumber(item);
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

bool readBoard(QSettings &settings, Reader &reader, const QString &id, BoardConfig *board)
{
    board->id = id;
    if (!Config::isValidId(id))
        return reader.fail(id, {},
                           QStringLiteral("\"%1\" is not a board id: use 1 to 32 of a-z, 0-9, _ "
                                          "and -")
                               .arg(id));
    settings.beginGroup(id);
    const auto done = qScopeGuard([&settings] { settings.endGroup(); });
    static const QRegularExpression relayKey(QStringLiteral("^relay(.*)$"));
    for (const QString &key : settings.childKeys()) {
        const QRegularExpressionMatch match = relayKey.match(key);
        if (match.hasMatch()) {
            const std::optional<int> relay = relayNumber(match.captured(1));
            if (!relay)
                return reader.fail(id, key,
                                   QStringLiteral("bad relay number \"%1\" (relay1 to relay16)")
                                       .arg(match.captured(1)));
            const QString name = reader.text(settings, key);
            if (name.isEmpty() || name.size() > kMaxName)
                return reader.fail(
                    id, key, QStringLiteral("a relay's name has 1 to %1 characters").arg(kMaxName));
            board->relayNames[*relay - 1] = name;
            continue;
        }
        if (!kBoardKeys.contains(key))
            return reader.fail(id, key,
                               QStringLiteral("unknown key; a board's section knows %1 and "
                                              "relay1 to relay16")
                                   .arg(kBoardKeys.join(QStringLiteral(", "))));
    }
    const bool hasDevice = settings.contains(QStringLiteral("device"));
    const bool hasPort = settings.contains(QStringLiteral("port"));
    if (hasDevice == hasPort)
        return reader.fail(
            id, hasDevice ? QStringLiteral("port") : QStringLiteral("device"),
            QStringLiteral("a board needs either device (a path such as "
                           "/dev/serial/by-id/...) or port (a COM number), not %1")
                .arg(hasDevice ? QStringLiteral("both") : QStringLiteral("neither")));
    if (hasDevice) {
        board->device = reader.text(settings, QStringLiteral("device"));
        if (!board->device.startsWith(u'/'))
            return reader.fail(id, QStringLiteral("device"),
                               QStringLiteral("\"%1\" is not an absolute path").arg(board->device));
    } else {
        const std::optional<int> port = number(reader.text(settings, QStringLiteral("port")));
        if (!port || *port < 1 || *port > 16)
            return reader.fail(id, QStringLiteral("port"),
                               QStringLiteral("\"%1\" is not a COM number from 1 to 16")
                                   .arg(reader.text(settings, QStringLiteral("port"))));
        board->port = *port;
    }
    board->name = settings.contains(QStringLiteral("name"))
                      ? reader.text(settings, QStringLiteral("name"))
                      : id;
    if (board->name.isEmpty() || board->name.size() > kMaxName)
        return reader.fail(id, QStringLiteral("name"),
                           QStringLiteral("a board's name has 1 to %1 characters").arg(kMaxName));
    if (settings.contains(QStringLiteral("poll_interval"))) {
        const QString value = reader.text(settings, QStringLiteral("poll_interval"));
        const std::optional<int> ms = number(value);
        if (!ms || *ms < Config::kMinPollInterval.count() || *ms > kMaxPollInterval)
            return reader.fail(
                id, QStringLiteral("poll_interval"),
                QStringLiteral("\"%1\" is not a number of milliseconds from %2 to %3")
                    .arg(value)
                    .arg(Config::kMinPollInterval.count())
                    .arg(kMaxPollInterval));
        board->pollInterval = std::chrono::milliseconds(*ms);
    }
    if (settings.contains(QStringLiteral("on_connect"))) {
        const QString value = reader.text(settings, QStringLiteral("on_connect"));
        if (value == u"keep")
            board->onConnect = OnConnect::Keep;
        else if (value == u"restore")
            board->onConnect = OnConnect::Restore;
        else if (value == u"all-off")
            board->onConnect = OnConnect::AllOff;
        else
            return reader.fail(id, QStringLiteral("on_connect"),
                               QStringLiteral("\"%1\" is not keep, restore or all-off").arg(value));
    }
    QString reason;
    if (!readInterlocks(reader.text(settings, QStringLiteral("interlock")), board, &reason))
        return reader.fail(id, QStringLiteral("interlock"), reason);
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

bool readService(QSettings &settings, Reader &reader, BrokerConfig *broker)
{
    settings.beginGroup(kServiceSection);
    const auto done = qScopeGuard([&settings] { settings.endGroup(); });
    for (const QString &key : settings.childKeys()) {
        if (key != u"id")
            return reader.fail(kServiceSection, key,
                               QStringLiteral("unknown key; the [service] section knows id"));
    }
    if (!settings.contains(QStringLiteral("id")))
        return true;
    broker->serviceId = reader.text(settings, QStringLiteral("id"));
    broker->serviceIdGiven = true;
    if (!Config::isValidId(broker->serviceId))
        return reader.fail(kServiceSection, QStringLiteral("id"),
                           QStringLiteral("\"%1\" is not a service id: use 1 to 32 of a-z, 0-9, _ "
                                          "and -")
                               .arg(broker->serviceId));
    return true;
}

const QString kHttpSection = QStringLiteral("http");
const QStringList kHttpKeys = {QStringLiteral("listen"), QStringLiteral("token_file"),
                               QStringLiteral("allow_origin")};

bool readHttp(QSettings &settings, Reader &reader, HttpConfig *http)
{
    settings.beginGroup(kHttpSection);
    const auto done = qScopeGuard([&settings] { settings.endGroup(); });
    for (const QString &key : settings.childKeys()) {
        if (!kHttpKeys.contains(key))
            return reader.fail(kHttpSection, key,
                               QStringLiteral("unknown key; the [http] section knows %1")
                                   .arg(kHttpKeys.join(QStringLiteral(", "))));
    }
    QString reason;
    if (settings.contains(QStringLiteral("listen")) &&
        !HttpConfig::parseListen(reader.text(settings, QStringLiteral("listen")), http, &reason))
        return reader.fail(kHttpSection, QStringLiteral("listen"), reason);
    http->tokenFile = reader.text(settings, QStringLiteral("token_file"));
    if (settings.contains(QStringLiteral("token_file")) && http->tokenFile.isEmpty())
        return reader.fail(kHttpSection, QStringLiteral("token_file"),
                           QStringLiteral("give the path of a file holding the token"));
    http->allowOrigin = reader.text(settings, QStringLiteral("allow_origin"));
    static const QRegularExpression origin(QStringLiteral("^https?://[^/\\s]+$"));
    if (!http->allowOrigin.isEmpty() && !origin.match(http->allowOrigin).hasMatch())
        return reader.fail(kHttpSection, QStringLiteral("allow_origin"),
                           QStringLiteral("\"%1\" is not an origin such as "
                                          "https://home.example:8123 (scheme, host, port; no path)")
                               .arg(http->allowOrigin));
    return true;
}

} // namespace

QString BoardConfig::relayName(int relay) const
{
    const QString &name = relayNames.at(relay - 1);
    return name.isEmpty() ? QStringLiteral("Relay %1").arg(relay) : name;
}

QString BoardConfig::where() const
{
    return device.isEmpty() ? QStringLiteral("COM%1").arg(port) : device;
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
    LineMap lines;
    if (!lines.scan(path, error))
        return std::nullopt;
    Reader reader(path, lines, error);
    if (!lines.duplicateSection().isEmpty()) {
        *error = QStringLiteral("%1:%2: [%3]: the section is written twice")
                     .arg(path)
                     .arg(lines.duplicateLine())
                     .arg(lines.duplicateSection());
        return std::nullopt;
    }
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        *error = QStringLiteral("%1: the file is not a valid INI file").arg(path);
        return std::nullopt;
    }
    Config config;
    for (const QString &key : settings.childKeys()) {
        reader.fail({}, key,
                    QStringLiteral("unknown key outside any section; put it under [mqtt] "
                                   "or a board's [id]"));
        return std::nullopt;
    }
    if (!readMqtt(settings, reader, &config.broker) ||
        !readService(settings, reader, &config.broker))
        return std::nullopt;
    if (config.broker.password.isEmpty())
        config.broker.password = qEnvironmentVariable(kPasswordVariable);
    if (config.broker.serviceId.isEmpty())
        config.broker.serviceId = BrokerConfig::defaultServiceId();

    // An empty section counts too: "[mqtt]" alone means the broker on localhost.
    config.mqtt = lines.lineOf(kMqttSection) > 0;
    if (lines.lineOf(kHttpSection) > 0) {
        config.http.emplace();
        if (!readHttp(settings, reader, &*config.http))
            return std::nullopt;
    }

    for (const QString &id : settings.childGroups()) {
        if (id == kMqttSection || id == kHttpSection || id == kServiceSection)
            continue;
        BoardConfig board;
        if (!readBoard(settings, reader, id, &board))
            return std::nullopt;
        for (const BoardConfig &other : std::as_const(config.boards)) {
            if (sameDevice(board, other)) {
                const QString key =
                    board.device.isEmpty() ? QStringLiteral("port") : QStringLiteral("device");
                reader.fail(id, key,
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
