// A bridge's connection in a process of its own, for the tests to kill: connects to the broker on
// 127.0.0.1:PORT as CLIENT_ID with the will STATUS_TOPIC = offline, publishes "online" there
// (retained) and says "online" once the broker has it. SIGTERM disconnects it gracefully.
#include "relay-mqtt/MqttConnection.h"
#include "system/Interruptions.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 4) {
        std::fputs("usage: mqtt-client-helper PORT CLIENT_ID STATUS_TOPIC\n", stderr);
        return 2;
    }
    MqttSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = static_cast<std::uint16_t>(arguments[1].toUInt());
    settings.clientId = arguments[2];
    settings.willTopic = arguments[3];

    MqttConnection connection(settings);
    Interruptions interruptions;
    std::optional<int> online;
    QObject::connect(&connection, &MqttConnection::connected, &connection, [&] {
        online = connection.publish(settings.willTopic, QByteArrayLiteral("online"), 1, true);
    });
    QObject::connect(&connection, &MqttConnection::published, &connection, [&](int mid) {
        if (online == mid) {
            std::puts("online");
            std::fflush(stdout);
        }
    });
    QObject::connect(&interruptions, &Interruptions::interrupted, &connection,
        [&] { connection.disconnectGracefully(); });
    QObject::connect(&connection, &MqttConnection::finished, &application, &QCoreApplication::quit);
    if (!connection.connectToBroker()) {
        std::fprintf(stderr, "%s\n", qPrintable(connection.errorString()));
        return 1;
    }
    return QCoreApplication::exec();
}
