#include "relay-mqtt/BridgeOptionsReader.h"

#include "relay-mqtt/mqtt/BridgeTopics.h"
#include "system/DecimalNumber.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMap>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QVariant>

#include <algorithm>
#include <array>
#include <utility>

namespace {

using Outcome = BridgeOptionsReader::Outcome;

constexpr int highestPort = 32767;
constexpr int highestAddress = 255;
constexpr int longestInterlockDelay = 10'000; // ms

const QString description
    = QStringLiteral(R"(Bridges the relay cards on one serial port to an MQTT broker, with Home
Assistant's MQTT discovery, and serves them on a web page with a JSON API of its own
(--http). It runs until SIGTERM or SIGINT.

Topics for relay R (1 to 8) of the card at address A, under NAME:
  NAME/A/relay/R/set     ON, OFF or TOGGLE (true, false, 1, 0)
  NAME/A/relay/R/hold    milliseconds to hold the relay, 1 to 3600000; the line
                         keeps two relays held at once, a third hold is refused
  NAME/A/all/set         ON or OFF: every relay
  NAME/A/stop            emergency stop: every relay off
  NAME/A/show            the card shows its address
  NAME/A/relay/R/state   ON or OFF, as the bridge last set it, after every command
                         about the relay, carried out or refused (retained)
  NAME/status            online or offline (retained)

Every option can also be set in the INI file named by --config, under its own name without the
dashes (card=1,2); the command line wins. The password is given only there, as password= (in a
file only its owner may read), in the file named by --password-file, or as the systemd
credential named password.

In the INI file, a group per card names it and its relays and may keep relays from being on
together: [card.1] with name=Workbench, relay.3=Pump, interlock=1 2, 5 6 7. Turning on a relay
of an interlock group first turns the others of its group off and waits --interlock-delay.

The web page (--http ADDRESS:PORT, with --no-broker alone) switches the same cards through the
same queue, live on every open page. Its API, for scripts:
  GET  /api/cards                  cards, names, relay states, port and broker state
  POST /api/cards/A/relays/R       {"state":"ON"|"OFF"|"TOGGLE"} or {"hold_ms":N}
  POST /api/cards/A/all            {"state":"ON"|"OFF"}
  POST /api/cards/A/stop           emergency stop; POST /api/cards/A/show
Answers: 202 taken, 400 bad body or request, 401 no login, 404 no such card or relay, 408 too
slow, 409 refused by an interlock or the holds the line keeps, 413 body over 4 KiB, 421 not
this server's name (--http-host adds names), 429 queue full or too many failed logins, 431 head
over 8 KiB, 503 port lost or too many connections. On an address other than loopback the page
needs --http-password-file (or the systemd credential http-password); scripts send
"Authorization: Bearer TOKEN" with --http-token-file (or http-token).

A refused login and a broker out of reach are tried again, the pause growing up to 5 minutes.
Exit status: 0 stopped by SIGTERM or SIGINT, 64 wrong options, 78 the broker's settings (its
TLS files) or the web page's (its address, certificate or key) could not be used at all.)");

// The config file's keys; a key not among them is a mistake.
const std::array configKeys{QStringLiteral("port"), QStringLiteral("device"),
    QStringLiteral("card"), QStringLiteral("broker"), QStringLiteral("name"),
    QStringLiteral("username"), QStringLiteral("password-file"), QStringLiteral("password"),
    QStringLiteral("cafile"), QStringLiteral("capath"), QStringLiteral("certfile"),
    QStringLiteral("keyfile"), QStringLiteral("discovery"), QStringLiteral("discovery-prefix"),
    QStringLiteral("ha-status-topic"), QStringLiteral("interlock-delay"), QStringLiteral("http"),
    QStringLiteral("http-password-file"), QStringLiteral("http-token-file"),
    QStringLiteral("http-cert"), QStringLiteral("http-key"), QStringLiteral("http-host")};
// A card's group: [card.A] with these keys, relay.R for relays 1 to 8.
const QString cardGroupPrefix = QStringLiteral("card.");
const QString relayKeyPrefix = QStringLiteral("relay.");
// The systemd credentials the service may be handed: read without a path to spell out.
const QString passwordCredential = QStringLiteral("password");
const QString httpPasswordCredential = QStringLiteral("http-password");
const QString httpTokenCredential = QStringLiteral("http-token");
// The broker's name when there is none: the web page alone.
const QString noBroker = QStringLiteral("none");

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
    bool readCardGroups(BridgeOptions &options);
    bool readCardGroupKey(BridgeOptions::Card &card, const QString &key, const QString &fileKey);
    bool readInterlocks(BridgeOptions::Card &card, const Value &value);
    bool readTopics(BridgeOptions &options);
    bool readBroker(BridgeOptions &options);
    bool readLogin(BridgeOptions &options);
    // The first line of the file, `what` it holds (the password, the token).
    std::optional<QString> readPasswordFile(const Value &file, const QString &what);
    bool readTls(BridgeOptions &options);
    bool readWeb(BridgeOptions &options);
    bool readHostNames(WebSettings &web);
    // The file named by `key`, else the systemd credential; its first line into `secret`.
    bool readSecret(
        const QString &key, const QString &credential, const QString &what, QString &secret);
    // The credential's path, if the service was handed it.
    static std::optional<QString> credentialPath(const QString &name);
    bool fail(const QString &error);

