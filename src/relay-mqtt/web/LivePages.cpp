#include "relay-mqtt/web/LivePages.h"

#include "relay-mqtt/line/RelayLine.h"
#include "relay-mqtt/web/RelayApi.h"

#include <QJsonArray>
#include <QJsonDocument>

LivePages::LivePages(RelayApi &api, RelayLine &line, QObject *parent)
    : QObject(parent), m_api(api), m_line(line)
{
    connect(&m_line, &RelayLine::relaysChanged, this, &LivePages::changed);
    connect(&m_line, &RelayLine::upChanged, this, [this] { sendAll(statusMessage()); });
    // Whatever ended the hold (its time, a command, the stop), the page no longer owns it.
    connect(&m_line, &RelayLine::holdEnded, this, [this](quint8 card, int relay) {
        m_holds.erase({card, relay});
    });
}

LivePages::~LivePages()
{
    closeAll();
}

void LivePages::add(std::unique_ptr<QWebSocket> socket)
{
    if (m_pages.size() >= std::size_t(mostPages)) {
        QWebSocket *refused = socket.release();
        refused->close(QWebSocketProtocol::CloseCodeGoingAway, tr("too many pages open"));
        refused->deleteLater();
        return;
    }
    QWebSocket *page = socket.get();
    page->setParent(nullptr);
    m_pages.emplace(page, std::move(socket));
    page->setMaxAllowedIncomingMessageSize(longestMessage);
    page->setMaxAllowedIncomingFrameSize(longestMessage);
    connect(page, &QWebSocket::textMessageReceived, this,
        [this, page](const QString &message) { received(page, message); });
    connect(page, &QWebSocket::disconnected, this, [this, page] { pageGone(page); });
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

void LivePages::closeAll()
{
    while (!m_holds.empty())
        letGo(m_holds.begin()->first);
    auto pages = std::move(m_pages);
    for (auto &[page, socket] : pages) {
        disconnect(page, nullptr, this, nullptr);
        socket->close(QWebSocketProtocol::CloseCodeGoingAway);
    }
}

void LivePages::received(QWebSocket *page, const QString &message)
{
    const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
    const QString type = object.value(u"type").toString();
    if (type == QLatin1String("hold"))
        startHold(page, object);
    else if (type == QLatin1String("renew"))
        renewHold(object);
    else if (type == QLatin1String("release"))
        release(object);
    else if (type == QLatin1String("command"))
        command(page, object);
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
    connect(expiry.get(), &QTimer::timeout, this, [this, relay] { letGo(relay); });
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
    found->second.release()->deleteLater();
    m_pages.erase(found);
}

void LivePages::send(QWebSocket *page, const QJsonObject &message)
{
    page->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void LivePages::sendAll(const QJsonObject &message)
{
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    for (const auto &[page, socket] : m_pages)
        page->sendTextMessage(text);
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

QJsonObject LivePages::statusMessage() const
{
    return {{QStringLiteral("type"), QStringLiteral("status")},
        {QStringLiteral("port"), m_line.isUp() ? QStringLiteral("up") : QStringLiteral("lost")},
        {QStringLiteral("broker"), m_broker}};
}
