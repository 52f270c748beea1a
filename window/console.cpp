// The command console: free text to the board, replies into the log.

#include "usb16relay.h"

#include "relayprotocol.h"
#include "replytext.h"
#include "seriallink.h"

#include <QLineEdit>
#include <QPlainTextEdit>

void Usb16Relay::cmdSend_Click()
{
    if (m_service) {
        refuseRawText(QStringLiteral("typed commands"));
        return;
    }
    const QString typed = txtSend->text();
    const int bad = ReplyText::firstUnsendable(typed);
    if (bad >= 0) {
        const int length = typed.at(bad).isHighSurrogate() ? 2 : 1;
        const QString character = typed.mid(bad, length);
        report(
            QStringLiteral("Nothing was sent to %1: the character \"%2\" (U+%3) at position %4 "
                           "has no single byte on the serial line. Only characters up to "
                           "U+00FF can be sent.")
                .arg(MSComm1->portDescription(), character,
                     QStringLiteral("%1").arg(character.toUcs4().value(0), 4, 16, QLatin1Char('0')),
                     QString::number(typed.left(bad).toUcs4().size() + 1)));
        return;
    }
    if (!MSComm1->setOutput(RelayProtocol::freeCommand(typed.toLatin1()))) {
        reportLinkFailure(MSComm1->errorString());
        return;
    }
    if (MSComm1->commEvent() != SerialLink::Receive)
        return;
    Attente(int(RelayProtocol::kConsolePause.count()));
    if (!MSComm1->portOpen())
        return; // the line was lost during the wait, and that has been reported
    ReceivedText = MSComm1->input();
    ++m_inputTakes; // a status refresh waiting around this one must not miss its answer
    // At the caret, replacing any selection: left alone, the caret keeps replies in order.
    txtReceive->insertPlainText(ReplyText::display(ReceivedText) + QStringLiteral("\r\n"));
}

void Usb16Relay::cmdSequential_Click()
{
    if (m_service) {
        refuseRawText(QStringLiteral("sequences"));
        return;
    }
    if (!MSComm1->setOutput(RelayProtocol::sequenceCommand()))
        reportLinkFailure(MSComm1->errorString());
}
