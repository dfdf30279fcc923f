#include "MosquittoBroker.h"

#include "DiesWithParent.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>

#include <chrono>
#include <csignal>

using namespace std::chrono_literals;

namespace {

constexpr auto startTimeout = 10s;
constexpr auto toolTimeout = 30s;

// The dynamic security plugin's group anonymous clients are in.
constexpr auto restrictedName = "restricted";

int milliseconds(std::chrono::milliseconds duration)
{
    return static_cast<int>(duration.count());
}

} // namespace

MosquittoBroker::MosquittoBroker() : MosquittoBroker(Options{}) { }

MosquittoBroker::MosquittoBroker(Options options) : m_options(std::move(options))
{
    m_options.tls = m_options.tls || m_options.requireCertificate;
    if (!m_directory.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return;
    }
    // The system picks a free port; the broker takes it over a moment later.
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QString::fromLatin1(address)), 0)) {
        m_error = probe.errorString();
        return;
    }
    m_port = probe.serverPort();
    probe.close();

    QStringList config = {
        QStringLiteral("listener %1 %2").arg(m_port).arg(QString::fromLatin1(address)),
        QStringLiteral("persistence false"),
        // Started as root, it would otherwise drop to a user that cannot read this directory.
        QStringLiteral("user root"),
        QStringLiteral("log_dest stderr"),
        QStringLiteral("log_type error"),
        QStringLiteral("log_type warning"),
        QStringLiteral("log_type notice"),
        QStringLiteral("log_type information"),
        QStringLiteral("log_type subscribe"), // "CLIENT QOS TOPIC", for tests to wait on
        QStringLiteral("connection_messages true"),
    };
    if (!m_options.deniedSubscriptions.isEmpty()) {
        if (!writeDynamicSecurity())
            return;
        config << QStringLiteral("allow_anonymous true")
               << QStringLiteral("plugin %1").arg(QString::fromLatin1(dynamicSecurityPlugin))
               << QStringLiteral("plugin_opt_config_file %1").arg(dynamicSecurityFile());
    } else if (m_options.username.isEmpty()) {
        config << QStringLiteral("allow_anonymous true");
    } else {
        const QString passwords = m_directory.filePath(QStringLiteral("passwords"));
        if (!run(QStringLiteral("mosquitto_passwd"),
                {QStringLiteral("-b"), QStringLiteral("-c"), passwords, m_options.username,
                    m_options.password}))
            return;
        config << QStringLiteral("allow_anonymous false")
               << QStringLiteral("password_file %1").arg(passwords);
    }
    if (m_options.tls) {
        if (!makeCertificates())
            return;
        config
            << QStringLiteral("cafile %1").arg(caFile())
            << QStringLiteral("certfile %1").arg(m_directory.filePath(QStringLiteral("server.crt")))
            << QStringLiteral("keyfile %1").arg(m_directory.filePath(QStringLiteral("server.key")));
        if (m_options.requireCertificate)
            config << QStringLiteral("require_certificate true");
    }
    QFile file(m_directory.filePath(QStringLiteral("mosquitto.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(config.join(u'\n').toUtf8() + '\n') < 0) {
        m_error = file.errorString();
        return;
    }
    m_setUp = true;
}

MosquittoBroker::~MosquittoBroker()
{
    if (m_process) {
        m_process->kill();
        m_process->waitForFinished();
    }
}

bool MosquittoBroker::available()
{
    return QFileInfo(QString::fromLatin1(program)).isExecutable();
}

bool MosquittoBroker::dynamicSecurityAvailable()
{
    return available() && QFileInfo::exists(QString::fromLatin1(dynamicSecurityPlugin));
}

bool MosquittoBroker::run(const QString &program, const QStringList &arguments, QByteArray *output)
{
    QProcess process;
    process.start(program, arguments);
    const bool finished = process.waitForFinished(milliseconds(toolTimeout));
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    const QByteArray printed = process.readAllStandardOutput();
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("%1 %2 failed: %3 %4 %5")
                      .arg(program, arguments.join(u' '), process.errorString(),
                          QString::fromLocal8Bit(printed),
                          QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    if (output)
        *output = printed;
    return true;
}

bool MosquittoBroker::makeAuthority(const QString &name)
{
    const QString key = m_directory.filePath(name + QStringLiteral(".key"));
    const QString certificate = m_directory.filePath(name + QStringLiteral(".crt"));
    return run(QStringLiteral("openssl"),
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
            QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
            QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
            QStringLiteral("/CN=relaypanel test %1").arg(name), QStringLiteral("-keyout"), key,
            QStringLiteral("-out"), certificate});
}

// NAME.key and NAME.crt, signed by the authority AUTHORITY.key and AUTHORITY.crt.
bool MosquittoBroker::makeCertificate(const QString &name, const QString &commonName,
    const QString &authority, const QByteArray &extensions)
{
    const QString key = m_directory.filePath(name + QStringLiteral(".key"));
    const QString request = m_directory.filePath(name + QStringLiteral(".csr"));
    const QString extensionFile = m_directory.filePath(name + QStringLiteral(".ext"));
    QFile file(extensionFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(extensions) < 0) {
        m_error = file.errorString();
        return false;
    }
    file.close();
    return run(QStringLiteral("openssl"),
               {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                   QStringLiteral("-nodes"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=%1").arg(commonName), QStringLiteral("-keyout"), key,
                   QStringLiteral("-out"), request})
        && run(QStringLiteral("openssl"),
            {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), request,
                QStringLiteral("-CA"), m_directory.filePath(authority + QStringLiteral(".crt")),
                QStringLiteral("-CAkey"), m_directory.filePath(authority + QStringLiteral(".key")),
                QStringLiteral("-CAcreateserial"), QStringLiteral("-days"), QStringLiteral("2"),
                QStringLiteral("-extfile"), extensionFile, QStringLiteral("-out"),
                m_directory.filePath(name + QStringLiteral(".crt"))});
}

bool MosquittoBroker::makeCertificates()
{
    const QString ca = QStringLiteral("ca");
    const QString strangerCa = QStringLiteral("stranger-ca");
    const QByteArray client = "extendedKeyUsage=clientAuth\n";
    return makeAuthority(ca) && makeAuthority(strangerCa)
        && makeCertificate(QStringLiteral("server"), QStringLiteral("localhost"), ca,
            "subjectAltName=IP:127.0.0.1,DNS:localhost\n")
        && makeCertificate(
            QStringLiteral("client"), QStringLiteral("relaypanel test client"), ca, client)
        && makeCaPath();
}

bool MosquittoBroker::makeCaPath()
{
    // OpenSSL looks a capath's certificates up by the hash of their subject, as HASH.0.
    QByteArray hash;
    if (!run(QStringLiteral("openssl"),
            {QStringLiteral("x509"), QStringLiteral("-hash"), QStringLiteral("-noout"),
                QStringLiteral("-in"), caFile()},
            &hash))
        return false;
    const QString copy = QDir(caPath()).filePath(QString::fromLatin1(hash.trimmed()) + ".0");
    if (!QDir().mkpath(caPath()) || !QFile::copy(caFile(), copy)) {
        m_error = QStringLiteral("cannot copy %1 to %2").arg(caFile(), copy);
        return false;
    }
    return true;
}

QString MosquittoBroker::dynamicSecurityFile() const
{
    return m_directory.filePath(QStringLiteral("dynamic-security.json"));
}

bool MosquittoBroker::writeDynamicSecurity()
{
    const QString restricted = QString::fromLatin1(restrictedName);
    QJsonArray denials;
    for (const QString &filter : std::as_const(m_options.deniedSubscriptions))
        denials.append(QJsonObject{
            {"acltype", "subscribePattern"}, {"topic", filter}, {"priority", 0}, {"allow", false}});
    const QJsonObject settings{
        {"defaultACLAccess",
            QJsonObject{{"publishClientSend", true}, {"publishClientReceive", true},
                {"subscribe", true}, {"unsubscribe", true}}},
        {"clients", QJsonArray{}},
        {"groups",
            QJsonArray{QJsonObject{{"groupname", restricted},
                {"roles", QJsonArray{QJsonObject{{"rolename", restricted}}}}}}},
        {"roles", QJsonArray{QJsonObject{{"rolename", restricted}, {"acls", denials}}}},
        // Clients without a username take this group's roles.
        {"anonymousGroup", restricted},
    };
    QFile out(dynamicSecurityFile());
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(settings).toJson()) < 0) {
        m_error = out.errorString();
        return false;
    }
    return true;
}

