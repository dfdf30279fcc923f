#pragma once

#include "relay-mqtt/line/BridgeCommand.h"
#include "relay-mqtt/line/CardMirror.h"
#include "relay-mqtt/line/HoldEnd.h"
#include "relay-mqtt/live/LiveClient.h"
#include "relay-mqtt/live/RelayApi.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <map>
#include <memory>
#include <utility>

class RelayLine;

// The clients that stay connected: the open pages, each on a WebSocket, and programs on the
// line's local socket. They get every relay's change as its burst is written and the port's
// and the broker's state, send their commands as the API takes them (without a request of
// their own each), and hold relays while a finger is down or a program runs. A client renews
// its hold every 100 ms or so; a hold not renewed for `holdRenewal` ends, so a client that goes
// away without a word never leaves a relay held. A client is told at once when its hold ends
// for any other reason ("timeUp" when its own length ran out, "portLost"); a hold has one
// holder, who alone renews or releases it, and may ask for a length of its own ("hold_ms"),
// which the line times as any hold's. A command, hold or release that carries an "id" is answered
// with that id once the line has carried its burst ("carried"), or with why it never will
// ("refused"). Clients are pinged; one that answers nothing for `silenceAllowed`, or leaves more
// than `mostUnsent` bytes unread, is closed, and so is every page of a session that ends.
class LiveClients : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds holdRenewal{300};
    static constexpr std::chrono::seconds pingInterval{10};
    static constexpr std::chrono::seconds silenceAllowed{30};
    // Clients beyond these on one side (the pages, the local socket's) are turned away; each
    // costs a socket and its buffers.
    static constexpr qsizetype mostClients = 200;
    static constexpr qint64 mostUnsent = qint64{1024} * 1024;

    LiveClients(RelayApi &api, RelayLine &line, QObject *parent = nullptr);
    ~LiveClients() override;

    // A client allowed in, under the session of this key (none for a token, no login or a
    // local client): it gets the cards at once.
    void add(std::unique_ptr<LiveClient> client, const QByteArray &session);
    void setBroker(const QString &broker);
    // Closes the pages of the session, with the reason for the page to show.
    void endSession(const QByteArray &session, const QString &reason);
    // Lets go of every client's hold and closes every client.
    void closeAll();
    // The clients connected by `frontEnd` now: the pages, or the local socket's programs.
    qsizetype openCount(FrontEnd frontEnd) const;

private:
    using Clock = std::chrono::steady_clock;
    using Relay = std::pair<quint8, int>;
    struct Client
    {
        QByteArray session;
        Clock::time_point heard;
    };
    struct ClientHold
    {
        LiveClient *client = nullptr;
        std::unique_ptr<QTimer> expiry;
        QJsonValue startId; // answered once its first burst is written
    };
    struct Ticket
    {
        LiveClient *client = nullptr;
        QJsonValue id;
    };

    void received(LiveClient *client, const QString &message);
    // {"type":"command","path":"A/relays/R","body":{...}}: as a POST to /api/cards/A/relays/R.
    void command(LiveClient *client, const QJsonObject &message);
    void startHold(LiveClient *client, const QJsonObject &message);
    void renewHold(LiveClient *client, const QJsonObject &message);
    void release(LiveClient *client, const QJsonObject &message);
    void letGo(Relay relay);
    // The hold ended without the client asking: the client hears why (`reason`, else the words
    // for `why`), and lets go.
    void holdEnded(Relay relay, HoldEnd why, const QString &reason = {});
    void carried(const BridgeCommand &command);
    void dropped(const BridgeCommand &command, HoldEnd why);
    // Answers `id` once the line has carried what was written so far.
    void answerCarried(LiveClient *client, const QJsonValue &id);
    void clientGone(LiveClient *client);
    void close(LiveClient *client, LiveClient::Closing closing, const QString &reason);
    void send(LiveClient *client, const QJsonObject &message);
    void sendText(LiveClient *client, const QString &text);
    void sendRefusal(
        LiveClient *client, const RelayApi::Answer &refusal, const QJsonValue &id = {});
    void sendAll(const QJsonObject &message);
    void changed(const QList<CardMirror::Change> &changes);
    // Pings every client, and closes those that have been silent too long.
    void pulse();
    QJsonObject statusMessage() const;
    static QString holdEndText(HoldEnd why);
    // The refusal of a hold, renewal or release of a relay another client holds.
    static RelayApi::Answer heldByAnother();

    RelayApi &m_api;
    RelayLine &m_line;
    QString m_broker;
    std::map<LiveClient *, Client> m_clients;
    std::map<Relay, ClientHold> m_holds;
    std::map<quint64, Ticket> m_tickets;
    quint64 m_lastTicket = 0;
    QTimer m_pulse;
};
