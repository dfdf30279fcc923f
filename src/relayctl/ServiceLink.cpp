#include "relayctl/ServiceLink.h"

#include <QJsonDocument>

void ServiceLink::take(const QString &text)
{
    const QJsonObject object = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString type = object.value(u"type").toString();
    // relay-mqtt asks whether relayctl still lives while it waits.
    if (type == QLatin1String("ping")) {
        send({{QStringLiteral("type"), QStringLiteral("pong")}});
        return;
    }
    if (type == QLatin1String("closing")) {
        m_closing = object.value(u"reason").toString();
        return;
    }
    if (!m_ready && type == QLatin1String("cards")) {
        m_ready = true;
        emit ready();
        return;
    }
    emit message(object);
}

void ServiceLink::end(int status, const QString &reason)
{
    if (m_ended)
        return;
    m_ended = true;
    emit failed(
        m_ready && status == Unreachable ? Lost : status, m_closing.isEmpty() ? reason : m_closing);
}
