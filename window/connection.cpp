// Start-up, connecting to a port, and leaving.

#include "usb16relay.h"

#include "comportpath.h"
#include "modcom.h"
#include "portinfo.h"
#include "portlist.h"
#include "relayprotocol.h"
#include "reportbox.h"
#include "seriallink.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTime>

namespace {

const QString kLineSettings = QStringLiteral("9600,N,8,1");
// How much of the operator's own text a report quotes.
constexpr int kQuotedTextLength = 40;

} // namespace

void Usb16Relay::Form_Load()
{
    ListComPorts();
}

void Usb16Relay::ListComPorts()
{
    cboComm->clear();
    for (qint16 n = 1; n <= 16; ++n) {
        if (ComPortExists(n)) {
            cboComm->addItem(QString::number(n));
            cboComm->setItemData(cboComm->count() - 1, PortInfo::of(n, false).summary(),
                                 Qt::ToolTipRole);
        }
    }
    if (cboComm->count() > 0) {
        cboComm->setCurrentIndex(0);
        cboComm_Click();
        return;
    }
    cboComm->setEditText(QStringLiteral("1"));
    auto *box = new QMessageBox(QMessageBox::NoIcon, windowTitle(),
                                QStringLiteral("No Com Ports Installed on this computer"),
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("noPortsBox"));
    box->button(QMessageBox::Ok)->setIcon(QIcon());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

void Usb16Relay::cboComm_Click()
{
    cmdConect_Click();
}

void Usb16Relay::cmdConect_Click()
{
    ++m_connections;
    leaveService();
    // Said with every failure below: the port that was open is closed by now.
    const QString wasOpen = MSComm1->portOpen()
                                ? QStringLiteral(" %1 was closed first; no port is open now.")
                                      .arg(MSComm1->portDescription())
                                : QString();
    if (MSComm1->portOpen())
        MSComm1->setPortOpen(false);
    m_connected = false;
    m_lostAt = QTime();
    showOpenPort();

    bool isNumber = false;
    const QString typed = cboComm->currentText();
    const qint16 port = typed.trimmed().toShort(&isNumber);
    if (!isNumber) {
        report(QStringLiteral("\"%1\" is not a port number. Type a whole number, such as 1 for "
                              "COM1, or pick a port from the list. %2%3")
                   .arg(ReportLog::elided(typed, kQuotedTextLength), ComPortPath::mappingHint(),
                        wasOpen));
        return;
    }
    MSComm1->setCommPort(port);
    MSComm1->setSettings(kLineSettings);
    MSComm1->setInputLen(0);
    MSComm1->setRThreshold(1);
    MSComm1->setSThreshold(0);
    if (!MSComm1->setPortOpen(true)) {
        if (connectThroughService(port, wasOpen))
            return;
        report(MSComm1->errorString() + wasOpen);
        return;
    }
    m_connected = true;
    m_answerMissing = false;
    // The indicators never show one board's state while another port is open; the same port
    // opened again keeps them.
    if (m_shownPort != 0 && m_shownPort != port)
        forgetRelayStates();
    showOpenPort();

    // Nothing is recorded as received right after opening, so the first refresh only asks; the
    // answer arrives during the pause, and the second refresh finds the reception recorded,
    // asks afresh and shows that answer.
    m_connection = Connection::Opening;
    ReadRelayStatus();
    Attente(int(RelayProtocol::kConnectPause.count()));
    m_connection = Connection::Concluding;
    ReadRelayStatus();
}

void Usb16Relay::cmdExit_Click()
{
    leaveService();
    if (MSComm1->portOpen()) {
        MSComm1->setInBufferCount(0);
        MSComm1->setPortOpen(false);
    }
    showOpenPort();
    close();
}

void Usb16Relay::closeEvent(QCloseEvent *event)
{
    m_closing = true;
    if (m_report)
        m_report->close();
    if (auto *box = findChild<QMessageBox *>(QStringLiteral("noPortsBox")))
        box->close();
    MSComm1->setPortOpen(false);
    leaveService();
    event->accept();
}

void Usb16Relay::showOpenPort()
{
    if (m_service) {
        cboComm->setToolTip(
            QStringLiteral("Through usb16relayd: %1 is held by the service, and "
                           "this window uses %2.")
                .arg(PortInfo::of(MSComm1->commPort(), false).summary(), serviceWhere()));
        return;
    }
    cboComm->setToolTip(
        MSComm1->portOpen()
            ? QStringLiteral("Open now: %1").arg(PortInfo::of(MSComm1->commPort(), false).summary())
            : QStringLiteral("No port is open. Pick one from the list, or type its number and "
                             "press Connect."));
}

void Usb16Relay::report(const QString &text)
{
    if (m_closing)
        return;
    showOpenPort(); // a failure may have closed the port
    m_reportLog.add(text, QTime::currentTime());
    if (!m_report) {
        m_report = new ReportBox(windowTitle(), this);
        m_report->setObjectName(QStringLiteral("report"));
        m_report->setAttribute(Qt::WA_DeleteOnClose);
        // Dismissed: what it listed has been seen.
        connect(m_report, &QDialog::finished, this, [this] { m_reportLog.clear(); });
    }
    m_report->setLog(m_reportLog.text());
    m_report->showAboveParent();
}

void Usb16Relay::reportLinkFailure(const QString &message)
{
    if (!m_connected || MSComm1->commEvent() != SerialLink::DeviceLost) {
        report(message);
        return;
    }
    if (!m_lostAt.isValid()) {
        m_lostAt = QTime::currentTime();
        m_clicksAtLoss = m_clicksRun;
        report(message + QLatin1Char(' ') + indicatorsStaleSentence());
        return;
    }
    if (m_clicksRun == m_clicksAtLoss)
        return; // the action that met the loss, going on: the loss has been reported
    report(QStringLiteral("Nothing was sent: %1 has been closed since it was unplugged or hung up "
                          "at %2. Plug the board back in, then press Connect. %3")
               .arg(MSComm1->portDescription(), m_lostAt.toString(QStringLiteral("HH:mm:ss")),
                    indicatorsStaleSentence()));
}

void Usb16Relay::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // A report raised while starting up goes above the window once the window is on screen.
    if (m_report && m_report->isVisible())
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_report)
                    m_report->raise();
            },
            Qt::QueuedConnection);
}
