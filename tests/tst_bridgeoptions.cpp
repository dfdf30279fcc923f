#include "relay-mqtt/BridgeOptionsReader.h"
#include "relay-mqtt/DiscoveryConfigs.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The options in one line, every field named, so that a row states all it expects.
QString describe(const BridgeOptions &options)
{
    QStringList cards;
    for (const quint8 card : options.cards)
        cards << QString::number(card);
    const MqttSettings &mqtt = options.mqtt;
    return QStringLiteral("port=%1 device=%2 cards=%3 name=%4 broker=%5:%6 user=%7 password=%8 "
                          "ca=%9 discovery=%10 prefix=%11 client=%12")
        .arg(options.port)
        .arg(options.device, cards.join(u','), options.name, mqtt.host)
        .arg(mqtt.port)
        .arg(mqtt.username, mqtt.password, mqtt.caFile,
            options.discovery ? QStringLiteral("on") : QStringLiteral("off"),
            options.discoveryPrefix, mqtt.clientId);
}

// The defaults, as `describe` writes them, for a line with only --port 1 --card 1.
const QString defaults = QStringLiteral(
    "port=1 device= cards=1 name=relaycards broker=localhost:1883 user= password= ca= "
    "discovery=on prefix=homeassistant client=relay-mqtt-relaycards");

QString withDefaults(const QString &changes)
{
    // Each "key=value" of `changes` in place of the default's.
    QStringList fields = defaults.split(u' ');
    for (const QString &change : changes.split(u' ', Qt::SkipEmptyParts)) {
        const QString key = change.section(u'=', 0, 0);
        for (QString &field : fields) {
            if (field.section(u'=', 0, 0) == key)
                field = change;
        }
    }
    return fields.join(u' ');
}

QStringList args(const QString &line)
{
    return QStringList{QStringLiteral("relay-mqtt")} + line.split(u' ', Qt::SkipEmptyParts);
}

QJsonObject parsed(const QByteArray &payload)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        qWarning() << "not a JSON object:" << payload << error.errorString();
    return document.object();
}

BridgeOptions bridge(const QString &name, const QList<quint8> &cards)
{
    BridgeOptions options;
    options.name = name;
    options.cards = cards;
    return options;
}

} // namespace

class TestBridgeOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void goodLines_data();
    void goodLines();
    void badLines_data();
    void badLines();
    void helpAndVersion();
    void shippedConfigFile();

    void discoveryMessage_data();
    void discoveryMessage();
    void discoveryCoversEveryEntity();
    void discoveryOff();

private:
    // `$CONF` in the text, the row's config file; `$DIR`, the temporary folder's path.
    QString inDir(QString text) const
    {
        return text.replace(QStringLiteral("$CONF"), m_config)
            .replace(QStringLiteral("$DIR"), m_dir.path());
    }
    void write(const QString &name, const QByteArray &content) const;
    void writeConfig(const QString &content) const;

    QTemporaryDir m_dir;
    QString m_config;
    int m_rows = 0;
};

