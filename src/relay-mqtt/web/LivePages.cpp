#include "relay-mqtt/web/LivePages.h"

#include "relay-mqtt/line/RelayLine.h"
#include "relay-mqtt/web/RelayApi.h"
#include "relay-mqtt/web/StrictJson.h"

#include <QJsonArray>
#include <QJsonDocument>

LivePages::LivePages(RelayApi &api, RelayLine &line, QObject *parent)
    : QObject(parent), m_api(api), m_line(line), m_pulse(this)
{
    connect(&m_line, &RelayLine::relaysChanged, this, &LivePages::changed);
    connect(&m_line, &RelayLine::upChanged, this, [this] { sendAll(statusMessage()); });
    // Whatever ended the hold (its time, a command, the stop), the page no longer owns it.
    connect(&m_line, &RelayLine::holdEnded, this, [this](quint8 card, int relay, HoldEnd why) {
        holdEnded({card, relay}, holdEndText(why));
    });
    m_pulse.setInterval(pingInterval);
    connect(&m_pulse, &QTimer::timeout, this, &LivePages::pulse);
}

LivePages::~LivePages()
{
    closeAll();
}

void LivePages::add(std::unique_ptr<QWebSocket> socket, const QByteArray &session)
{
    if (m_pages.size() >= std::size_t(mostPages)) {
        QWebSocket *refused = socket.release();
        refused->close(QWebSocketProtocol::CloseCodeGoingAway, tr("too many pages open"));
        refused->deleteLater();
        return;
    }
    QWebSocket *page = socket.get();
    page->setParent(nullptr);
    m_pages.emplace(page, Page{std::move(socket), session, Clock::now()});
    page->setMaxAllowedIncomingMessageSize(longestMessage);
    page->setMaxAllowedIncomingFrameSize(longestMessage);
    connect(page, &QWebSocket::textMessageReceived, this,
        [this, page](const QString &message) { received(page, message); });
    connect(page, &QWebSocket::pong, this, [this, page] {
        if (const auto found = m_pages.find(page); found != m_pages.end())
            found->second.heard = Clock::now();
    });
    connect(page, &QWebSocket::disconnected, this, [this, page] { pageGone(page); });
    if (!m_pulse.isActive())
        m_pulse.start();
    QJsonObject cards = m_api.cards(m_broker);
    cards.insert(QStringLiteral("type"), QStringLiteral("cards"));
    send(page, cards);
}

void LivePages::setBroker(const QString &broker)
{
    if (broker == m_broker)
        return;
    m_broker = broker;
    sendAll(statusMessage());
}

void LivePages::endSession(const QByteArray &session, const QString &reason)
{
    QList<QWebSocket *> ended;
    for (const auto &[page, entry] : m_pages) {
        if (!session.isEmpty() && entry.session == session)
            ended << page;
    }
    for (QWebSocket *page : ended)
        close(page, sessionEndedCode, reason);
}

void LivePages::closeAll()
{
    m_pulse.stop();
    while (!m_holds.empty())
        letGo(m_holds.begin()->first);
    auto pages = std::move(m_pages);
    for (auto &[page, entry] : pages) {
        disconnect(page, nullptr, this, nullptr);
        entry.socket->close(QWebSocketProtocol::CloseCodeGoingAway);
    }
}

void LivePages::received(QWebSocket *page, const QString &message)
{
    const auto found = m_pages.find(page);
    if (found == m_pages.end())
        return;
    found->second.heard = Clock::now();
    const std::optional<QJsonObject> object = StrictJson::object(message.toUtf8());
    if (!object) {
        sendRefusal(page,
            RelayApi::error(
                RelayApi::Status::BadRequest, tr("a message is one JSON object, each key once")));
        return;
    }
    const QString type = object->value(u"type").toString();
    if (type == QLatin1String("hold"))
        startHold(page, *object);
    else if (type == QLatin1String("renew"))
        renewHold(*object);
    else if (type == QLatin1String("release"))
        release(*object);
    else if (type == QLatin1String("command"))
        command(page, *object);
}

void LivePages::command(QWebSocket *page, const QJsonObject &message)
{
    // What a POST below /api/cards/ would ask for, without a request's round of its own.
    const RelayApi::Answer answer = m_api.carryOut(m_api.read(
        message.value(u"path").toString().split(u'/'), message.value(u"body").toObject()));
    if (answer.status != RelayApi::Status::Accepted)
        sendRefusal(page, answer);
}

void LivePages::sendRefusal(QWebSocket *page, const RelayApi::Answer &refusal)
{
    send(page,
        {{QStringLiteral("type"), QStringLiteral("refused")},
            {QStringLiteral("status"), int(refusal.status)},
            {QStringLiteral("error"), refusal.body.value(u"error")}});
}

