#include "relay-mqtt/line/PortKeeper.h"

#include "serial/SerialLink.h"

#include <utility>

PortKeeper::PortKeeper(SerialLink &link, int port, QString lineName, QObject *parent)
    : QObject(parent), m_link(link), m_port(port), m_lineName(std::move(lineName)), m_retry(this)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(retryInterval);
    connect(&m_retry, &QTimer::timeout, this, &PortKeeper::tryOpen);
    connect(
        &m_link, &SerialLink::portLost, this, [this](int, const QString &reason) { lose(reason); });
}

void PortKeeper::start()
{
    m_toldUnavailable = false;
    tryOpen();
}

void PortKeeper::lose(const QString &reason)
{
    // The link has closed it after portLost, but not after a write the feeder saw fail.
    if (m_link.isOpen())
        m_link.close();
    if (!m_up)
        return;
    m_up = false;
    m_toldUnavailable = true;
    emit lost(reason);
    if (!m_stopped)
        m_retry.start();
}

void PortKeeper::stop()
{
    m_stopped = true;
    m_retry.stop();
}

void PortKeeper::tryOpen()
{
    if (m_link.open(m_port)) {
        m_up = true;
        m_toldUnavailable = false;
        emit opened();
        return;
    }
    if (!m_toldUnavailable) {
        m_toldUnavailable = true;
        emit unavailable(m_link.errorString());
    }
    m_retry.start();
}
