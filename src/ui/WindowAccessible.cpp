#include "ui/WindowAccessible.h"

#include <QWidget>

WindowAccessible::WindowAccessible(QWidget *window) : QAccessibleWidget(window) { }

QAccessibleInterface *WindowAccessible::factory(const QString &className, QObject *object)
{
    if (className == QLatin1String("MainWindow") && object && object->isWidgetType())
        return new WindowAccessible(static_cast<QWidget *>(object));
    return nullptr;
}

int WindowAccessible::childCount() const
{
    return int(shownChildren().size());
}

QAccessibleInterface *WindowAccessible::child(int index) const
{
    const QWidgetList children = shownChildren();
    if (index < 0 || index >= children.size())
        return nullptr;
    return QAccessible::queryAccessibleInterface(children.at(index));
}

int WindowAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    if (!child)
        return -1;
    return int(shownChildren().indexOf(qobject_cast<QWidget *>(child->object())));
}

QWidgetList WindowAccessible::shownChildren() const
{
    QWidgetList shown;
    for (QWidget *control : widget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (!control->isWindow() && !control->isHidden())
            shown.append(control);
    }
    return shown;
}
