// relayctl: switches the relays of one card from scripts and the shell, with the panel's
// packets on the panel's serial link. See `relayctl --help`.

#include "relayctl/JobParser.h"
#include "relayctl/JobRunner.h"
#include "relayctl/PortListing.h"
#include "serial/SerialLink.h"
#include "system/Interruptions.h"

#include <QCoreApplication>
#include <QSerialPortInfo>
#include <QTextStream>

#include <cstdio>

namespace {

// The exit statuses of sysexits.h that relayctl uses, besides JobRunner's.
constexpr int usageError = 64; // EX_USAGE
constexpr int portUnavailable = 69; // EX_UNAVAILABLE

int openAndRun(const Job &job, QTextStream &err)
{
    Interruptions interruptions;
    const QString device = job.device;
    SerialLink link(SerialLink::deviceOrSystemPortNames(device));
    const int port = device.isEmpty() ? job.port : 1;
    if (!link.open(port)) {
        err << "relayctl: "
            << QCoreApplication::translate("relayctl", "%1 could not be opened: %2")
                   .arg(job.lineName(), link.errorString())
            << Qt::endl;
        return portUnavailable;
    }
    return JobRunner(job, link, interruptions, err).run();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relayctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RELAYCTL_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);

    JobParser parser;
    const std::optional<Job> job
        = parser.parse(QCoreApplication::arguments(), qEnvironmentVariable("RELAYCTL_DEVICE"));
    if (parser.helpAsked()) {
        out << parser.usage();
        return 0;
    }
    if (parser.versionAsked()) {
        out << "relayctl " << QCoreApplication::applicationVersion() << Qt::endl;
        return 0;
    }
    if (!job) {
        err << "relayctl: " << parser.error() << "\n\n" << parser.usage();
        return usageError;
    }

    if (job->listPorts) {
        for (const QString &line : PortListing::lines(QSerialPortInfo::availablePorts()))
            out << line << '\n';
        return 0;
    }
    if (job->dryRun) {
        for (const Step &step : job->steps) {
            if (step.kind != Step::Kind::Wait)
                out << step.line() << '\n';
        }
        return 0;
    }
    return openAndRun(*job, err);
}
