#pragma once

#include "relay-mqtt/line/BridgeCommand.h"
#include "relay-mqtt/line/CardMirror.h"
#include "relay-mqtt/line/Refusal.h"
#include "relay-mqtt/watch/CommandCounts.h"
#include "relay-mqtt/watch/FrontEnd.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

struct BridgeOptions;
class RelayLine;

// The API's JSON: the cards with their names and states, and the commands the requests carry,
// put to the line. Each answer has the HTTP status that says what became of the request.
class RelayApi
{
    Q_DECLARE_TR_FUNCTIONS(RelayApi)

public:
    enum class Status {
        Ok = 200,
        Accepted = 202,
        BadRequest = 400,
        Unauthorized = 401,
        Forbidden = 403,
        NotFound = 404,
        MethodNotAllowed = 405,
        Conflict = 409,
        TooLarge = 413,
        TooManyRequests = 429,
        Unavailable = 503,
    };
    struct Answer
    {
        Status status = Status::Accepted;
        QJsonObject body;
    };

    // What becomes of the commands is counted in `counts`.
    RelayApi(const BridgeOptions &options, RelayLine &line, CommandCounts &counts);

    // Every card, its relays with their names and states, the port's and the broker's state,
    // and whether the page has a login (and so a way to log out).
    QJsonObject cards(const QString &broker) const;
    static QJsonObject change(const CardMirror::Change &change);
    static Answer error(Status status, const QString &message);
    // The answer to a command the line refused.
    static Answer refused(const Refusal &refusal);

    // The command a POST to `path` (below /api/cards/) with `body` asks for, or the answer
    // refusing it.
    struct Reading
    {
        std::optional<BridgeCommand> command;
        Answer refusal;
    };
    Reading read(const QStringList &path, const QByteArray &body) const;
    // The same for a page's command, its body already read.
    Reading read(const QStringList &path, const QJsonObject &body) const;
    // Puts what was read to the line: 202, or why not (the line's refusals are logged as
    // `from` the side that brought it, "from the web" unless given), counted for `frontEnd`.
    Answer carryOut(
        const Reading &reading, FrontEnd frontEnd = FrontEnd::Web, const QString &from = {}) const;
    // Where a side counts what it refuses on its own.
    CommandCounts &counts() const { return m_counts; }
    // The card and relay a page's hold names, "card" and "relay" in `message`.
    std::optional<BridgeCommand> readHold(const QJsonObject &message) const;

private:
    // The card, if it is one of those bridged.
    std::optional<quint8> bridged(qint64 card) const;
    // The card (and relay) `path` names, the command's kind still to be read from its body.
    Reading readPath(const QStringList &path) const;
    Reading readBody(BridgeCommand command, const QString &what, const QJsonObject &body) const;

    const BridgeOptions &m_options;
    RelayLine &m_line;
    CommandCounts &m_counts;
};
