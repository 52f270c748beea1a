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
    if (!MSComm1->setInBufferCount(0) || !MSComm1->setOutput(RelayProtocol::askCommand())) {
        report(MSComm1->errorString());
        return;
    }
    // Read straight after the write, with no event processed in between: this asks whether the
    // last thing the line did before this query was deliver bytes.
    if (MSComm1->commEvent() != SerialLink::Receive)
        return;
    Attente(int(RelayProtocol::kStatusPause.count()));
    ReceivedText = MSComm1->input();
    // Fewer than two bytes (no answer, or a nested handler took it): the indicators stay.
    const std::optional<RelayState> state = RelayProtocol::decodeStatus(ReceivedText);
    if (!state)
        return;
    for (int k = 0; k < RelayProtocol::kRelayCount; ++k)
        fStatus[k]->setBackColor(state->at(k) ? ColourWord::kRelayOn : ColourWord::kRelayOff);
}
