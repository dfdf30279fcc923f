#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <chrono>
#include <functional>
#include <optional>

// A relay card as the panel's packets drive it: an address and eight relays. It acts on good
// packets for its own address; a run of identical packets is one command for every four,
// counted from the start of the run, so a lost or corrupted copy never makes two of one.
class VirtualCard
{
public:
    static constexpr int relayCount = 8;
    static constexpr auto holdTime = std::chrono::milliseconds(250);
    static constexpr auto addressShowTime = std::chrono::seconds(2);
    static constexpr int copiesPerCommand = 4;

    using Relays = std::array<bool, relayCount>;
    // Monotonic time since any fixed moment; tests hand in a clock they move themselves.
    using Clock = std::function<std::chrono::milliseconds()>;

    struct Command
    {
        char instruction;
        quint8 parameter;
        bool understood;
    };

    explicit VirtualCard(quint8 address = 1, Clock clock = steadyClock());

    static Clock steadyClock();

    // A good packet off the line. Returns the command it carried out, if it made one.
    std::optional<Command> receive(QByteArrayView packet);
    // Lets go of held relays whose packets stopped coming; whether any relay changed.
    bool update();
    // Puts the relays in these states with none held, as a card found switched that way (a
    // mirror of a card starting from what was last known of it).
    void setRelays(const Relays &relays);

    quint8 address() const { return m_address; }
    Relays relays() const { return m_relays; }
    bool isShowingAddress() const;

    qint64 commandCount() const { return m_commands; }
    // Good packets for another card.
    qint64 ignoredCount() const { return m_ignored; }
    // Commands this card does not understand.
    qint64 unknownCount() const { return m_unknown; }

private:
    bool carryOut(char instruction, quint8 parameter);
    void switchRelays(quint8 parameter, bool on);

    Clock m_clock;
    quint8 m_address;
    Relays m_relays{};
    std::array<std::optional<std::chrono::milliseconds>, relayCount> m_heldUntil{};
    std::chrono::milliseconds m_showAddressUntil{};
    QByteArray m_lastPacket;
    qint64 m_run = 0;
    qint64 m_commands = 0;
    qint64 m_ignored = 0;
    qint64 m_unknown = 0;
};
