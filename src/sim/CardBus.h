#pragma once

#include "card/PacketDecoder.h"
#include "card/VirtualCard.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

// Cards sharing one line, as on a real bus: every good packet off the line reaches every card,
// and only the card it is addressed to acts on it.
class CardBus : public QObject
{
    Q_OBJECT

public:
    explicit CardBus(
        VirtualCard::Clock clock = VirtualCard::steadyClock(), QObject *parent = nullptr);
    ~CardBus() override;

    VirtualCard &addCard(quint8 address);
    VirtualCard &card(int index) { return *m_cards.at(static_cast<std::size_t>(index)); }
    int cardCount() const { return static_cast<int>(m_cards.size()); }
    const PacketDecoder &decoder() const { return m_decoder; }
    // Milliseconds since the bus was made, for logs.
    qint64 elapsed() const;

public slots:
    void feed(QByteArrayView bytes);
    // Lets go of held relays whose packets stopped; also driven by the bus's own timer.
    void update();

signals:
    // `addressed` is the address the packet carried, the card's address before an "A".
    void commandCarriedOut(int card, quint8 addressed, VirtualCard::Command command);
    // A card's relays changed without a command: a held relay let go.
    void relaysReleased(int card);
    void packetsCounted();

private:
    VirtualCard::Clock m_clock;
    std::chrono::milliseconds m_start;
    PacketDecoder m_decoder;
    std::vector<std::unique_ptr<VirtualCard>> m_cards;
    QTimer m_releaseTimer;
};
