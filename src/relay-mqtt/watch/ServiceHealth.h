#pragma once

#include <QCoreApplication>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// Whether relay-mqtt's line is usable, for a health check, and how it is doing in one line, for
// systemd's status. Usable: the port is open, and the broker, if there is one, has not been
// away for longer than a reconnection takes.
class ServiceHealth
{
    Q_DECLARE_TR_FUNCTIONS(ServiceHealth)

public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::minutes brokerPatience{1};

    struct Answer
    {
        bool usable = false;
        QJsonObject body;
    };

    // `withBroker`: whether relay-mqtt has a broker at all; it counts as away from the start
    // until it connects.
    ServiceHealth(int cards, bool withBroker, Clock clock = {});

    void setPortUp(bool up);
    void setBrokerConnected(bool connected);

    // The port on `device`; the reason in the body when the line is not usable.
    Answer check(const QString &device) const;
    // "online: 2 cards, broker connected, 1 page open", "port lost: /dev/ttyUSB0", ...
    QString statusLine(const QString &device, qsizetype pagesOpen) const;

private:
    QString brokerText() const;
    std::optional<std::chrono::seconds> brokerAwayFor() const;

    Clock m_clock;
    int m_cards;
    bool m_withBroker;
    bool m_portUp = false;
    bool m_portWasUp = false;
    bool m_brokerConnected = false;
    std::chrono::steady_clock::time_point m_brokerAwaySince;
};