void TestBridgeOptions::write(const QString &name, const QByteArray &content) const
{
    QFile file(m_dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

void TestBridgeOptions::init()
{
    // A file of its own for every row: QSettings keeps what it read of a file, and takes a
    // rewrite of the same size within the same second for the same file.
    m_config = m_dir.filePath(QStringLiteral("relay-mqtt-%1.conf").arg(++m_rows));
}

void TestBridgeOptions::writeConfig(const QString &content) const
{
    write(QFileInfo(m_config).fileName(), inDir(content).toUtf8());
}

void TestBridgeOptions::initTestCase()
{
    QVERIFY(m_dir.isValid());
    write(QStringLiteral("password"), "s3cret, with a comma\n");
    write(QStringLiteral("crlf-password"), "dos\r\nsecond line\n");
    write(QStringLiteral("empty-password"), "");
    write(QStringLiteral("ca.pem"), "not checked here\n");
}

void TestBridgeOptions::goodLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("config"); // empty: no config file written
    QTest::addColumn<QString>("expected");

    QTest::newRow("the least") << "--port 1 --card 1"
                               << "" << defaults;
    QTest::newRow("value after =") << "--port=3 --card=7"
                                   << "" << withDefaults("port=3 cards=7");
    QTest::newRow("device") << "--device /dev/serial/by-id/usb-x --card 0"
                            << "" << withDefaults("port=0 device=/dev/serial/by-id/usb-x cards=0");
    QTest::newRow("cards in order, repeats dropped")
        << "--port 1 --card 5 --card 2 --card 5 --card 255 --card 2"
        << "" << withDefaults("cards=5,2,255");
    QTest::newRow("leading zero is the same card") << "--port 1 --card 01 --card 1 --card 007"
                                                   << "" << withDefaults("cards=1,7");
    QTest::newRow("broker with port") << "--port 1 --card 1 --broker mqtt.lan:8883"
                                      << "" << withDefaults("broker=mqtt.lan:8883");
    QTest::newRow("broker IPv6") << "--port 1 --card 1 --broker [::1]:1884"
                                 << "" << withDefaults("broker=::1:1884");
    QTest::newRow("name with levels") << "--port 1 --card 1 --name lab/relays/bench"
                                      << ""
                                      << withDefaults("name=lab/relays/bench "
                                                      "client=relay-mqtt-lab-relays-bench");
    QTest::newRow("login") << "--port 1 --card 1 --username bob --password-file $DIR/password"
                           << "" << withDefaults("user=bob password=s3cret,_with_a_comma");
    QTest::newRow("windows line end") << "--port 1 --card 1 --username bob --password-file "
                                         "$DIR/crlf-password"
                                      << "" << withDefaults("user=bob password=dos");
    QTest::newRow("tls, no discovery, prefix")
        << "--port 1 --card 1 --cafile $DIR/ca.pem --no-discovery --discovery-prefix ha/x"
        << "" << withDefaults("ca=$DIR/ca.pem discovery=off prefix=ha/x");

    const QString everything = QStringLiteral("; the bridge\n"
                                              "port = 4\n"
                                              "card = 3, 1, 3\n"
                                              "broker = broker.lan:1999\n"
                                              "name = house/relays\n"
                                              "username = alice\n"
                                              "password = \"from, the file\"\n"
                                              "discovery = false\n"
                                              "discovery-prefix = ha\n"
                                              "cafile = ca.pem\n");
    const QString fromFile
        = withDefaults("port=4 cards=3,1 broker=broker.lan:1999 name=house/relays user=alice "
                       "password=from,_the_file ca=$DIR/ca.pem discovery=off prefix=ha "
                       "client=relay-mqtt-house-relays");
    QTest::newRow("config file") << "--config $CONF" << everything << fromFile;
    QTest::newRow("command line wins")
        << "--config $CONF --device /dev/ttyUSB9 --card 8 --card 9 --broker b2 "
           "--name n --username carol --password-file $DIR/password --discovery-prefix p"
        << everything
        << withDefaults("port=0 device=/dev/ttyUSB9 cards=8,9 broker=b2:1883 name=n user=carol "
                        "password=s3cret,_with_a_comma ca=$DIR/ca.pem discovery=off prefix=p "
                        "client=relay-mqtt-n");
    QTest::newRow("file's device, command line's port") << "--config $CONF --port 2"
                                                        << "device=/dev/ttyUSB0\ncard=6\n"
                                                        << withDefaults("port=2 cards=6");
    QTest::newRow("one card, password file beside the config")
        << "--config $CONF"
        << "[General]\ndevice=/dev/ttyACM0\ncard=9\nusername=u\npassword-file=password\n"
           "discovery=TRUE\n"
        << withDefaults("port=0 device=/dev/ttyACM0 cards=9 user=u password=s3cret,_with_a_comma");
    QTest::newRow("file's password, command line's user")
        << "--config $CONF --port 1 --card 1 --username dave"
        << "password=pw\n"
        << withDefaults("user=dave password=pw");
}

void TestBridgeOptions::goodLines()
{
    QFETCH(QString, line);
    QFETCH(QString, config);
    QFETCH(QString, expected);

    if (!config.isEmpty())
        writeConfig(config);
    const BridgeOptionsReader::Outcome outcome = BridgeOptionsReader::read(args(inDir(line)));
    QCOMPARE(outcome.error, QString());
    QVERIFY(outcome.helpText.isEmpty());
    QVERIFY(outcome.options.has_value());
    // Blanks in a value would split `describe`'s fields: they are written as _.
    QString got = describe(*outcome.options);
    got.replace(QStringLiteral("s3cret, with a comma"), QStringLiteral("s3cret,_with_a_comma"))
        .replace(QStringLiteral("from, the file"), QStringLiteral("from,_the_file"));
    QCOMPARE(got, inDir(expected));
}

void TestBridgeOptions::badLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("error"); // a part of the message

    QTest::newRow("no port") << "--card 1"
                             << ""
                             << "no port given";
    QTest::newRow("port and device") << "--port 1 --device /dev/x --card 1"
                                     << ""
                                     << "--port and --device name two ports";
    QTest::newRow("port 0") << "--port 0 --card 1"
                            << ""
                            << "--port 0: ports are numbered";
    QTest::newRow("port word") << "--port one --card 1"
                               << ""
                               << "--port one: ports";
    QTest::newRow("no card") << "--port 1"
                             << ""
                             << "no card given";
    QTest::newRow("card 256") << "--port 1 --card 256"
                              << ""
                              << "--card 256: addresses are 0 to 255";
    QTest::newRow("card -1") << "--port 1 --card=-1"
                             << ""
                             << "--card -1: addresses";
    QTest::newRow("card 2.5") << "--port 1 --card 2.5"
                              << ""
                              << "--card 2.5: addresses";
    QTest::newRow("card abc") << "--port 1 --card 1 --card abc"
                              << ""
                              << "--card abc: addresses";
    QTest::newRow("card hex") << "--port 1 --card 0x10"
                              << ""
                              << "--card 0x10: addresses";
    QTest::newRow("card empty") << "--port 1 --card="
                                << ""
                                << "--card : addresses";
    QTest::newRow("broker port 0") << "--port 1 --card 1 --broker host:0"
                                   << ""
                                   << "--broker host:0: a broker is";
    QTest::newRow("broker port word") << "--port 1 --card 1 --broker host:x"
                                      << ""
                                      << "--broker host:x";
    QTest::newRow("broker empty") << "--port 1 --card 1 --broker="
                                  << ""
                                  << "--broker : a broker";
    QTest::newRow("name +") << "--port 1 --card 1 --name a/+/b"
                            << ""
                            << "wildcards";
    QTest::newRow("name #") << "--port 1 --card 1 --name relays#"
                            << ""
                            << "wildcards";
    QTest::newRow("name leading /") << "--port 1 --card 1 --name /relays"
                                    << ""
                                    << "starts or ends with /";
    QTest::newRow("name trailing /") << "--port 1 --card 1 --name relays/"
                                     << ""
                                     << "starts or ends with /";
    QTest::newRow("name empty level") << "--port 1 --card 1 --name a//b"
                                      << ""
                                      << "empty level";
    QTest::newRow("name empty") << "--port 1 --card 1 --name="
                                << ""
                                << "it is empty";
    QTest::newRow("prefix #") << "--port 1 --card 1 --discovery-prefix #"
                              << ""
                              << "--discovery-prefix \"#\" cannot be a topic";
    QTest::newRow("password on the command line") << "--port 1 --card 1 --username u --password pw"
                                                  << ""
                                                  << "Unknown option 'password'";
    QTest::newRow("username without password") << "--port 1 --card 1 --username u"
                                               << ""
                                               << "--username needs a password";
    QTest::newRow("password without username") << "--port 1 --card 1 --password-file $DIR/password"
                                               << ""
                                               << "without a username";
    QTest::newRow("password file missing")
        << "--port 1 --card 1 --username u --password-file $DIR/nowhere"
        << ""
        << "--password-file $DIR/nowhere cannot be read";
    QTest::newRow("password file empty")
        << "--port 1 --card 1 --username u --password-file $DIR/empty-password"
        << ""
        << "the password, is empty";
    QTest::newRow("ca file missing") << "--port 1 --card 1 --cafile $DIR/nowhere.pem"
                                     << ""
                                     << "--cafile $DIR/nowhere.pem: the file cannot be read";
    QTest::newRow("stray argument") << "--port 1 --card 1 on"
                                    << ""
                                    << "unexpected argument \"on\"";
    QTest::newRow("config missing") << "--port 1 --card 1 --config $DIR/nowhere.conf"
                                    << ""
                                    << "the config file $DIR/nowhere.conf cannot be read";
    QTest::newRow("config unknown key") << "--config $CONF --port 1 --card 1"
                                        << "cards=1\n"
                                        << "unknown key \"cards\"";
    QTest::newRow("config key in a section") << "--config $CONF"
                                             << "port=1\n[bridge]\ncard=1\n"
                                             << "unknown key \"bridge/card\"";
    QTest::newRow("config port and device") << "--config $CONF --card 1"
                                            << "port=1\ndevice=/dev/x\n"
                                            << "$CONF: port and $CONF: "
                                               "device name two ports";
    QTest::newRow("config card 300") << "--config $CONF"
                                     << "port=1\ncard=1,300\n"
                                     << "$CONF: card 300";
    QTest::newRow("config discovery maybe") << "--config $CONF"
                                            << "port=1\ncard=1\ndiscovery=maybe\n"
                                            << "discovery is true or false, not \"maybe\"";
    QTest::newRow("config comma in name") << "--config $CONF"
                                          << "port=1\ncard=1\nname=a,b\n"
                                          << "name has a comma";
    QTest::newRow("config two passwords")
        << "--config $CONF"
        << "port=1\ncard=1\nusername=u\npassword=x\npassword-file=password\n"
        << "give two passwords";
    QTest::newRow("config password without username") << "--config $CONF"
                                                      << "port=1\ncard=1\npassword=x\n"
                                                      << "without a username";
    QTest::newRow("config username without password") << "--config $CONF"
                                                      << "port=1\ncard=1\nusername=u\n"
                                                      << "$CONF: username needs a password";
}

