// serial-nodes: what SerialNodes runs inside the private mount namespace.
//   serial-nodes list                    QSerialPortInfo's nodes, each followed by a NUL
//   serial-nodes check LINE [NODE...]    exits SerialNodes::refused unless each NODE, or else
//                                        every serial node, is the pseudo-terminal LINE

#include "SerialNodes.h"

#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QFile::decodeName(argv[i]);

    if (arguments == QStringList{"list"}) {
        for (const QString &node : SerialNodes::listed()) {
            const QByteArray name = QFile::encodeName(node);
            std::fwrite(name.constData(), 1, name.size() + 1, stdout);
        }
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    if (arguments.size() >= 2 && arguments.first() == "check") {
        const QString &line = arguments.at(1);
        QStringList left;
        if (arguments.size() > 2) {
            left = SerialNodes::uncovered(line, arguments.mid(2));
        } else {
            // By name first: listing the ports opens 8250 UARTs, which must be the
            // pseudo-terminal by then.
            left = SerialNodes::uncovered(line, SerialNodes::byName());
            if (left.isEmpty())
                left = SerialNodes::uncovered(line, SerialNodes::listed());
        }
        for (const QString &node : left)
            std::fprintf(stderr, "serial-nodes: %s is not the pseudo-terminal %s here\n",
                qPrintable(node), qPrintable(line));
        if (left.isEmpty())
            return 0;
        std::fprintf(stderr, "serial-nodes: refusing to go on: a real serial port is in reach\n");
        return SerialNodes::refused;
    }

    std::fprintf(stderr, "usage: serial-nodes list | serial-nodes check LINE [NODE...]\n");
    return 2;
}
