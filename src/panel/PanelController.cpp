#include "panel/PanelController.h"

#include "panel/TextNumber.h"
#include "protocol/RelayCommand.h"
#include "protocol/RelayPacket.h"
#include "serial/HoldPace.h"
#include "serial/PortOwner.h"
#include "serial/SerialLink.h"

namespace {

constexpr int relayCount = 8;
constexpr int highestAddress = 255;
constexpr int probedPorts[] = {1, 2};

bool isRelay(int relay)
{
    return relay >= 1 && relay <= relayCount;
}

std::optional<quint8> asAddress(std::optional<qint16> number)
{
    if (!number || *number < 0 || *number > highestAddress)
        return std::nullopt;
    return static_cast<quint8>(*number);
}

} // namespace

PanelController::PanelController(PanelView &view, SerialLink &link) : m_view(view), m_link(link)
{
    m_portLostConnection = QObject::connect(&link, &SerialLink::portLost, &link,
        [this](int port, const QString &reason) { portLost(port, reason); });
}

PanelController::~PanelController()
{
    QObject::disconnect(m_portLostConnection);
}

void PanelController::start()
{
    m_cardAddress = 1;
    QStringList addresses;
    addresses.reserve(highestAddress);
    for (int address = 1; address <= highestAddress; ++address) {
        // The blank stands where a negative number would have its sign.
        addresses.append(u' ' + QString::number(address));
    }
    m_view.appendItems(Box::Combo2, addresses);
    m_view.appendItems(Box::Combo3, addresses);
    m_view.setText(Box::Combo2, QStringLiteral("1"));

    // One look at the system's ports for the probes and the first open.
    m_link.beginPortScan();
    QStringList found;
    QString owned;
    for (int port : probedPorts) {
        if (m_link.probe(port))
            found.append(QString::number(port));
        else if (const std::optional<PortOwner> owner = PortOwner::find(m_link.devicePath(port)))
            owned += tr("; port %1: %2").arg(port).arg(owner->description());
    }
    m_view.appendItems(Box::Combo1, found);
    if (found.isEmpty())
        report(
            Box::Combo1, tr("No serial port found: type the number of a port to try it") + owned);
    else
        m_view.setText(Box::Combo1, m_view.firstItem(Box::Combo1));
    m_link.endPortScan();
}

void PanelController::selectPort(const QString &text)
{
    const std::optional<qint16> port = textInteger(text);
    if (!port) {
        m_link.close();
        report(Box::Combo1, tr("This is not a port number: 1 is the first serial port"));
        return;
    }
    if (m_link.open(*port)) {
        report(Box::Combo1, {});
        return;
    }
    QString problem = tr("Port %1 could not be opened: %2").arg(*port).arg(m_link.errorString());
    // The panel still drives the line itself; the operator learns whom to ask for it.
    if (const std::optional<PortOwner> owner = PortOwner::find(m_link.devicePath(*port)))
        problem += QStringLiteral("; ") + owner->description();
    report(Box::Combo1, problem);
}

void PanelController::selectAddress(const QString &text)
{
    m_cardAddress = textInteger(text);
    if (asAddress(m_cardAddress))
        report(Box::Combo2, {});
    else if (m_cardAddress)
        report(
            Box::Combo2, tr("Address %1 is outside 0 to 255: nothing is sent").arg(*m_cardAddress));
    else
        report(Box::Combo2, tr("This address is outside 0 to 255: nothing is sent"));
}

void PanelController::shutdown()
{
    m_link.close();
}

void PanelController::portLost(int port, const QString &reason)
{
    report(Box::Combo1, tr("Port %1 was lost: %2").arg(port).arg(reason));
}

void PanelController::relayOn(int relay)
{
    if (isRelay(relay))
        send(RelayCommand::relayOn, relay);
}

void PanelController::relayOff(int relay)
{
    if (isRelay(relay))
        send(RelayCommand::relayOff, relay);
}

void PanelController::allOn()
{
    send(RelayCommand::allOn);
}

void PanelController::allOff()
{
    send(RelayCommand::allOff);
}

void PanelController::emergencyStop()
{
    send(RelayCommand::emergencyStop);
}

void PanelController::showAddress()
{
    send(RelayCommand::showAddress);
}

void PanelController::toggleRelay(int index)
{
    if (!isRelay(index + 1))
        return;
    m_relayNumber = static_cast<qint16>(index + 1);
    send(RelayCommand::toggleRelay, m_relayNumber);
}

void PanelController::changeAddress(const QString &text)
{
    const std::optional<quint8> newAddress = asAddress(textInteger(text));
    if (!newAddress) {
        m_sendBuffer.clear();
        report(Box::Combo3, tr("The new address must be from 0 to 255: nothing was sent"));
        return;
    }
    report(Box::Combo3, {});
    // The panel follows the card only if the card can have heard the command.
    if (send(RelayCommand::changeAddress, *newAddress))
        m_view.setText(Box::Combo2, text);
}

void PanelController::momentaryPress(int index)
{
    if (!isRelay(index + 1))
        return;
    m_relayNumber = static_cast<qint16>(index + 1);
    m_sendBuffer = burst(RelayCommand::momentary, m_relayNumber);
    m_view.setRepeatTimer(true);
}

void PanelController::momentaryRelease()
{
    m_view.focusEmergencyStop();
    m_view.setRepeatTimer(false);
}

void PanelController::repeatTick()
{
    // The timer runs a little faster than the line; the pace decides which ticks write.
    if (m_sendBuffer.isEmpty() || !HoldPace::mayRepeat(m_link, RelayPacket::burstSize))
        return;
    write(m_sendBuffer);
}

QByteArray PanelController::burst(const RelayCommand &command, quint8 value) const
{
    const std::optional<quint8> address = asAddress(m_cardAddress);
    return address ? command.burst(*address, value) : QByteArray();
}

bool PanelController::send(const RelayCommand &command, quint8 value)
{
    m_sendBuffer = burst(command, value);
    return !m_sendBuffer.isEmpty() && write(m_sendBuffer);
}

bool PanelController::write(const QByteArray &burst)
{
    if (m_link.write(burst)) {
        report(Box::Combo1, {});
        return true;
    }
    // With no port open, the port box already says why (none found, one that did not open or
    // was lost); that stays in view.
    if (m_link.isOpen() || m_problems.at(static_cast<std::size_t>(Box::Combo1)).isEmpty())
        report(Box::Combo1, tr("%1: nothing was sent").arg(m_link.errorString()));
    return false;
}

void PanelController::report(Box box, const QString &problem)
{
    QString &shown = m_problems.at(static_cast<std::size_t>(box));
    if (shown == problem)
        return;
    shown = problem;
    m_view.showProblem(box, problem);
}
