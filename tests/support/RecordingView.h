#pragma once

#include "panel/PanelController.h"
#include "panel/PanelView.h"

#include <QMap>
#include <QString>
#include <QStringList>

// A PanelView without a window: it keeps the boxes' texts and lists, the timer's state and the
// problems shown, and raises the boxes' change notifications into the controller like the window.
class RecordingView : public PanelView
{
public:
    void attach(PanelController *controller) { m_controller = controller; }

    void appendItem(Box box, const QString &text) override { items[box].append(text); }
    void appendItems(Box box, const QStringList &texts) override
    {
        items[box].append(texts);
        ++appendCalls[box];
    }
    void setText(Box box, const QString &text) override
    {
        texts[box] = text;
        if (!m_controller)
            return;
        if (box == Box::Combo1)
            m_controller->selectPort(text);
        else if (box == Box::Combo2)
            m_controller->selectAddress(text);
    }
    QString firstItem(Box box) const override { return items.value(box).value(0); }
    void setRepeatTimer(bool enabled) override { timerEnabled = enabled; }
    void focusEmergencyStop() override { ++emergencyStopFocused; }
    void showProblem(Box box, const QString &text) override
    {
        problems[box] = text;
        problemCalls.append(text);
    }

    QMap<Box, QStringList> items;
    QMap<Box, int> appendCalls; // of appendItems()
    QMap<Box, QString> texts;
    QMap<Box, QString> problems;
    QStringList problemCalls;
    bool timerEnabled = false;
    int emergencyStopFocused = 0;

private:
    PanelController *m_controller = nullptr;
};
