#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <memory>

// A real mosquitto for one test, on 127.0.0.1 and a port nobody else had, with its own
// configuration in a temporary directory: anonymous by default, or with one user and password,
// with TLS from a CA the fixture makes itself (and client certificates, if it wants them), and
// with subscriptions it refuses. Its port is picked on construction, so a test can aim a client
// at it before it runs; it is killed when the fixture goes.
class MosquittoBroker
{
public:
    static constexpr auto program = "/usr/sbin/mosquitto";
    static constexpr auto address = "127.0.0.1";
    static constexpr auto dynamicSecurityPlugin
        = "/usr/lib/x86_64-linux-gnu/mosquitto_dynamic_security.so";

    struct Options
    {
        QString username; // set: only this user may log in
        QString password;
        bool tls = false;
        // Clients must show a certificate from the fixture's CA (clientCertFile()); implies tls.
        bool requireCertificate = false;
        // For an anonymous broker: a SUBSCRIBE to a filter within one of these gets reason code
        // 128 (clientArguments()'s too), anything else is allowed. Runs the dynamic security
        // plugin. "= {}" keeps -Wmissing-field-initializers off aggregates without it.
        QStringList deniedSubscriptions = {};
    };

    MosquittoBroker();
    explicit MosquittoBroker(Options options);
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker &) = delete;
    MosquittoBroker &operator=(const MosquittoBroker &) = delete;

    static bool available();
    static bool dynamicSecurityAvailable();

    // Empty once the configuration (and the certificates) are made; otherwise what went wrong.
    QString setUpError() const { return m_setUp ? QString() : m_error; }
    // Starts it and waits until it listens and takes SIGHUP; false with errorString() if not.
    bool start();
    void stop();
    QString errorString() const { return m_error; }

    std::uint16_t port() const { return m_port; }
    // The CA that signed the broker's certificate, and one that did not.
    QString caFile() const;
    QString strangerCaFile() const;
    // A directory with caFile() under its OpenSSL hash name, for a client's capath.
    QString caPath() const;
    // A client's certificate and key from caFile().
    QString clientCertFile() const;
    QString clientKeyFile() const;

    // -h, -p and for TLS --cafile (and --cert, --key when required), for mosquitto_sub and
    // mosquitto_pub.
    QStringList clientArguments() const;

    // Adds the user to the password file of a broker with Options::username, or gives it a new
    // password. A running broker has taken it on when this returns true, and has dropped the
    // clients that logged in with the old password.
    bool setUserPassword(const QString &username, const QString &password);
    // Lifts the refusals of Options::deniedSubscriptions: the broker starts again, and its
    // clients come back as after any restart.
    bool allowSubscriptions();

    // What it printed, over all its runs, as far as it has come: never waits.
    QByteArray log();
    // Clients with this id it let in since the latest start().
    int acceptedConnections(const QString &clientId);

private:
    bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr);
    bool makeCertificates();
    bool makeAuthority(const QString &name);
    bool makeCertificate(const QString &name, const QString &commonName, const QString &authority,
        const QByteArray &extensions);
    bool makeCaPath();
    QString dynamicSecurityFile() const;
    bool writeDynamicSecurity();
    bool reload();
    void readLog();
    bool waitForLine(qsizetype from, const std::function<bool(QByteArrayView)> &matches);

    Options m_options;
    QTemporaryDir m_directory;
    std::uint16_t m_port = 0;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_log;
    qsizetype m_runStart = 0; // where the latest run's log begins in m_log
    QString m_error;
    bool m_setUp = false;
};
