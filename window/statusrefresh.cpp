// Asking the board for its sixteen relays and painting the indicators.

#include "usb16relay.h"

#include "colourword.h"
#include "pacedwait.h"
#include "relayprotocol.h"
#include "seriallink.h"
#include "statusindicator.h"

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
    const bool firstSinceOpen = m_refreshesSinceOpen++ == 0;
    if (!MSComm1->setInBufferCount(0) || !MSComm1->setOutput(RelayProtocol::askCommand())) {
        report(MSComm1->errorString());
        return;
    }
    ++m_inputTakes;
    // Read straight after the write, with no event processed in between: this asks whether the
    // last thing the line did before this query was deliver bytes.
    if (MSComm1->commEvent() != SerialLink::Receive) {
        // Right after opening nothing can have come yet; on any later refresh it means the board
        // has said nothing at all since then.
        if (!firstSinceOpen)
            report(silenceText());
        return;
    }
    const quint64 takesBefore = m_inputTakes;
    Attente(int(RelayProtocol::kStatusPause.count()));
    ReceivedText = MSComm1->input();
    const bool takenByNestedHandler = m_inputTakes != takesBefore;
    ++m_inputTakes;
    const std::optional<RelayState> state = RelayProtocol::decodeStatus(ReceivedText);
    if (!state) {
        // A handler run during the wait that read or emptied the input took this answer: that
        // one was read, not missing. A line lost during the wait has been reported already.
        if (!takenByNestedHandler && MSComm1->portOpen())
            report(QStringLiteral("%1 did not answer \"ask//\" within %2 ms (%3 received); %4")
                       .arg(MSComm1->portDescription())
                       .arg(RelayProtocol::kStatusPause.count())
                       .arg(ReceivedText.size() == 1
                                ? QStringLiteral("1 byte")
                                : QStringLiteral("%1 bytes").arg(ReceivedText.size()))
                       .arg(indicatorsStaleText()));
        return;
    }
    for (int k = 0; k < RelayProtocol::kRelayCount; ++k)
        fStatus[k]->setBackColor(state->at(k) ? ColourWord::kRelayOn : ColourWord::kRelayOff);
    m_indicatorsRead = true;
}

QString Usb16Relay::silenceText() const
{
    if (MSComm1->commEvent() == SerialLink::NoEvent)
        return QStringLiteral("%1 has not answered since it was opened: not one byte has come "
                              "from the board. Check that the board is powered and connected to "
                              "this port; %2")
            .arg(MSComm1->portDescription(), indicatorsStaleText());
    return QStringLiteral("Nothing has come from %1 since the fault reported before; %2")
        .arg(MSComm1->portDescription(), indicatorsStaleText());
}

QString Usb16Relay::indicatorsStaleText() const
{
    return m_indicatorsRead ? QStringLiteral("the indicators still show the last state read.")
                            : QStringLiteral("the indicators have not been read from the board "
                                             "yet.");
}
