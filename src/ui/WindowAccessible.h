#pragma once

#include <QAccessibleWidget>
#include <QWidgetList>

// The panel's window as assistive technology walks it: its controls, less the ones hidden for
// good. Qt lists hidden children too, and a screen reader would read out widgets that stand in
// for nothing the operator can see or reach.
class WindowAccessible : public QAccessibleWidget
{
public:
    explicit WindowAccessible(QWidget *window);

    // For QAccessible::installFactory(): this interface for `object` when it is a MainWindow.
    static QAccessibleInterface *factory(const QString &className, QObject *object);

    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;

private:
    QWidgetList shownChildren() const;
};
