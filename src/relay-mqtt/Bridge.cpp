#include "relay-mqtt/Bridge.h"

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

Bridge::Bridge(BridgeOptions options, QObject *parent)
    : QObject(parent),
      m_options(std::move(options)),
      m_topics(m_options),
      m_link(SerialLink::deviceOrSystemPortNames(m_options.device)),
      m_mqtt(settingsWithWill(m_options.mqtt, m_topics)),
      m_publisher(m_mqtt, m_topics, m_options),
      m_port(m_link, m_options.device.isEmpty() ? m_options.port : 1, m_options.lineName()),
      m_reader(m_options.name, m_options.cards),
      m_mirror(m_options.cards),
      m_feeder(std::make_unique<LineFeeder>(m_link))
{
    std::map<quint8, QList<QList<int>>> interlocks;
    for (const auto &[card, group] : m_options.cardGroups)
        interlocks.emplace(card, group.interlocks);
    m_feeder->setInterlocks(InterlockGroups(interlocks), m_options.interlockDelay,
        [this](quint8 card, int relay) { return m_mirror.isOn(card, relay); });
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
    connect(&m_subscriptionRetry, &QTimer::timeout, this, &Bridge::subscribeCommands);

    connect(m_feeder.get(), &LineFeeder::burstWritten, this,
        [this](const BridgeCommand &, const QByteArray &burst) { m_mirror.apply(burst); });
    connect(m_feeder.get(), &LineFeeder::commandCarried, this, &Bridge::answer);
    connect(m_feeder.get(), &LineFeeder::holdEnded, this, [this](quint8 card, int relay) {
        m_mirror.holdEnded(card, relay);
        publishStates({{card, relay}});
    });
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
    if (!m_options.mqtt.password.isEmpty() && !m_options.mqtt.usesTls())
        bridgeLog(tr("warning: the password goes to the broker unencrypted; give cafile or "
                     "capath (and the broker's TLS port) to keep it off the network"));
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
    m_markerAllowance.stop();
    m_subscriptionRetry.stop();
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
    bridgeLog(tr("connected to %1:%2 as %3")
                  .arg(m_mqtt.settings().host)
                  .arg(m_mqtt.settings().port)
                  .arg(m_mqtt.settings().clientId));
    m_ready = false;
    m_announcedOnline.reset();
    if (m_readBack)
        subscribeCommands();
    else
        startReadBack();
}

void Bridge::disconnected(
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
    m_ready = false;
    m_readBackSubscription.reset();
    m_commandSubscription.reset();
    m_markerAllowance.stop();
    m_subscriptionRetry.stop();
}

QStringList Bridge::readBackFilters() const
{
    QStringList filters;
    for (const quint8 card : m_options.cards)
        filters << m_topics.stateFilter(card);
    return filters << m_topics.record() << m_topics.marker();
}

void Bridge::startReadBack()
{
    m_readBackSubscription = m_mqtt.subscribe(readBackFilters(), 1);
    if (!m_readBackSubscription)
        bridgeLog(tr("cannot subscribe to the bridge's own retained topics"));
}

void Bridge::subscribed(int mid, const QList<int> &granted)
{
    if (m_readBackSubscription == mid) {
        m_readBackSubscription.reset();
        readBackSubscribed(granted);
    } else if (m_commandSubscription == mid) {
        m_commandSubscription.reset();
        commandsSubscribed(granted);
    }
}

void Bridge::readBackSubscribed(const QList<int> &granted)
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

void Bridge::finishReadBack()
{
    m_markerAllowance.stop();
    if (m_readBack)
        return;
    for (const auto &[card, relays] : m_retainedStates)
        m_mirror.setRelays(card, relays);
    m_readBack = true;
    bridgeLog(tr(
        "retained relay states read back for %n card(s)", nullptr, int(m_retainedStates.size())));
    // Our own state publishes must not come back to us.
    m_mqtt.unsubscribe(readBackFilters());
    subscribeCommands();
}

void Bridge::subscribeCommands()
{
    m_commandSubscription = m_mqtt.subscribe(m_commandFilters, 1);
    if (!m_commandSubscription)
        bridgeLog(tr("cannot subscribe to the command topics"));
}

void Bridge::commandsSubscribed(const QList<int> &granted)
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

void Bridge::becomeReady()
{
    m_ready = true;
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
    m_publisher.states(m_mirror);
    m_publisher.record();
    m_announcedOnline.reset();
    announce();
}

void Bridge::received(const QString &topic, const QByteArray &payload, bool retained)
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

void Bridge::submit(const QString &topic, const QByteArray &payload, bool retained)
{
    const CommandReader::Reading reading = m_reader.read(topic, payload, retained);
    if (!reading.command) {
        bridgeLog(
            tr("ignored %1%2")
                .arg(reading.refusal,
                    reading.relay ? names(reading.relay->card, reading.relay->relay) : QString()));
        // Whoever sent it still gets the relay's state, unchanged.
        if (reading.relay && !retained)
            publishStates({*reading.relay});
        return;
    }
    if (const std::optional<QString> refusal = m_feeder->submit(*reading.command)) {
        bridgeLog(tr("refused %1: %2").arg(describe(*reading.command), *refusal));
        answer(*reading.command);
    }
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

void Bridge::answer(const BridgeCommand &command)
{
    publishStates(relaysOf(command));
}

void Bridge::publishStates(const QList<BridgeTopics::Relay> &relays)
{
    // Before the bridge is ready, the states all go out when it is.
    if (!m_ready || relays.isEmpty())
        return;
    m_publisher.states(m_mirror, relays);
}

QString Bridge::names(quint8 card, int relay) const
{
    const auto group = m_options.cardGroups.find(card);
    if (group == m_options.cardGroups.end())
        return {};
    QStringList names;
    if (!group->second.name.isEmpty())
        names << group->second.name;
    if (relay >= 1 && relay <= BridgeOptions::relayCount
        && !group->second.relayNames.at(relay - 1).isEmpty())
        names << group->second.relayNames.at(relay - 1);
    return names.isEmpty() ? QString()
                           : QStringLiteral(" (%1)").arg(names.join(QStringLiteral(", ")));
}

QString Bridge::describe(const BridgeCommand &command) const
{
    const bool ofRelay = command.kind == Kind::Set || command.kind == Kind::Hold;
    return command.text() + names(command.card, ofRelay ? command.relay : 0);
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
