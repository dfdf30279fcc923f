#pragma once

#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/line/RelayLine.h"
#include "relay-mqtt/live/LiveClients.h"
#include "relay-mqtt/live/RelayApi.h"
#include "relay-mqtt/local/LocalDoor.h"
#include "relay-mqtt/mqtt/MqttBridge.h"
#include "relay-mqtt/watch/CommandCounts.h"
#include "relay-mqtt/watch/ServiceHealth.h"
#include "relay-mqtt/watch/SystemdNotifier.h"
#include "relay-mqtt/web/WebServer.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

// relay-mqtt as a whole: the one line, and the front ends that bring it commands: the broker
// and the web page, each of them optional, and the line's local socket for the programs on
// this machine. The pages and the local socket's clients share one set of live clients, so
// that a hold is one client's, whichever way it came. Its health and its metrics go to the web
// page's server, its state to systemd.
class RelayService : public QObject
{
    Q_OBJECT

public:
    explicit RelayService(BridgeOptions options, QObject *parent = nullptr);

    // Serves the page, connects to the broker and opens the port (or keeps trying). False, with
    // errorString(), if the web page's or the broker's settings cannot be used at all.
    bool start();
    QString errorString() const { return m_error; }
    // Closes the pages, lets the line carry what was written and says goodbye to the broker,
    // then emits finished(exitCode).
    void stop(int exitCode = 0);

signals:
    void finished(int exitCode);

private:
    void openDoor();
    // The door's first line: the device, the bridge's name and its page.
    QString hello() const;
    void finishIfDone();
    void setBrokerOnline(bool online);
    // systemd's STATUS line, sent if it changed.
    void updateStatus();
    QByteArray metrics(quint64 failedLogins) const;

    BridgeOptions m_options;
    RelayLine m_line;
    CommandCounts m_counts;
    RelayApi m_api;
    LiveClients m_live;
    LocalDoor m_door;
    std::unique_ptr<MqttBridge> m_mqtt;
    std::unique_ptr<WebServer> m_web;
    ServiceHealth m_health;
    SystemdNotifier m_notifier;
    QTimer m_statusTimer;
    double m_startTime = 0; // s since the epoch
    QString m_error;
    bool m_stopping = false;
    bool m_lineDone = false;
    bool m_brokerDone = false;
    int m_exitCode = 0;
};
