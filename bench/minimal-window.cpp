// The yardstick for the panel's start-up and footprint: a Qt Widgets program that only shows an
// empty window of the panel's size.
#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("minimal window"));
    window.setFixedSize(413, 335);
    window.show();
    return QApplication::exec();
}
