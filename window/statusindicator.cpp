#include "statusindicator.h"

#include "colourword.h"

#include <QPainter>

StatusIndicator::StatusIndicator(QWidget *parent)
    : QWidget(parent), m_backColor(ColourWord::kRelayOff)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void StatusIndicator::setRelay(int relay)
{
    m_relay = relay;
    setAccessibleName(QStringLiteral("Relay %1").arg(relay));
    describe(QStringLiteral("not read yet"));
}

void StatusIndicator::setBackColor(quint32 colourWord)
{
    describe(colourWord == ColourWord::kRelayOn    ? QStringLiteral("on")
             : colourWord == ColourWord::kRelayOff ? QStringLiteral("off")
                                                   : QStringLiteral("unknown"));
    if (colourWord == m_backColor)
        return;
    m_backColor = colourWord;
    update();
}

void StatusIndicator::describe(const QString &state)
{
    setAccessibleDescription(state);
    setToolTip(QStringLiteral("Relay %1: %2").arg(m_relay).arg(state));
}

void StatusIndicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), ColourWord::toColor(m_backColor));
}
