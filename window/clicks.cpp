// How clicks reach their handlers.

#include "usb16relay.h"

void Usb16Relay::runClick(Handler handler)
{
    // A click during a wait runs nested in it. Past a depth no operator reaches by hand (an
    // auto-clicker, a stuck button), clicks wait their turn instead, in order: none is lost and
    // the stack stays bounded.
    m_pendingClicks.push_back(handler);
    while (!m_pendingClicks.empty() && m_clickDepth < kMaxNestedClicks && !m_closing) {
        const Handler next = m_pendingClicks.front();
        m_pendingClicks.pop_front();
        ++m_clickDepth;
        (this->*next)();
        --m_clickDepth;
    }
}
