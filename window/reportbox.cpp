#include "reportbox.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QScopedValueRollback>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QWindow>

namespace {

// Room for a window manager's title bar and borders before the box has been framed.
constexpr int kFrameAllowanceWidth = 16;
constexpr int kFrameAllowanceHeight = 48;
// The width a long report wraps at, as a message box chooses it.
constexpr int kPreferredWidth = 500;

} // namespace

ReportBox::ReportBox(const QString &title, QWidget *parent)
    : QMessageBox(QMessageBox::Warning, title, QString(), QMessageBox::Ok, parent)
{
    setWindowModality(Qt::NonModal);
    setTextFormat(Qt::PlainText);
    m_label = findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
    if (!m_label)
        return; // a message box laid out otherwise keeps its own sizing
    m_area = new QScrollArea(this);
    m_area->setObjectName(QStringLiteral("reportScroll"));
    m_area->setWidgetResizable(true);
    m_area->setFrameShape(QFrame::NoFrame);
    m_area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_area->viewport()->setAutoFillBackground(false);
    // Whatever is added last is the newest: keep it in view.
    connect(m_area->verticalScrollBar(), &QScrollBar::rangeChanged, this,
            [this](int, int maximum) { m_area->verticalScrollBar()->setValue(maximum); });
    wrapText();
}

void ReportBox::wrapText()
{
    auto *grid = qobject_cast<QGridLayout *>(layout());
    if (!m_area || !grid)
        return;
    const int index = grid->indexOf(m_label);
    if (index < 0)
        return; // wrapped already
    int row = 0, column = 0, rowSpan = 1, columnSpan = 1;
    grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
    grid->removeWidget(m_label);
    m_area->takeWidget();
    m_area->setWidget(m_label);
    m_label->setAutoFillBackground(false);
    grid->addWidget(m_area, row, column, rowSpan, columnSpan);
}

void ReportBox::setLog(const QString &text)
{
    setText(text);
    fit();
}

void ReportBox::showAboveParent()
{
    if (QWidget *owner = parentWidget()) {
        // Made now, so that the window manager learns whose transient it is before it maps it.
        owner->window()->winId();
        winId();
        if (windowHandle() && owner->window()->windowHandle())
            windowHandle()->setTransientParent(owner->window()->windowHandle());
    }
    show();
    raise();
}

bool ReportBox::event(QEvent *event)
{
    const bool handled = QMessageBox::event(event);
    switch (event->type()) {
    case QEvent::StyleChange:
        wrapText(); // a change of style lays the message box out afresh
        fit();
        break;
    case QEvent::Show:
    case QEvent::LayoutRequest:
    case QEvent::ScreenChangeInternal:
        fit();
        break;
    default:
        break;
    }
    return handled;
}

void ReportBox::fit()
{
    auto *grid = qobject_cast<QGridLayout *>(layout());
    if (!m_area || !grid || !isVisible() || m_fitting)
        return;
    const QScopedValueRollback fitting(m_fitting, true);
    const QRect available = screen()->availableGeometry();
    int frameWidth = frameGeometry().width() - width();
    int frameHeight = frameGeometry().height() - height();
    if (frameHeight <= 0) {
        frameWidth = kFrameAllowanceWidth;
        frameHeight = kFrameAllowanceHeight;
    }
    const int maxWidth = available.width() - frameWidth;
    const int maxHeight = available.height() - frameHeight;

    m_label->setWordWrap(true);
    m_area->setMinimumHeight(0);
    const int boxWidth = qMin(maxWidth, qMax(grid->totalMinimumSize().width(),
                                             qMin(available.width() / 2, kPreferredWidth)));
    // Lay the children out at that width now, to learn the width the text wraps at.
    grid->setGeometry(QRect(0, 0, boxWidth, maxHeight));
    const int textHeight = m_label->heightForWidth(m_area->maximumViewportSize().width());
    m_area->setMinimumHeight(textHeight);
    int boxHeight = grid->totalMinimumSize().height();
    if (boxHeight > maxHeight) {
        m_area->setMinimumHeight(qMax(0, textHeight - (boxHeight - maxHeight)));
        boxHeight = grid->totalMinimumSize().height();
    }
    setFixedSize(boxWidth, boxHeight);
    QCoreApplication::removePostedEvents(this, QEvent::LayoutRequest);

    // Keep the whole box, its OK button included, on the screen.
    QRect frame(pos(), QSize(boxWidth + frameWidth, boxHeight + frameHeight));
    frame.moveRight(qMin(frame.right(), available.right()));
    frame.moveBottom(qMin(frame.bottom(), available.bottom()));
    frame.moveLeft(qMax(frame.left(), available.left()));
    frame.moveTop(qMax(frame.top(), available.top()));
    if (frame.topLeft() != pos())
        move(frame.topLeft());
}
