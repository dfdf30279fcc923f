#include "relay-mqtt/QtMessageLimit.h"

#include "relay-mqtt/BridgeLog.h"

#include <QHash>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

struct Seen
{
    Clock::time_point logged;
    int since = 0; // left out of the log since
};

// Messages come from any thread: the broker's name is looked up on one of its own.
std::mutex guard;
QHash<QString, Seen> seen;

void limited(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    // The last word before Qt aborts.
    if (type == QtFatalMsg) {
        bridgeLog(QStringLiteral("Qt: %1").arg(message));
        return;
    }
    const Clock::time_point now = Clock::now();
    int left = 0;
    {
        const std::lock_guard lock(guard);
        const auto found = seen.find(message);
        if (found != seen.end() && now - found->logged < QtMessageLimit::interval) {
            ++found->since;
            return;
        }
        if (found == seen.end() && seen.size() >= QtMessageLimit::mostTexts) {
            seen.erase(std::min_element(seen.begin(), seen.end(),
                [](const Seen &a, const Seen &b) { return a.logged < b.logged; }));
        }
        Seen &entry = seen[message];
        left = entry.since;
        entry = {now, 0};
    }
    bridgeLog(left > 0 ? QStringLiteral("Qt: %1 (and %2 more times since it was last logged)")
                             .arg(message)
                             .arg(left)
                       : QStringLiteral("Qt: %1").arg(message));
}

} // namespace

void QtMessageLimit::install()
{
    qInstallMessageHandler(limited);
}
