#pragma once

#include <QComboBox>

// The port field: an editable combo box whose text is the port to connect to. It announces
// picked() only when the operator chooses an item from the list (the drop-down, the arrow keys
// or the wheel while it has the focus). Typing, Return and leaving the field pick nothing:
// QComboBox would otherwise turn typed text that matches an item into an activation as the
// focus leaves, and the connection would run inside the click that took the focus away.
class PortList final : public QComboBox
{
    Q_OBJECT

public:
    explicit PortList(QWidget *parent = nullptr);

signals:
    void picked();

protected:
    void wheelEvent(QWheelEvent *event) override;

private:
    class Editor;

    void handleActivated();

    Editor *m_editor = nullptr;
};
