#include "relay-mqtt/BridgeOptionsReader.h"

#include "system/DecimalNumber.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSettings>
#include <QVariant>

#include <algorithm>
#include <array>
#include <utility>

namespace {

using Outcome = BridgeOptionsReader::Outcome;

constexpr int highestPort = 32767;
constexpr int highestAddress = 255;

const QString description
    = QStringLiteral(R"(Bridges the relay cards on one serial port to an MQTT broker, with Home
Assistant's MQTT discovery. It runs until SIGTERM or SIGINT.

Topics for relay R (1 to 8) of the card at address A, under NAME:
  NAME/A/relay/R/set     ON, OFF or TOGGLE
  NAME/A/relay/R/hold    milliseconds to hold the relay, 1 to 3600000
  NAME/A/all/set         ON or OFF: every relay
  NAME/A/stop            emergency stop: every relay off
  NAME/A/show            the card shows its address
  NAME/A/relay/R/state   ON or OFF, as the bridge last set it (retained)
  NAME/status            online or offline (retained)

Every option can also be set in the INI file named by --config, under its own name without the
dashes (card=1,2); the command line wins. The password is given only there, as password=, or in
the file named by --password-file.

Exit status: 0 stopped by SIGTERM or SIGINT, 64 wrong options, 77 the broker refused the
login, 78 the broker's settings could not be used at all.)");

// The config file's keys; a key not among them is a mistake.
const std::array configKeys{QStringLiteral("port"), QStringLiteral("device"),
    QStringLiteral("card"), QStringLiteral("broker"), QStringLiteral("name"),
    QStringLiteral("username"), QStringLiteral("password-file"), QStringLiteral("password"),
    QStringLiteral("cafile"), QStringLiteral("discovery"), QStringLiteral("discovery-prefix")};

// Why `text` cannot be a topic prefix of ours, if it cannot.
std::optional<QString> topicProblem(const QString &text)
{
    if (text.isEmpty())
        return BridgeOptionsReader::tr("it is empty");
    if (text.contains(u'+') || text.contains(u'#'))
        return BridgeOptionsReader::tr("the wildcards + and # have no place in it");
    if (text.startsWith(u'/') || text.endsWith(u'/'))
        return BridgeOptionsReader::tr("it starts or ends with /");
    if (text.contains(QStringLiteral("//")))
        return BridgeOptionsReader::tr("it has an empty level (//)");
    if (text.contains(QChar(0)))
        return BridgeOptionsReader::tr("it has a NUL character");
    return std::nullopt;
}

// The command line and the config file, read together; the first mistake found is kept.
class Reading
{
public:
    explicit Reading(QStringList arguments);
    Outcome outcome();

private:
    // A value of the config file or of the command line, and where it came from, for messages.
    struct Value
    {
        QStringList texts; // one, but a list for card
        QString where; // "--card" or "FILE: card"
    };

    bool readConfigFile(const QString &path);
    // The command line's value for `key`, else the file's; none if neither has one.
    std::optional<Value> value(const QString &key, bool list = false);
    std::optional<Value> fileValue(const QString &key, bool list);
    // A path from the file is taken from the file's folder.
    QString path(const Value &value) const;

    bool readPort(BridgeOptions &options);
    bool readCards(BridgeOptions &options);
    bool readTopics(BridgeOptions &options);
    bool readBroker(BridgeOptions &options);
    bool readLogin(BridgeOptions &options);
    std::optional<QString> readPasswordFile(const Value &file);
    bool fail(const QString &error);

    QCommandLineParser m_parser;
    QList<QCommandLineOption> m_options;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    QCommandLineOption m_noDiscovery;
    QCommandLineOption m_config;
    QStringList m_arguments;
    QString m_configPath;
    QMap<QString, QVariant> m_file;
    QString m_error;
};

Reading::Reading(QStringList arguments)
    : m_help(
        {QStringLiteral("h"), QStringLiteral("help")}, BridgeOptionsReader::tr("Show this help.")),
      m_version(QStringLiteral("version"), BridgeOptionsReader::tr("Show the version.")),
      m_noDiscovery(QStringLiteral("no-discovery"),
          BridgeOptionsReader::tr("Publish no Home Assistant discovery configs.")),
      m_config(QStringLiteral("config"),
          BridgeOptionsReader::tr("Read the options from this INI file first."),
          QStringLiteral("FILE")),
      m_arguments(std::move(arguments))
{
    using R = BridgeOptionsReader;
    m_options = {
        {QStringLiteral("port"), R::tr("Port N, as the panel numbers serial ports."),
            QStringLiteral("N")},
        {QStringLiteral("device"),
            R::tr("The serial device the cards are on (a /dev/serial/by-id/... path stays the "
                  "same)."),
            QStringLiteral("PATH")},
        {QStringLiteral("card"), R::tr("A card's address, 0 to 255; give one for every card."),
            QStringLiteral("A")},
        {QStringLiteral("broker"),
            R::tr("The MQTT broker: HOST, HOST:PORT or [IPV6]:PORT (localhost:1883)."),
            QStringLiteral("HOST[:PORT]")},
        {QStringLiteral("name"),
            R::tr("The base topic, and the prefix of the unique ids (relaycards)."),
            QStringLiteral("NAME")},
        {QStringLiteral("username"), R::tr("Log in to the broker as U."), QStringLiteral("U")},
        {QStringLiteral("password-file"),
            R::tr("The file whose first line is the password for --username."),
            QStringLiteral("F")},
        {QStringLiteral("cafile"),
            R::tr("Connect with TLS, checking the broker's certificate against this CA."),
            QStringLiteral("F")},
        {QStringLiteral("discovery-prefix"),
            R::tr("The topic prefix of Home Assistant's discovery (homeassistant)."),
            QStringLiteral("P")},
    };
    m_parser.setApplicationDescription(description);
    m_parser.addOptions(m_options);
    m_parser.addOptions({m_noDiscovery, m_config, m_help, m_version});
}

Outcome Reading::outcome()
{
    Outcome outcome;
    outcome.usage = m_parser.helpText();
    if (!m_parser.parse(m_arguments)) {
        outcome.error = m_parser.errorText();
        return outcome;
    }
    if (m_parser.isSet(m_help)) {
        outcome.helpText = outcome.usage;
        return outcome;
    }
    if (m_parser.isSet(m_version)) {
        outcome.versionText = QStringLiteral("relay-mqtt " RELAYMQTT_VERSION "\n");
        return outcome;
    }
    if (!m_parser.positionalArguments().isEmpty()) {
        outcome.error = BridgeOptionsReader::tr("unexpected argument \"%1\"")
                            .arg(m_parser.positionalArguments().constFirst());
        return outcome;
    }

    BridgeOptions options;
    if ((!m_parser.isSet(m_config) || readConfigFile(m_parser.value(m_config))) && readPort(options)
        && readCards(options) && readTopics(options) && readBroker(options) && readLogin(options))
        outcome.options = options;
    outcome.error = m_error;
    return outcome;
}

bool Reading::readConfigFile(const QString &path)
{
    using R = BridgeOptionsReader;
    // QSettings takes a missing file for an empty one: a mistyped name must not go unnoticed.
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable())
        return fail(R::tr("the config file %1 cannot be read").arg(path));
    m_configPath = path;
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return fail(R::tr("the config file %1 is not an INI file QSettings can read").arg(path));
    for (const QString &key : settings.allKeys()) {
        if (std::find(configKeys.begin(), configKeys.end(), key) == configKeys.end())
            return fail(R::tr("%1: unknown key \"%2\"").arg(path, key));
        m_file.insert(key, settings.value(key));
    }
    return true;
}

std::optional<Reading::Value> Reading::value(const QString &key, bool list)
{
    const auto option = std::find_if(m_options.cbegin(), m_options.cend(),
        [&key](const QCommandLineOption &o) { return o.names().constFirst() == key; });
    if (option != m_options.cend() && m_parser.isSet(*option)) {
        const QStringList texts = m_parser.values(*option);
        return Value{list ? texts : QStringList{texts.constLast()}, QStringLiteral("--") + key};
    }
    return fileValue(key, list);
}

std::optional<Reading::Value> Reading::fileValue(const QString &key, bool list)
{
    if (!m_file.contains(key))
        return std::nullopt;
    const QVariant stored = m_file.value(key);
    Value value{{}, m_configPath + QStringLiteral(": ") + key};
    if (stored.typeId() == QMetaType::QStringList) {
        value.texts = stored.toStringList();
        // An unquoted comma makes a list of the value, which only card may be.
        if (!list) {
            fail(BridgeOptionsReader::tr("%1 has a comma: put the value in double quotes")
                     .arg(value.where));
            return std::nullopt;
        }
    } else {
        value.texts = {stored.toString()};
    }
    return value;
}

QString Reading::path(const Value &value) const
{
    QString text = value.texts.constFirst();
    if (value.where.startsWith(QStringLiteral("--")) || text.isEmpty())
        return text;
    return QFileInfo(m_configPath).dir().filePath(text);
}

bool Reading::readPort(BridgeOptions &options)
{
    using R = BridgeOptionsReader;
    const bool onCommandLine
        = m_parser.isSet(QStringLiteral("port")) || m_parser.isSet(QStringLiteral("device"));
    // The command line names the port as a whole: its --device takes the place of the file's
    // port.
    const auto from = [&](const QString &key) {
        return onCommandLine ? (m_parser.isSet(key) ? value(key) : std::nullopt)
                             : fileValue(key, false);
    };
    const std::optional<Value> port = from(QStringLiteral("port"));
    const std::optional<Value> device = from(QStringLiteral("device"));
    if (!m_error.isEmpty())
        return false;
    if (port && device)
        return fail(R::tr("%1 and %2 name two ports: give one").arg(port->where, device->where));
    if (port) {
        const QString text = port->texts.constFirst();
        const std::optional<int> number = DecimalNumber::read(text, highestPort);
        if (!number || *number < 1)
            return fail(R::tr("%1 %2: ports are numbered from 1 to %3")
                            .arg(port->where, text)
                            .arg(highestPort));
        options.port = *number;
        return true;
    }
    if (device) {
        options.device = path(*device);
        if (options.device.isEmpty())
            return fail(R::tr("%1 is empty").arg(device->where));
        return true;
    }
    return fail(R::tr("no port given: name it with --device PATH or --port N"));
}

bool Reading::readCards(BridgeOptions &options)
{
    using R = BridgeOptionsReader;
    const std::optional<Value> cards = value(QStringLiteral("card"), true);
    if (!m_error.isEmpty())
        return false;
    if (!cards)
        return fail(R::tr("no card given: name every card with --card A"));
    for (const QString &text : cards->texts) {
        const std::optional<int> address = DecimalNumber::read(text, highestAddress);
        if (!address)
            return fail(R::tr("%1 %2: addresses are 0 to 255").arg(cards->where, text));
        if (!options.cards.contains(quint8(*address)))
            options.cards.append(quint8(*address));
    }
    return true;
}

bool Reading::readTopics(BridgeOptions &options)
{
    using R = BridgeOptionsReader;
    if (const std::optional<Value> name = value(QStringLiteral("name"))) {
        options.name = name->texts.constFirst();
        if (const std::optional<QString> problem = topicProblem(options.name))
            return fail(
                R::tr("%1 \"%2\" cannot be a topic: %3").arg(name->where, options.name, *problem));
    }
    if (const std::optional<Value> prefix = value(QStringLiteral("discovery-prefix"))) {
        options.discoveryPrefix = prefix->texts.constFirst();
        if (const std::optional<QString> problem = topicProblem(options.discoveryPrefix))
            return fail(R::tr("%1 \"%2\" cannot be a topic: %3")
                            .arg(prefix->where, options.discoveryPrefix, *problem));
    }
    if (m_parser.isSet(m_noDiscovery)) {
        options.discovery = false;
    } else if (const std::optional<Value> discovery
        = fileValue(QStringLiteral("discovery"), false)) {
        const QString text = discovery->texts.constFirst().toLower();
        if (text != QLatin1String("true") && text != QLatin1String("false"))
            return fail(R::tr("%1 is true or false, not \"%2\"")
                            .arg(discovery->where, discovery->texts.constFirst()));
        options.discovery = text == QLatin1String("true");
    }
    options.mqtt.clientId
        = QStringLiteral("relay-mqtt-") + QString(options.name).replace(u'/', u'-');
    return m_error.isEmpty();
}

bool Reading::readBroker(BridgeOptions &options)
{
    using R = BridgeOptionsReader;
    if (const std::optional<Value> broker = value(QStringLiteral("broker"))) {
        if (!options.mqtt.setBroker(broker->texts.constFirst()))
            return fail(R::tr("%1 %2: a broker is HOST, HOST:PORT, [IPV6] or [IPV6]:PORT, with "
                              "a port from 1 to 65535")
                            .arg(broker->where, broker->texts.constFirst()));
    }
    if (const std::optional<Value> caFile = value(QStringLiteral("cafile"))) {
        options.mqtt.caFile = path(*caFile);
        const QFileInfo info(options.mqtt.caFile);
        if (!info.isFile() || !info.isReadable())
            return fail(
                R::tr("%1 %2: the file cannot be read").arg(caFile->where, options.mqtt.caFile));
    }
    return m_error.isEmpty();
}

bool Reading::readLogin(BridgeOptions &options)
{
    using R = BridgeOptionsReader;
    const std::optional<Value> username = value(QStringLiteral("username"));
    std::optional<Value> passwordFile = value(QStringLiteral("password-file"));
    std::optional<Value> password;
    // A --password-file takes the place of whatever password the file holds.
    if (!passwordFile || !m_parser.isSet(QStringLiteral("password-file")))
        password = fileValue(QStringLiteral("password"), false);
    if (!m_error.isEmpty())
        return false;
    if (password && passwordFile)
        return fail(R::tr("%1 and %2 give two passwords: give one")
                        .arg(passwordFile->where, password->where));
    if (passwordFile) {
        const std::optional<QString> read = readPasswordFile(*passwordFile);
        if (!read)
            return false;
        options.mqtt.password = *read;
    } else if (password) {
        options.mqtt.password = password->texts.constFirst();
    }
    if (username) {
        options.mqtt.username = username->texts.constFirst();
        if (options.mqtt.username.isEmpty())
            return fail(R::tr("%1 is empty").arg(username->where));
        if (!password && !passwordFile)
            return fail(R::tr("%1 needs a password: name its file with --password-file F")
                            .arg(username->where));
    } else if (password || passwordFile) {
        return fail(R::tr("a password without a username: give it with --username U"));
    }
    return true;
}

std::optional<QString> Reading::readPasswordFile(const Value &file)
{
    using R = BridgeOptionsReader;
    const QString name = path(file);
    QFile input(name);
    if (!input.open(QIODevice::ReadOnly | QIODevice::Text)) {
        fail(R::tr("%1 %2 cannot be read: %3").arg(file.where, name, input.errorString()));
        return std::nullopt;
    }
    QString line = QString::fromUtf8(input.readLine());
    // The line's end, Unix's or Windows', is not the password's.
    if (line.endsWith(u'\n'))
        line.chop(1);
    if (line.endsWith(u'\r'))
        line.chop(1);
    if (line.isEmpty()) {
        fail(R::tr("%1 %2: the first line, the password, is empty").arg(file.where, name));
        return std::nullopt;
    }
    return line;
}

bool Reading::fail(const QString &error)
{
    if (m_error.isEmpty())
        m_error = error;
    return false;
}

} // namespace

BridgeOptionsReader::Outcome BridgeOptionsReader::read(const QStringList &arguments)
{
    return Reading(arguments).outcome();
}
