#include "relay-mqtt/mqtt/MqttBridge.h"

#include "relay-mqtt/BridgeLog.h"
#include "relay-mqtt/mqtt/AnnouncementRecord.h"

#include <QRandomGenerator>

#include <utility>

using namespace std::chrono_literals;

namespace {

using Kind = BridgeCommand::Kind;

// The relays whose state answers the command.
QList<BridgeTopics::Relay> relaysOf(const BridgeCommand &command)
{
    switch (command.kind) {
    case Kind::Set:
    case Kind::Hold:
        return {{command.card, command.relay}};
    case Kind::All:
    case Kind::Stop: {
        QList<BridgeTopics::Relay> relays;
        for (int relay = 1; relay <= BridgeOptions::relayCount; ++relay)
            relays << BridgeTopics::Relay{command.card, relay};
        return relays;
    }
    case Kind::Show:
        return {};
    }
    return {};
}

} // namespace

MqttBridge::MqttBridge(
    const BridgeOptions &options, RelayLine &line, CommandCounts &counts, QObject *parent)
    : QObject(parent),
      m_options(options),
      m_line(line),
      m_counts(counts),
      m_topics(m_options),
      m_mqtt(settingsWithWill(m_options.mqtt, m_topics)),
      m_publisher(m_mqtt, m_topics, m_options),
      m_reader(m_options.name, m_options.cards)
{
    m_commandFilters = m_reader.topicFilters() + QStringList(m_topics.haStatus());

    m_markerAllowance.setSingleShot(true);
    m_markerAllowance.setInterval(markerAllowance);
    connect(&m_markerAllowance, &QTimer::timeout, this, [this] {
        bridgeLog(tr("%1 did not come back from the broker within %2 s: its access list may "
                     "keep the bridge from reading its own topics; going on without what it "
                     "left retained")
                      .arg(m_topics.marker())
                      .arg(markerAllowance.count()));
        finishReadBack();
    });
    m_subscriptionRetry.setSingleShot(true);
    connect(&m_subscriptionRetry, &QTimer::timeout, this, &MqttBridge::subscribeCommands);

    connect(&m_line, &RelayLine::commandCarried, this, &MqttBridge::answer);
    connect(&m_line, &RelayLine::holdEnded, this, [this](quint8 card, int relay) {
        publishStates({{card, relay}});
    });
    connect(&m_line, &RelayLine::upChanged, this, &MqttBridge::announce);

    connect(&m_mqtt, &MqttConnection::connected, this, &MqttBridge::connected);
    connect(&m_mqtt, &MqttConnection::disconnected, this, &MqttBridge::disconnected);
    connect(&m_mqtt, &MqttConnection::connectionFailed, this,
        [](const QString &reason, std::chrono::milliseconds retryIn) {
            bridgeLog(tr("cannot reach the broker: %1; next try in %2 s")
                          .arg(reason)
                          .arg(double(retryIn.count()) / 1000, 0, 'f', 1));
        });
    connect(&m_mqtt, &MqttConnection::loginRefused, this,
        [](const QString &message, std::chrono::milliseconds retryIn) {
            bridgeLog(tr("%1; offline, next try in %2 s")
                          .arg(message)
                          .arg(double(retryIn.count()) / 1000, 0, 'f', 1));
        });
    connect(&m_mqtt, &MqttConnection::subscribed, this, &MqttBridge::subscribed);
    connect(&m_mqtt, &MqttConnection::messageReceived, this, &MqttBridge::received);
    connect(&m_mqtt, &MqttConnection::finished, this, &MqttBridge::finished);
}

bool MqttBridge::start()
{
    if (!m_mqtt.connectToBroker())
        return false;
    if (!m_options.mqtt.password.isEmpty() && !m_options.mqtt.usesTls())
        bridgeLog(tr("warning: the password goes to the broker unencrypted; give cafile or "
                     "capath (and the broker's TLS port) to keep it off the network"));
    return true;
}

void MqttBridge::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_markerAllowance.stop();
    m_subscriptionRetry.stop();
    m_mqtt.disconnectGracefully();
}

MqttSettings MqttBridge::settingsWithWill(MqttSettings settings, const BridgeTopics &topics)
{
    settings.willTopic = topics.status();
    settings.willPayload = RetainedPublisher::statusPayload(false);
    return settings;
}

void MqttBridge::connected()
{
    bridgeLog(tr("connected to %1:%2 as %3")
                  .arg(m_mqtt.settings().host)
                  .arg(m_mqtt.settings().port)
                  .arg(m_mqtt.settings().clientId));
    ++m_connections;
    setReady(false);
    m_announcedOnline.reset();
    if (m_readBack)
        subscribeCommands();
    else
        startReadBack();
}