bool MosquittoBroker::setUserPassword(const QString &username, const QString &password)
{
    if (m_options.username.isEmpty() || !m_options.deniedSubscriptions.isEmpty()) {
        m_error = QStringLiteral("only a broker with a password file takes new passwords");
        return false;
    }
    if (!run(QStringLiteral("mosquitto_passwd"),
            {QStringLiteral("-b"), m_directory.filePath(QStringLiteral("passwords")), username,
                password}))
        return false;
    if (!m_process || m_process->state() != QProcess::Running)
        return true; // read on start()
    return reload();
}

bool MosquittoBroker::allowSubscriptions()
{
    // The plugin reads its file when the broker starts.
    stop();
    m_options.deniedSubscriptions.clear();
    return writeDynamicSecurity() && start();
}

bool MosquittoBroker::reload()
{
    readLog();
    const qsizetype from = m_log.lastIndexOf('\n') + 1;
    const auto pid = static_cast<pid_t>(m_process->processId());
    if (pid <= 0 || ::kill(pid, SIGHUP) != 0) {
        m_error = QStringLiteral("cannot signal mosquitto: %1").arg(qt_error_string(errno));
        return false;
    }
    // It logs this before it reads its files again, and only then goes back to its clients: so
    // a client that connects after this line is checked against the new ones.
    if (!waitForLine(
            from, [](QByteArrayView line) { return line.endsWith(": Reloading config."); })) {
        m_error = QStringLiteral("mosquitto did not reload: %1")
                      .arg(QString::fromLocal8Bit(m_log.mid(from)));
        return false;
    }
    return true;
}

