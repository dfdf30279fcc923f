#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <termios.h>

// A pseudo-terminal standing in for a serial port: the code under test opens the slave by its
// name, the test reads what reached the "line" from the master side and the line settings from
// its own descriptor of the slave.
class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString name() const { return m_name; }

    // Reads until `count` bytes have arrived or `timeout` passes; returns what arrived.
    QByteArray read(
        qsizetype count, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // Everything that arrives before the line stays quiet for `quiet`.
    QByteArray readAll(std::chrono::milliseconds quiet = std::chrono::milliseconds(50));

    // Closes the master side: the slave hangs up, as a serial adapter pulled out of its socket.
    void hangUp();

    termios settings() const;
    bool setSettings(const termios &settings);

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_name;
};
