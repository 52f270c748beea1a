#include "portlist.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QScopedValueRollback>
#include <QWheelEvent>

// Knows when the combo box is only committing what was typed, so that the activation QComboBox
// raises for it can be told from a pick.
class PortList::Editor final : public QLineEdit
{
public:
    using QLineEdit::QLineEdit;

    bool committingTypedText() const { return m_committing; }

protected:
    void focusOutEvent(QFocusEvent *event) override
    {
        const QScopedValueRollback committing(m_committing, true);
        QLineEdit::focusOutEvent(event);
    }

    void keyPressEvent(QKeyEvent *event) override
    {
        const QScopedValueRollback committing(m_committing, true);
        QLineEdit::keyPressEvent(event);
    }

private:
    bool m_committing = false;
};

PortList::PortList(QWidget *parent) : QComboBox(parent)
{
    setEditable(true);
    m_editor = new Editor(this);
    setLineEdit(m_editor);
    // The text is the operator's: never completed, never added to the list.
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    // The wheel must not take the focus, and so cannot switch ports in passing.
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QComboBox::activated, this, &PortList::handleActivated);
}

void PortList::wheelEvent(QWheelEvent *event)
{
    if (!hasFocus()) {
        event->ignore();
        return;
    }
    QComboBox::wheelEvent(event);
}

void PortList::handleActivated()
{
    if (!m_editor->committingTypedText())
        emit picked();
}
