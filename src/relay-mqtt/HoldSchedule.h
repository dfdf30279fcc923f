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

        bool operator==(const Hold &) const = default;
    };

    // Holds the relay for `length`, in place of a hold it already had.
    void hold(quint8 card, int relay, std::chrono::milliseconds length);
    // Ends the relay's hold; whether it had one.
    bool end(quint8 card, int relay);
    // Ends every hold on the card; the relays that were held.
    QList<int> endCard(quint8 card);
    // Ends every hold; the holds that were running.
    QList<Hold> clear();

    // Whether a hold of `length`, its first burst written `heldFor` ago, has had its time.
    using IsOver = std::function<bool(Time heldFor, std::chrono::milliseconds length)>;
    // Ends the started holds that are over at `now`; returns them.
    QList<Hold> expire(Time now, const IsOver &isOver);

    // The hold whose turn it is, started at `now` if this is its first burst; none when there
    // is no hold. `lastOfRound` tells whether every hold has now had its turn.
    std::optional<Hold> next(Time now, bool *lastOfRound = nullptr);

    bool isEmpty() const { return m_holds.empty(); }
    qsizetype size() const { return qsizetype(m_holds.size()); }

private:
    void erase(std::vector<Hold>::iterator at);

    std::vector<Hold> m_holds;
    std::size_t m_next = 0; // the next turn's index
};
