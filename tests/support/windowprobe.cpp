#include "windowprobe.h"

#include "seriallink.h"
#include "statusindicator.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTest>

namespace WindowProbe {

StatusIndicator *indicator(const QWidget &window, int index)
{
    return control<StatusIndicator>(window, QStringLiteral("fStatus(%1)").arg(index));
}

SerialLink *link(const QWidget &window)
{
    return window.findChild<SerialLink *>(QStringLiteral("MSComm1"));
}

QList<quint32> indicatorColours(const QWidget &window)
{
    QList<quint32> colours;
    for (int k = 0; k < 16; ++k)
        colours << indicator(window, k)->backColor();
    return colours;
}

QList<quint32> coloursFor(quint16 state)
{
    QList<quint32> colours;
    for (int k = 0; k < 16; ++k)
        colours << ((state & (0x8000u >> k)) ? 0xC000u : 0xFFu);
    return colours;
}

QMessageBox *visibleReport(const QWidget &window)
{
    for (QMessageBox *box : window.findChildren<QMessageBox *>())
        if (box->isVisible())
            return box;
    return nullptr;
}

int visibleMessageBoxes(const QWidget &window)
{
    int count = 0;
    for (QMessageBox *box : window.findChildren<QMessageBox *>())
        count += box->isVisible() ? 1 : 0;
    return count;
}

void click(const QWidget &window, const QString &buttonName)
{
    QPushButton *button = control<QPushButton>(window, buttonName);
    if (!button)
        qFatal("no button %s", qPrintable(buttonName));
    QTest::mouseClick(button, Qt::LeftButton);
}

} // namespace WindowProbe
