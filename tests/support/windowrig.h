#pragma once

#include "boardports.h"
#include "usb16relay.h"

#include <memory>

// A fresh window with simulated boards behind it, for one test function.
class WindowRig final
{
public:
    // portDirTemplate: where the boards' ports live, as for BoardPorts.
    void setUp(const QString &portDirTemplate = {});
    void tearDown();

    BoardPorts &ports() { return *m_ports; }
    Usb16Relay &window() const { return *m_window; }

    // Starts a board as COM port, runs start-up, shows the window and forgets what start-up
    // sent. Null when the board cannot start.
    SimulatedBoard *connectTo(quint16 state, int port = 1);

private:
    std::unique_ptr<BoardPorts> m_ports;
    std::unique_ptr<Usb16Relay> m_window;
};