void MqttBridge::disconnected(
    const QString &reason, std::chrono::milliseconds lasted, std::chrono::milliseconds retryIn)
{
    if (!m_stopping) {
        QString line = tr("disconnected from the broker: %1; next try in %2 s")
                           .arg(reason)
                           .arg(double(retryIn.count()) / 1000, 0, 'f', 1);
        if (lasted < MqttConnection::stableConnection) {
            line += tr(" (the connection lasted %1 s: if this repeats, another client with the "
                       "client id %2 may be connected, taking the connection over)")
                        .arg(double(lasted.count()) / 1000, 0, 'f', 1)
                        .arg(m_mqtt.settings().clientId);
        }
        bridgeLog(line);
    }
    setReady(false);
    m_readBackSubscription.reset();
    m_commandSubscription.reset();
    m_markerAllowance.stop();
    m_subscriptionRetry.stop();
}

QStringList MqttBridge::readBackFilters() const
{
    QStringList filters;
    for (const quint8 card : m_options.cards)
        filters << m_topics.stateFilter(card);
    return filters << m_topics.record() << m_topics.marker();
}

void MqttBridge::startReadBack()
{
    m_readBackSubscription = m_mqtt.subscribe(readBackFilters(), 1);
    if (!m_readBackSubscription)
        bridgeLog(tr("cannot subscribe to the bridge's own retained topics"));
}

void MqttBridge::subscribed(int mid, const QList<int> &granted)
{
    if (m_readBackSubscription == mid) {
        m_readBackSubscription.reset();
        readBackSubscribed(granted);
    } else if (m_commandSubscription == mid) {
        m_commandSubscription.reset();
        commandsSubscribed(granted);
    }
}

void MqttBridge::readBackSubscribed(const QList<int> &granted)
{
    const QStringList filters = readBackFilters();
    QStringList refused;
    for (qsizetype i = 0; i < filters.size() && i < granted.size(); ++i) {
        if (MqttConnection::refusedSubscription(granted.at(i)))
            refused << filters.at(i);
    }
    if (!refused.isEmpty())
        bridgeLog(tr("the broker refused the subscription to %1: what the bridge left retained "
                     "there is not read back")
                      .arg(refused.join(QStringLiteral(", "))));
    if (refused.contains(m_topics.marker())) {
        finishReadBack();
        return;
    }
    // Whatever the broker held retained for us arrives before the marker published now.
    m_marker = QByteArray::number(QRandomGenerator::global()->generate64(), 16);
    if (!m_mqtt.publish(m_topics.marker(), m_marker, 1, false)) {
        finishReadBack();
        return;
    }
    m_markerAllowance.start();
}

void MqttBridge::finishReadBack()
{
    m_markerAllowance.stop();
    if (m_readBack)
        return;
    for (const auto &[card, relays] : m_retainedStates)
        m_line.setRelays(card, relays);
    m_readBack = true;
    bridgeLog(tr(
        "retained relay states read back for %n card(s)", nullptr, int(m_retainedStates.size())));
    // Our own state publishes must not come back to us.
    m_mqtt.unsubscribe(readBackFilters());
    subscribeCommands();
}

void MqttBridge::subscribeCommands()
{
    m_commandSubscription = m_mqtt.subscribe(m_commandFilters, 1);
    if (!m_commandSubscription)
        bridgeLog(tr("cannot subscribe to the command topics"));
}

void MqttBridge::commandsSubscribed(const QList<int> &granted)
{
    QStringList refused;
    bool commandRefused = false;
    for (qsizetype i = 0; i < m_commandFilters.size() && i < granted.size(); ++i) {
        if (MqttConnection::refusedSubscription(granted.at(i))) {
            refused << m_commandFilters.at(i);
            commandRefused = commandRefused || m_commandFilters.at(i) != m_topics.haStatus();
        }
    }
    if (!commandRefused) {
        if (refused.contains(m_topics.haStatus()))
            bridgeLog(tr("the broker refused the subscription to %1: the discovery configs do "
                         "not go out again when Home Assistant restarts")
                          .arg(m_topics.haStatus()));
        if (m_subscriptionRefused)
            bridgeLog(tr("the broker now grants the command topics"));
        m_subscriptionRefused = false;
        m_subscriptionRetry.setInterval(firstSubscriptionRetry);
        becomeReady();
        return;
    }
    // Online would be a lie: every command sent to a refused topic is lost without a word.
    if (!m_subscriptionRefused) {
        m_subscriptionRetry.setInterval(firstSubscriptionRetry);
        bridgeLog(tr("the broker refused the subscription to %1: no command can reach the "
                     "bridge there; offline, asking again every while, up to every %2 s")
                      .arg(refused.join(QStringLiteral(", ")))
                      .arg(longestSubscriptionRetry.count()));
    } else {
        m_subscriptionRetry.setInterval(std::min<std::chrono::milliseconds>(
            m_subscriptionRetry.intervalAsDuration() * 2, longestSubscriptionRetry));
    }
    m_subscriptionRefused = true;
    if (m_announcedOnline != false) {
        m_announcedOnline = false;
        m_publisher.status(false);
    }
    m_subscriptionRetry.start();
}

