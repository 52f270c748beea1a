// A port usb16relayd holds: the board is used through the service's socket, with the service's
// queue, checks and interlocks, and the indicators follow what the service reads.

#include "usb16relay.h"

#include "comportpath.h"
#include "serialdevice.h"
#include "seriallink.h"
#include "serviceboard.h"
#include "serviceboards.h"
#include "servicecall.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPlainTextEdit>

namespace {

// Keeps the window's events going until the call has finished.
void waitFor(ServiceCall &call)
{
    bool done = false;
    QObject::connect(&call, &ServiceCall::finished, &call, [&done] { done = true; });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

} // namespace

QString Usb16Relay::serviceBoard() const
{
    return m_service ? m_service->id() : QString();
}

QString Usb16Relay::serviceWhere() const
{
    return QStringLiteral("board %1").arg(ServiceBoards::nameOf(m_service->view()));
}

bool Usb16Relay::connectThroughService(qint16 port, const QString &wasOpen)
{
    const QString device = QFileInfo(ComPortPath::devicePath(port)).canonicalFilePath();
    const std::optional<SerialDevice::PortHolder> holder =
        device.isEmpty() ? std::nullopt : SerialDevice::holder(device);
    if (!holder || holder->program != u"usb16relayd")
        return false;
    const quint64 connection = m_connections;
    const QString held = QStringLiteral("%1 is held by usb16relayd (pid %2), the relay board "
                                        "service")
                             .arg(MSComm1->portDescription())
                             .arg(holder->pid);
    ServiceCall lookup(m_serviceSocket);
    const auto cannotUse = [&](const QString &why) {
        report(
            QStringLiteral("%1, and its socket cannot be used: %2. %3%4")
                .arg(held, why,
                     ServiceBoards::reachAdvice(lookup.client(), QStringLiteral("press Connect")),
                     wasOpen));
    };
    if (lookup.start("GET", QStringLiteral("/api/v1/boards"), {}, ServiceBoards::kListBound))
        waitFor(lookup);
    if (connection != m_connections || m_closing)
        return true; // another connection began during the wait, and it decides
    if (!lookup.answer() || lookup.answer()->status != 200) {
        const QString why = lookup.answer()
                                ? QStringLiteral("usb16relayd: %1").arg(lookup.answer()->error())
                                : lookup.errorString();
        cannotUse(why);
        return true;
    }
    const QJsonObject board =
        ServiceBoards::boardOn(QJsonDocument::fromJson(lookup.answer()->body).array(),
                               QStringLiteral("COM%1").arg(port), device);
    if (board.isEmpty()) {
        report(QStringLiteral("%1, but its socket %2 serves no board on this port: another "
                              "usb16relayd serves it. Start this window with --socket and that "
                              "service's socket, or stop the service (sudo systemctl stop "
                              "usb16relayd), then press Connect.%3")
                   .arg(held, m_serviceSocket, wasOpen));
        return true;
    }
    m_service = new ServiceBoard(m_serviceSocket, board, this);
    connect(m_service, &ServiceBoard::viewChanged, this, &Usb16Relay::showServiceView);
    connect(
        m_service, &ServiceBoard::refused, this, [this](const QString &what, const QString &why) {
            report(QStringLiteral("usb16relayd did not %1 (%2): %3. The indicators show the state "
                                  "the service reports.")
                       .arg(what, serviceWhere(), why));
        });
    connect(m_service, &ServiceBoard::unanswered, this,
            [this](const QString &what, const QString &why, bool sent) {
                report(sent ? QStringLiteral("usb16relayd gave no answer to \"%1\" (%2): %3. It "
                                             "may have been done; the indicators show what the "
                                             "service last reported.")
                                  .arg(what, serviceWhere(), why)
                            : QStringLiteral("Nothing was sent to %1 (\"%2\"): %3. Press "
                                             "Connect to connect again.")
                                  .arg(serviceWhere(), what, why));
            });
    connect(m_service, &ServiceBoard::serviceError, this, [this](const QString &message) {
        report(QStringLiteral("usb16relayd reports (%1): %2").arg(serviceWhere(), message));
    });
    connect(m_service, &ServiceBoard::followEnded, this, [this](const QString &why) {
        report(QStringLiteral("usb16relayd no longer sends the state of %1 (%2). %3 Press "
                              "Connect to connect again.")
                   .arg(serviceWhere(), why, indicatorsStaleSentence()));
    });
    if (!m_service->follow()) {
        const QString why = m_service->errorString();
        leaveService();
        cannotUse(why);
        return true;
    }
    m_serviceOnline = true;
    // From now on the indicators show only what the service reports.
    forgetRelayStates();
    showOpenPort();
    showServiceView(m_service->view());
    report(QStringLiteral("%1, so this window works through the service: %2, through its socket "
                          "%3. The service switches the relays in turn with its other users and "
                          "keeps its interlocks; the indicators show what it reads from the "
                          "board. The console cannot talk to the board through the service.%4")
               .arg(held, serviceWhere(), m_serviceSocket, wasOpen));
    return true;
}

void Usb16Relay::leaveService()
{
    if (!m_service)
        return;
    // Nothing asked goes unmentioned.
    const QString underWay = m_service->underWay();
    const QStringList waiting = m_service->waiting();
    if (!underWay.isEmpty() || !waiting.isEmpty())
        report(QStringLiteral("The window left %1 with requests unanswered.%2%3 %4")
                   .arg(serviceWhere(),
                        underWay.isEmpty()
                            ? QString()
                            : QStringLiteral(" \"%1\" was sent; the service may still do it.")
                                  .arg(underWay),
                        waiting.isEmpty() ? QString()
                                          : QStringLiteral(" Not sent: \"%1\".")
                                                .arg(waiting.join(QStringLiteral("\", \""))),
                        indicatorsStaleSentence()));
    delete m_service;
    m_service = nullptr;
}

void Usb16Relay::showServiceView(const QJsonObject &view)
{
    const bool online = view.value(QLatin1String("online")).toBool();
    if (const std::optional<RelayState> state = ServiceBoards::stateOf(view))
        showRelayStates(*state);
    if (online == m_serviceOnline)
        return;
    m_serviceOnline = online;
    if (!online)
        report(QStringLiteral("usb16relayd reports %1 offline: %2. %3")
                   .arg(serviceWhere(),
                        view.value(QLatin1String("offline_reason"))
                            .toString(QStringLiteral("no reason given")),
                        indicatorsStaleSentence()));
}

void Usb16Relay::refuseRawText(const QString &what)
{
    txtReceive->insertPlainText(
        QStringLiteral("Not sent: %1 go to the port itself, and this window uses %2 through "
                       "the service, which passes no raw text to the board. To talk to the board "
                       "directly, stop the service (sudo systemctl stop usb16relayd) and press "
                       "Connect; to switch relays, use the buttons or the service's web page.")
            .arg(what, serviceWhere()) +
        QStringLiteral("\r\n"));
}