    QCommandLineParser m_parser;
    QList<QCommandLineOption> m_options;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    QCommandLineOption m_noDiscovery;
    QCommandLineOption m_noBroker;
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
      m_noBroker(QStringLiteral("no-broker"),
          BridgeOptionsReader::tr("Use no broker: the web page alone (as broker=none).")),
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
            R::tr("The MQTT broker: HOST, HOST:PORT or [IPV6]:PORT (localhost:1883), or none."),
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
        {QStringLiteral("capath"),
            R::tr("Connect with TLS, checking the broker's certificate against the CAs in this "
                  "folder (OpenSSL's hashed names)."),
            QStringLiteral("DIR")},
        {QStringLiteral("certfile"),
            R::tr("With TLS, show the broker this client certificate (with --keyfile)."),
            QStringLiteral("F")},
        {QStringLiteral("keyfile"), R::tr("The private key of --certfile."), QStringLiteral("F")},
        {QStringLiteral("discovery-prefix"),
            R::tr("The topic prefix of Home Assistant's discovery (homeassistant)."),
            QStringLiteral("P")},
        {QStringLiteral("ha-status-topic"),
            R::tr("Where Home Assistant says it is online; the configs go out again then "
                  "(homeassistant/status)."),
            QStringLiteral("T")},
        {QStringLiteral("interlock-delay"),
            R::tr("Milliseconds between an interlocked relay's OFF and its partner's ON (100)."),
            QStringLiteral("MS")},
        {QStringLiteral("http"),
            R::tr("Serve the web page and its API on ADDRESS:PORT (off unless given); an "
                  "address other than loopback needs --http-password-file."),
            QStringLiteral("ADDRESS:PORT")},
        {QStringLiteral("http-password-file"),
            R::tr("The file whose first line is the web page's login password."),
            QStringLiteral("F")},
        {QStringLiteral("http-token-file"),
            R::tr("The file whose first line is the API's Bearer token."), QStringLiteral("F")},
        {QStringLiteral("http-cert"),
            R::tr("Serve the page over HTTPS with this certificate (with --http-key)."),
            QStringLiteral("F")},
        {QStringLiteral("http-key"), R::tr("The private key of --http-cert."), QStringLiteral("F")},
        {QStringLiteral("http-host"),
            R::tr("A name the page is reached by beside its address and the machine's name (a "
                  "DNS name, a reverse proxy's); repeat it, or list names, for more."),
            QStringLiteral("NAME")},
    };
    m_parser.setApplicationDescription(description);
    m_parser.addOptions(m_options);
    m_parser.addOptions({m_noDiscovery, m_noBroker, m_config, m_help, m_version});
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
        && readCards(options) && readCardGroups(options) && readTopics(options)
        && readBroker(options) && readTls(options) && readLogin(options) && readWeb(options))
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
        if (!key.startsWith(cardGroupPrefix)
            && std::find(configKeys.begin(), configKeys.end(), key) == configKeys.end())
            return fail(R::tr("%1: unknown key \"%2\"").arg(path, key));
        m_file.insert(key, settings.value(key));
    }
    // Like ssh with a key, a password others may read is refused rather than used.
    if (m_file.contains(QStringLiteral("password"))
        && (info.permissions() & (QFile::ReadGroup | QFile::ReadOther)))
        return fail(R::tr("%1 holds a password and other users may read it: make it readable "
                          "by its owner alone (chmod 600), or give the password in a file of "
                          "its own (password-file) or as the systemd credential \"password\"")
                        .arg(path));
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
    const bool hasGroups = std::any_of(m_file.keyBegin(), m_file.keyEnd(),
        [](const QString &key) { return key.startsWith(cardGroupPrefix); });
    if (!cards && !hasGroups)
        return fail(R::tr("no card given: name every card with --card A"));
    for (const QString &text : cards ? cards->texts : QStringList{}) {
        const std::optional<int> address = DecimalNumber::read(text, highestAddress);
        if (!address)
            return fail(R::tr("%1 %2: addresses are 0 to 255").arg(cards->where, text));
        if (!options.cards.contains(quint8(*address)))
            options.cards.append(quint8(*address));
    }
    return true;
}

