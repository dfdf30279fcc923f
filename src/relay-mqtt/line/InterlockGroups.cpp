#include "relay-mqtt/line/InterlockGroups.h"

InterlockGroups::InterlockGroups(const std::map<quint8, QList<QList<int>>> &groups)
{
    for (const auto &[card, sets] : groups) {
        if (!sets.isEmpty())
            m_groups.insert(card, sets);
    }
}

QList<int> InterlockGroups::partners(quint8 card, int relay) const
{
    for (const QList<int> &group : m_groups.value(card)) {
        if (group.contains(relay)) {
            QList<int> others = group;
            others.removeAll(relay);
            return others;
        }
    }
    return {};
}
