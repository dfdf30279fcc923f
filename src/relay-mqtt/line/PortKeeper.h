#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

class SerialLink;

// Keeps the bridge's one serial port open: opens it at start and, whenever it is missing or
// lost, tries again every few seconds until it is back.
class PortKeeper : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::seconds retryInterval{3};

    // `port` as SerialLink numbers them; `lineName` names it in the log.
    PortKeeper(SerialLink &link, int port, QString lineName, QObject *parent = nullptr);

    QString lineName() const { return m_lineName; }
    bool isUp() const { return m_up; }
    // Tries now, and again until the port opens.
    void start();
    // The port failed: it is closed, and tried again later.
    void lose(const QString &reason);
    // No more tries; the port is left as it is.
    void stop();

signals:
    void opened();
    void lost(const QString &reason);
    // The first failed try of a run of them; the next ones are not told.
    void unavailable(const QString &reason);

private:
    void tryOpen();

    SerialLink &m_link;
    int m_port;
    QString m_lineName;
    QTimer m_retry;
    bool m_up = false;
    bool m_stopped = false;
    bool m_toldUnavailable = false;
};
