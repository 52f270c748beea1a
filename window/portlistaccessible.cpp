#include "portlistaccessible.h"

#include "portlist.h"

PortListAccessible::PortListAccessible(PortList *portList)
    : QAccessibleWidget(portList, QAccessible::ComboBox)
{}

QAccessibleInterface *PortListAccessible::create(const QString &className, QObject *object)
{
    if (className == QLatin1String("PortList"))
        if (auto *portList = qobject_cast<PortList *>(object))
            return new PortListAccessible(portList);
    return nullptr;
}

PortList *PortListAccessible::portList() const
{
    return static_cast<PortList *>(widget());
}

QString PortListAccessible::text(QAccessible::Text text) const
{
    if (text == QAccessible::Value)
        return portList()->currentText();
    return QAccessibleWidget::text(text);
}

QStringList PortListAccessible::actionNames() const
{
    return {showMenuAction(), setFocusAction()};
}

void PortListAccessible::doAction(const QString &actionName)
{
    if (actionName == showMenuAction())
        portList()->showPopup();
    else if (actionName == setFocusAction())
        portList()->setFocus(Qt::OtherFocusReason);
}

QStringList PortListAccessible::keyBindingsForAction(const QString &) const
{
    return {};
}
