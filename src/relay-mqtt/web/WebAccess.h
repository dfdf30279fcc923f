#pragma once

#include "relay-mqtt/WebSettings.h"
#include "relay-mqtt/web/LoginThrottle.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <map>
#include <optional>

// Who may use the page and the API: the browser's session cookies, handed out for the password,
// and the scripts' Bearer token. Wrong passwords and wrong tokens are slowed down alike. A
// session that ends (a logout, its expiry, pushed out by newer ones) says so, for the sockets
// it opened to close with it.
class WebAccess : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::hours sessionLifetime{12};
    // Sessions beyond these push out the oldest: a flood of logins cannot fill the memory.
    static constexpr std::size_t mostSessions = 256;
    static constexpr char cookieName[] = "relay-mqtt-session";

    explicit WebAccess(const WebSettings &settings, QObject *parent = nullptr);

    bool loginRequired() const { return !m_password.isEmpty(); }

    // Whether a request with these headers may go on, and as which session.
    struct Check
    {
        enum class Outcome { Allowed, Unauthorized, Throttled };
        Outcome outcome = Outcome::Unauthorized;
        std::optional<std::chrono::seconds> retryAfter; // when throttled
        // The session's key (a digest of its cookie), for a request allowed by its cookie.
        QByteArray session;
    };
    Check check(
        const QHostAddress &peer, const QByteArray &cookieHeader, const QByteArray &authorization);

    struct Login
    {
        std::optional<QByteArray> session; // set: the password was right
        // Not tried: the client must wait this long first.
        std::optional<std::chrono::seconds> retryAfter;
    };
    Login login(const QHostAddress &peer, const QByteArray &password);
    void logout(const QByteArray &cookieHeader);

    // The Set-Cookie header's value that hands out the session, or ends it (an empty one).
    static QByteArray sessionCookie(const QByteArray &session, bool secure);

    // Wrong passwords and tokens since the start.
    quint64 failures() const { return m_failures; }

    // Compares two secrets in a time that does not tell how much of them matched.
    static bool sameSecret(QByteArrayView given, QByteArrayView expected);

signals:
    // The session of this key ended: logged out, expired or pushed out.
    void sessionEnded(const QByteArray &session, const QString &reason);

private:
    static std::optional<QByteArray> sessionOf(const QByteArray &cookieHeader);
    static QByteArray key(const QByteArray &session);
    // A wrong password or token from `peer`, logged at most once a minute for its client.
    void failed(const QHostAddress &peer, const QString &what);
    void end(const QByteArray &session, const QString &reason);
    void expire();
    void scheduleExpiry();

    QByteArray m_password;
    QByteArray m_token;
    // By a digest of the session, with when it expires: a lookup tells nothing of the value.
    std::map<QByteArray, Clock::time_point> m_sessions;
    LoginThrottle m_throttle;
    QTimer m_expiry;
    quint64 m_failures = 0;
};
