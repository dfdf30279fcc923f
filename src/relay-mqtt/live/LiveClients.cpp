#include "relay-mqtt/live/LiveClients.h"

#include "relay-mqtt/line/RelayLine.h"
#include "relay-mqtt/live/RelayApi.h"
#include "relay-mqtt/live/StrictJson.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace {

QString compact(const QJsonObject &message)
{
    return QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

// An id a client may give its message: a number or a short string, echoed in the answer.
bool isId(const QJsonValue &id)
{
    return id.isDouble() || (id.isString() && id.toString().size() <= 32);
}

} // namespace

LiveClients::LiveClients(RelayApi &api, RelayLine &line, QObject *parent)
    : QObject(parent), m_api(api), m_line(line), m_pulse(this)
{
    connect(&m_line, &RelayLine::relaysChanged, this, &LiveClients::changed);
    connect(&m_line, &RelayLine::upChanged, this, [this] { sendAll(statusMessage()); });
    connect(&m_line, &RelayLine::commandCarried, this, &LiveClients::carried);
    connect(&m_line, &RelayLine::commandDropped, this, &LiveClients::dropped);
    // Whatever ended the hold (its time, a command, the stop), the client no longer owns it.
    connect(&m_line, &RelayLine::holdEnded, this, [this](quint8 card, int relay, HoldEnd why) {
        holdEnded({card, relay}, why);
    });
    m_pulse.setInterval(pingInterval);
    connect(&m_pulse, &QTimer::timeout, this, &LiveClients::pulse);
}

LiveClients::~LiveClients()
{
    closeAll();
}

void LiveClients::add(std::unique_ptr<LiveClient> owned, const QByteArray &session)
{
    LiveClient *client = owned.release();
    client->setParent(this);
    // Each side has its own room: programs on this machine never crowd out the pages.
    const auto sameSide = std::count_if(m_clients.begin(), m_clients.end(),
        [client](const auto &entry) { return entry.first->from() == client->from(); });
    if (sameSide >= mostClients) {
        client->close(LiveClient::Closing::GoingAway, tr("too many clients connected"));
        client->deleteLater();
        return;
    }
    m_clients.emplace(client, Client{session, Clock::now()});
    connect(client, &LiveClient::received, this,
        [this, client](const QString &message) { received(client, message); });
    connect(client, &LiveClient::pong, this, [this, client] {
        if (const auto found = m_clients.find(client); found != m_clients.end())
            found->second.heard = Clock::now();
    });
    connect(client, &LiveClient::disconnected, this, [this, client] { clientGone(client); });
    if (!m_pulse.isActive())
        m_pulse.start();
    QJsonObject cards = m_api.cards(m_broker);
    cards.insert(QStringLiteral("type"), QStringLiteral("cards"));
    send(client, cards);
}

qsizetype LiveClients::openCount(FrontEnd frontEnd) const
{
    return std::count_if(m_clients.begin(), m_clients.end(),
        [frontEnd](const auto &entry) { return entry.first->frontEnd() == frontEnd; });
}

void LiveClients::setBroker(const QString &broker)
{
    if (broker == m_broker)
        return;
    m_broker = broker;
    sendAll(statusMessage());
}

void LiveClients::endSession(const QByteArray &session, const QString &reason)
{
    QList<LiveClient *> ended;
    for (const auto &[client, entry] : m_clients) {
        if (!session.isEmpty() && entry.session == session)
            ended << client;
    }
    for (LiveClient *client : ended)
        close(client, LiveClient::Closing::SessionEnded, reason);
}

void LiveClients::closeAll()
{
    m_pulse.stop();
    while (!m_holds.empty())
        letGo(m_holds.begin()->first);
    m_tickets.clear();
    auto clients = std::move(m_clients);
    m_clients.clear();
    for (auto &[client, entry] : clients) {
        disconnect(client, nullptr, this, nullptr);
        client->close(LiveClient::Closing::GoingAway, tr("relay-mqtt is stopping"));
        client->deleteLater();
    }
}

