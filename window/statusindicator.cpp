#include "statusindicator.h"

#include "colourword.h"

#include <QPainter>

namespace {

const QString kNotRead = QStringLiteral("not read yet");

} // namespace

StatusIndicator::StatusIndicator(QWidget *parent)
    : QWidget(parent), m_backColor(ColourWord::kRelayOff)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void StatusIndicator::setRelay(int relay)
{
    m_relay = relay;
    // Told apart from the relay's button, which is "Relay N".
    setAccessibleName(QStringLiteral("Relay %1 state").arg(relay));
    m_words.clear();
    describe(kNotRead);
}

void StatusIndicator::setBackColor(quint32 colourWord)
{
    describe(colourWord == ColourWord::kRelayOn    ? QStringLiteral("on")
             : colourWord == ColourWord::kRelayOff ? QStringLiteral("off")
                                                   : QStringLiteral("unknown"));
    paint(colourWord);
}

void StatusIndicator::forget()
{
    describe(kNotRead);
    paint(ColourWord::kRelayOff);
}

void StatusIndicator::paint(quint32 colourWord)
{
    if (colourWord == m_backColor)
        return;
    m_backColor = colourWord;
    update();
}

void StatusIndicator::describe(const QString &state)
{
    // Screen readers announce a change of description: only a change of state is one.
    if (state == m_words)
        return;
    m_words = state;
    setAccessibleDescription(state);
    setToolTip(QStringLiteral("Relay %1: %2").arg(QString::number(m_relay), state));
}

void StatusIndicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), ColourWord::toColor(m_backColor));
}
