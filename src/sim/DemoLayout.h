#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QMargins>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <chrono>

class QTimer;
class QWidget;

// Places relaypanel-demo's windows so that none covers another: the panel at the top left of the
// screen's available area, the other windows in a column to its right (a second column when the
// first runs out of height). The positions are set before the windows are shown, so the window
// manager takes them as the program's own instead of placing the windows itself. Until a window
// manager has framed the windows their frames are only allowed for; once every frame is known the
// windows are placed again by their real frames.
class DemoLayout : public QObject
{
    Q_OBJECT

public:
    // Room for a window manager's title bar and borders until the real frame is known.
    static constexpr QMargins frameAllowance{8, 40, 8, 8};
    // Between the frames, and between them and the edges of the available area.
    static constexpr int gap = 12;
    // How long after showing the windows the layout waits for the window manager's frames.
    static constexpr std::chrono::milliseconds settleTime{3000};
    static constexpr std::chrono::milliseconds framePoll{50};

    // The panel first; the others go beside it, in this order.
    DemoLayout(QWidget &panel, const QList<QWidget *> &others, QObject *parent = nullptr);

    // Places the windows and shows them.
    void show();

    // Where the top left corner of each frame goes, for frames of these sizes: the panel's first.
    static QList<QPoint> framePositions(const QRect &available, const QList<QSize> &frames);

private:
    void arrange();
    void checkFrames();

    QList<QWidget *> m_windows;
    QTimer *m_framePoll = nullptr;
    QDeadlineTimer m_settled;
};
