#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

struct BridgeOptions;

// The topics and ids the bridge publishes, reads back and subscribes to, named in one place: its
// availability, the relays' commands and states under the base topic, Home Assistant's status,
// and the record of what the bridge announced.
class BridgeTopics
{
public:
    struct Relay
    {
        quint8 card = 0;
        int relay = 0; // 1 to 8
    };

    explicit BridgeTopics(const BridgeOptions &options);

    // `text` in letters, digits, - and _ alone, one to one: two texts never give one id. The
    // characters but letters, digits and - become _ and their UTF-8 bytes in hex ("a/b" is
    // "a_2fb", "a_b" is "a_5fb"), as Home Assistant's ids and topics take no others.
    static QString idOf(const QString &text);

    const QString &status() const { return m_status; }
    // Where Home Assistant says it has started.
    const QString &haStatus() const { return m_haStatus; }
    // What this bridge last announced (configs and states), retained. It is named after the
    // machine and the line rather than the base topic, so a renamed bridge finds it too.
    const QString &record() const { return m_record; }
    // A message the bridge sends itself while reading back what it left retained: the broker
    // delivers the retained messages of a subscription before anything published after it.
    const QString &marker() const { return m_marker; }

    QString card(quint8 card) const; // NAME/A
    QString relay(quint8 card, int relay) const; // NAME/A/relay/R
    QString state(quint8 card, int relay) const;
    // Every relay state of the card.
    QString stateFilter(quint8 card) const;
    // The card and relay of one of the state topics; none for any other topic. Every message
    // the bridge receives is asked, so this is a lookup, not a parse.
    std::optional<Relay> readState(const QString &topic) const;

private:
    QString m_name;
    QString m_status;
    QString m_haStatus;
    QString m_record;
    QString m_marker;
    QHash<QString, Relay> m_states;
};
