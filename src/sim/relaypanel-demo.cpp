// relaypanel-demo: the real panel beside two virtual cards, at addresses 1 and 2, on one line.
// The panel's port 1 is a pseudo-terminal whose far end feeds both cards; no other port exists,
// so the demo never touches a real serial device.

#include "serial/SerialLink.h"
#include "sim/CardBus.h"
#include "sim/CardWindow.h"
#include "sim/DemoLayout.h"
#include "sim/PseudoTerminalLine.h"
#include "ui/MainWindow.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("relaypanel-demo"));
    QGuiApplication::setDesktopFileName(QStringLiteral("relaypanel"));

    PseudoTerminalLine line;
    if (!line.isOpen()) {
        std::fprintf(
            stderr, "relaypanel-demo: no pseudo-terminal: %s\n", qPrintable(line.errorString()));
        return 1;
    }
    CardBus bus;
    bus.addCard(1);
    bus.addCard(2);
    QObject::connect(&line, &PseudoTerminalLine::bytesReceived, &bus,
        [&bus](const QByteArray &bytes) { bus.feed(bytes); });

    SerialLink link([&line](int port) { return port == 1 ? line.slaveName() : QString(); });
    MainWindow panel(link);

    // The cards stand beside the panel, none covering another; closing the panel ends the demo.
    CardWindow first(bus, 0);
    CardWindow second(bus, 1);
    for (CardWindow *card : {&first, &second})
        card->setAttribute(Qt::WA_QuitOnClose, false);
    DemoLayout layout(panel, {&first, &second});
    layout.show();
    return QApplication::exec();
}
