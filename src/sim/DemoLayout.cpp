#include "sim/DemoLayout.h"

#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace {

bool isFramed(const QWidget &window)
{
    return window.isVisible() && window.frameGeometry().size() != window.size();
}

// A window's frame once the window manager has framed it; before that, or without a window
// manager, the window with room for a frame.
QSize frameSize(const QWidget &window)
{
    return isFramed(window) ? window.frameGeometry().size()
                            : window.size().grownBy(DemoLayout::frameAllowance);
}

} // namespace

DemoLayout::DemoLayout(QWidget &panel, const QList<QWidget *> &others, QObject *parent)
    : QObject(parent), m_windows(QList<QWidget *>{&panel} + others), m_framePoll(new QTimer(this))
{
    m_framePoll->setInterval(framePoll);
    connect(m_framePoll, &QTimer::timeout, this, &DemoLayout::checkFrames);
}

void DemoLayout::show()
{
    // Placed before they are shown, the windows' positions include their frames, and the window
    // manager is asked to put the frames there.
    arrange();
    for (QWidget *window : std::as_const(m_windows))
        window->show();
    // A window manager frames a window after show(), when it maps it.
    m_settled.setRemainingTime(settleTime);
    m_framePoll->start();
}

QList<QPoint> DemoLayout::framePositions(const QRect &available, const QList<QSize> &frames)
{
    QList<QPoint> positions;
    if (frames.isEmpty())
        return positions;
    const QPoint origin = available.topLeft() + QPoint(gap, gap);
    positions.append(origin);
    int left = origin.x() + frames.first().width() + gap;
    int top = origin.y();
    int columnWidth = 0;
    for (qsizetype i = 1; i < frames.size(); ++i) {
        const QSize frame = frames.at(i);
        if (top != origin.y() && top + frame.height() + gap > available.bottom() + 1) {
            left += columnWidth + gap;
            top = origin.y();
            columnWidth = 0;
        }
        positions.append(QPoint(left, top));
        top += frame.height() + gap;
        columnWidth = std::max(columnWidth, frame.width());
    }
    return positions;
}

void DemoLayout::arrange()
{
    QList<QSize> frames;
    for (const QWidget *window : std::as_const(m_windows))
        frames.append(frameSize(*window));
    const QScreen *screen = m_windows.first()->screen();
    if (screen == nullptr)
        return;
    const QList<QPoint> positions = framePositions(screen->availableGeometry(), frames);
    // A window's position is its frame's.
    for (qsizetype i = 0; i < m_windows.size(); ++i) {
        if (m_windows.at(i)->pos() != positions.at(i))
            m_windows.at(i)->move(positions.at(i));
    }
}

void DemoLayout::checkFrames()
{
    // Without a window manager, or with one that adds no frames, the allowance stays.
    if (std::all_of(m_windows.cbegin(), m_windows.cend(),
            [](const QWidget *window) { return isFramed(*window); })) {
        m_framePoll->stop();
        arrange();
    } else if (m_settled.hasExpired()) {
        m_framePoll->stop();
    }
}
