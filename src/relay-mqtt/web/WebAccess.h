#pragma once

#include "relay-mqtt/WebSettings.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>

#include <chrono>
#include <map>
#include <optional>

// Who may use the page and the API: the browser's session cookies, handed out for the password,
// and the scripts' Bearer token. Failed logins from one address are slowed down.
class WebAccess
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::hours sessionLifetime{12};
    // Sessions beyond these push out the oldest: a flood of logins cannot fill the memory.
    static constexpr std::size_t mostSessions = 256;
    static constexpr std::size_t mostThrottled = 1024;
    // Failed logins an address may make before it has to wait, and how long it waits: doubling
    // with each further failure, up to the longest.
    static constexpr int freeFailures = 3;
    static constexpr std::chrono::seconds firstPenalty{1};
    static constexpr std::chrono::seconds longestPenalty{60};
    static constexpr char cookieName[] = "relay-mqtt-session";

    explicit WebAccess(const WebSettings &settings);

    bool loginRequired() const { return !m_password.isEmpty(); }
    // Whether a request with these headers may go on.
    bool allows(const QByteArray &cookieHeader, const QByteArray &authorization) const;

    struct Login
    {
        std::optional<QByteArray> session; // set: the password was right
        // Not tried: the address must wait this long first.
        std::optional<std::chrono::seconds> retryAfter;
    };
    Login login(const QString &peer, const QByteArray &password);
    void logout(const QByteArray &cookieHeader);

    // The Set-Cookie header's value that hands out the session, or ends it (an empty one).
    static QByteArray sessionCookie(const QByteArray &session, bool secure);

    // Compares two secrets in a time that does not tell how much of them matched.
    static bool sameSecret(QByteArrayView given, QByteArrayView expected);

private:
    struct Failures
    {
        int count = 0;
        Clock::time_point notBefore{};
    };

    static std::optional<QByteArray> sessionOf(const QByteArray &cookieHeader);
    static QByteArray key(const QByteArray &session);
    bool knows(const QByteArray &session) const;
    void forgetOld(Clock::time_point now);

    QByteArray m_password;
    QByteArray m_token;
    // By a digest of the session, with when it expires: a lookup tells nothing of the value.
    std::map<QByteArray, Clock::time_point> m_sessions;
    QHash<QString, Failures> m_failures;
};
