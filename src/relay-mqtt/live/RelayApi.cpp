#include "relay-mqtt/live/RelayApi.h"

#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/line/RelayLine.h"
#include "relay-mqtt/live/StrictJson.h"
#include "system/DecimalNumber.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

using Kind = BridgeCommand::Kind;
using Setting = BridgeCommand::Setting;
using Status = RelayApi::Status;

QString stateText(bool on)
{
    return on ? QStringLiteral("ON") : QStringLiteral("OFF");
}

std::optional<Setting> readSetting(const QJsonValue &value, bool toggle)
{
    const QString text = value.toString();
    if (text == QLatin1String("ON"))
        return Setting::On;
    if (text == QLatin1String("OFF"))
        return Setting::Off;
    if (toggle && text == QLatin1String("TOGGLE"))
        return Setting::Toggle;
    return std::nullopt;
}

} // namespace

RelayApi::RelayApi(const BridgeOptions &options, RelayLine &line, CommandCounts &counts)
    : m_options(options), m_line(line), m_counts(counts)
{ }

QJsonObject RelayApi::cards(const QString &broker) const
{
    QJsonArray cards;
    for (const quint8 card : m_options.cards) {
        const std::optional<VirtualCard::Relays> states = m_line.mirror().relays(card);
        QJsonArray relays;
        for (int relay = 1; relay <= BridgeOptions::relayCount; ++relay) {
            relays.append(QJsonObject{{QStringLiteral("relay"), relay},
                {QStringLiteral("name"), m_options.relayName(card, relay)},
                {QStringLiteral("state"), stateText(states && states->at(relay - 1))}});
        }
        cards.append(QJsonObject{{QStringLiteral("card"), card},
            {QStringLiteral("name"), m_options.cardName(card)},
            {QStringLiteral("relays"), relays}});
    }
    return {{QStringLiteral("cards"), cards},
        {QStringLiteral("port"), m_line.isUp() ? QStringLiteral("up") : QStringLiteral("lost")},
        {QStringLiteral("broker"), broker},
        {QStringLiteral("login"), m_options.web.loginRequired()}};
}

QJsonObject RelayApi::change(const CardMirror::Change &change)
{
    return {{QStringLiteral("card"), change.card}, {QStringLiteral("relay"), change.relay},
        {QStringLiteral("state"), stateText(change.on)}};
}

RelayApi::Answer RelayApi::error(Status status, const QString &message)
{
    return {status, {{QStringLiteral("error"), message}}};
}

RelayApi::Answer RelayApi::refused(const Refusal &refusal)
{
    switch (refusal.cause) {
    case Refusal::Cause::PortClosed:
        return error(Status::Unavailable, refusal.text);
    case Refusal::Cause::QueueFull:
        return error(Status::TooManyRequests, refusal.text);
    case Refusal::Cause::Interlock:
    case Refusal::Cause::HoldLimit:
        return error(Status::Conflict, refusal.text);
    }
    return error(Status::Conflict, refusal.text);
}

std::optional<quint8> RelayApi::bridged(qint64 card) const
{
    if (card < 0 || card > 255 || !m_options.cards.contains(quint8(card)))
        return std::nullopt;
    return quint8(card);
}

RelayApi::Reading RelayApi::read(const QStringList &path, const QByteArray &body) const
{
    Reading target = readPath(path);
    if (!target.command)
        return target;
    const QString &what = path.at(1);
    if (body.trimmed().isEmpty() && (what == u"stop" || what == u"show"))
        return readBody(*target.command, what, {});
    const std::optional<QJsonObject> object = StrictJson::object(body);
    if (!object)
        return {std::nullopt,
            error(Status::BadRequest, tr("the body is not a JSON object, each key once"))};
    return readBody(*target.command, what, *object);
}

RelayApi::Reading RelayApi::read(const QStringList &path, const QJsonObject &body) const
{
    Reading target = readPath(path);
    return target.command ? readBody(*target.command, path.at(1), body) : target;
}

