#include "WebClient.h"

#include <QTest>

namespace {

constexpr int answerTimeoutMs = 10'000;

} // namespace

QByteArray WebClient::Answer::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QNetworkRequest WebClient::request(const QString &path, const Headers &headers) const
{
    QNetworkRequest request(QUrl(m_base + path));
    // Cookies are the test's to send: the manager keeps none of its own.
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    request.setSslConfiguration(m_ssl);
    return request;
}

WebClient::Answer WebClient::get(const QString &path, const Headers &headers)
{
    return wait(m_network.get(request(path, headers)));
}

QNetworkReply *WebClient::send(const QString &path, const QByteArray &body, const Headers &headers)
{
    QNetworkRequest post = request(path, headers);
    if (post.rawHeader("Content-Type").isEmpty())
        post.setRawHeader("Content-Type", "application/json");
    return m_network.post(post, body);
}

WebClient::Answer WebClient::post(
    const QString &path, const QByteArray &body, const Headers &headers)
{
    return wait(send(path, body, headers));
}

WebClient::Answer WebClient::answerOf(QNetworkReply &reply)
{
    Answer answer;
    answer.status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply.readAll();
    answer.headers = reply.rawHeaderPairs();
    return answer;
}

WebClient::Answer WebClient::wait(QNetworkReply *reply)
{
    const std::unique_ptr<QNetworkReply> owned(reply);
    if (!QTest::qWaitFor([reply] { return reply->isFinished(); }, answerTimeoutMs))
        return {};
    return answerOf(*reply);
}
