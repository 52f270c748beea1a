#include "windowrig.h"

void WindowRig::setUp(const QString &portDirTemplate)
{
    m_ports = std::make_unique<BoardPorts>(portDirTemplate);
    m_window = std::make_unique<Usb16Relay>();
}

void WindowRig::tearDown()
{
    m_window.reset();
    m_ports.reset();
}

SimulatedBoard *WindowRig::connectTo(quint16 state, int port)
{
    SimulatedBoard *board = m_ports->add(port, state);
    if (!board)
        return nullptr;
    m_window->Form_Load();
    m_window->show();
    board->clearReceived();
    return board;
}