void MqttBridge::setReady(bool ready)
{
    if (std::exchange(m_ready, ready) != ready)
        emit onlineChanged(ready);
}

void MqttBridge::becomeReady()
{
    setReady(true);
    if (!m_staleRemoved) {
        m_staleRemoved = true;
        const QStringList stale = AnnouncementRecord::staleTopics(m_earlierRecord, m_options);
        if (!stale.isEmpty()) {
            bridgeLog(tr("%n retained topic(s) announced before and no longer configured taken "
                         "off the broker",
                nullptr, int(stale.size())));
            m_publisher.remove(stale);
        }
    }
    // What Home Assistant shows goes out before the bridge says it is available.
    m_publisher.discovery();
    m_publisher.states(m_line.mirror());
    m_publisher.record();
    m_announcedOnline.reset();
    announce();
}

void MqttBridge::received(const QString &topic, const QByteArray &payload, bool retained)
{
    if (m_stopping)
        return;
    if (!m_readBack) {
        if (topic == m_topics.marker() && payload == m_marker && !m_marker.isEmpty()) {
            finishReadBack();
        } else if (topic == m_topics.record() && retained) {
            m_earlierRecord = payload;
        } else if (const std::optional<BridgeTopics::Relay> state = m_topics.readState(topic)) {
            if (retained) {
                auto [relays, added] = m_retainedStates.try_emplace(state->card);
                relays->second.at(state->relay - 1) = payload.trimmed().toUpper() == "ON";
            }
        }
        return;
    }
    if (topic == m_topics.haStatus()) {
        // A retained birth is an old one, replayed as we subscribe: the configs just went out.
        if (m_ready && !retained && payload.trimmed() == "online") {
            bridgeLog(tr("Home Assistant is online: discovery configs published again"));
            m_publisher.discovery();
        }
        return;
    }
    if (m_topics.readState(topic) || topic == m_topics.marker() || topic == m_topics.record())
        return;
    submit(topic, payload, retained);
}

void MqttBridge::submit(const QString &topic, const QByteArray &payload, bool retained)
{
    const CommandReader::Reading reading = m_reader.read(topic, payload, retained);
    if (!reading.command) {
        // A retained one comes again at every connection: counted once would be enough, so never.
        if (!retained)
            m_counts.badInput(FrontEnd::Mqtt);
        bridgeLog(tr("ignored %1%2")
                      .arg(reading.refusal,
                          reading.relay ? m_line.names(reading.relay->card, reading.relay->relay)
                                        : QString()));
        // Whoever sent it still gets the relay's state, unchanged.
        if (reading.relay && !retained)
            publishStates({*reading.relay});
        return;
    }
    if (const std::optional<Refusal> refusal = m_line.submit(*reading.command)) {
        m_counts.refused(FrontEnd::Mqtt, refusal->cause);
        m_line.logRefusal(*reading.command, *refusal, {});
        answer(*reading.command);
        return;
    }
    m_counts.taken(FrontEnd::Mqtt);
}

void MqttBridge::announce()
{
    if (!m_ready || m_stopping)
        return;
    const bool online = m_line.isUp();
    if (m_announcedOnline == online)
        return;
    m_announcedOnline = online;
    m_publisher.status(online);
    bridgeLog(online ? tr("online") : tr("offline until the serial port is back"));
}

void MqttBridge::answer(const BridgeCommand &command)
{
    publishStates(relaysOf(command));
}

void MqttBridge::publishStates(const QList<BridgeTopics::Relay> &relays)
{
    // Before the bridge is ready, the states all go out when it is.
    if (!m_ready || relays.isEmpty())
        return;
    m_publisher.states(m_line.mirror(), relays);
}