void LiveClients::received(LiveClient *client, const QString &message)
{
    const auto found = m_clients.find(client);
    if (found == m_clients.end())
        return;
    found->second.heard = Clock::now();
    const std::optional<QJsonObject> object = StrictJson::object(message.toUtf8());
    if (!object) {
        m_api.counts().badInput(client->frontEnd());
        sendRefusal(client,
            RelayApi::error(
                RelayApi::Status::BadRequest, tr("a message is one JSON object, each key once")));
        return;
    }
    const QString type = object->value(u"type").toString();
    if (type == QLatin1String("hold"))
        startHold(client, *object);
    else if (type == QLatin1String("renew"))
        renewHold(client, *object);
    else if (type == QLatin1String("release"))
        release(client, *object);
    else if (type == QLatin1String("command"))
        command(client, *object);
    else if (type != QLatin1String("pong")) { // a sign of life, heard above
        m_api.counts().badInput(client->frontEnd());
        // A client waiting for its answer hears that there will be none.
        if (isId(object->value(u"id")))
            sendRefusal(client,
                RelayApi::error(
                    RelayApi::Status::BadRequest, tr("no message of type \"%1\"").arg(type)),
                object->value(u"id"));
    }
}

void LiveClients::command(LiveClient *client, const QJsonObject &message)
{
    // What a POST below /api/cards/ would ask for, without a request's round of its own.
    RelayApi::Reading reading = m_api.read(
        message.value(u"path").toString().split(u'/'), message.value(u"body").toObject());
    const QJsonValue id = message.value(u"id");
    // In place before the line takes it: an idle line writes its burst at once.
    if (isId(id) && reading.command) {
        reading.command->ticket = ++m_lastTicket;
        m_tickets[m_lastTicket] = Ticket{client, id};
    }
    const RelayApi::Answer answer = m_api.carryOut(reading, client->frontEnd(), client->from());
    if (answer.status != RelayApi::Status::Accepted) {
        if (reading.command)
            m_tickets.erase(reading.command->ticket);
        sendRefusal(client, answer, id);
    }
}

void LiveClients::sendRefusal(
    LiveClient *client, const RelayApi::Answer &refusal, const QJsonValue &id)
{
    QJsonObject message{{QStringLiteral("type"), QStringLiteral("refused")},
        {QStringLiteral("status"), int(refusal.status)},
        {QStringLiteral("error"), refusal.body.value(u"error")}};
    if (isId(id))
        message.insert(QStringLiteral("id"), id);
    send(client, message);
}

void LiveClients::startHold(LiveClient *client, const QJsonObject &message)
{
    const QJsonValue id = message.value(u"id");
    std::optional<BridgeCommand> hold = m_api.readHold(message);
    if (!hold) {
        m_api.counts().badInput(client->frontEnd());
        if (isId(id))
            sendRefusal(client,
                RelayApi::error(RelayApi::Status::NotFound, tr("no such card or relay")), id);
        return;
    }
    // A program holds for a time of its own (a page, while the finger is down): the line ends
    // the hold then, as exactly as any hold's.
    if (const QJsonValue length = message.value(u"hold_ms"); !length.isUndefined()) {
        if (!length.isDouble() || length.toDouble() != double(length.toInteger())
            || length.toInteger() < 1 || length.toInteger() > BridgeCommand::longestHold.count()) {
            m_api.counts().badInput(client->frontEnd());
            sendRefusal(client,
                RelayApi::error(RelayApi::Status::BadRequest,
                    tr("\"hold_ms\" is 1 to %1").arg(BridgeCommand::longestHold.count())),
                id);
            return;
        }
        hold->holdLength = std::chrono::milliseconds(length.toInteger());
    }
    const Relay relay{hold->card, hold->relay};
    if (const auto held = m_holds.find(relay); held != m_holds.end()) {
        // A hold has one holder, who alone renews it and hears how it ends.
        if (held->second.client != client) {
            m_api.counts().refused(client->frontEnd(), CommandCounts::Cause::HeldByAnother);
            sendRefusal(client, heldByAnother(), id);
            return;
        }
        renewHold(client, message);
        if (isId(id))
            answerCarried(client, id);
        return;
    }
    auto expiry = std::make_unique<QTimer>();
    expiry->setSingleShot(true);
    expiry->setTimerType(Qt::PreciseTimer);
    expiry->setInterval(holdRenewal);
    // No renewal in time: the client hears that its hold ended, and the card lets go.
    connect(expiry.get(), &QTimer::timeout, this, [this, relay] {
        holdEnded(
            relay, HoldEnd::LetGo, tr("no renewal came within %1 ms").arg(holdRenewal.count()));
        m_line.letGo(relay.first, relay.second);
    });
    // In place before the line takes it: an idle line writes its first burst at once.
    m_holds[relay]
        = ClientHold{client, std::move(expiry), isId(id) ? id : QJsonValue(QJsonValue::Undefined)};
    if (const RelayApi::Answer answer
        = m_api.carryOut({hold, {}}, client->frontEnd(), client->from());
        answer.status != RelayApi::Status::Accepted) {
        m_holds.erase(relay);
        sendRefusal(client, answer, id);
        return;
    }
    if (const auto started = m_holds.find(relay); started != m_holds.end())
        started->second.expiry->start();
}

