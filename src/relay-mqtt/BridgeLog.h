#pragma once

#include <QString>

// One line of relay-mqtt's log, on stderr, which the journal keeps when it runs as a service.
void bridgeLog(const QString &line);
