#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// The far end of a new pseudo-terminal: a program that opens slaveName() as its serial port
// writes to this line, and what it writes arrives here as bytesReceived().
class PseudoTerminalLine : public QObject
{
    Q_OBJECT

public:
    explicit PseudoTerminalLine(QObject *parent = nullptr);
    ~PseudoTerminalLine() override;

    bool isOpen() const { return m_master >= 0; }
    QString slaveName() const { return m_slaveName; }
    QString errorString() const { return m_errorString; }

signals:
    void bytesReceived(const QByteArray &bytes);

private:
    void readAvailable();

    int m_master = -1;
    // Kept open so the line stays up while the program on the other end closes and reopens it.
    int m_slave = -1;
    QString m_slaveName;
    QString m_errorString;
    QSocketNotifier *m_notifier = nullptr;
};
