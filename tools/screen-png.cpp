// Saves a picture of the whole screen of the X display as PNG, for people to look at what a test
// left on it: screen-png PICTURE.png
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: screen-png PICTURE.png\n", stderr);
        return 2;
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    // Window 0 is the whole screen, every program's windows and the window manager's frames.
    const QPixmap picture = screen != nullptr ? screen->grabWindow(0) : QPixmap();
    if (picture.isNull()) {
        std::fputs("screen-png: cannot grab the screen\n", stderr);
        return 1;
    }
    if (!picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "screen-png: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
