#include "SerialNodes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPortInfo>

#include <cerrno>
#include <linux/major.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

bool isPseudoTerminal(const struct stat &status)
{
    const unsigned int type = major(status.st_rdev);
    return S_ISCHR(status.st_mode) && type >= UNIX98_PTY_SLAVE_MAJOR
        && type < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT;
}

} // namespace

QStringList SerialNodes::byName(const QString &dev)
{
    // Qt's own names for serial devices when it cannot ask udev or sysfs, and tnt* null modems.
    static const QStringList patterns = {"ttyS*", "ttyO*", "ttyUSB*", "ttyACM*", "ttyGS*", "ttyMI*",
        "ttymxc*", "ttyAMA*", "rfcomm*", "ircomm*", "tnt*"};
    QStringList nodes;
    for (const QString &name : QDir(dev).entryList(patterns, QDir::System | QDir::Files))
        nodes << dev + u'/' + name;
    return nodes;
}

QStringList SerialNodes::listed()
{
    QStringList nodes;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        nodes << info.systemLocation();
    nodes.removeDuplicates();
    return nodes;
}

QStringList SerialNodes::uncovered(const QString &line, const QStringList &nodes)
{
    struct stat pty = {};
    const bool valid
        = ::stat(QFile::encodeName(line).constData(), &pty) == 0 && isPseudoTerminal(pty);
    QStringList left;
    for (const QString &node : nodes) {
        struct stat status = {};
        if (::stat(QFile::encodeName(node).constData(), &status) != 0) {
            // A node that is not there cannot be opened; one that cannot be looked at might.
            if (errno != ENOENT && errno != ENOTDIR)
                left << node;
            continue;
        }
        if (!valid || !S_ISCHR(status.st_mode) || status.st_rdev != pty.st_rdev)
            left << node;
    }
    return left;
}

QStringList SerialNodes::survey(const QString &line, QString *error)
{
    const QStringList named = byName();
    const ProcessOutcome listing = inNamespace(bindCommand(line, named) + " && exec "
        + quoted(QStringLiteral(SERIAL_NODES_TOOL)) + " list");
    if (listing.exitCode != 0) {
        *error
            = QStringLiteral("could not list the serial ports: %1").arg(listing.errors.trimmed());
        return {};
    }
    QStringList nodes = named;
    for (const QByteArray &node : listing.output.split('\0')) {
        if (!node.isEmpty() && QFileInfo::exists(QFile::decodeName(node)))
            nodes << QFile::decodeName(node);
    }
    nodes.removeDuplicates();
    nodes.sort();

    // The whole command once with a program that does nothing, so that a node left uncovered
    // stops the caller before it starts anything; an empty list must pass this too.
    const ProcessOutcome trial = inNamespace(command(line, nodes, QStringLiteral("true")));
    if (trial.exitCode != 0) {
        *error = trial.exitCode == refused
            ? QStringLiteral("a serial device node would be left uncovered: %1")
                  .arg(trial.errors.trimmed())
            : QStringLiteral("could not cover the serial device nodes (exit code %1): %2")
                  .arg(trial.exitCode)
                  .arg(trial.errors.trimmed());
        return {};
    }
    return nodes;
}

void SerialNodes::start(QProcess &process, const QString &script)
{
    process.start("unshare", {"--mount", "--propagation", "private", "sh", "-c", script});
}

ProcessOutcome SerialNodes::inNamespace(const QString &script)
{
    QProcess process;
    start(process, script);
    using namespace std::chrono_literals;
    return finish(process, 60s);
}

QString SerialNodes::quoted(const QString &text)
{
    QString word = text;
    return u'\'' + word.replace(u'\'', QStringLiteral("'\\''")) + u'\'';
}

QString SerialNodes::bindCommand(const QString &line, const QStringList &nodes)
{
    QStringList binds;
    for (const QString &node : nodes)
        binds << QStringLiteral("mount --bind -- %1 %2").arg(quoted(line), quoted(node));
    return binds.isEmpty() ? QStringLiteral("true") : binds.join(" && ");
}

QString SerialNodes::checkCommand(const QString &line, const QStringList &nodes)
{
    QString check = quoted(QStringLiteral(SERIAL_NODES_TOOL)) + " check " + quoted(line);
    for (const QString &node : nodes)
        check += u' ' + quoted(node);
    return check;
}

QString SerialNodes::coverCommand(const QString &line, const QStringList &nodes)
{
    return bindCommand(line, nodes) + " && " + checkCommand(line);
}

QString SerialNodes::command(const QString &line, const QStringList &nodes, const QString &program,
    const QStringList &arguments)
{
    QString script = coverCommand(line, nodes) + " && exec " + quoted(program);
    for (const QString &argument : arguments)
        script += u' ' + quoted(argument);
    return script;
}
