#include "relay-mqtt/BridgeLog.h"

#include <cstdio>

void bridgeLog(const QString &line)
{
    std::fputs(qPrintable(QStringLiteral("relay-mqtt: ") + line + u'\n'), stderr);
    std::fflush(stderr);
}
