#include "relay-mqtt/web/WebAccess.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

#include <algorithm>
#include <array>

namespace {

constexpr int sessionBytes = 32;
const QByteArray bearer = QByteArrayLiteral("Bearer ");

} // namespace

WebAccess::WebAccess(const WebSettings &settings)
    : m_password(settings.password.toUtf8()), m_token(settings.token.toUtf8())
{ }

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

bool WebAccess::allows(const QByteArray &cookieHeader, const QByteArray &authorization) const
{
    if (!loginRequired())
        return true;
    if (!m_token.isEmpty() && authorization.startsWith(bearer)
        && sameSecret(authorization.sliced(bearer.size()).trimmed(), m_token))
        return true;
    const std::optional<QByteArray> session = sessionOf(cookieHeader);
    return session && knows(*session);
}

WebAccess::Login WebAccess::login(const QString &peer, const QByteArray &password)
{
    const Clock::time_point now = Clock::now();
    forgetOld(now);
    Failures &failures = m_failures[peer];
    if (now < failures.notBefore)
        return {std::nullopt, std::chrono::ceil<std::chrono::seconds>(failures.notBefore - now)};
    if (!loginRequired() || !sameSecret(password, m_password)) {
        ++failures.count;
        if (failures.count > freeFailures) {
            const int doublings = std::min(failures.count - freeFailures - 1, 16);
            failures.notBefore
                = now + std::min<Clock::duration>(firstPenalty * (1 << doublings), longestPenalty);
        }
        return {};
    }
    m_failures.remove(peer);
    std::array<quint32, sessionBytes / sizeof(quint32)> random{};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray session
        = QByteArray(reinterpret_cast<const char *>(random.data()), sessionBytes)
              .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    if (m_sessions.size() >= mostSessions) {
        const auto oldest = std::min_element(m_sessions.begin(), m_sessions.end(),
            [](const auto &a, const auto &b) { return a.second < b.second; });
        m_sessions.erase(oldest);
    }
    m_sessions.emplace(key(session), now + sessionLifetime);
    return {session, std::nullopt};
}

void WebAccess::logout(const QByteArray &cookieHeader)
{
    if (const std::optional<QByteArray> session = sessionOf(cookieHeader))
        m_sessions.erase(key(*session));
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

bool WebAccess::knows(const QByteArray &session) const
{
    const auto found = m_sessions.find(key(session));
    return found != m_sessions.end() && Clock::now() < found->second;
}

void WebAccess::forgetOld(Clock::time_point now)
{
    std::erase_if(m_sessions, [now](const auto &entry) { return entry.second <= now; });
    if (std::size_t(m_failures.size()) < mostThrottled)
        return;
    // Addresses whose wait is over start afresh; if that is not enough, all do.
    m_failures.removeIf([now](const auto &entry) { return entry.value().notBefore <= now; });
    if (std::size_t(m_failures.size()) >= mostThrottled)
        m_failures.clear();
}
