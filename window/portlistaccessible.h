#pragma once

#include <QAccessibleWidget>

class PortList;

// What a screen reader reads from the port field: its name ("Port"), its text as the value, and
// the action that opens the list. Qt's own combo box on Linux gives the text as the name too.
class PortListAccessible final : public QAccessibleWidget
{
public:
    explicit PortListAccessible(PortList *portList);

    // For QAccessible::installFactory.
    static QAccessibleInterface *create(const QString &className, QObject *object);

    QString text(QAccessible::Text text) const override;

    QStringList actionNames() const override;
    void doAction(const QString &actionName) override;
    QStringList keyBindingsForAction(const QString &actionName) const override;

private:
    PortList *portList() const;
};
