#include "httpaccess.h"

#include "config.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>

#include <sys/stat.h>

namespace HttpAccess {

namespace {

// "host:port" or "[v6]:port" without the port.
QString hostOf(const QByteArray &hostHeader)
{
    QString host = QString::fromLatin1(hostHeader);
    if (host.startsWith(u'[')) {
        const qsizetype end = host.indexOf(u']');
        return end < 0 ? host : host.mid(1, end - 1);
    }
    const qsizetype colon = host.lastIndexOf(u':');
    return colon < 0 ? host : host.left(colon);
}

bool fromAllowedOrigin(const Policy &policy, const HttpRequest &request)
{
    return !policy.allowOrigin.isEmpty() && request.header("origin") == policy.allowOrigin.toUtf8();
}

} // namespace

std::optional<Refusal> admit(const Policy &policy, const HttpRequest &request, bool needsToken,
                             HttpResponse &response)
{
    // Without a token only this machine may call: a page elsewhere that names this machine
    // under another host name (DNS rebinding) is turned away.
    const QString host = hostOf(request.header("host")).toLower();
    if (policy.token.isEmpty() && host != u"localhost" && !QHostAddress(host).isLoopback())
        return Refusal{403, QStringLiteral("this service answers only to 127.0.0.1 or localhost "
                                           "without a token; \"%1\" is neither. Set token_file "
                                           "to reach it by name")
                                .arg(host)};
    const QByteArray origin = request.header("origin");
    const QByteArray own = "http://" + request.header("host").toLower();
    const bool allowedOrigin = fromAllowedOrigin(policy, request);
    if (!origin.isEmpty() && origin.toLower() != own && !allowedOrigin)
        return Refusal{403, QStringLiteral("pages from %1 may not use this service; add "
                                           "allow_origin = %1 to [http] to let them")
                                .arg(QString::fromUtf8(origin))};
    if (allowedOrigin) {
        response.setHeader("Access-Control-Allow-Origin", origin);
        response.setHeader("Vary", "Origin");
        if (request.method == "OPTIONS")
            return std::nullopt; // the preflight itself carries no token
    }
    if (!policy.trusted && !policy.token.isEmpty() && needsToken &&
        !authorizes(policy.token, request.header("authorization"))) {
        response.setHeader("WWW-Authenticate", "Bearer");
        return Refusal{401, QStringLiteral("this service needs its token: send the header "
                                           "Authorization: Bearer TOKEN, with the token from the "
                                           "file named by token_file")};
    }
    return std::nullopt;
}

bool answerPreflight(const Policy &policy, const HttpRequest &request, HttpResponse &response)
{
    if (request.method != "OPTIONS" || !fromAllowedOrigin(policy, request))
        return false;
    response.status = 204;
    response.setHeader("Access-Control-Allow-Methods", "GET, HEAD, PUT, POST");
    response.setHeader("Access-Control-Allow-Headers", "Authorization, Content-Type");
    response.setHeader("Access-Control-Max-Age", "600");
    return true;
}

bool readTokenFile(const QString &path, QByteArray *token, QString *error)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = QStringLiteral("token_file %1 does not exist or is not a file; create it with "
                                "one line of at least %2 random characters and chmod 600")
                     .arg(path)
                     .arg(kMinTokenLength);
        return false;
    }
    if (info.st_mode & (S_IRWXG | S_IRWXO)) {
        *error = QStringLiteral("token_file %1 is open to others (mode %2): anyone on this "
                                "machine could switch the relays; run chmod 600 %1")
                     .arg(path)
                     .arg(info.st_mode & 0777, 3, 8, QLatin1Char('0'));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read token_file %1: %2").arg(path, file.errorString());
        return false;
    }
    *token = file.readLine(4096).trimmed();
    if (token->size() < kMinTokenLength) {
        *error = QStringLiteral("token_file %1 holds a token of %2 characters; write one line of "
                                "at least %3, such as the output of: openssl rand -hex 24")
                     .arg(path)
                     .arg(token->size())
                     .arg(kMinTokenLength);
        return false;
    }
    return true;
}

bool authorizes(const QByteArray &token, const QByteArray &authorization)
{
    static const QByteArray scheme = QByteArrayLiteral("Bearer ");
    if (token.isEmpty() || !authorization.startsWith(scheme))
        return false;
    const QByteArray given = authorization.mid(scheme.size());
    // Every byte of the longer of the two is looked at, whatever the outcome.
    unsigned difference = unsigned(given.size() ^ token.size());
    const qsizetype length = std::max(given.size(), token.size());
    for (qsizetype i = 0; i < length; ++i) {
        const auto a = i < given.size() ? quint8(given.at(i)) : quint8(0);
        const auto b = i < token.size() ? quint8(token.at(i)) : quint8(0xFF);
        difference |= unsigned(a ^ b);
    }
    return difference == 0;
}

bool listenAllowed(const QString &address, const QString &tokenFile, QString *error)
{
    if (HttpConfig::isLoopback(address) || !tokenFile.isEmpty())
        return true;
    *error = QStringLiteral("refusing to listen on %1 without a token: anyone who can reach it "
                            "could switch the relays. Set token_file in the [http] section of "
                            "the config file, or listen on 127.0.0.1")
                 .arg(address);
    return false;
}

} // namespace HttpAccess