void TestBridgeOptions::badLines()
{
    QFETCH(QString, line);
    QFETCH(QString, config);
    QFETCH(QString, error);

    if (!config.isEmpty())
        writeConfig(config);
    const BridgeOptionsReader::Outcome outcome = BridgeOptionsReader::read(args(inDir(line)));
    QVERIFY2(!outcome.options, qPrintable(outcome.error));
    QVERIFY2(outcome.error.contains(inDir(error)), qPrintable(outcome.error));
    QVERIFY(outcome.helpText.isEmpty());
    QVERIFY(outcome.usage.contains(QStringLiteral("--card <A>")));
}

void TestBridgeOptions::helpAndVersion()
{
    const BridgeOptionsReader::Outcome help = BridgeOptionsReader::read(args("--port 1 --help"));
    QVERIFY(help.error.isEmpty());
    QVERIFY(!help.options);
    for (const char *option : {"--port <N>", "--device <PATH>", "--card <A>", "--broker",
             "--name <NAME>", "--username <U>", "--password-file <F>", "--cafile <F>",
             "--discovery-prefix <P>", "--no-discovery", "--config <FILE>", "--version"}) {
        QVERIFY2(help.helpText.contains(QLatin1String(option)), option);
    }
    QCOMPARE(help.helpText, help.usage);

    const BridgeOptionsReader::Outcome version = BridgeOptionsReader::read(args("--version"));
    QVERIFY(version.error.isEmpty());
    QVERIFY(!version.options);
    QCOMPARE(version.versionText, QStringLiteral("relay-mqtt " RELAYMQTT_VERSION "\n"));
}

