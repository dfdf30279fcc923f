#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>

// A real mosquitto for one test, on 127.0.0.1 and a port nobody else had, with its own
// configuration in a temporary directory: anonymous by default, or with one user and password,
// and with TLS from a CA the fixture makes itself. Its port is picked on construction, so a test
// can aim a client at it before it runs; it is killed when the fixture goes.
class MosquittoBroker
{
public:
    static constexpr auto program = "/usr/sbin/mosquitto";
    static constexpr auto address = "127.0.0.1";

    struct Options
    {
        QString username; // set: only this user may log in
        QString password;
        bool tls = false;
    };

    MosquittoBroker();
    explicit MosquittoBroker(Options options);
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker &) = delete;
    MosquittoBroker &operator=(const MosquittoBroker &) = delete;

    static bool available();

    // Empty once the configuration (and the certificates) are made; otherwise what went wrong.
    QString setUpError() const { return m_error; }
    // Starts it and waits until it listens; false with errorString() if it does not.
    bool start();
    void stop();
    QString errorString() const { return m_error; }

    std::uint16_t port() const { return m_port; }
    // The CA that signed the broker's certificate, and one that did not.
    QString caFile() const;
    QString strangerCaFile() const;

    // -h, -p and for TLS --cafile, for mosquitto_sub and mosquitto_pub.
    QStringList clientArguments() const;

private:
    bool run(const QString &program, const QStringList &arguments);
    bool makeCertificates();
    bool makeAuthority(const QString &name);

    Options m_options;
    QTemporaryDir m_directory;
    std::uint16_t m_port = 0;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_log;
    QString m_error;
};
