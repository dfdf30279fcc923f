#pragma once

#include <QWidget>

// A round lamp that is lit while its relay is on.
class RelayLamp : public QWidget
{
    Q_OBJECT

public:
    explicit RelayLamp(int relay, QWidget *parent = nullptr);

    bool isLit() const { return m_lit; }
    void setLit(bool lit);

    QSize sizeHint() const override { return {22, 22}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_relay;
    bool m_lit = false;
};
