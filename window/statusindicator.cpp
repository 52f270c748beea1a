#include "statusindicator.h"

#include "colourword.h"

#include <QPainter>

StatusIndicator::StatusIndicator(QWidget *parent)
    : QWidget(parent), m_backColor(ColourWord::kRelayOff)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void StatusIndicator::setBackColor(quint32 colourWord)
{
    if (colourWord == m_backColor)
        return;
    m_backColor = colourWord;
    update();
}

void StatusIndicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), ColourWord::toColor(m_backColor));
}