void TestBridgeOptions::shippedConfigFile()
{
    // Installed with every key commented out: it sets nothing, and its comments are no keys.
    const QString config = QStringLiteral(RELAYMQTT_CONF);
    const BridgeOptionsReader::Outcome alone = BridgeOptionsReader::read(
        {QStringLiteral("relay-mqtt"), QStringLiteral("--config"), config});
    QVERIFY2(alone.error.startsWith(QStringLiteral("no port given")), qPrintable(alone.error));
    const BridgeOptionsReader::Outcome outcome
        = BridgeOptionsReader::read(args(QStringLiteral("--port 1 --card 1 --config ") + config));
    QVERIFY2(outcome.options, qPrintable(outcome.error));
    QCOMPARE(describe(*outcome.options), defaults);
}

void TestBridgeOptions::discoveryMessage_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("json"); // the whole payload expected, device and origin aside

    QTest::newRow("switch") << "relaycards"
                            << "homeassistant/switch/relaycards_12_3/config"
                            << QByteArray(R"({"name":"Relay 3","unique_id":"relaycards_12_3",
        "command_topic":"relaycards/12/relay/3/set","state_topic":"relaycards/12/relay/3/state",
        "payload_on":"ON","payload_off":"OFF","state_on":"ON","state_off":"OFF",
        "optimistic":true,"availability_topic":"relaycards/status",
        "payload_available":"online","payload_not_available":"offline","qos":1})");
    QTest::newRow("switch, name with levels")
        << "lab/relays"
        << "homeassistant/switch/lab_relays_0_8/config"
        << QByteArray(R"({"name":"Relay 8","unique_id":"lab_relays_0_8",
        "command_topic":"lab/relays/0/relay/8/set","state_topic":"lab/relays/0/relay/8/state",
        "payload_on":"ON","payload_off":"OFF","state_on":"ON","state_off":"OFF",
        "optimistic":true,"availability_topic":"lab/relays/status",
        "payload_available":"online","payload_not_available":"offline","qos":1})");
    QTest::newRow("stop button") << "relaycards"
                                 << "homeassistant/button/relaycards_12_stop/config"
                                 << QByteArray(R"({"name":"Emergency stop",
        "unique_id":"relaycards_12_stop","command_topic":"relaycards/12/stop",
        "payload_press":"STOP","availability_topic":"relaycards/status",
        "payload_available":"online","payload_not_available":"offline","qos":1})");
    QTest::newRow("show button") << "lab/relays"
                                 << "homeassistant/button/lab_relays_0_show/config"
                                 << QByteArray(R"({"name":"Show address",
        "unique_id":"lab_relays_0_show","command_topic":"lab/relays/0/show",
        "payload_press":"SHOW","availability_topic":"lab/relays/status",
        "payload_available":"online","payload_not_available":"offline","qos":1})");
}

