#pragma once

#include "relay-mqtt/line/CardMirror.h"
#include "relay-mqtt/line/HoldEnd.h"
#include "relay-mqtt/web/RelayApi.h"

#include <QByteArray>
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
// without a word never leaves a relay held. A page is told at once when its hold ends for any
// other reason. Pages are pinged; one that answers nothing for `silenceAllowed`, or leaves
// more than `mostUnsent` bytes unread, is closed, and so is every page of a session that ends.
class LivePages : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds holdRenewal{300};
    static constexpr std::chrono::seconds pingInterval{10};
    static constexpr std::chrono::seconds silenceAllowed{30};
    // Pages beyond these are turned away; each costs a socket and its buffers.
    static constexpr qsizetype mostPages = 200;
    // A page's messages are small: anything longer is not one of them.
    static constexpr qsizetype longestMessage = 256;
    static constexpr qint64 mostUnsent = qint64{1024} * 1024;
    // The close code that tells the page it may no longer stay (its session ended): it shows
    // the login form with the reason. Qt takes only the protocol's own codes.
    static constexpr auto sessionEndedCode = QWebSocketProtocol::CloseCodePolicyViolated;

    LivePages(RelayApi &api, RelayLine &line, QObject *parent = nullptr);
    ~LivePages() override;

    // A page allowed in, under the session of this key (none for a token or no login): it
    // gets the cards at once.
    void add(std::unique_ptr<QWebSocket> socket, const QByteArray &session);
    void setBroker(const QString &broker);
    // Closes the pages of the session, with the reason for the page to show.
    void endSession(const QByteArray &session, const QString &reason);
    // Lets go of every web hold and closes every page.
    void closeAll();

private:
    using Clock = std::chrono::steady_clock;
    using Relay = std::pair<quint8, int>;
    struct Page
    {
        std::unique_ptr<QWebSocket> socket;
        QByteArray session;
        Clock::time_point heard;
    };
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
    // The hold ended without the page asking: the page hears why, and its button lets go.
    void holdEnded(Relay relay, const QString &why);
    void pageGone(QWebSocket *page);
    void close(QWebSocket *page, QWebSocketProtocol::CloseCode code, const QString &reason);
    void send(QWebSocket *page, const QJsonObject &message);
    void sendText(QWebSocket *page, const QString &text);
    void sendRefusal(QWebSocket *page, const RelayApi::Answer &refusal);
    void sendAll(const QJsonObject &message);
    void changed(const QList<CardMirror::Change> &changes);
    // Pings every page, and closes those that have been silent too long.
    void pulse();
    QJsonObject statusMessage() const;
    static QString holdEndText(HoldEnd why);

    RelayApi &m_api;
    RelayLine &m_line;
    QString m_broker;
    std::map<QWebSocket *, Page> m_pages;
    std::map<Relay, WebHold> m_holds;
    QTimer m_pulse;
};
