#include "relay-mqtt/web/WebAccess.h"

#include "relay-mqtt/BridgeLog.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

#include <algorithm>
#include <array>

namespace {

constexpr int sessionBytes = 32;
// The scheme's name is matched in any case, as HTTP says; the token after it exactly.
constexpr QByteArrayView bearer("bearer ");

} // namespace

WebAccess::WebAccess(const WebSettings &settings, QObject *parent)
    : QObject(parent),
      m_password(settings.password.toUtf8()),
      m_token(settings.token.toUtf8()),
      m_expiry(this)
{
    m_expiry.setSingleShot(true);
    connect(&m_expiry, &QTimer::timeout, this, &WebAccess::expire);
}

bool WebAccess::sameSecret(QByteArrayView given, QByteArrayView expected)
{
    // Digests of equal length, compared byte by byte to the end: neither the length nor the
    // first difference shows in the time taken.
    const QByteArray a = QCryptographicHash::hash(given, QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(expected, QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0 && !expected.isEmpty();
}

WebAccess::Check WebAccess::check(
    const QHostAddress &peer, const QByteArray &cookieHeader, const QByteArray &authorization)
{
    using Outcome = Check::Outcome;
    if (!loginRequired())
        return {Outcome::Allowed, std::nullopt, {}};
    if (const std::optional<QByteArray> session = sessionOf(cookieHeader)) {
        const QByteArray digest = key(*session);
        const auto found = m_sessions.find(digest);
        if (found != m_sessions.end() && Clock::now() < found->second)
            return {Outcome::Allowed, std::nullopt, digest};
    }
    const bool bearerGiven = authorization.size() > bearer.size()
        && QByteArrayView(authorization).first(bearer.size()).compare(bearer, Qt::CaseInsensitive)
            == 0;
    if (!bearerGiven)
        return {};
    const ClientKey client(peer);
    if (const std::optional<std::chrono::seconds> wait = m_throttle.wait(client))
        return {Outcome::Throttled, wait, {}};
    if (!m_token.isEmpty()
        && sameSecret(QByteArrayView(authorization).sliced(bearer.size()).trimmed(), m_token)) {
        m_throttle.succeeded(client);
        return {Outcome::Allowed, std::nullopt, {}};
    }
    failed(peer, tr("wrong token"));
    return {};
}

WebAccess::Login WebAccess::login(const QHostAddress &peer, const QByteArray &password)
{
    const ClientKey client(peer);
    if (const std::optional<std::chrono::seconds> wait = m_throttle.wait(client))
        return {std::nullopt, wait};
    if (!loginRequired() || !sameSecret(password, m_password)) {
        failed(peer, tr("failed login"));
        return {};
    }
    m_throttle.succeeded(client);
    std::array<quint32, sessionBytes / sizeof(quint32)> random{};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray session
        = QByteArray(reinterpret_cast<const char *>(random.data()), sessionBytes)
              .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    expire();
    if (m_sessions.size() >= mostSessions) {
        const auto oldest = std::min_element(m_sessions.begin(), m_sessions.end(),
            [](const auto &a, const auto &b) { return a.second < b.second; });
        end(oldest->first, tr("too many sessions: the oldest was ended"));
    }
    m_sessions.emplace(key(session), Clock::now() + sessionLifetime);
    scheduleExpiry();
    return {session, std::nullopt};
}

void WebAccess::logout(const QByteArray &cookieHeader)
{
    if (const std::optional<QByteArray> session = sessionOf(cookieHeader))
        end(key(*session), tr("logged out"));
    scheduleExpiry();
}

void WebAccess::failed(const QHostAddress &peer, const QString &what)
{
    ++m_failures;
    const ClientKey client(peer);
    if (const std::optional<int> count = m_throttle.failed(client)) {
        bridgeLog(*count > 1
                ? tr("%1 to the web page from %2 (%n in all since the last line)", nullptr, *count)
                      .arg(what, client.text())
                : tr("%1 to the web page from %2").arg(what, client.text()));
    }
}

void WebAccess::end(const QByteArray &session, const QString &reason)
{
    if (m_sessions.erase(session) > 0)
        emit sessionEnded(session, reason);
}

void WebAccess::expire()
{
    const Clock::time_point now = Clock::now();
    QList<QByteArray> expired;
    for (const auto &[session, expires] : m_sessions) {
        if (expires <= now)
            expired << session;
    }
    for (const QByteArray &session : expired)
        end(session, tr("the session expired: log in again"));
    scheduleExpiry();
}

void WebAccess::scheduleExpiry()
{
    if (m_sessions.empty()) {
        m_expiry.stop();
        return;
    }
    const auto next = std::min_element(m_sessions.cbegin(), m_sessions.cend(),
        [](const auto &a, const auto &b) { return a.second < b.second; });
    m_expiry.start(
        std::max(std::chrono::ceil<std::chrono::milliseconds>(next->second - Clock::now()),
            std::chrono::milliseconds(0)));
}

QByteArray WebAccess::sessionCookie(const QByteArray &session, bool secure)
{
    const qint64 maxAge = session.isEmpty()
        ? 0
        : std::chrono::duration_cast<std::chrono::seconds>(sessionLifetime).count();
    QByteArray cookie = QByteArray(cookieName) + '=' + session
        + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + QByteArray::number(maxAge);
    if (secure)
        cookie += "; Secure";
    return cookie;
}

std::optional<QByteArray> WebAccess::sessionOf(const QByteArray &cookieHeader)
{
    const QByteArray prefix = QByteArray(cookieName) + '=';
    for (const QByteArray &part : cookieHeader.split(';')) {
        const QByteArray cookie = part.trimmed();
        if (cookie.startsWith(prefix) && cookie.size() > prefix.size())
            return cookie.sliced(prefix.size());
    }
    return std::nullopt;
}

QByteArray WebAccess::key(const QByteArray &session)
{
    return QCryptographicHash::hash(session, QCryptographicHash::Sha256);
}
