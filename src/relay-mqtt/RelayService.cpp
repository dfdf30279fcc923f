#include "relay-mqtt/RelayService.h"

#include "relay-mqtt/BridgeLog.h"
#include "relay-mqtt/mqtt/BridgeTopics.h"
#include "relay-mqtt/watch/MetricsText.h"
#include "serial/LineDoors.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <utility>

using namespace std::chrono_literals;

namespace {

// How often systemd's STATUS line is looked at for pages that opened or closed.
constexpr auto statusPace = 1s;

} // namespace

RelayService::RelayService(BridgeOptions options, QObject *parent)
    : QObject(parent),
      m_options(std::move(options)),
      m_line(m_options),
      m_api(m_options, m_line, m_counts),
      m_live(m_api, m_line),
      m_door(m_live, [this] { return hello(); }),
      m_health(int(m_options.cards.size()), m_options.useBroker),
      m_startTime(double(QDateTime::currentMSecsSinceEpoch()) / 1000)
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
    connect(&m_line, &RelayLine::upChanged, this, [this](bool up) {
        m_health.setPortUp(up);
        updateStatus();
    });
    if (m_web) {
        m_web->setWatch([this] { return m_health.check(m_line.device()); },
            [this](quint64 failedLogins) { return metrics(failedLogins); });
    }
    connect(&m_statusTimer, &QTimer::timeout, this, &RelayService::updateStatus);
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
        m_mqtt = std::make_unique<MqttBridge>(m_options, m_line, m_counts);
        connect(m_mqtt.get(), &MqttBridge::finished, this, [this] {
            m_brokerDone = true;
            finishIfDone();
        });
        connect(m_mqtt.get(), &MqttBridge::onlineChanged, this, &RelayService::setBrokerOnline);
    }
    if (m_mqtt && !m_mqtt->start()) {
        m_error = m_mqtt->errorString();
        return false;
    }
    openDoor();
    m_line.start();
    // Ready once all was tried: a broker that is down must not hold up the machine's start.
    m_notifier.ready(m_health.statusLine(m_line.device(), m_live.openCount(FrontEnd::Web)));
    if (m_notifier.isActive())
        m_statusTimer.start(statusPace);
    return true;
}

void RelayService::setBrokerOnline(bool online)
{
    const QString broker = online ? QStringLiteral("online") : QStringLiteral("offline");
    if (m_web)
        m_web->setBroker(broker);
    m_live.setBroker(broker);
    m_health.setBrokerConnected(online);
    updateStatus();
}

void RelayService::updateStatus()
{
    if (m_notifier.isActive() && !m_stopping)
        m_notifier.setStatus(m_health.statusLine(m_line.device(), m_live.openCount(FrontEnd::Web)));
}

QByteArray RelayService::metrics(quint64 failedLogins) const
{
    using Type = MetricsText::Type;
    using Cause = CommandCounts::Cause;
    MetricsText text;
    text.metric("relay_mqtt_port_up", Type::Gauge, "1 while the serial port is open, else 0.");
    text.sample(quint64(m_line.isUp() ? 1 : 0));
    text.metric("relay_mqtt_broker_connected", Type::Gauge,
        "1 while the broker is connected and takes commands, else 0 (also with no broker).");
    text.sample(quint64(m_mqtt && m_mqtt->isOnline() ? 1 : 0));
    text.metric("relay_mqtt_bursts_written_total", Type::Counter,
        "Bursts written to the serial port for the card, a held relay's repeats included.");
    for (const quint8 card : m_options.cards)
        text.sample(m_line.burstsWritten(card), {{"card", QString::number(card)}});

    const std::pair<FrontEnd, const char *> frontEnds[]
        = {{FrontEnd::Mqtt, "mqtt"}, {FrontEnd::Web, "web"}, {FrontEnd::Local, "local"}};
    const std::pair<Cause, const char *> causes[]
        = {{Cause::QueueFull, "queue_full"}, {Cause::Interlock, "interlock"},
            {Cause::HoldLimit, "hold_limit"}, {Cause::PortClosed, "port_closed"},
            {Cause::HeldByAnother, "held_by_another"}, {Cause::BadInput, "bad_input"}};
    text.metric("relay_mqtt_commands_taken_total", Type::Counter,
        "Commands the line took, by the front end that brought them.");
    for (const auto &[frontEnd, name] : frontEnds)
        text.sample(m_counts.takenFrom(frontEnd), {{"front_end", QString::fromLatin1(name)}});
    text.metric("relay_mqtt_commands_refused_total", Type::Counter,
        "Commands refused, by the front end that brought them and the cause.");
    for (const auto &[frontEnd, name] : frontEnds) {
        for (const auto &[cause, causeName] : causes)
            text.sample(m_counts.refusedFrom(frontEnd, cause),
                {{"front_end", QString::fromLatin1(name)},
                    {"cause", QString::fromLatin1(causeName)}});
    }

    text.metric("relay_mqtt_queue_length", Type::Gauge, "Commands waiting for the line.");
    text.sample(quint64(m_line.queueLength()));
    text.metric("relay_mqtt_holds_running", Type::Gauge, "Relays held now.");
    text.sample(quint64(m_line.holdsRunning()));
    text.metric("relay_mqtt_pages_open", Type::Gauge, "Web pages connected to the live socket.");
    text.sample(quint64(m_live.openCount(FrontEnd::Web)));
    text.metric("relay_mqtt_local_clients", Type::Gauge,
        "Programs connected to the line's local socket (relayctl).");
    text.sample(quint64(m_live.openCount(FrontEnd::Local)));
    text.metric("relay_mqtt_broker_reconnections_total", Type::Counter,
        "Connections to the broker after the first.");
    text.sample(quint64(m_mqtt ? m_mqtt->reconnections() : 0));
    text.metric("relay_mqtt_failed_logins_total", Type::Counter,
        "Wrong passwords and tokens given to the web page and its API.");
    text.sample(quint64(failedLogins));
    text.metric("process_start_time_seconds", Type::Gauge,
        "Start time of the process since the Unix epoch, in seconds.");
    text.sample(m_startTime);
    return text.text();
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
    m_notifier.stopping();
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
