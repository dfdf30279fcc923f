#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPair>
#include <QSslConfiguration>
#include <QString>

#include <memory>

// Requests to relay-mqtt's API as a script sends them, each waited for: no Origin unless given.
class WebClient
{
public:
    struct Answer
    {
        int status = 0; // 0: no answer
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;

        QByteArray header(const QByteArray &name) const;
    };
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    explicit WebClient(QString base) : m_base(std::move(base)) { }

    // For HTTPS: the server's certificate is checked against these.
    void setSsl(const QSslConfiguration &ssl) { m_ssl = ssl; }

    Answer get(const QString &path, const Headers &headers = {});
    // A JSON body (Content-Type application/json unless `headers` names another).
    Answer post(const QString &path, const QByteArray &body, const Headers &headers = {});
    // Sends without waiting; the reply is the caller's.
    QNetworkReply *send(const QString &path, const QByteArray &body, const Headers &headers = {});
    static Answer answerOf(QNetworkReply &reply);

private:
    QNetworkRequest request(const QString &path, const Headers &headers) const;
    Answer wait(QNetworkReply *reply);

    QString m_base;
    QSslConfiguration m_ssl = QSslConfiguration::defaultConfiguration();
    QNetworkAccessManager m_network;
};
