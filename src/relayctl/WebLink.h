#pragma once

#include "relayctl/ServiceLink.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <chrono>

// The live socket of a relay-mqtt's web page, on this machine or another: the page's own
// messages, over HTTPS verified against the system's certificates (or those given), with the
// API's token.
class WebLink : public ServiceLink
{
    Q_OBJECT

public:
    // How long relay-mqtt has to let relayctl in before it counts as not there.
    static constexpr std::chrono::seconds patience{10};

    // `page` is relay-mqtt's page ("https://relays.example.org:8443"); `certificates`, if any,
    // are the ones its certificate must come from.
    WebLink(QUrl page, QByteArray token, QList<QSslCertificate> certificates,
        QObject *parent = nullptr);

    void open() override;
    void send(const QJsonObject &message) override;
    QString description() const override;

private:
    void closed();

    QUrl m_page;
    QByteArray m_token;
    QList<QSslCertificate> m_certificates;
    QWebSocket m_socket;
    QTimer m_patience;
    bool m_in = false;
};
