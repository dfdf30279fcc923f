#include "relay-mqtt/line/RefusalLog.h"

#include "relay-mqtt/BridgeLog.h"

RefusalLog::RefusalLog(QObject *parent) : QObject(parent)
{
    for (std::size_t cause = 0; cause < causeCount; ++cause) {
        QTimer &timer = m_timers.at(cause);
        timer.setSingleShot(true);
        timer.setInterval(quietTime);
        connect(&timer, &QTimer::timeout, this, [this, cause] { endQuiet(cause); });
    }
}

void RefusalLog::note(Refusal::Cause cause, const QString &line)
{
    const auto index = static_cast<std::size_t>(cause);
    Quiet &quiet = m_quiet.at(index);
    if (quiet.active) {
        ++quiet.counted;
        quiet.last = line;
        return;
    }
    bridgeLog(line);
    quiet.active = true;
    m_timers.at(index).start();
}

void RefusalLog::endQuiet(std::size_t cause)
{
    Quiet &quiet = m_quiet.at(cause);
    if (quiet.counted > 0) {
        bridgeLog(tr(
            "%n more command(s) refused in the last second, the last: %1", nullptr, quiet.counted)
                      .arg(quiet.last));
        // The quiet goes on while refusals of this kind keep coming.
        quiet = {true, 0, {}};
        m_timers.at(cause).start();
        return;
    }
    quiet = {};
}
