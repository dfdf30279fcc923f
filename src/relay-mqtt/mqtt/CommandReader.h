#pragma once

#include "relay-mqtt/line/BridgeCommand.h"
#include "relay-mqtt/mqtt/BridgeTopics.h"

#include <QByteArrayView>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// Reads a command from a topic and its payload, for the cards configured on the port:
// NAME/A/relay/R/set, NAME/A/relay/R/hold, NAME/A/all/set, NAME/A/stop and NAME/A/show.
// Anything else is refused with the reason, in words for the log.
class CommandReader
{
    Q_DECLARE_TR_FUNCTIONS(CommandReader)

public:
    static constexpr qsizetype longestPayload = 256;
    static constexpr std::chrono::milliseconds shortestHold{1};
    static constexpr auto longestHold = BridgeCommand::longestHold;
    static constexpr int relayCount = 8;

    // The command, or why there is none and, for a relay's own topic, which relay it was for.
    struct Reading
    {
        std::optional<BridgeCommand> command;
        QString refusal;
        std::optional<BridgeTopics::Relay> relay;
    };

    CommandReader(QString baseTopic, QList<quint8> cards);

    Reading read(const QString &topic, QByteArrayView payload, bool retained = false) const;
    // The topic filters that bring every command this reader takes, and nothing else.
    QStringList topicFilters() const;

private:
    Reading readCardTopic(quint8 card, const QStringList &levels, QByteArrayView payload) const;
    static Reading readRelay(
        quint8 card, const QString &relayLevel, const QString &action, QByteArrayView payload);
    static std::optional<BridgeCommand::Setting> setting(const QByteArray &word, bool toggle);
    std::optional<quint8> configuredCard(const QString &level) const;

    QString m_baseTopic;
    QList<quint8> m_cards;
};
