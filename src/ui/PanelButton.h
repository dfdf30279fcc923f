#pragma once

#include <QPushButton>

// A push button whose caption wraps at word boundaries when it is wider than the button, and
// which tells when the operator (not the program or the window system) moved the focus onto it.
class PanelButton : public QPushButton
{
    Q_OBJECT

public:
    explicit PanelButton(const QString &caption, QWidget *parent = nullptr);

signals:
    // The operator moved the keyboard focus onto the button, by mouse or keyboard. Focus that
    // comes back with the window's activation or from the program does not count.
    void gainedFocus();

protected:
    void focusInEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};
