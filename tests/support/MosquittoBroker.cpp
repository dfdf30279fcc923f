#include "MosquittoBroker.h"

#include "DiesWithParent.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <chrono>

using namespace std::chrono_literals;

namespace {

constexpr auto startTimeout = 10s;
constexpr auto toolTimeout = 30s;

} // namespace

MosquittoBroker::MosquittoBroker() : MosquittoBroker(Options{}) { }

MosquittoBroker::MosquittoBroker(Options options) : m_options(std::move(options))
{
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
    if (m_options.username.isEmpty()) {
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
    }
    QFile file(m_directory.filePath(QStringLiteral("mosquitto.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(config.join(u'\n').toUtf8() + '\n') < 0)
        m_error = file.errorString();
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

bool MosquittoBroker::run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(static_cast<int>(std::chrono::milliseconds(toolTimeout).count()))
        || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("%1 %2 failed: %3 %4")
                      .arg(program, arguments.join(u' '), process.errorString(),
                          QString::fromLocal8Bit(process.readAll()));
        return false;
    }
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

bool MosquittoBroker::makeCertificates()
{
    if (!makeAuthority(QStringLiteral("ca")) || !makeAuthority(QStringLiteral("stranger-ca")))
        return false;
    const QString key = m_directory.filePath(QStringLiteral("server.key"));
    const QString request = m_directory.filePath(QStringLiteral("server.csr"));
    const QString extensions = m_directory.filePath(QStringLiteral("server.ext"));
    QFile file(extensions);
    if (!file.open(QIODevice::WriteOnly)
        || file.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n") < 0) {
        m_error = file.errorString();
        return false;
    }
    file.close();
    return run(QStringLiteral("openssl"),
               {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                   QStringLiteral("-nodes"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=localhost"), QStringLiteral("-keyout"), key,
                   QStringLiteral("-out"), request})
        && run(QStringLiteral("openssl"),
            {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), request,
                QStringLiteral("-CA"), caFile(), QStringLiteral("-CAkey"),
                m_directory.filePath(QStringLiteral("ca.key")), QStringLiteral("-CAcreateserial"),
                QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"),
                extensions, QStringLiteral("-out"),
                m_directory.filePath(QStringLiteral("server.crt"))});
}

QString MosquittoBroker::caFile() const
{
    return m_directory.filePath(QStringLiteral("ca.crt"));
}

QString MosquittoBroker::strangerCaFile() const
{
    return m_directory.filePath(QStringLiteral("stranger-ca.crt"));
}

bool MosquittoBroker::start()
{
    if (!m_error.isEmpty() && !m_process)
        return false;
    stop();
    m_process = std::make_unique<QProcess>();
    dieWithParent(*m_process);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(QString::fromLatin1(program),
        {QStringLiteral("-c"), m_directory.filePath(QStringLiteral("mosquitto.conf"))});
    if (!m_process->waitForStarted()) {
        m_error = m_process->errorString();
        return false;
    }
    // Listening once a plain TCP connection gets through; a TLS listener takes it all the same.
    const QDeadlineTimer deadline(startTimeout);
    while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress(QString::fromLatin1(address)), m_port);
        if (socket.waitForConnected(100)) {
            socket.abort();
            return true;
        }
        QThread::msleep(20);
    }
    stop(); // and what it said goes to m_log
    m_error = QStringLiteral("mosquitto does not listen on port %1: %2")
                  .arg(m_port)
                  .arg(QString::fromLocal8Bit(m_log));
    return false;
}

void MosquittoBroker::stop()
{
    if (!m_process)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(
            static_cast<int>(std::chrono::milliseconds(startTimeout).count()))) {
        m_process->kill();
        m_process->waitForFinished();
    }
    m_log += m_process->readAll();
    m_process.reset();
}

QStringList MosquittoBroker::clientArguments() const
{
    QStringList arguments = {QStringLiteral("-h"), QString::fromLatin1(address),
        QStringLiteral("-p"), QString::number(m_port)};
    if (m_options.tls)
        arguments << QStringLiteral("--cafile") << caFile();
    return arguments;
}