void TestBridgeOptions::discoveryMessage()
{
    QFETCH(QString, name);
    QFETCH(QString, topic);
    QFETCH(QByteArray, json);

    const QList<DiscoveryConfigs::Message> messages
        = DiscoveryConfigs::messages(bridge(name, {0, 12}));
    const auto found = std::find_if(messages.cbegin(), messages.cend(),
        [&topic](const DiscoveryConfigs::Message &m) { return m.topic == topic; });
    QVERIFY2(found != messages.cend(), qPrintable(topic));
    QJsonObject config = parsed(found->payload);
    const QJsonObject device = config.take(QStringLiteral("device")).toObject();
    const QJsonObject origin = config.take(QStringLiteral("origin")).toObject();
    QCOMPARE(config, parsed(json));
    const QString card = topic.section(u'_', -2, -2);
    QCOMPARE(device.value(QStringLiteral("name")).toString(), QStringLiteral("Relay card ") + card);
    QCOMPARE(device.value(QStringLiteral("identifiers")).toArray(),
        QJsonArray{QString(name).replace(u'/', u'_') + u'_' + card});
    QCOMPARE(origin.value(QStringLiteral("name")).toString(), QStringLiteral("relay-mqtt"));
}

void TestBridgeOptions::discoveryCoversEveryEntity()
{
    BridgeOptions options = bridge(QStringLiteral("my relays/bench"), {4, 1, 200});
    options.discoveryPrefix = QStringLiteral("ha/discovery");
    const QList<DiscoveryConfigs::Message> messages = DiscoveryConfigs::messages(options);
    QCOMPARE(messages.size(), 3 * (8 + 2));

    QSet<QString> topics;
    QSet<QString> ids;
    QMap<QString, QJsonArray> deviceOfCard;
    for (const DiscoveryConfigs::Message &message : messages) {
        const QJsonObject config = parsed(message.payload);
        const QString id = config.value(QStringLiteral("unique_id")).toString();
        // The object id is the unique id, made of what Home Assistant takes there.
        QCOMPARE(message.topic.section(u'/', -2, -2), id);
        QVERIFY2(QRegularExpression(QStringLiteral("^my_relays_bench_(4|1|200)_([1-8]|stop|show)$"))
                     .match(id)
                     .hasMatch(),
            qPrintable(id));
        QVERIFY(message.topic.startsWith(QStringLiteral("ha/discovery/")));
        QVERIFY(message.topic.endsWith(QStringLiteral("/config")));
        topics << message.topic;
        ids << id;
        QCOMPARE(config.value(QStringLiteral("availability_topic")).toString(),
            QStringLiteral("my relays/bench/status"));
        const QString card = id.section(u'_', -2, -2);
        QVERIFY(config.value(QStringLiteral("command_topic"))
                    .toString()
                    .startsWith(QStringLiteral("my relays/bench/") + card + u'/'));
        const bool isSwitch = message.topic.contains(QStringLiteral("/switch/"));
        QCOMPARE(isSwitch, !message.topic.contains(QStringLiteral("/button/")));
        QCOMPARE(config.value(QStringLiteral("optimistic")).toBool(), isSwitch);
        const QJsonArray identifiers
            = config.value(QStringLiteral("device")).toObject().value("identifiers").toArray();
        QCOMPARE(identifiers, QJsonArray{QStringLiteral("my_relays_bench_") + card});
        deviceOfCard.insert(card, identifiers);
    }
    QCOMPARE(topics.size(), messages.size());
    QCOMPARE(ids.size(), messages.size());
    QCOMPARE(deviceOfCard.keys(), (QStringList{"1", "200", "4"}));
}

void TestBridgeOptions::discoveryOff()
{
    BridgeOptions options = bridge(QStringLiteral("relaycards"), {1, 2});
    QCOMPARE(DiscoveryConfigs::messages(options).size(), 20);
    options.discovery = false;
    QVERIFY(DiscoveryConfigs::messages(options).isEmpty());

    // As the reader leaves it for --no-discovery.
    const BridgeOptionsReader::Outcome outcome
        = BridgeOptionsReader::read(args("--port 1 --card 1 --no-discovery"));
    QVERIFY(outcome.options);
    QVERIFY(DiscoveryConfigs::messages(*outcome.options).isEmpty());
}

QTEST_GUILESS_MAIN(TestBridgeOptions)
#include "tst_bridgeoptions.moc"
