#pragma once

#include <QString>
#include <QVariant>
#include <QWidget>

#include <array>

// The ON and OFF button of each relay, relay 1 first; the window's names keep their old gaps.
inline constexpr std::array<const char *, 8> relayOnButtons = {"Command1", "Command8", "Command10",
    "Command12", "Command14", "Command16", "Command18", "Command20"};
inline constexpr std::array<const char *, 8> relayOffButtons = {"Command2", "Command9", "Command11",
    "Command13", "Command15", "Command17", "Command19", "Command21"};

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
