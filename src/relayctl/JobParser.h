#pragma once

#include "relayctl/Job.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <optional>

// Reads relayctl's command line into a Job. The whole line is checked before anything is sent:
// a mistake anywhere gives no job at all.
class JobParser
{
    Q_DECLARE_TR_FUNCTIONS(JobParser)

public:
    static constexpr int highestRelay = 8;
    static constexpr int highestAddress = 255;
    static constexpr std::chrono::hours longestDuration{1};

    JobParser();

    // `arguments` starts with the program's name; `defaultDevice` is RELAYCTL_DEVICE's value,
    // `defaultTokenFile` RELAYCTL_TOKEN_FILE's.
    std::optional<Job> parse(const QStringList &arguments, const QString &defaultDevice,
        const QString &defaultTokenFile = {});

    bool helpAsked() const { return m_helpAsked; }
    bool versionAsked() const { return m_versionAsked; }
    // Why the line was refused, in one sentence.
    QString error() const { return m_error; }
    QString usage() const { return m_parser.helpText(); }

private:
    // The words after a command's name, taken one at a time.
    class Words;

    bool readOptions(Job &job, const QString &defaultDevice);
    bool readUrl(Job &job, const QString &defaultTokenFile);
    bool readCommands(Job &job, const QStringList &words);
    bool readCommand(Job &job, const QString &name, Words &words, quint8 &address);
    std::optional<int> relay(Words &words, const QString &command);
    std::optional<std::chrono::milliseconds> duration(Words &words, const QString &command);
    bool fail(const QString &error);

    QCommandLineParser m_parser;
    QCommandLineOption m_port;
    QCommandLineOption m_device;
    QCommandLineOption m_address;
    QCommandLineOption m_url;
    QCommandLineOption m_tokenFile;
    QCommandLineOption m_caFile;
    QCommandLineOption m_dryRun;
    QCommandLineOption m_verbose;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    bool m_helpAsked = false;
    bool m_versionAsked = false;
    QString m_error;
};
