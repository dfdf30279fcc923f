#pragma once

#include "relay-mqtt/BridgeOptions.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <optional>

// Reads relay-mqtt's options from its command line and, with --config, an INI file (the
// command line wins); reads the password from its file.
class BridgeOptionsReader
{
    Q_DECLARE_TR_FUNCTIONS(BridgeOptionsReader)

public:
    // Why the options cannot be used, in words for the user; the program then exits 64 with its
    // usage. `helpText`/`versionText` set: print it and exit 0.
    struct Outcome
    {
        std::optional<BridgeOptions> options;
        QString error;
        QString helpText;
        QString versionText;
        // The usage, always set: printed after an error.
        QString usage;
    };

    // `arguments` includes the program's name first, as QCoreApplication::arguments() has it.
    static Outcome read(const QStringList &arguments);
};
