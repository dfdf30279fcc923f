#pragma once

#include "ProcessOutcome.h"

#include <QProcess>
#include <QString>
#include <QStringList>

// The serial device nodes a program started in a private mount namespace must not reach, and the
// shell commands that put a pseudo-terminal over each of them there (for `unshare --mount sh -c`,
// as root). The program is only started once every serial node the system lists is the
// pseudo-terminal; the serial-nodes tool checks that inside the namespace.
class SerialNodes
{
public:
    // The exit code of the check, and so of the command, when a node is left uncovered.
    static constexpr int refused = 3;

    // Device nodes in `dev` with the names serial drivers give them; none is opened.
    static QStringList byName(const QString &dev = QStringLiteral("/dev"));
    // QSerialPortInfo's nodes: what a Qt program takes for ports 1, 2, ... Qt opens 8250 UARTs to
    // probe them, so call this only where byName()'s nodes are already covered.
    static QStringList listed();
    // Those of `nodes` that exist and are not the pseudo-terminal `line` (all that exist when
    // `line` is no pseudo-terminal).
    static QStringList uncovered(const QString &line, const QStringList &nodes);

    // All the nodes to cover: byName() and, listed in a namespace where those are covered by
    // `line`, listed(). Empty with `error` set when that fails or the command would refuse.
    static QStringList survey(const QString &line, QString *error);

    // Starts `sh -c script` as root in a private mount namespace.
    static void start(QProcess &process, const QString &script);
    // The same, waited for.
    static ProcessOutcome inNamespace(const QString &script);

    // `text` as one word for sh.
    static QString quoted(const QString &text);
    // Binds `line` over each of `nodes`.
    static QString bindCommand(const QString &line, const QStringList &nodes);
    // Fails with `refused` unless each of `nodes` (by default every serial node) is `line`.
    static QString checkCommand(const QString &line, const QStringList &nodes = {});
    // Binds `line` over `nodes`, then checks.
    static QString coverCommand(const QString &line, const QStringList &nodes);
    // coverCommand(), then execs `program` with `arguments`.
    static QString command(const QString &line, const QStringList &nodes, const QString &program,
        const QStringList &arguments = {});
};
