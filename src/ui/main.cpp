#include "serial/SerialLink.h"
#include "ui/MainWindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("relaypanel"));
    QGuiApplication::setDesktopFileName(QStringLiteral("relaypanel"));

    SerialLink link(SerialLink::systemPorts());
    MainWindow window(link);
    window.show();
    return QApplication::exec();
}