RelayApi::Answer RelayApi::carryOut(
    const Reading &reading, FrontEnd frontEnd, const QString &from) const
{
    if (!reading.command) {
        m_counts.badInput(frontEnd);
        return reading.refusal;
    }
    if (const std::optional<Refusal> refusal = m_line.submit(*reading.command)) {
        m_counts.refused(frontEnd, refusal->cause);
        m_line.logRefusal(*reading.command, *refusal, from.isEmpty() ? tr("from the web") : from);
        return refused(*refusal);
    }
    m_counts.taken(frontEnd);
    return {Status::Accepted, {{QStringLiteral("accepted"), true}}};
}

RelayApi::Reading RelayApi::readPath(const QStringList &path) const
{
    // cards/A/relays/R, cards/A/all, cards/A/stop, cards/A/show
    const std::optional<int> address
        = path.isEmpty() ? std::nullopt : DecimalNumber::readCanonical(path.first(), 255);
    const std::optional<quint8> card = address ? bridged(*address) : std::nullopt;
    if (!card)
        return {std::nullopt, error(Status::NotFound, tr("no such card"))};
    const QStringList rest = path.mid(1);
    const bool relayPath = rest.size() == 2 && rest.first() == QLatin1String("relays");
    const bool cardPath = rest.size() == 1
        && (rest.first() == u"all" || rest.first() == u"stop" || rest.first() == u"show");
    if (!relayPath && !cardPath)
        return {std::nullopt, error(Status::NotFound, tr("no such resource"))};
    BridgeCommand command;
    command.card = *card;
    if (relayPath) {
        const std::optional<int> number
            = DecimalNumber::readCanonical(rest.at(1), BridgeOptions::relayCount);
        if (!number || *number < 1)
            return {std::nullopt, error(Status::NotFound, tr("no such relay: relays are 1 to 8"))};
        command.relay = *number;
    }
    return {command, {}};
}

RelayApi::Reading RelayApi::readBody(
    BridgeCommand command, const QString &what, const QJsonObject &object) const
{
    if (what == QLatin1String("stop")) {
        command.kind = Kind::Stop;
    } else if (what == QLatin1String("show")) {
        command.kind = Kind::Show;
    } else if (what == QLatin1String("all")) {
        const std::optional<Setting> setting = readSetting(object.value(u"state"), false);
        if (!setting || object.size() != 1)
            return {std::nullopt,
                error(Status::BadRequest, tr(R"(expected {"state": "ON" or "OFF"})"))};
        command.kind = Kind::All;
        command.setting = *setting;
    } else {
        const QJsonValue hold = object.value(u"hold_ms");
        if (object.size() == 1 && object.contains(u"state")) {
            const std::optional<Setting> setting = readSetting(object.value(u"state"), true);
            if (!setting)
                return {std::nullopt,
                    error(Status::BadRequest, tr(R"("state" is "ON", "OFF" or "TOGGLE")"))};
            command.kind = Kind::Set;
            command.setting = *setting;
        } else if (object.size() == 1 && hold.isDouble()
            && hold.toDouble() == double(hold.toInteger()) && hold.toInteger() >= 1
            && hold.toInteger() <= BridgeCommand::longestHold.count()) {
            command.kind = Kind::Hold;
            command.setting = Setting::On;
            command.holdLength = std::chrono::milliseconds(hold.toInteger());
        } else {
            return {std::nullopt,
                error(Status::BadRequest,
                    tr(R"(expected {"state": "ON", "OFF" or "TOGGLE"} or {"hold_ms": 1 to %1})")
                        .arg(BridgeCommand::longestHold.count()))};
        }
    }
    return {command, {}};
}

std::optional<BridgeCommand> RelayApi::readHold(const QJsonObject &message) const
{
    const QJsonValue card = message.value(u"card");
    const QJsonValue relay = message.value(u"relay");
    if (!card.isDouble() || !relay.isDouble())
        return std::nullopt;
    const std::optional<quint8> address = bridged(card.toInteger(-1));
    const qint64 number = relay.toInteger(-1);
    if (!address || number < 1 || number > BridgeOptions::relayCount)
        return std::nullopt;
    return BridgeCommand{
        *address, Kind::Hold, int(number), Setting::On, BridgeCommand::longestHold};
}
