#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

// The topics the bridge publishes and reads back, named in one place: its availability, the
// relay states under the base topic, and Home Assistant's birth message.
class BridgeTopics
{
public:
    struct Relay
    {
        quint8 card = 0;
        int relay = 0; // 1 to 8
    };

    BridgeTopics(const QString &name, const QString &discoveryPrefix, const QList<quint8> &cards);

    const QString &status() const { return m_status; }
    const QString &birth() const { return m_birth; }
    QString state(quint8 card, int relay) const;
    // Every relay state of the card.
    QString stateFilter(quint8 card) const;
    // The card and relay of one of the state topics; none for any other topic. Every message
    // the bridge receives is asked, so this is a lookup, not a parse.
    std::optional<Relay> readState(const QString &topic) const;

private:
    QString m_name;
    QString m_status;
    QString m_birth;
    QHash<QString, Relay> m_states;
};