void LivePages::startHold(QWebSocket *page, const QJsonObject &message)
{
    const std::optional<BridgeCommand> hold = m_api.readHold(message);
    if (!hold)
        return;
    const Relay relay{hold->card, hold->relay};
    if (m_holds.contains(relay)) {
        renewHold(message);
        return;
    }
    if (const RelayApi::Answer answer = m_api.carryOut({hold, {}});
        answer.status != RelayApi::Status::Accepted) {
        sendRefusal(page, answer);
        return;
    }
    auto expiry = std::make_unique<QTimer>();
    expiry->setSingleShot(true);
    expiry->setTimerType(Qt::PreciseTimer);
    expiry->setInterval(holdRenewal);
    // No renewal in time: the page hears that its hold ended, and the card lets go.
    connect(expiry.get(), &QTimer::timeout, this, [this, relay] {
        holdEnded(relay, tr("no renewal came within %1 ms").arg(holdRenewal.count()));
        m_line.letGo(relay.first, relay.second);
    });
    expiry->start();
    m_holds[relay] = WebHold{page, std::move(expiry)};
}

void LivePages::renewHold(const QJsonObject &message)
{
    // A hold that has ended (a stop, another command) is not started again by a renewal.
    const std::optional<BridgeCommand> hold = m_api.readHold(message);
    if (!hold)
        return;
    const auto found = m_holds.find({hold->card, hold->relay});
    if (found != m_holds.end())
        found->second.expiry->start();
}

void LivePages::release(const QJsonObject &message)
{
    if (const std::optional<BridgeCommand> hold = m_api.readHold(message))
        letGo({hold->card, hold->relay});
}

void LivePages::letGo(Relay relay)
{
    if (m_holds.erase(relay) > 0)
        m_line.letGo(relay.first, relay.second);
}

void LivePages::holdEnded(Relay relay, const QString &why)
{
    const auto found = m_holds.find(relay);
    if (found == m_holds.end())
        return;
    QWebSocket *holder = found->second.page;
    m_holds.erase(found);
    send(holder,
        {{QStringLiteral("type"), QStringLiteral("holdEnded")},
            {QStringLiteral("card"), relay.first}, {QStringLiteral("relay"), relay.second},
            {QStringLiteral("reason"), why}});
}

void LivePages::pageGone(QWebSocket *page)
{
    std::vector<Relay> held;
    for (const auto &[relay, hold] : m_holds) {
        if (hold.page == page)
            held.push_back(relay);
    }
    for (const Relay &relay : held)
        letGo(relay);
    const auto found = m_pages.find(page);
    if (found == m_pages.end())
        return;
    disconnect(page, nullptr, this, nullptr);
    found->second.socket.release()->deleteLater();
    m_pages.erase(found);
    if (m_pages.empty())
        m_pulse.stop();
}

void LivePages::close(QWebSocket *page, QWebSocketProtocol::CloseCode code, const QString &reason)
{
    const auto found = m_pages.find(page);
    if (found == m_pages.end())
        return;
    // Taken out first: nothing it sends any more reaches the line.
    pageGone(page);
    page->close(code, reason);
}

void LivePages::send(QWebSocket *page, const QJsonObject &message)
{
    sendText(page, QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void LivePages::sendText(QWebSocket *page, const QString &text)
{
    page->sendTextMessage(text);
    // A page that reads nothing would make its messages pile up here without end.
    if (page->bytesToWrite() > mostUnsent) {
        pageGone(page);
        page->abort();
    }
}

void LivePages::sendAll(const QJsonObject &message)
{
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    QList<QWebSocket *> pages;
    for (const auto &[page, entry] : m_pages)
        pages << page;
    for (QWebSocket *page : pages)
        sendText(page, text);
}

void LivePages::changed(const QList<CardMirror::Change> &changes)
{
    // Nobody to tell: no message is built for every burst while no page is open.
    if (m_pages.empty())
        return;
    QJsonArray list;
    for (const CardMirror::Change &change : changes)
        list.append(RelayApi::change(change));
    sendAll(
        {{QStringLiteral("type"), QStringLiteral("relays")}, {QStringLiteral("changes"), list}});
}

void LivePages::pulse()
{
    const Clock::time_point now = Clock::now();
    QList<QWebSocket *> silent;
    for (const auto &[page, entry] : m_pages) {
        if (now - entry.heard > silenceAllowed)
            silent << page;
        else
            page->ping();
    }
    for (QWebSocket *page : silent)
        close(page, QWebSocketProtocol::CloseCodeGoingAway, tr("no answer to pings"));
}

QJsonObject LivePages::statusMessage() const
{
    return {{QStringLiteral("type"), QStringLiteral("status")},
        {QStringLiteral("port"), m_line.isUp() ? QStringLiteral("up") : QStringLiteral("lost")},
        {QStringLiteral("broker"), m_broker}};
}

QString LivePages::holdEndText(HoldEnd why)
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
