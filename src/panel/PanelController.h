#pragma once

#include "panel/PanelView.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QObject>
#include <QString>

#include <array>
#include <optional>

class RelayCommand;
class SerialLink;

// The panel's logic: its state, start-up and shutdown, and what each operator action sends.
class PanelController
{
    Q_DECLARE_TR_FUNCTIONS(PanelController)

public:
    using Box = PanelView::Box;

    PanelController(PanelView &view, SerialLink &link);
    ~PanelController();
    PanelController(const PanelController &) = delete;
    PanelController &operator=(const PanelController &) = delete;

    void start();
    void selectPort(const QString &text);
    void selectAddress(const QString &text);
    void shutdown();
    // The serial link gave up the open port: it went away or the system refused it.
    void portLost(int port, const QString &reason);

    void relayOn(int relay);
    void relayOff(int relay);
    void allOn();
    void allOff();
    void emergencyStop();
    void showAddress();
    void toggleRelay(int index);
    void changeAddress(const QString &text);

    void momentaryPress(int index);
    void momentaryRelease();
    void repeatTick();

    // No value when the address text does not read as a 16-bit number.
    std::optional<qint16> cardAddress() const { return m_cardAddress; }
    QByteArray sendBuffer() const { return m_sendBuffer; }
    qint16 relayNumber() const { return m_relayNumber; }

private:
    // The command's burst for the current address; empty while the address fits no packet.
    QByteArray burst(const RelayCommand &command, quint8 value = 0) const;
    // Makes the command's burst the SendBuffer and writes it; whether it went to the port.
    bool send(const RelayCommand &command, quint8 value = 0);
    bool write(const QByteArray &burst);
    void report(Box box, const QString &problem);

    PanelView &m_view;
    SerialLink &m_link;
    QMetaObject::Connection m_portLostConnection;

    std::optional<qint16> m_cardAddress = 1;
    QByteArray m_sendBuffer;
    qint16 m_relayNumber = 0;

    // What each box shows as its problem, so the view hears only of changes.
    std::array<QString, 3> m_problems;
};
