// relay-mqtt: puts the relay cards on one serial port on an MQTT broker and on a web page of
// its own. See `relay-mqtt --help`.

#include "relay-mqtt/BridgeLog.h"
#include "relay-mqtt/BridgeOptionsReader.h"
#include "relay-mqtt/QtMessageLimit.h"
#include "relay-mqtt/RelayService.h"
#include "system/Interruptions.h"

#include <QCoreApplication>
#include <QTextStream>

namespace {

// The exit statuses of sysexits.h that relay-mqtt uses; the unit restarts it after any other.
constexpr int usageError = 64; // EX_USAGE
constexpr int configurationError = 78; // EX_CONFIG

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relay-mqtt"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RELAYMQTT_VERSION));

    const BridgeOptionsReader::Outcome outcome
        = BridgeOptionsReader::read(QCoreApplication::arguments());
    QTextStream out(stdout);
    if (!outcome.helpText.isEmpty()) {
        out << outcome.helpText;
        return 0;
    }
    if (!outcome.versionText.isEmpty()) {
        out << outcome.versionText;
        return 0;
    }
    if (!outcome.options) {
        QTextStream(stderr) << "relay-mqtt: " << outcome.error << "\n"
                            << "Try 'relay-mqtt --help' for more information.\n";
        return usageError;
    }

    QtMessageLimit::install();
    Interruptions interruptions;
    RelayService service(*outcome.options);
    QObject::connect(&interruptions, &Interruptions::interrupted, &service, [&service](int signal) {
        bridgeLog(QCoreApplication::translate("relay-mqtt", "stopping on signal %1").arg(signal));
        service.stop(0);
    });
    QObject::connect(&service, &RelayService::finished, &app, &QCoreApplication::exit);
    if (!service.start()) {
        bridgeLog(service.errorString());
        return configurationError;
    }
    return app.exec();
}
