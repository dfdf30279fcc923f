#pragma once

#include "relay-mqtt/live/LiveClient.h"

#include <QWebSocket>

#include <memory>

// A page's WebSocket as a live client.
class WebSocketClient : public LiveClient
{
    Q_OBJECT

public:
    // A page's messages are small: anything longer is not one of them.
    static constexpr qsizetype longestMessage = 256;

    explicit WebSocketClient(std::unique_ptr<QWebSocket> socket, QObject *parent = nullptr);
    ~WebSocketClient() override;

    QString from() const override;
    FrontEnd frontEnd() const override { return FrontEnd::Web; }
    void send(const QString &message) override;
    qint64 unsent() const override;
    void ping() override;
    void close(Closing closing, const QString &reason) override;
    void abort() override;

private:
    std::unique_ptr<QWebSocket> m_socket;
};
