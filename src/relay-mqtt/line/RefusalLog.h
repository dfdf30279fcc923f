#pragma once

#include "relay-mqtt/line/Refusal.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <chrono>

// The log's lines for refused commands, at most one a second for each kind of reason: a flood
// of commands the line cannot take must not flood the journal too. The first refusal is logged
// as it comes; those within the second after it are counted and logged as one line.
class RefusalLog : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::seconds quietTime{1};

    explicit RefusalLog(QObject *parent = nullptr);

    // `line`: what was refused and why, for the log.
    void note(Refusal::Cause cause, const QString &line);

private:
    static constexpr std::size_t causeCount = 4;
    struct Quiet
    {
        bool active = false;
        int counted = 0;
        QString last;
    };

    void endQuiet(std::size_t cause);

    std::array<Quiet, causeCount> m_quiet{};
    std::array<QTimer, causeCount> m_timers;
};
