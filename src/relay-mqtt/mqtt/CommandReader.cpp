#include "relay-mqtt/mqtt/CommandReader.h"

#include "system/DecimalNumber.h"

#include <QByteArrayView>

#include <algorithm>
#include <utility>

namespace {

using Kind = BridgeCommand::Kind;
using Reading = CommandReader::Reading;

Reading refuse(QString reason, std::optional<BridgeTopics::Relay> relay = std::nullopt)
{
    return {std::nullopt, std::move(reason), relay};
}

Reading accept(BridgeCommand command)
{
    return {command, {}, std::nullopt};
}

// The payload as a word: case and surrounding blanks do not count.
QByteArray word(QByteArrayView payload)
{
    return payload.toByteArray().trimmed().toUpper();
}

// The payload as sent, as the log quotes it: a stray long payload does not flood the log, and
// control characters cannot forge a line of it.
QString quoted(QByteArrayView payload)
{
    constexpr qsizetype longest = 32;
    QString text;
    for (const char byte : payload.first(std::min(payload.size(), longest))) {
        const auto value = quint8(byte);
        if (value < 0x20 || value == 0x7f || value == '"' || value == '\\')
            text += QStringLiteral("\\x%1").arg(value, 2, 16, QLatin1Char('0'));
        else
            text += QLatin1Char(byte);
    }
    // Bytes of UTF-8 characters went in one by one: they come back together.
    text = QString::fromUtf8(text.toLatin1());
    return u'"' + text
        + (payload.size() > longest ? QStringLiteral("...\"") : QStringLiteral("\""));
}

} // namespace

CommandReader::CommandReader(QString baseTopic, QList<quint8> cards)
    : m_baseTopic(std::move(baseTopic)), m_cards(std::move(cards))
{ }

Reading CommandReader::read(const QString &topic, QByteArrayView payload, bool retained) const
{
    // A retained command is an old one the broker replays: acting on it again at every
    // connection would switch relays nobody asked for.
    if (retained)
        return refuse(tr("%1: retained commands are ignored").arg(topic));
    if (payload.size() > longestPayload)
        return refuse(tr("%1: the payload is longer than %2 bytes").arg(topic).arg(longestPayload));

    const QString prefix = m_baseTopic + u'/';
    if (!topic.startsWith(prefix))
        return refuse(tr("%1: not a topic under %2").arg(topic, prefix));
    const QStringList levels = topic.sliced(prefix.size()).split(u'/');
    const std::optional<quint8> card = configuredCard(levels.front());
    if (!card)
        return refuse(tr("%1: there is no card %2 on this port").arg(topic, levels.front()));
    Reading reading = readCardTopic(*card, levels, payload);
    if (!reading.command)
        reading.refusal = topic + QStringLiteral(": ") + reading.refusal;
    return reading;
}

Reading CommandReader::readCardTopic(
    quint8 card, const QStringList &levels, QByteArrayView payload) const
{
    const QStringList rest = levels.sliced(1);
    if (rest.size() == 3 && rest.at(0) == QLatin1String("relay"))
        return readRelay(card, rest.at(1), rest.at(2), payload);
    if (rest == QStringList{QStringLiteral("all"), QStringLiteral("set")}) {
        const std::optional<BridgeCommand::Setting> all = setting(word(payload), false);
        if (!all)
            return refuse(tr("all/set takes ON or OFF, not %1").arg(quoted(payload)));
        return accept({card, Kind::All, 0, *all, {}});
    }
    // Stop and show carry no value: whatever the payload, even none, is the command.
    if (rest == QStringList{QStringLiteral("stop")})
        return accept({card, Kind::Stop});
    if (rest == QStringList{QStringLiteral("show")})
        return accept({card, Kind::Show});
    if (!rest.isEmpty() && rest.front() == QLatin1String("address"))
        return refuse(tr("changing a card's address is not offered"));
    return refuse(tr("not a command topic"));
}

Reading CommandReader::readRelay(
    quint8 card, const QString &relayLevel, const QString &action, QByteArrayView payload)
{
    const std::optional<int> relay = DecimalNumber::readCanonical(relayLevel, relayCount);
    if (!relay || *relay < 1)
        return refuse(
            tr("there is no relay %1: relays are 1 to %2").arg(relayLevel).arg(relayCount));

    const QByteArray value = word(payload);
    if (action == QLatin1String("set")) {
        const std::optional<BridgeCommand::Setting> set = setting(value, true);
        if (!set) {
            return refuse(
                tr("set takes ON, OFF, TOGGLE, true or false, not %1").arg(quoted(payload)),
                BridgeTopics::Relay{card, *relay});
        }
        return accept({card, Kind::Set, *relay, *set, {}});
    }
    if (action == QLatin1String("hold")) {
        const std::optional<int> length
            = DecimalNumber::readCanonical(QString::fromLatin1(value), int(longestHold.count()));
        if (!length || *length < shortestHold.count()) {
            return refuse(tr("hold takes milliseconds from %1 to %2, not %3")
                              .arg(shortestHold.count())
                              .arg(longestHold.count())
                              .arg(quoted(payload)),
                BridgeTopics::Relay{card, *relay});
        }
        return accept({card, Kind::Hold, *relay, BridgeCommand::Setting::On,
            std::chrono::milliseconds(*length)});
    }
    return refuse(tr("not a command topic"));
}

std::optional<BridgeCommand::Setting> CommandReader::setting(const QByteArray &word, bool toggle)
{
    // Node-RED's booleans arrive as true and false.
    if (word == "ON" || word == "1" || word == "TRUE")
        return BridgeCommand::Setting::On;
    if (word == "OFF" || word == "0" || word == "FALSE")
        return BridgeCommand::Setting::Off;
    if (toggle && word == "TOGGLE")
        return BridgeCommand::Setting::Toggle;
    return std::nullopt;
}

std::optional<quint8> CommandReader::configuredCard(const QString &level) const
{
    const std::optional<int> address = DecimalNumber::readCanonical(level, 255);
    if (!address || !m_cards.contains(quint8(*address)))
        return std::nullopt;
    return quint8(*address);
}

QStringList CommandReader::topicFilters() const
{
    QStringList filters;
    for (const quint8 card : m_cards) {
        const QString cardTopic = m_baseTopic + u'/' + QString::number(card);
        filters << cardTopic + QStringLiteral("/relay/+/set")
                << cardTopic + QStringLiteral("/relay/+/hold")
                << cardTopic + QStringLiteral("/all/set") << cardTopic + QStringLiteral("/stop")
                << cardTopic + QStringLiteral("/show");
    }
    return filters;
}
