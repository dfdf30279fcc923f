#include "relay-mqtt/Bridge.h"

#include "relay-mqtt/BridgeLog.h"

#include <utility>

using namespace std::chrono_literals;

namespace {

QString lineNameFor(const BridgeOptions &options)
{
    return options.device.isEmpty() ? QStringLiteral("port %1").arg(options.port) : options.device;
}

} // namespace

Bridge::Bridge(BridgeOptions options, QObject *parent)
    : QObject(parent),
      m_options(std::move(options)),
      m_topics(m_options.name, m_options.discoveryPrefix, m_options.cards),
      m_link(SerialLink::deviceOrSystemPortNames(m_options.device)),
      m_mqtt(settingsWithWill(m_options.mqtt, m_topics)),
      m_publisher(m_mqtt, m_topics, m_options),
      m_port(m_link, m_options.device.isEmpty() ? m_options.port : 1, lineNameFor(m_options)),
      m_reader(m_options.name, m_options.cards),
      m_mirror(m_options.cards),
      m_feeder(std::make_unique<LineFeeder>(m_link))
{
    m_stateSettle.setSingleShot(true);
    m_stateSettle.setInterval(stateSettle);
    connect(&m_stateSettle, &QTimer::timeout, this, &Bridge::finishStateRead);

    connect(m_feeder.get(), &LineFeeder::burstWritten, this,
        [this](const BridgeCommand &, const QByteArray &burst) {
            publishChanges(m_mirror.apply(burst));
        });
    connect(m_feeder.get(), &LineFeeder::holdEnded, this,
        [this](quint8 card, int relay) { publishChanges(m_mirror.holdEnded(card, relay)); });
    connect(m_feeder.get(), &LineFeeder::lineFailed, this,
        [this](const QString &reason, qsizetype dropped) {
            bridgeLog(tr("%1 failed: %2; %n command(s) dropped", nullptr, int(dropped))
                          .arg(m_port.lineName(), reason));
            m_port.lose(reason);
        });

    connect(&m_port, &PortKeeper::opened, this, [this] {
        bridgeLog(tr("%1 is open").arg(m_port.lineName()));
        announce();
    });
    connect(&m_port, &PortKeeper::unavailable, this, [this](const QString &reason) {
        bridgeLog(tr("%1 could not be opened: %2; trying again every %3 s")
                      .arg(m_port.lineName(), reason)
                      .arg(PortKeeper::retryInterval.count()));
    });
    connect(&m_port, &PortKeeper::lost, this, [this](const QString &reason) {
        bridgeLog(tr("%1 was lost: %2; trying again every %3 s")
                      .arg(m_port.lineName(), reason)
                      .arg(PortKeeper::retryInterval.count()));
        announce();
    });

    connect(&m_mqtt, &MqttConnection::connected, this, &Bridge::connected);
    connect(&m_mqtt, &MqttConnection::disconnected, this, &Bridge::disconnected);
    connect(&m_mqtt, &MqttConnection::connectionFailed, this,
        [](const QString &reason, std::chrono::milliseconds retryIn) {
            bridgeLog(tr("cannot reach the broker: %1; next try in %2 ms")
                          .arg(reason)
                          .arg(retryIn.count()));
        });
    connect(&m_mqtt, &MqttConnection::authenticationRefused, this, [this](const QString &message) {
        bridgeLog(message);
        stop(77); // EX_NOPERM: trying again would be refused again
    });
    connect(&m_mqtt, &MqttConnection::subscribed, this, &Bridge::subscribed);
    connect(&m_mqtt, &MqttConnection::messageReceived, this, &Bridge::received);
    connect(&m_mqtt, &MqttConnection::finished, this, [this] {
        m_brokerDone = true;
        finishIfDone();
    });
}

bool Bridge::start()
{
    if (!m_mqtt.connectToBroker())
        return false;
    m_port.start();
    return true;
}

void Bridge::stop(int exitCode)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_exitCode = exitCode;
    m_port.stop();
    m_stateSettle.stop();
    // The held relays let go as their bursts stop: their states go out before the goodbye.
    m_feeder->endHolds();
    // Nothing more for the line; what was written already still reaches the cards.
    m_feeder.reset();
    m_mqtt.disconnectGracefully();
    drainLine(std::chrono::steady_clock::now() + m_link.timeToCarry() + lineStallAllowance);
}

MqttSettings Bridge::settingsWithWill(MqttSettings settings, const BridgeTopics &topics)
{
    settings.willTopic = topics.status();
    settings.willPayload = RetainedPublisher::statusPayload(false);
    return settings;
}

