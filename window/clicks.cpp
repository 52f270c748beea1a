// How clicks reach their handlers.

#include "usb16relay.h"

#include <QKeyEvent>
#include <QPushButton>

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
        ++m_clicksRun;
        (this->*next)();
        --m_clickDepth;
    }
}

bool Usb16Relay::eventFilter(QObject *watched, QEvent *event)
{
    // Return and Enter press the focused button, as Space does; no button is the window's
    // default, so nothing else answers them.
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        auto *button = qobject_cast<QPushButton *>(watched);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if (button && enter && modifiers == Qt::NoModifier && button->isEnabled()) {
            if (!key->isAutoRepeat())
                button->click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
