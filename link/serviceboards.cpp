#include "serviceboards.h"

#include "relaymask.h"
#include "serviceclient.h"

#include <QFileInfo>
#include <QJsonDocument>

namespace ServiceBoards {

QJsonArray list(ServiceClient &client)
{
    const auto answer = client.request("GET", QStringLiteral("/api/v1/boards"), {}, kListBound);
    if (!answer || answer->status != 200)
        return {};
    return QJsonDocument::fromJson(answer->body).array();
}

QJsonObject boardOn(const QJsonArray &boards, const QString &portName, const QString &device)
{
    const QString canonical = QFileInfo(device).canonicalFilePath();
    for (const QJsonValue &value : boards) {
        const QJsonObject board = value.toObject();
        const QString where = board.value(QLatin1String("device")).toString();
        if ((!portName.isEmpty() && where == portName) ||
            (!where.isEmpty() && !canonical.isEmpty() &&
             QFileInfo(where).canonicalFilePath() == canonical))
            return board;
    }
    return {};
}

std::optional<RelayState> stateOf(const QJsonObject &view)
{
    const QString mask = view.value(QLatin1String("mask")).toString();
    const std::optional<RelayMask> bits = RelayMask::fromHex(mask);
    if (!bits)
        return std::nullopt;
    return RelayProtocol::fromMask(bits->bits());
}

QString nameOf(const QJsonObject &view)
{
    const QString id = view.value(QLatin1String("id")).toString();
    const QString name = view.value(QLatin1String("name")).toString();
    return name.isEmpty() || name == id ? id : QStringLiteral("%1 \"%2\"").arg(id, name);
}

QString reachAdvice(const ServiceClient &client, const QString &retry)
{
    QString first;
    switch (client.problem()) {
    case ServiceClient::Problem::NoPermission:
        first = QStringLiteral("join the socket's group (sudo usermod -aG dialout $USER), log out "
                               "and back in");
        break;
    case ServiceClient::Problem::Untrusted:
        first = QStringLiteral("name the socket the service itself serves (--socket PATH)");
        break;
    case ServiceClient::Problem::NoAnswer:
        first = QStringLiteral("wait until the service answers again");
        break;
    case ServiceClient::Problem::None:
    case ServiceClient::Problem::NotServed:
        first = QStringLiteral("have the service serve its socket (sudo systemctl enable --now "
                               "usb16relayd.socket, or socket = PATH under [service] in its "
                               "config with --socket PATH here)");
        break;
    }
    return QStringLiteral("To use the board through the service, %1; or use its web page (the "
                          "address under [http] listen in its config, http://127.0.0.1:8080/ "
                          "by default); or stop it (sudo systemctl stop usb16relayd) to use the "
                          "port directly; then %2.")
        .arg(first, retry);
}

} // namespace ServiceBoards
