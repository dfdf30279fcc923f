#pragma once

#include "card/PacketDecoder.h"
#include "card/VirtualCard.h"

#include <QByteArrayView>
#include <QList>
#include <QtGlobal>

#include <map>
#include <optional>

// The relays of the port's cards as the bridge assumes them from what it sent, the cards never
// answering: a virtual card per card is fed the bursts that went to the line.
class CardMirror
{
public:
    struct Change
    {
        quint8 card = 0;
        int relay = 0; // 1 to 8
        bool on = false;

        bool operator==(const Change &) const = default;
    };

    // All relays off until told otherwise.
    explicit CardMirror(const QList<quint8> &cards);

    // The states the card was last known in, before any burst is applied; the relays that
    // changed.
    QList<Change> setRelays(quint8 card, const VirtualCard::Relays &relays);
    std::optional<VirtualCard::Relays> relays(quint8 card) const;
    bool isOn(quint8 card, int relay) const;

    // A burst that went to the line; the relays it switched.
    QList<Change> apply(QByteArrayView burst);
    // The bridge stopped holding the relay: the card lets it go.
    QList<Change> holdEnded(quint8 card, int relay);

private:
    static QList<Change> changes(
        quint8 card, const VirtualCard::Relays &before, const VirtualCard::Relays &after);

    std::map<quint8, VirtualCard> m_cards;
    PacketDecoder m_decoder;
};
