#pragma once

#include <QString>
#include <QStringList>

// What the panel logic asks of its window.
class PanelView
{
public:
    enum class Box { Combo1, Combo2, Combo3 };

    virtual ~PanelView() = default;

    // Appends an entry to the box's list; the box's text stays as it is.
    virtual void appendItem(Box box, const QString &text) = 0;
    // Appends the entries in one step, as appendItem() would one by one.
    virtual void appendItems(Box box, const QStringList &texts) = 0;
    // Sets the text of Combo1 or Combo2 and raises its change notification before returning,
    // exactly as typing does.
    virtual void setText(Box box, const QString &text) = 0;
    virtual QString firstItem(Box box) const = 0;
    virtual void setRepeatTimer(bool enabled) = 0;
    virtual void focusEmergencyStop() = 0;
    // Marks the box with a problem in plain words; an empty text means the problem is gone.
    virtual void showProblem(Box box, const QString &text) = 0;

protected:
    PanelView() = default;
    PanelView(const PanelView &) = default;
    PanelView &operator=(const PanelView &) = default;
};
