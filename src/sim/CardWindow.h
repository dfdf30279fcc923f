#pragma once

#include "card/VirtualCard.h"

#include <QWidget>

#include <array>

class CardBus;
class QLabel;
class QPlainTextEdit;
class RelayLamp;

// One virtual card on screen: its relays as lamps, its address (highlighted while the card
// shows it), what it has received, and a log of the commands it carried out.
class CardWindow : public QWidget
{
    Q_OBJECT

public:
    CardWindow(CardBus &bus, int card, QWidget *parent = nullptr);

    // The command in words, as the log has it: "relay 3 on", "new address 7".
    static QString describe(const VirtualCard::Command &command);

private:
    void refresh();
    void log(quint8 addressed, const VirtualCard::Command &command);

    CardBus &m_bus;
    int m_card;
    QLabel *m_address = nullptr;
    std::array<RelayLamp *, VirtualCard::relayCount> m_lamps{};
    // Good and bad packets, packets for other cards, unknown commands.
    std::array<QLabel *, 4> m_counts{};
    QPlainTextEdit *m_log = nullptr;
};