void LiveClients::renewHold(LiveClient *client, const QJsonObject &message)
{
    // A hold that has ended (a stop, another command) is not started again by a renewal.
    const std::optional<BridgeCommand> hold = m_api.readHold(message);
    if (!hold) {
        m_api.counts().badInput(client->frontEnd());
        return;
    }
    const auto found = m_holds.find({hold->card, hold->relay});
    if (found != m_holds.end() && found->second.client == client)
        found->second.expiry->start();
}

void LiveClients::release(LiveClient *client, const QJsonObject &message)
{
    const QJsonValue id = message.value(u"id");
    if (const std::optional<BridgeCommand> hold = m_api.readHold(message)) {
        const auto found = m_holds.find({hold->card, hold->relay});
        if (found != m_holds.end() && found->second.client != client) {
            m_api.counts().refused(client->frontEnd(), CommandCounts::Cause::HeldByAnother);
            sendRefusal(client, heldByAnother(), id);
            return;
        }
        letGo({hold->card, hold->relay});
    } else {
        m_api.counts().badInput(client->frontEnd());
    }
    // Its last burst, if one is on its way, is carried by then.
    if (isId(id))
        answerCarried(client, id);
}

void LiveClients::letGo(Relay relay)
{
    if (m_holds.erase(relay) > 0)
        m_line.letGo(relay.first, relay.second);
}

void LiveClients::holdEnded(Relay relay, HoldEnd why, const QString &reason)
{
    const auto found = m_holds.find(relay);
    if (found == m_holds.end())
        return;
    LiveClient *holder = found->second.client;
    m_holds.erase(found);
    // "timeUp" tells a hold that ran its course from one cut short.
    send(holder,
        {{QStringLiteral("type"), QStringLiteral("holdEnded")},
            {QStringLiteral("card"), relay.first}, {QStringLiteral("relay"), relay.second},
            {QStringLiteral("reason"), reason.isEmpty() ? holdEndText(why) : reason},
            {QStringLiteral("timeUp"), why == HoldEnd::TimeUp},
            {QStringLiteral("portLost"), why == HoldEnd::LineFailed}});
}

void LiveClients::carried(const BridgeCommand &command)
{
    if (command.kind == BridgeCommand::Kind::Hold) {
        // A hold's first burst: the client that asked for it hears it started.
        const auto hold = m_holds.find({command.card, command.relay});
        if (hold != m_holds.end() && !hold->second.startId.isUndefined()) {
            answerCarried(hold->second.client, hold->second.startId);
            hold->second.startId = QJsonValue(QJsonValue::Undefined);
        }
        return;
    }
    const auto found = m_tickets.find(command.ticket);
    if (command.ticket == 0 || found == m_tickets.end())
        return;
    const Ticket ticket = found->second;
    m_tickets.erase(found);
    answerCarried(ticket.client, ticket.id);
}

void LiveClients::dropped(const BridgeCommand &command, HoldEnd why)
{
    const auto found = m_tickets.find(command.ticket);
    if (command.ticket == 0 || found == m_tickets.end())
        return;
    const Ticket ticket = found->second;
    m_tickets.erase(found);
    const auto status
        = why == HoldEnd::Stop ? RelayApi::Status::Conflict : RelayApi::Status::Unavailable;
    sendRefusal(ticket.client,
        RelayApi::error(status, tr("dropped before it was sent: %1").arg(holdEndText(why))),
        ticket.id);
}

