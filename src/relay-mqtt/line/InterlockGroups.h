#pragma once

#include <QHash>
#include <QList>
#include <QtGlobal>

#include <map>

// The relays of each card that must never be on together, motor forward and reverse say: a
// relay is in one group at most.
class InterlockGroups
{
public:
    InterlockGroups() = default;
    explicit InterlockGroups(const std::map<quint8, QList<QList<int>>> &groups);

    bool hasGroups(quint8 card) const { return m_groups.contains(card); }
    // The other relays of the relay's group; none when it is in no group.
    QList<int> partners(quint8 card, int relay) const;

private:
    QHash<quint8, QList<QList<int>>> m_groups;
};
