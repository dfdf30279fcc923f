// The yardstick for relayctl's start and exit: a Qt Core program that starts its event loop and
// leaves it at once.
#include <QCoreApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return QCoreApplication::exec();
}
