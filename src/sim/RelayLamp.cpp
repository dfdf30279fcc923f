#include "sim/RelayLamp.h"

#include <QPainter>

RelayLamp::RelayLamp(int relay, QWidget *parent) : QWidget(parent), m_relay(relay)
{
    setFixedSize(sizeHint());
    setLit(false);
}

void RelayLamp::setLit(bool lit)
{
    if (lit == m_lit && !accessibleName().isEmpty())
        return;
    m_lit = lit;
    setAccessibleName(lit ? tr("Relay %1 on").arg(m_relay) : tr("Relay %1 off").arg(m_relay));
    setToolTip(accessibleName());
    update();
}

void RelayLamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Dark), 1));
    painter.setBrush(m_lit ? QColor(0xff, 0x3b, 0x30) : QColor(0x5a, 0x1e, 0x1b));
    painter.drawEllipse(QRectF(rect()).adjusted(2.5, 2.5, -2.5, -2.5));
    if (m_lit) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, 150));
        painter.drawEllipse(QRectF(7, 6, 5, 4));
    }
}