bool Reading::readCardGroups(BridgeOptions &options)
{
    using R = BridgeOptionsReader;
    for (auto entry = m_file.cbegin(); entry != m_file.cend(); ++entry) {
        const QString &fileKey = entry.key();
        if (!fileKey.startsWith(cardGroupPrefix))
            continue;
        const QString group = fileKey.section(u'/', 0, 0);
        const QString key = fileKey.section(u'/', 1);
        const std::optional<int> address
            = DecimalNumber::read(group.sliced(cardGroupPrefix.size()), highestAddress);
        if (!address || !fileKey.contains(u'/'))
            return fail(R::tr("%1: [%2] is no card's group: a card's group is [card.A], A from "
                              "0 to 255")
                            .arg(m_configPath, group));
        const auto card = quint8(*address);
        if (!options.cards.contains(card))
            options.cards.append(card);
        if (!readCardGroupKey(options.cardGroups[card], key, fileKey))
            return false;
    }
    return true;
}

bool Reading::readCardGroupKey(
    BridgeOptions::Card &card, const QString &key, const QString &fileKey)
{
    using R = BridgeOptionsReader;
    const bool interlock = key == QLatin1String("interlock");
    const std::optional<Value> value = fileValue(fileKey, interlock);
    if (!value)
        return false;
    if (interlock)
        return readInterlocks(card, *value);
    const QString text = value->texts.constFirst().trimmed();
    if (key == QLatin1String("name")) {
        card.name = text;
        return true;
    }
    const std::optional<int> relay = key.startsWith(relayKeyPrefix)
        ? DecimalNumber::read(key.sliced(relayKeyPrefix.size()), BridgeOptions::relayCount)
        : std::nullopt;
    if (!relay || *relay < 1)
        return fail(R::tr("%1: unknown key \"%2\" (a card's group takes name, relay.1 to relay.8 "
                          "and interlock)")
                        .arg(value->where, key));
    card.relayNames.at(*relay - 1) = text;
    return true;
}