void LiveClients::answerCarried(LiveClient *client, const QJsonValue &id)
{
    const auto answer = [this, client, id] {
        if (m_clients.contains(client))
            send(client,
                {{QStringLiteral("type"), QStringLiteral("carried")}, {QStringLiteral("id"), id}});
    };
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_line.timeToCarry());
    if (left <= std::chrono::milliseconds::zero())
        answer();
    else
        QTimer::singleShot(left, Qt::PreciseTimer, client, answer);
}

void LiveClients::clientGone(LiveClient *client)
{
    std::vector<Relay> held;
    for (const auto &[relay, hold] : m_holds) {
        if (hold.client == client)
            held.push_back(relay);
    }
    for (const Relay &relay : held)
        letGo(relay);
    std::erase_if(m_tickets, [client](const auto &entry) { return entry.second.client == client; });
    const auto found = m_clients.find(client);
    if (found == m_clients.end())
        return;
    disconnect(client, nullptr, this, nullptr);
    client->deleteLater();
    m_clients.erase(found);
    if (m_clients.empty())
        m_pulse.stop();
}

void LiveClients::close(LiveClient *client, LiveClient::Closing closing, const QString &reason)
{
    if (!m_clients.contains(client))
        return;
    // Taken out first: nothing it sends any more reaches the line.
    clientGone(client);
    client->close(closing, reason);
}

void LiveClients::send(LiveClient *client, const QJsonObject &message)
{
    sendText(client, compact(message));
}

void LiveClients::sendText(LiveClient *client, const QString &text)
{
    client->send(text);
    // A client that reads nothing would make its messages pile up here without end.
    if (client->unsent() > mostUnsent) {
        clientGone(client);
        client->abort();
    }
}

void LiveClients::sendAll(const QJsonObject &message)
{
    const QString text = compact(message);
    QList<LiveClient *> clients;
    for (const auto &[client, entry] : m_clients)
        clients << client;
    for (LiveClient *client : clients)
        sendText(client, text);
}

void LiveClients::changed(const QList<CardMirror::Change> &changes)
{
    // Nobody to tell: no message is built for every burst while no client is connected.
    if (m_clients.empty())
        return;
    QJsonArray list;
    for (const CardMirror::Change &change : changes)
        list.append(RelayApi::change(change));
    sendAll(
        {{QStringLiteral("type"), QStringLiteral("relays")}, {QStringLiteral("changes"), list}});
}

void LiveClients::pulse()
{
    const Clock::time_point now = Clock::now();
    QList<LiveClient *> silent;
    for (const auto &[client, entry] : m_clients) {
        if (now - entry.heard > silenceAllowed)
            silent << client;
        else
            client->ping();
    }
    for (LiveClient *client : silent)
        close(client, LiveClient::Closing::GoingAway, tr("no answer to pings"));
}

QJsonObject LiveClients::statusMessage() const
{
    return {{QStringLiteral("type"), QStringLiteral("status")},
        {QStringLiteral("port"), m_line.isUp() ? QStringLiteral("up") : QStringLiteral("lost")},
        {QStringLiteral("broker"), m_broker}};
}

RelayApi::Answer LiveClients::heldByAnother()
{
    return RelayApi::error(RelayApi::Status::Conflict, tr("another client holds the relay"));
}

QString LiveClients::holdEndText(HoldEnd why)
{
    switch (why) {
    case HoldEnd::TimeUp:
        return tr("its time was up");
    case HoldEnd::Command:
        return tr("another command for the relay");
    case HoldEnd::Stop:
        return tr("the emergency stop");
    case HoldEnd::Interlock:
        return tr("a relay of its interlock group was turned on");
    case HoldEnd::LetGo:
        return tr("it was let go");
    case HoldEnd::LineFailed:
        return tr("the serial port failed");
    case HoldEnd::Stopping:
        return tr("relay-mqtt is stopping");
    }
    return {};
}
