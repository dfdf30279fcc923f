// relayctl: switches the relays of one card from scripts and the shell, with the panel's
// packets on the panel's serial link. See `relayctl --help`.

#include "relayctl/DoorLink.h"
#include "relayctl/JobParser.h"
#include "relayctl/JobRunner.h"
#include "relayctl/PortListing.h"
#include "relayctl/ServiceRunner.h"
#include "relayctl/WebLink.h"
#include "serial/PortOwner.h"
#include "serial/SerialLink.h"
#include "system/Interruptions.h"

#include <QCoreApplication>
#include <QFile>
#include <QSerialPortInfo>
#include <QSslCertificate>
#include <QTextStream>

#include <cstdio>

namespace {

// The exit statuses of sysexits.h that relayctl uses, besides JobRunner's.
constexpr int usageError = 64; // EX_USAGE
constexpr int portUnavailable = 69; // EX_UNAVAILABLE

QString failure(const QString &text)
{
    return QStringLiteral("relayctl: ") + text;
}

// Whether relay-mqtt takes every command of the job; if not, says so.
bool serviceTakes(const Job &job, QTextStream &err)
{
    for (const Step &step : job.steps) {
        if (step.kind == Step::Kind::Send && !ServiceRunner::commandMessage(step)) {
            err << failure(QCoreApplication::translate("relayctl",
                "relay-mqtt, which has the line, gives no card a new address: stop it "
                "to use set-address on the port"))
                << Qt::endl;
            return false;
        }
    }
    return true;
}

int runThrough(const Job &job, ServiceLink &link, QTextStream &err)
{
    if (!serviceTakes(job, err))
        return portUnavailable;
    Interruptions interruptions;
    return ServiceRunner(job, link, interruptions, err).run();
}

int runOnWeb(const Job &job, QTextStream &err)
{
    QByteArray token;
    if (!job.tokenFile.isEmpty()) {
        QFile file(job.tokenFile);
        if (!file.open(QIODevice::ReadOnly)) {
            err << failure(
                QCoreApplication::translate("relayctl", "the token file %1 cannot be read: %2")
                    .arg(job.tokenFile, file.errorString()))
                << Qt::endl;
            return usageError;
        }
        token = file.readLine().trimmed();
    }
    QList<QSslCertificate> certificates;
    if (!job.caFile.isEmpty()) {
        certificates = QSslCertificate::fromPath(job.caFile);
        if (certificates.isEmpty()) {
            err << failure(
                QCoreApplication::translate("relayctl", "%1 holds no certificate").arg(job.caFile))
                << Qt::endl;
            return usageError;
        }
    }
    WebLink link(job.url, token, certificates);
    return runThrough(job, link, err);
}

int openAndRun(const Job &job, QTextStream &err)
{
    const QString device = job.device;
    SerialLink link(SerialLink::deviceOrSystemPortNames(device));
    const int port = device.isEmpty() ? job.port : 1;
    // A port that relay-mqtt owns is reached through it: its interlocks hold for relayctl too.
    if (std::optional<PortOwner> owner = PortOwner::find(link.devicePath(port))) {
        DoorLink door(*owner);
        return runThrough(job, door, err);
    }
    Interruptions interruptions;
    if (!link.open(port)) {
        err << failure(QCoreApplication::translate("relayctl", "%1 could not be opened: %2")
                           .arg(job.lineName(), link.errorString()))
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
    const std::optional<Job> job = parser.parse(QCoreApplication::arguments(),
        qEnvironmentVariable("RELAYCTL_DEVICE"), qEnvironmentVariable("RELAYCTL_TOKEN_FILE"));
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
    if (!job->url.isEmpty())
        return runOnWeb(*job, err);
    return openAndRun(*job, err);
}
