#pragma once

#include "relay-mqtt/line/CardMirror.h"
#include "relay-mqtt/web/RelayApi.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QWebSocket>

#include <chrono>
#include <map>
#include <memory>
#include <utility>

class RelayLine;

// The open pages, each on a WebSocket: they get every relay's change as its burst is written
// and the port's and the broker's state, send their commands as the API takes them (without a
// request of their own each), and hold relays while a finger is down. A page renews its hold
// every 100 ms or so; a hold not renewed for `holdRenewal` ends, so a page that goes away
// without a word never leaves a relay held.
class LivePages : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds holdRenewal{300};
    // Pages beyond these are turned away; each costs a socket and its buffers.
    static constexpr qsizetype mostPages = 200;
    // A page's messages are small: anything longer is not one of them.
    static constexpr qsizetype longestMessage = 256;

    LivePages(RelayApi &api, RelayLine &line, QObject *parent = nullptr);
    ~LivePages() override;

    // A page allowed in: it gets the cards at once.
    void add(std::unique_ptr<QWebSocket> socket);
    void setBroker(const QString &broker);
    // Lets go of every web hold and closes every page.
    void closeAll();

private:
    using Relay = std::pair<quint8, int>;
    struct WebHold
    {
        QWebSocket *page = nullptr;
        std::unique_ptr<QTimer> expiry;
    };

    void received(QWebSocket *page, const QString &message);
    // {"type":"command","path":"A/relays/R","body":{...}}: as a POST to /api/cards/A/relays/R.
    void command(QWebSocket *page, const QJsonObject &message);
    void startHold(QWebSocket *page, const QJsonObject &message);
    void renewHold(const QJsonObject &message);
    void release(const QJsonObject &message);
    void letGo(Relay relay);
    void pageGone(QWebSocket *page);
    void send(QWebSocket *page, const QJsonObject &message);
    void sendRefusal(QWebSocket *page, const RelayApi::Answer &refusal);
    void sendAll(const QJsonObject &message);
    void changed(const QList<CardMirror::Change> &changes);
    QJsonObject statusMessage() const;

    RelayApi &m_api;
    RelayLine &m_line;
    QString m_broker;
    std::map<QWebSocket *, std::unique_ptr<QWebSocket>> m_pages;
    std::map<Relay, WebHold> m_holds;
};