void MosquittoBroker::readLog()
{
    if (!m_process)
        return;
    // Takes what the pipe holds already, even when no event loop has run to read it.
    m_process->waitForReadyRead(0);
    m_log += m_process->readAll();
}

bool MosquittoBroker::waitForLine(
    qsizetype from, const std::function<bool(QByteArrayView)> &matches)
{
    const QDeadlineTimer deadline(startTimeout);
    qsizetype next = from;
    for (;;) {
        readLog();
        for (qsizetype end = m_log.indexOf('\n', next); end >= 0;
             next = end + 1, end = m_log.indexOf('\n', next)) {
            if (matches(QByteArrayView(m_log).sliced(next, end - next)))
                return true;
        }
        if (!m_process || m_process->state() != QProcess::Running || deadline.hasExpired())
            return false;
        m_process->waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    }
}

QString MosquittoBroker::caFile() const
{
    return m_directory.filePath(QStringLiteral("ca.crt"));
}

QString MosquittoBroker::strangerCaFile() const
{
    return m_directory.filePath(QStringLiteral("stranger-ca.crt"));
}

QString MosquittoBroker::caPath() const
{
    return m_directory.filePath(QStringLiteral("capath"));
}

QString MosquittoBroker::clientCertFile() const
{
    return m_directory.filePath(QStringLiteral("client.crt"));
}

QString MosquittoBroker::clientKeyFile() const
{
    return m_directory.filePath(QStringLiteral("client.key"));
}

bool MosquittoBroker::start()
{
    if (!m_setUp)
        return false;
    stop();
    m_error.clear();
    m_runStart = m_log.size();
    m_process = std::make_unique<QProcess>();
    dieWithParent(*m_process);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(QString::fromLatin1(program),
        {QStringLiteral("-c"), m_directory.filePath(QStringLiteral("mosquitto.conf"))});
    if (!m_process->waitForStarted()) {
        m_error = m_process->errorString();
        m_process.reset();
        return false;
    }
    // Its listener is open, and SIGHUP no longer kills it, once it says it runs.
    if (waitForLine(m_runStart, [](QByteArrayView line) {
            return line.contains("mosquitto version") && line.endsWith(" running");
        }))
        return true;
    stop(); // and what it said goes to m_log
    m_error = QStringLiteral("mosquitto does not run on port %1: %2")
                  .arg(m_port)
                  .arg(QString::fromLocal8Bit(m_log.mid(m_runStart)));
    return false;
}

void MosquittoBroker::stop()
{
    if (!m_process)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(milliseconds(startTimeout))) {
        m_process->kill();
        m_process->waitForFinished();
    }
    m_log += m_process->readAll();
    m_process.reset();
}

QByteArray MosquittoBroker::log()
{
    readLog();
    return m_log;
}

int MosquittoBroker::acceptedConnections(const QString &clientId)
{
    readLog();
    constexpr QByteArrayView accepted = ": New client connected from ";
    const QByteArray id = clientId.toUtf8() + " (p";
    int count = 0;
    for (qsizetype next = m_runStart, end = m_log.indexOf('\n', next); end >= 0;
         next = end + 1, end = m_log.indexOf('\n', next)) {
        const QByteArrayView line = QByteArrayView(m_log).sliced(next, end - next);
        const qsizetype at = line.indexOf(accepted);
        if (at < 0)
            continue;
        const qsizetype as = line.indexOf(" as ", at + accepted.size());
        if (as >= 0 && line.sliced(as + 4).startsWith(id))
            ++count;
    }
    return count;
}

QStringList MosquittoBroker::clientArguments() const
{
    QStringList arguments = {QStringLiteral("-h"), QString::fromLatin1(address),
        QStringLiteral("-p"), QString::number(m_port)};
    if (m_options.tls)
        arguments << QStringLiteral("--cafile") << caFile();
    if (m_options.requireCertificate)
        arguments << QStringLiteral("--cert") << clientCertFile() << QStringLiteral("--key")
                  << clientKeyFile();
    return arguments;
}
