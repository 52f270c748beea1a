// The relay buttons and All On / All Off.

#include "usb16relay.h"

#include "colourword.h"
#include "relayprotocol.h"
#include "seriallink.h"
#include "serviceboard.h"
#include "statusindicator.h"

void Usb16Relay::cmdRelay1_Click()
{
    switchRelay(1);
}
void Usb16Relay::cmdRelay2_Click()
{
    switchRelay(2);
}
void Usb16Relay::cmdRelay3_Click()
{
    switchRelay(3);
}
void Usb16Relay::cmdRelay4_Click()
{
    switchRelay(4);
}
void Usb16Relay::cmdRelay5_Click()
{
    switchRelay(5);
}
void Usb16Relay::cmdRelay6_Click()
{
    switchRelay(6);
}
void Usb16Relay::cmdRelay7_Click()
{
    switchRelay(7);
}
void Usb16Relay::cmdRelay8_Click()
{
    switchRelay(8);
}
void Usb16Relay::cmdRelay9_Click()
{
    switchRelay(9);
}
void Usb16Relay::cmdRelay10_Click()
{
    switchRelay(10);
}
void Usb16Relay::cmdRelay11_Click()
{
    switchRelay(11);
}
void Usb16Relay::cmdRelay12_Click()
{
    switchRelay(12);
}
void Usb16Relay::cmdRelay13_Click()
{
    switchRelay(13);
}
void Usb16Relay::cmdRelay14_Click()
{
    switchRelay(14);
}
void Usb16Relay::cmdRelay15_Click()
{
    switchRelay(15);
}
void Usb16Relay::cmdRelay16_Click()
{
    switchRelay(16);
}

void Usb16Relay::cmdOn_Click()
{
    if (m_service) {
        m_service->switchAll(true);
        return;
    }
    sendAndRefresh(RelayProtocol::allOnCommand());
}

void Usb16Relay::cmdOff_Click()
{
    if (m_service) {
        m_service->switchAll(false);
        return;
    }
    sendAndRefresh(RelayProtocol::allOffCommand());
}

void Usb16Relay::switchRelay(int relay)
{
    // The indicator is the only record of the relay: red means off, so switch it on; any other
    // colour switches it off.
    const bool shownOff = fStatus[relay - 1]->backColor() == ColourWord::kRelayOff;
    if (m_service) {
        m_service->switchRelay(relay, shownOff);
        return;
    }
    sendAndRefresh(RelayProtocol::switchCommand(relay, shownOff));
}

void Usb16Relay::sendAndRefresh(const QByteArray &command)
{
    if (!MSComm1->setOutput(command)) {
        reportLinkFailure(MSComm1->errorString());
        return;
    }
    Attente(int(RelayProtocol::kSwitchPause.count()));
    ReadRelayStatus();
}
