#pragma once

#include <QList>
#include <QtGlobal>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

// The relays being held: whose burst goes next, in turn, and when each hold is over. A hold's
// time starts when its first burst is written, not when it was asked for, so a hold that waits
// for its turn still gets the whole of its time on the line.
class HoldSchedule
{
public:
    using Time = std::chrono::nanoseconds; // on the line's clock

    struct Hold
    {
        quint8 card = 0;
        int relay = 0;
        std::chrono::milliseconds length{};
        std::optional<Time> start; // when its first burst was written
        std::optional<Time> carried; // when the line has carried its latest burst

        bool operator==(const Hold &) const = default;
    };

    // Holds the relay for `length`, in place of a hold it already had.
    void hold(quint8 card, int relay, std::chrono::milliseconds length);
    // Ends the relay's hold; the hold, if it had one.
    std::optional<Hold> end(quint8 card, int relay);
    bool holds(quint8 card, int relay) const;
    // The line carries the relay's latest burst at `carried`.
    void written(quint8 card, int relay, Time carried);
    // Ends every hold on the card; the relays that were held.
    QList<int> endCard(quint8 card);
    // Ends every hold; the holds that were running.
    QList<Hold> clear();

    // Whether a hold of `length`, its first burst written `heldFor` ago, has had its time.
    using IsOver = std::function<bool(Time heldFor, std::chrono::milliseconds length)>;
    // Ends the started holds that are over at `now`; returns them.
    QList<Hold> expire(Time now, const IsOver &isOver);

    // The hold whose turn it is, started at `now` if this is its first burst; none when there
    // is no hold. `first` tells whether this is the hold's first burst.
    std::optional<Hold> next(Time now, bool *first = nullptr);
    // Whether every hold has had its turn this round: a hold asked for meanwhile has its turn
    // before the round ends, so no hold ever waits more than a round and a turn.
    bool roundOver() const { return m_next >= m_holds.size(); }
    // The next round starts with the first hold.
    void startRound() { m_next = 0; }

    bool isEmpty() const { return m_holds.empty(); }
    qsizetype size() const { return qsizetype(m_holds.size()); }

private:
    std::vector<Hold>::iterator find(quint8 card, int relay);
    void erase(std::vector<Hold>::iterator at);

    std::vector<Hold> m_holds;
    std::size_t m_next = 0; // the next turn's index
};
