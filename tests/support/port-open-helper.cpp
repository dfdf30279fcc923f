// Opens the device named on the command line as port 1 of a SerialLink and prints why it did
// not open; the serial link's tests run it as another user.
#include "serial/SerialLink.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    const QByteArray device = argv[1];
    SerialLink link([device](int) { return QString::fromLocal8Bit(device); });
    if (link.open(1))
        return 0;
    std::fputs(qPrintable(link.errorString()), stdout);
    return 1;
}
