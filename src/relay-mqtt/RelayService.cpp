#include "relay-mqtt/RelayService.h"

#include "relay-mqtt/BridgeLog.h"
#include "relay-mqtt/mqtt/BridgeTopics.h"
#include "serial/LineDoors.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <utility>

RelayService::RelayService(BridgeOptions options, QObject *parent)
    : QObject(parent),
      m_options(std::move(options)),
      m_line(m_options),
      m_api(m_options, m_line),
      m_live(m_api, m_line),
      m_door(m_live, [this] { return hello(); })
{
    const QString broker = m_options.useBroker ? QStringLiteral("offline") : QStringLiteral("none");
    m_live.setBroker(broker);
    if (m_options.web.isOn()) {
        m_web = std::make_unique<WebServer>(m_options, m_api, m_live);
        m_web->setBroker(broker);
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
        connect(m_mqtt.get(), &MqttBridge::onlineChanged, &m_live, [this](bool online) {
            m_live.setBroker(online ? QStringLiteral("online") : QStringLiteral("offline"));
        });
    }
    if (m_mqtt && !m_mqtt->start()) {
        m_error = m_mqtt->errorString();
        return false;
    }
    openDoor();
    m_line.start();
    return true;
}

void RelayService::openDoor()
{
    const QString folder = LineDoors::ownFolder();
    if (folder.isEmpty()) {
        bridgeLog(tr("no local socket for relayctl: neither RUNTIME_DIRECTORY nor XDG_RUNTIME_DIR "
                     "names a folder for it"));
        return;
    }
    const QString path
        = folder + u'/' + BridgeTopics::idOf(m_options.name) + QString(LineDoors::suffix);
    if (m_door.open(path))
        bridgeLog(tr("local socket for relayctl at %1").arg(path));
    else
        bridgeLog(tr("no local socket for relayctl: %1").arg(m_door.errorString()));
}

QString RelayService::hello() const
{
    QJsonObject hello{{QStringLiteral("type"), QString(LineDoors::helloType)},
        {QString(LineDoors::deviceKey), m_line.device()},
        {QString(LineDoors::nameKey), m_options.name}, {QString(LineDoors::upKey), m_line.isUp()}};
    if (m_web)
        hello.insert(QString(LineDoors::pageKey), m_options.web.pageUrl(m_options.hostName));
    return QString::fromUtf8(QJsonDocument(hello).toJson(QJsonDocument::Compact));
}

void RelayService::stop(int exitCode)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_exitCode = exitCode;
    m_door.close();
    if (m_web)
        m_web->stop();
    m_live.closeAll();
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
