#pragma once

#include "relay-mqtt/live/LiveClient.h"

#include <QLocalSocket>

#include <memory>

// A program on the line's local socket as a live client: its messages are lines of JSON, one
// object a line, both ways.
class LocalClient : public LiveClient
{
    Q_OBJECT

public:
    // A client's messages are small: a line longer than this is not one of them.
    static constexpr qint64 longestMessage = 256;

    explicit LocalClient(std::unique_ptr<QLocalSocket> socket, QObject *parent = nullptr);
    ~LocalClient() override;

    QString from() const override;
    FrontEnd frontEnd() const override { return FrontEnd::Local; }
    void send(const QString &message) override;
    qint64 unsent() const override;
    // {"type":"ping"}: any message the client sends back answers it.
    void ping() override;
    void close(Closing closing, const QString &reason) override;
    void abort() override;

private:
    void readLines();

    std::unique_ptr<QLocalSocket> m_socket;
};
