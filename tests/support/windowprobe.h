#pragma once

#include "usb16relay.h"

#include <QList>
#include <QString>
#include <QWidget>

class QMessageBox;
class SerialLink;
class StatusIndicator;

// Reads the window the way a person sees it, by its controls' names.
namespace WindowProbe {

template <class Control> Control *control(const QWidget &window, const QString &name)
{
    return window.findChild<Control *>(name);
}

StatusIndicator *indicator(const QWidget &window, int index);
SerialLink *link(const QWidget &window);
// Colour words of fStatus(0..15).
QList<quint32> indicatorColours(const QWidget &window);
// Colour words a board state should paint: relay 1 = bit 15.
QList<quint32> coloursFor(quint16 state);
// The report on screen, if any.
QMessageBox *visibleReport(const QWidget &window);
int visibleMessageBoxes(const QWidget &window);
void click(const QWidget &window, const QString &buttonName);

} // namespace WindowProbe
