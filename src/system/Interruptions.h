#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// SIGINT and SIGTERM, turned into a Qt signal: the handler only writes the signal's number into
// a pipe, and the event loop reads it.
class Interruptions : public QObject
{
    Q_OBJECT

public:
    explicit Interruptions(QObject *parent = nullptr);
    ~Interruptions() override;

    // The signal that came first, or 0.
    int first() const { return m_first; }
    // The exit status a shell gives a program ended by it: 128 + its number.
    int exitStatus() const { return 128 + m_first; }

signals:
    void interrupted(int signal);

private:
    void readPipe();

    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_first = 0;
};