void Bridge::connected()
{
    bridgeLog(tr("connected to %1:%2").arg(m_mqtt.settings().host).arg(m_mqtt.settings().port));
    m_ready = false;
    m_announcedOnline.reset();
    if (m_statesRead) {
        subscribe(m_reader.topicFilters() + QStringList(m_topics.birth()), m_commandSubscriptions);
        return;
    }
    QStringList filters;
    for (const quint8 card : m_options.cards)
        filters << m_topics.stateFilter(card);
    subscribe(filters, m_stateSubscriptions);
}

void Bridge::disconnected(const QString &reason)
{
    if (!m_stopping)
        bridgeLog(tr("disconnected from the broker: %1").arg(reason));
    m_ready = false;
    m_stateSubscriptions.clear();
    m_commandSubscriptions.clear();
    m_stateSettle.stop();
}

void Bridge::subscribe(const QStringList &filters, QSet<int> &pending)
{
    pending.clear();
    for (const QString &filter : filters) {
        if (const std::optional<int> mid = m_mqtt.subscribe(filter, 1))
            pending.insert(*mid);
        else
            bridgeLog(tr("cannot subscribe to %1").arg(filter));
    }
}

void Bridge::subscribed(int mid)
{
    if (m_stateSubscriptions.remove(mid) && m_stateSubscriptions.isEmpty())
        m_stateSettle.start();
    else if (m_commandSubscriptions.remove(mid) && m_commandSubscriptions.isEmpty())
        becomeReady();
}

void Bridge::finishStateRead()
{
    for (const auto &[card, relays] : m_retainedStates)
        m_mirror.setRelays(card, relays);
    m_statesRead = true;
    bridgeLog(tr(
        "retained relay states read back for %n card(s)", nullptr, int(m_retainedStates.size())));
    // Our own state publishes must not come back to us.
    for (const quint8 card : m_options.cards)
        m_mqtt.unsubscribe(m_topics.stateFilter(card));
    subscribe(m_reader.topicFilters() + QStringList(m_topics.birth()), m_commandSubscriptions);
}

void Bridge::becomeReady()
{
    m_ready = true;
    announce();
    m_publisher.discovery();
    m_publisher.states(m_mirror);
}

void Bridge::received(const QString &topic, const QByteArray &payload, bool retained)
{
    if (m_stopping)
        return;
    if (const std::optional<BridgeTopics::Relay> state = m_topics.readState(topic)) {
        if (m_statesRead || !retained)
            return;
        auto [relays, added] = m_retainedStates.try_emplace(state->card);
        relays->second.at(state->relay - 1) = payload.trimmed().toUpper() == "ON";
        return;
    }
    if (topic == m_topics.birth()) {
        // A retained birth is an old one, replayed as we subscribe: the configs just went out.
        if (m_ready && !retained && payload.trimmed() == "online") {
            bridgeLog(tr("Home Assistant is online: discovery configs published again"));
            m_publisher.discovery();
        }
        return;
    }
    submit(topic, payload, retained);
}

void Bridge::submit(const QString &topic, const QByteArray &payload, bool retained)
{
    const CommandReader::Reading reading = m_reader.read(topic, payload, retained);
    if (!reading.command) {
        bridgeLog(tr("ignored %1").arg(reading.refusal));
        return;
    }
    if (const std::optional<QString> refusal = m_feeder->submit(*reading.command))
        bridgeLog(tr("refused %1").arg(*refusal));
}

void Bridge::announce()
{
    if (!m_ready || m_stopping)
        return;
    const bool online = m_port.isUp();
    if (m_announcedOnline == online)
        return;
    m_announcedOnline = online;
    m_publisher.status(online);
    bridgeLog(online ? tr("online") : tr("offline until the serial port is back"));
}

void Bridge::publishChanges(const QList<CardMirror::Change> &changes)
{
    // Before the bridge is ready, the states all go out when it is.
    if (!m_ready)
        return;
    m_publisher.changes(changes);
}

void Bridge::drainLine(std::chrono::steady_clock::time_point deadline)
{
    if (m_link.isOpen() && m_link.bytesWaiting() > 0
        && std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_link.timeToCarry());
        QTimer::singleShot(
            left + 1ms, Qt::PreciseTimer, this, [this, deadline] { drainLine(deadline); });
        return;
    }
    m_link.close();
    m_lineDone = true;
    finishIfDone();
}

void Bridge::finishIfDone()
{
    if (m_stopping && m_lineDone && m_brokerDone)
        emit finished(m_exitCode);
}