bool Reading::readInterlocks(BridgeOptions::Card &card, const Value &value)
{
    using R = BridgeOptionsReader;
    QList<int> grouped;
    for (const QString &text : value.texts) {
        QList<int> group;
        for (const QString &number : text.split(u' ', Qt::SkipEmptyParts)) {
            const std::optional<int> relay = DecimalNumber::read(number, BridgeOptions::relayCount);
            if (!relay || *relay < 1)
                return fail(R::tr("%1 \"%2\": relays are 1 to 8, a group's relays separated by "
                                  "blanks, the groups by commas")
                                .arg(value.where, value.texts.join(QStringLiteral(", "))));
            if (grouped.contains(*relay) || group.contains(*relay))
                return fail(R::tr("%1: relay %2 is in two interlock groups, or twice in one")
                                .arg(value.where)
                                .arg(*relay));
            group << *relay;
        }
        if (group.size() < 2)
            return fail(R::tr("%1 \"%2\": an interlock group names two relays or more")
                            .arg(value.where, text));
        grouped += group;
        card.interlocks << group;
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
    if (const std::optional<Value> birth = value(QStringLiteral("ha-status-topic"))) {
        options.haStatusTopic = birth->texts.constFirst();
        if (const std::optional<QString> problem = topicProblem(options.haStatusTopic))
            return fail(R::tr("%1 \"%2\" cannot be a topic: %3")
                            .arg(birth->where, options.haStatusTopic, *problem));
    }
    if (const std::optional<Value> delay = value(QStringLiteral("interlock-delay"))) {
        const std::optional<int> ms
            = DecimalNumber::read(delay->texts.constFirst(), longestInterlockDelay);
        if (!ms)
            return fail(R::tr("%1 %2: milliseconds from 0 to %3")
                            .arg(delay->where, delay->texts.constFirst())
                            .arg(longestInterlockDelay));
        options.interlockDelay = std::chrono::milliseconds(*ms);
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
    // One per bridge on a broker, even for bridges of the same name on two machines.
    options.hostName = QSysInfo::machineHostName();
    options.mqtt.clientId = QStringLiteral("relay-mqtt-%1@%2")
                                .arg(BridgeTopics::idOf(options.name), options.hostName);
    return m_error.isEmpty();
}

bool Reading::readBroker(BridgeOptions &options)
{
    using R = BridgeOptionsReader;
    if (m_parser.isSet(m_noBroker)) {
        options.useBroker = false;
        return true;
    }
    if (const std::optional<Value> broker = value(QStringLiteral("broker"))) {
        if (broker->texts.constFirst() == noBroker) {
            options.useBroker = false;
            return true;
        }
        if (!options.mqtt.setBroker(broker->texts.constFirst()))
            return fail(R::tr("%1 %2: a broker is HOST, HOST:PORT, [IPV6] or [IPV6]:PORT, with "
                              "a port from 1 to 65535")
                            .arg(broker->where, broker->texts.constFirst()));
    }
    return m_error.isEmpty();
}

bool Reading::readTls(BridgeOptions &options)
{
    using R = BridgeOptionsReader;
    MqttSettings &mqtt = options.mqtt;
    const auto readFile = [this](const QString &key, QString &into, bool folder = false) {
        const std::optional<Value> given = value(key);
        if (!given)
            return m_error.isEmpty();
        into = path(*given);
        const QFileInfo info(into);
        if ((folder ? !info.isDir() : !info.isFile()) || !info.isReadable())
            return fail((folder ? R::tr("%1 %2: the folder cannot be read")
                                : R::tr("%1 %2: the file cannot be read"))
                            .arg(given->where, into));
        return true;
    };
    if (!readFile(QStringLiteral("cafile"), mqtt.caFile)
        || !readFile(QStringLiteral("capath"), mqtt.caPath, true)
        || !readFile(QStringLiteral("certfile"), mqtt.certFile)
        || !readFile(QStringLiteral("keyfile"), mqtt.keyFile))
        return false;
    if (mqtt.certFile.isEmpty() != mqtt.keyFile.isEmpty())
        return fail(R::tr("a client certificate needs both certfile and keyfile"));
    if (!mqtt.certFile.isEmpty() && !mqtt.usesTls())
        return fail(R::tr("a client certificate needs TLS: give cafile or capath too"));
    return true;
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
    // The service's credential, when nothing else names a password.
    if (!password && !passwordFile) {
        if (const std::optional<QString> credential = credentialPath(passwordCredential))
            passwordFile
                = Value{{*credential}, R::tr("the systemd credential %1").arg(*credential)};
    }
    if (password && passwordFile)
        return fail(R::tr("%1 and %2 give two passwords: give one")
                        .arg(passwordFile->where, password->where));
    if (passwordFile) {
        const std::optional<QString> read = readPasswordFile(*passwordFile, R::tr("the password"));
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

std::optional<QString> Reading::readPasswordFile(const Value &file, const QString &what)
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
        fail(R::tr("%1 %2: the first line, %3, is empty").arg(file.where, name, what));
        return std::nullopt;
    }
    return line;
}

std::optional<QString> Reading::credentialPath(const QString &name)
{
    const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (credentials.isEmpty())
        return std::nullopt;
    const QString path = QDir(credentials).filePath(name);
    if (!QFileInfo::exists(path))
        return std::nullopt;
    return path;
}

bool Reading::readSecret(
    const QString &key, const QString &credential, const QString &what, QString &secret)
{
    std::optional<Value> file = value(key);
    if (!m_error.isEmpty())
        return false;
    if (!file) {
        if (const std::optional<QString> path = credentialPath(credential))
            file = Value{{*path}, BridgeOptionsReader::tr("the systemd credential %1").arg(*path)};
    }
    if (!file)
        return true;
    const std::optional<QString> read = readPasswordFile(*file, what);
    if (read)
        secret = *read;
    return read.has_value();
}

bool Reading::readWeb(BridgeOptions &options)
{
    using R = BridgeOptionsReader;
    WebSettings &web = options.web;
    const std::optional<Value> listen = value(QStringLiteral("http"));
    if (!m_error.isEmpty())
        return false;
    if (!listen) {
        if (!options.useBroker)
            return fail(R::tr("no broker and no web page: give --http ADDRESS:PORT, or a broker"));
        return true;
    }
    if (!web.setListen(listen->texts.constFirst()))
        return fail(R::tr("%1 %2: the web page's address is ADDRESS:PORT or [IPV6]:PORT, with a "
                          "literal address (or localhost) and a port from 1 to 65535")
                        .arg(listen->where, listen->texts.constFirst()));
    if (!readSecret(QStringLiteral("http-password-file"), httpPasswordCredential,
            R::tr("the password"), web.password)
        || !readSecret(
            QStringLiteral("http-token-file"), httpTokenCredential, R::tr("the token"), web.token))
        return false;
    // Anyone on the network could switch the relays: a page they can reach needs a login.
    if (!web.onLoopback() && web.password.isEmpty())
        return fail(R::tr("%1 %2 can be reached from other machines: give the page a password "
                          "with --http-password-file F (or the systemd credential %3), or serve "
                          "it on a loopback address such as 127.0.0.1")
                        .arg(listen->where, listen->texts.constFirst(), httpPasswordCredential));
    const std::optional<Value> cert = value(QStringLiteral("http-cert"));
    const std::optional<Value> key = value(QStringLiteral("http-key"));
    if (!m_error.isEmpty())
        return false;
    if (cert.has_value() != key.has_value())
        return fail(R::tr("HTTPS needs both http-cert and http-key"));
    if (cert) {
        web.certFile = path(*cert);
        web.keyFile = path(*key);
    }
    return readHostNames(web);
}

bool Reading::readHostNames(WebSettings &web)
{
    using R = BridgeOptionsReader;
    const std::optional<Value> names = value(QStringLiteral("http-host"), true);
    if (!m_error.isEmpty())
        return false;
    for (const QString &text : names ? names->texts : QStringList{}) {
        static const QRegularExpression separators(QStringLiteral("[ ,]"));
        for (const QString &name : text.split(separators, Qt::SkipEmptyParts)) {
            // A host name, or an address: what a Host header may carry, without its port.
            static const QRegularExpression hostName(QStringLiteral(
                R"(^([A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?\.)*[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?\.?$)"));
            if (!hostName.match(name).hasMatch() && QHostAddress(name).isNull())
                return fail(R::tr("%1 %2: a name is letters, digits, hyphens and dots, with no "
                                  "port")
                                .arg(names->where, name));
            web.hostNames << name;
        }
    }
    return true;
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
