// relaycard-sim: a virtual relay card listening on a serial line, with a window or headless.

#include "serial/SerialLink.h"
#include "sim/CardBus.h"
#include "sim/CardWindow.h"
#include "sim/HeadlessLog.h"
#include "sim/PseudoTerminalLine.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSerialPort>
#include <QTextStream>

#include <cstring>
#include <memory>

namespace {

constexpr char description[]
    = R"(A virtual relay card: it listens on a serial line and does what the
relay panel's packets tell a card at its address to do.

With DEVICE (a serial port such as /dev/ttyUSB0 or COM3) it listens there at
2400 baud, 8N1, for example on the far end of a null-modem cable from the
panel. Without DEVICE it makes a new pseudo-terminal and prints its name, for
a program to open as its serial port; the README shows how to give it to the
panel as its port 1.

--headless prints one line per command the card carries out, and one whenever
its relays change without a command (a held relay let go):
  <ms> <address> <instruction> <parameter> <relays>
  ms           milliseconds since relaycard-sim started
  address      the address the packet carried (the old address for "A")
  instruction  the letter (S, C, T, E, D, A, P, or another), "?" if not printable
  parameter    the parameter byte as a decimal number
  relays       relays 1 to 8, 1 for on and 0 for off, after the command
A held relay let go prints "-" for instruction and parameter. For example:
  1520 1 S 51 00100000
  3310 1 - - 00000000)";

// Whether the program can do without a display: headless, or only asked for its help.
bool needsNoDisplay(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"--headless", "--help", "--help-all", "-h", "-?"}) {
            if (std::strcmp(argv[i], option) == 0)
                return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    std::unique_ptr<QCoreApplication> app = needsNoDisplay(argc, argv)
        ? std::make_unique<QCoreApplication>(argc, argv)
        : std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relaycard-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("DEVICE"),
        QStringLiteral("The serial device to listen on; none for a new pseudo-terminal."),
        QStringLiteral("[DEVICE]"));
    parser.addOption({QStringLiteral("headless"),
        QStringLiteral("Print what the card does instead of showing a window.")});
    parser.addOption({QStringLiteral("address"),
        QStringLiteral("The card's address at power-up, 0 to 255 (default 1)."),
        QStringLiteral("N"), QStringLiteral("1")});
    parser.process(*app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    bool ok = false;
    const int address = parser.value(QStringLiteral("address")).toInt(&ok);
    if (!ok || address < 0 || address > 255) {
        err << "relaycard-sim: --address takes a number from 0 to 255\n";
        return 2;
    }
    if (parser.positionalArguments().size() > 1) {
        err << "relaycard-sim: one device at most\n";
        return 2;
    }

    CardBus bus;
    bus.addCard(static_cast<quint8>(address));

    std::unique_ptr<QSerialPort> port;
    std::unique_ptr<PseudoTerminalLine> line;
    if (!parser.positionalArguments().isEmpty()) {
        port = std::make_unique<QSerialPort>(parser.positionalArguments().constFirst());
        SerialLink::applyLineSettings(*port);
        if (!port->open(QIODevice::ReadOnly)) {
            err << "relaycard-sim: " << port->portName() << ": " << port->errorString() << '\n';
            return 1;
        }
        QObject::connect(port.get(), &QSerialPort::readyRead, &bus,
            [&bus, &port] { bus.feed(port->readAll()); });
        err << "relaycard-sim: listening on " << port->portName() << '\n';
    } else {
        line = std::make_unique<PseudoTerminalLine>();
        if (!line->isOpen()) {
            err << "relaycard-sim: no pseudo-terminal: " << line->errorString() << '\n';
            return 1;
        }
        QObject::connect(line.get(), &PseudoTerminalLine::bytesReceived, &bus,
            [&bus](const QByteArray &bytes) { bus.feed(bytes); });
        out << line->slaveName() << Qt::endl;
    }
    err.flush();

    std::unique_ptr<CardWindow> window;
    if (parser.isSet(QStringLiteral("headless"))) {
        QObject::connect(&bus, &CardBus::commandCarriedOut, &bus,
            [&](int card, quint8 addressed, const VirtualCard::Command &command) {
                out << HeadlessLog::commandLine(
                    bus.elapsed(), addressed, command, bus.card(card).relays())
                    << Qt::endl;
            });
        QObject::connect(&bus, &CardBus::relaysReleased, &bus, [&](int card) {
            out << HeadlessLog::releaseLine(
                bus.elapsed(), bus.card(card).address(), bus.card(card).relays())
                << Qt::endl;
        });
    } else {
        window = std::make_unique<CardWindow>(bus, 0);
        window->show();
    }
    return QCoreApplication::exec();
}
