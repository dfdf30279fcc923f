#include "sim/CardBus.h"

#include <utility>

using namespace std::chrono_literals;

CardBus::CardBus(VirtualCard::Clock clock, QObject *parent)
    : QObject(parent), m_clock(std::move(clock)), m_start(m_clock())
{
    // Often enough to let a held relay go close to its 250 ms.
    m_releaseTimer.setInterval(10ms);
    connect(&m_releaseTimer, &QTimer::timeout, this, &CardBus::update);
    m_releaseTimer.start();
}

CardBus::~CardBus() = default;

VirtualCard &CardBus::addCard(quint8 address)
{
    m_cards.push_back(std::make_unique<VirtualCard>(address, m_clock));
    return *m_cards.back();
}

qint64 CardBus::elapsed() const
{
    return (m_clock() - m_start).count();
}

void CardBus::feed(QByteArrayView bytes)
{
    const QList<QByteArray> packets = m_decoder.feed(bytes);
    for (const QByteArray &packet : packets) {
        const auto addressed = static_cast<quint8>(packet.at(1));
        for (int i = 0; i < cardCount(); ++i) {
            if (const auto command = card(i).receive(packet))
                emit commandCarriedOut(i, addressed, *command);
        }
    }
    emit packetsCounted();
}

void CardBus::update()
{
    for (int i = 0; i < cardCount(); ++i) {
        if (card(i).update())
            emit relaysReleased(i);
    }
}
