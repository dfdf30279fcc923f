#include "relay-mqtt/RelayService.h"

#include <utility>

RelayService::RelayService(BridgeOptions options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_line(m_options)
{
    if (m_options.web.isOn()) {
        m_web = std::make_unique<WebServer>(m_options, m_line);
        m_web->setBroker(m_options.useBroker ? QStringLiteral("offline") : QStringLiteral("none"));
    }
    connect(&m_line, &RelayLine::finished, this, [this] {
        m_lineDone = true;
        finishIfDone();
    });
}

bool RelayService::start()
{
    if (m_web) {
        if (!m_web->start(&m_error))
            return false;
        // Home Assistant links its devices to the page at the port it got.
        m_options.web.port = m_web->port();
    }
    m_brokerDone = !m_options.useBroker;
    if (m_options.useBroker) {
        m_mqtt = std::make_unique<MqttBridge>(m_options, m_line);
        connect(m_mqtt.get(), &MqttBridge::finished, this, [this] {
            m_brokerDone = true;
            finishIfDone();
        });
        if (m_web) {
            connect(m_mqtt.get(), &MqttBridge::onlineChanged, m_web.get(), [this](bool online) {
                m_web->setBroker(online ? QStringLiteral("online") : QStringLiteral("offline"));
            });
        }
    }
    if (m_mqtt && !m_mqtt->start()) {
        m_error = m_mqtt->errorString();
        return false;
    }
    m_line.start();
    return true;
}

void RelayService::stop(int exitCode)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_exitCode = exitCode;
    if (m_web)
        m_web->stop();
    // The held relays' last states reach the broker before the goodbye.
    m_line.stop();
    if (m_mqtt)
        m_mqtt->stop();
}

void RelayService::finishIfDone()
{
    if (m_stopping && m_lineDone && m_brokerDone)
        emit finished(m_exitCode);
}
