#pragma once

#include <QString>
#include <QVariant>
#include <QWidget>

// The window's control of that name, and of that index in its control array if one is given.
template<typename T = QWidget>
T *findControl(const QWidget &window, const QString &name, int index = -1)
{
    for (T *child : window.findChildren<T *>(name)) {
        if (index < 0 || child->property("index").toInt() == index)
            return child;
    }
    return nullptr;
}
