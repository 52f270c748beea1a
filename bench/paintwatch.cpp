#include "paintwatch.h"

#include "measure.h"
#include "statusindicator.h"

#include <QEvent>

PaintWatch::PaintWatch(StatusIndicator *indicator, QObject *parent)
    : QObject(parent), m_indicator(indicator)
{
    m_indicator->installEventFilter(this);
}

PaintWatch::~PaintWatch()
{
    if (m_indicator)
        m_indicator->removeEventFilter(this);
}

void PaintWatch::expect(quint32 colourWord)
{
    m_expected = colourWord;
    m_paintedAtMs = -1;
}

bool PaintWatch::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_indicator && event->type() == QEvent::Paint && !painted() &&
        m_indicator->backColor() == m_expected)
        m_paintedAtMs = Measure::monotonicMs();
    return QObject::eventFilter(watched, event);
}
