#pragma once

#include "protocol/RelayCommand.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <chrono>

// One thing relayctl does on the line, with everything it needs already settled: the card it
// goes to, the command's byte and how long it lasts.
struct Step
{
    enum class Kind {
        Send, // one burst
        Hold, // the burst again and again, at the line's pace, for `duration`
        Wait, // nothing for `duration`, once the line has carried what came before
    };

    Kind kind = Kind::Send;
    RelayCommand command = RelayCommand::allOff;
    quint8 address = 1;
    quint8 value = 0;
    std::chrono::milliseconds duration{};
    // What the step does, in words: "relay 3 on", "hold relay 2 for 2000 ms".
    QString words;

    QByteArray burst() const;
    // The burst in hex, a blank between bytes, then the words: how --dry-run and --verbose
    // show a step.
    QString line() const;
};

// A whole command line, checked: where to send and what.
struct Job
{
    QString device; // a device path, or empty for `port` or `url`
    int port = 0; // the panel's port number when no device is named
    QUrl url; // a relay-mqtt's web page, on this machine or another, instead of a port
    QString tokenFile; // the file holding that page's API token
    QString caFile; // the certificates the page's own must come from, for HTTPS
    bool dryRun = false;
    bool verbose = false;
    bool listPorts = false;
    QList<Step> steps;

    // How error messages name the line: "Device /dev/ttyUSB0" or "Port 2".
    QString lineName() const;
};
