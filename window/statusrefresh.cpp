// Asking the board for its sixteen relays and painting the indicators.

#include "usb16relay.h"

#include "colourword.h"
#include "pacedwait.h"
#include "relayprotocol.h"
#include "seriallink.h"
#include "serviceboard.h"
#include "statusindicator.h"

#include <QPushButton>

#include <algorithm>

void Usb16Relay::Attente(int MilsecToWait)
{
    pacedWait(MilsecToWait);
}

void Usb16Relay::cmdAsk_Click()
{
    ReadRelayStatus();
}

void Usb16Relay::ReadRelayStatus()
{
    if (m_service) {
        m_service->read();
        return;
    }
    const Connection connection = m_connection;
    if (connection == Connection::Concluding)
        m_connection = Connection::Settled;
    // Bytes still waiting came after the last reader had finished.
    const int leftOver = MSComm1->inBufferCount();
    const bool cameLate = m_answerMissing && leftOver > 0;
    if (!MSComm1->setInBufferCount(0) || !MSComm1->setOutput(RelayProtocol::askCommand())) {
        reportLinkFailure(MSComm1->errorString());
        return;
    }
    // Where on the line this question's answer begins: after what earlier ones are still owed.
    const quint64 answerAt = MSComm1->expectAnswer(2);
    ++m_inputTakes;
    // Read straight after the write, with no event processed in between: this asks whether the
    // last thing the line did before this query was deliver bytes.
    if (MSComm1->commEvent() != SerialLink::Receive) {
        // Until the connection's second refresh nothing can have come yet; from then on it means
        // the board has said nothing at all since the port was opened.
        if (connection != Connection::Opening) {
            m_answerMissing = true;
            report(silenceText(connection == Connection::Concluding));
        }
        return;
    }
    const quint64 takesBefore = m_inputTakes;
    Attente(int(RelayProtocol::kStatusPause.count()));
    const quint64 readFrom = MSComm1->receivedCount();
    ReceivedText = MSComm1->input();
    const bool takenByNestedHandler = m_inputTakes != takesBefore || readFrom > answerAt;
    ++m_inputTakes;
    // Bytes in front of this answer answer earlier questions: a late board's, never this one's.
    const qsizetype earlier = qsizetype(
        std::min<quint64>(answerAt - std::min(answerAt, readFrom), quint64(ReceivedText.size())));
    const QByteArray answer = takenByNestedHandler ? QByteArray() : ReceivedText.mid(earlier);
    const std::optional<RelayState> state = RelayProtocol::decodeStatus(answer);
    if (!state) {
        // A handler run during the wait that read or emptied the input took this answer: that
        // one was read, not missing. A line lost during the wait has been reported already.
        if (!takenByNestedHandler && MSComm1->portOpen()) {
            m_answerMissing = true;
            // An odd count is a board that answers with too few bytes rather than a late one.
            if (earlier > 0 && (earlier % 2 == 0 || !answer.isEmpty()))
                report(earlierAnswersText(int(earlier), answer.size()));
            else
                report(shortAnswerText(cameLate, leftOver));
        }
        return;
    }
    m_answerMissing = false;
    showRelayStates(*state);
}

void Usb16Relay::showRelayStates(const RelayState &state)
{
    for (int k = 0; k < RelayProtocol::kRelayCount; ++k)
        fStatus[k]->setBackColor(state.at(k) ? ColourWord::kRelayOn : ColourWord::kRelayOff);
    m_shownPort = MSComm1->commPort();
    describeRelayButtons();
}

void Usb16Relay::forgetRelayStates()
{
    for (StatusIndicator *indicator : fStatus)
        indicator->forget();
    m_shownPort = 0;
    describeRelayButtons();
}

void Usb16Relay::describeRelayButtons()
{
    for (int k = 0; k < RelayProtocol::kRelayCount; ++k) {
        // The button decides from the indicator's colour, and says so.
        const bool shownOff = fStatus[k]->backColor() == ColourWord::kRelayOff;
        const QString state = fStatus[k]->stateWords();
        const QString description =
            QStringLiteral("Relay %1 %2; pressing switches it %3")
                .arg(QString::number(k + 1),
                     state == QLatin1String("not read yet")
                         ? QStringLiteral("has not been read yet and is shown off")
                         : QStringLiteral("is ") + state,
                     shownOff ? QStringLiteral("on") : QStringLiteral("off"));
        if (cmdRelay[k]->accessibleDescription() != description)
            cmdRelay[k]->setAccessibleDescription(description);
    }
}

QString Usb16Relay::silenceText(bool concludingConnection) const
{
    if (concludingConnection)
        return QStringLiteral("%1 sent nothing in the %2 ms after it was opened. Check that the "
                              "board is powered and connected to this port; %3")
            .arg(MSComm1->portDescription(), QString::number(RelayProtocol::kConnectPause.count()),
                 indicatorsStaleText());
    if (MSComm1->commEvent() == SerialLink::NoEvent)
        return QStringLiteral("%1 has not answered since it was opened: not one byte has come "
                              "from the board. Check that the board is powered and connected to "
                              "this port; %2")
            .arg(MSComm1->portDescription(), indicatorsStaleText());
    return QStringLiteral("Nothing has come from %1 since the fault reported before; %2")
        .arg(MSComm1->portDescription(), indicatorsStaleText());
}

QString Usb16Relay::shortAnswerText(bool cameLate, int leftOver) const
{
    const QString pause = QString::number(RelayProtocol::kStatusPause.count());
    if (ReceivedText.size() == 1)
        return QStringLiteral("%1 answered only 1 of the 2 status bytes within %2 ms of "
                              "\"ask//\"; %3")
            .arg(MSComm1->portDescription(), pause, indicatorsStaleText());
    if (cameLate)
        return QStringLiteral("%1 answered too late: %2 came after the last wait for it had "
                              "ended, and nothing within %3 ms of this \"ask//\"; %4")
            .arg(MSComm1->portDescription(),
                 leftOver == 1 ? QStringLiteral("1 byte")
                               : QStringLiteral("%1 bytes").arg(leftOver),
                 pause, indicatorsStaleText());
    return QStringLiteral("%1 did not answer \"ask//\" within %2 ms: nothing came from the "
                          "board; %3")
        .arg(MSComm1->portDescription(), pause, indicatorsStaleText());
}

QString Usb16Relay::earlierAnswersText(int earlier, qsizetype own) const
{
    return QStringLiteral("%1 answered too late: the %2 that came within %3 ms of this "
                          "\"ask//\" answer earlier ones, and %4 of its own; %5")
        .arg(MSComm1->portDescription(),
             earlier == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(earlier),
             QString::number(RelayProtocol::kStatusPause.count()),
             own == 1 ? QStringLiteral("only 1 byte") : QStringLiteral("nothing"),
             indicatorsStaleText());
}

QString Usb16Relay::indicatorsStaleText() const
{
    return m_shownPort != 0
               ? QStringLiteral("the indicators still show the last state read from COM%1.")
                     .arg(m_shownPort)
               : QStringLiteral("the indicators have not been read from the board yet.");
}

QString Usb16Relay::indicatorsStaleSentence() const
{
    const QString text = indicatorsStaleText();
    return text.left(1).toUpper() + text.mid(1);
}
