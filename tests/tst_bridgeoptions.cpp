// relay-mqtt's options and its discovery configs; tst_relaymqtt runs the program with them.

#include "relay-mqtt/BridgeOptionsReader.h"
#include "relay-mqtt/mqtt/BridgeTopics.h"
#include "relay-mqtt/mqtt/DiscoveryConfigs.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Outcome = BridgeOptionsReader::Outcome;

// The options in one line, every field named, so that a row states all it expects.
QString describe(const BridgeOptions &options)
{
    QStringList cards;
    for (const quint8 card : options.cards)
        cards << QString::number(card);
    const MqttSettings &mqtt = options.mqtt;
    const WebSettings &web = options.web;
    return QStringLiteral("port=%1 device=%2 cards=%3 name=%4 broker=%5:%6 user=%7 password=%8 "
                          "ca=%9 discovery=%10 prefix=%11 client=%12")
               .arg(options.port)
               .arg(options.device, cards.join(u','), options.name, mqtt.host)
               .arg(mqtt.port)
               .arg(mqtt.username, mqtt.password, mqtt.caFile,
                   options.discovery ? QStringLiteral("on") : QStringLiteral("off"),
                   options.discoveryPrefix, mqtt.clientId)
        + QStringLiteral(" capath=%1 cert=%2 key=%3 ha=%4 delay=%5")
              .arg(mqtt.caPath, mqtt.certFile, mqtt.keyFile, options.haStatusTopic)
              .arg(options.interlockDelay.count())
        + QStringLiteral(" mqtt=%1 web=%2 webpassword=%3 token=%4 webcert=%5 webhosts=%6")
              .arg(options.useBroker ? QStringLiteral("on") : QStringLiteral("off"),
                  web.isOn() ? QStringLiteral("%1:%2").arg(web.address.toString()).arg(web.port)
                             : QStringLiteral("off"),
                  web.password, web.token, web.certFile, web.hostNames.join(u','));
}

// The defaults, as `describe` writes them, for a line with only --port 1 --card 1.
const QString defaults = QStringLiteral(
    "port=1 device= cards=1 name=relaycards broker=localhost:1883 user= password= ca= "
    "discovery=on prefix=homeassistant client=relay-mqtt-relaycards@$HOST capath= cert= key= "
    "ha=homeassistant/status delay=100 mqtt=on web=off webpassword= token= webcert= "
    "webhosts=");

// A card's group as a line: its name, relay names and interlock groups.
QString describeGroups(const BridgeOptions &options)
{
    QStringList groups;
    for (const auto &[card, group] : options.cardGroups) {
        QStringList relays;
        for (int relay = 1; relay <= BridgeOptions::relayCount; ++relay) {
            if (!group.relayNames.at(relay - 1).isEmpty())
                relays << QStringLiteral("%1=%2").arg(relay).arg(group.relayNames.at(relay - 1));
        }
        QStringList interlocks;
        for (const QList<int> &set : group.interlocks) {
            QStringList numbers;
            for (const int relay : set)
                numbers << QString::number(relay);
            interlocks << numbers.join(u' ');
        }
        groups << QStringLiteral("%1:%2[%3]{%4}")
                      .arg(card)
                      .arg(group.name, relays.join(u','), interlocks.join(u','));
    }
    return groups.join(u' ');
}

QString withDefaults(const QString &changes)
{
    // Each "key=value" of `changes` in place of the default's.
    QStringList fields = defaults.split(u' ');
    for (const QString &change : changes.split(u' ', Qt::SkipEmptyParts)) {
        for (QString &field : fields)
            field = field.section(u'=', 0, 0) == change.section(u'=', 0, 0) ? change : field;
    }
    return fields.join(u' ');
}

Outcome read(const QString &line)
{
    return BridgeOptionsReader::read(
        QStringList{QStringLiteral("relay-mqtt")} + line.split(u' ', Qt::SkipEmptyParts));
}

} // namespace

class TestBridgeOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lines_data();
    void lines();
    void helpAndVersion();
    void shippedConfigFile();
    void cardGroups_data();
    void cardGroups();
    void discovery();
    void idsOneToOne();

private:
    // `$CONF` in the text, the row's config file; `$DIR`, the temporary folder.
    QString inDir(QString text) const
    {
        return text.replace(QStringLiteral("$CONF"), m_dir.filePath(m_config))
            .replace(QStringLiteral("$DIR"), m_dir.path())
            .replace(QStringLiteral("$HOST"), QSysInfo::machineHostName());
    }
    // Readable by its owner alone, as a file with a password must be.
    void write(const QString &name, const QByteArray &content) const;
    // The row's config file from `config`, and the outcome of `line` with it.
    Outcome readWithConfig(const QString &line, const QString &config);

    QTemporaryDir m_dir;
    QString m_config; // its name
    int m_rows = 0;
};

void TestBridgeOptions::write(const QString &name, const QByteArray &content) const
{
    QFile file(m_dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
    // A config file that says so is left readable by all.
    const bool readable = content.startsWith("; readable by all");
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner
        | (readable ? QFile::ReadGroup | QFile::ReadOther : QFile::Permissions())));
}

Outcome TestBridgeOptions::readWithConfig(const QString &line, const QString &config)
{
    // A file of its own for every row: QSettings keeps what it read of a file, and takes a
    // rewrite of the same size within the same second for the same file.
    m_config = QStringLiteral("relay-mqtt-%1.conf").arg(++m_rows);
    if (!config.isEmpty())
        write(m_config, inDir(config).toUtf8());
    return read(inDir(line));
}

void TestBridgeOptions::initTestCase()
{
    QVERIFY(m_dir.isValid());
    write(QStringLiteral("password"), "s3cret,word\n");
    write(QStringLiteral("crlf-password"), "dos\r\nsecond line\n");
    write(QStringLiteral("empty"), "");
    write(QStringLiteral("ca.pem"), "not checked here\n");
}

void TestBridgeOptions::lines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("config"); // empty: no config file written
    QTest::addColumn<bool>("good");
    QTest::addColumn<QString>("outcome"); // good: fields off the defaults; bad: words of the error
    const auto good = [](const char *name, const QString &line, const QString &changes,
                          const QString &config = {}) {
        QTest::newRow(name) << line << config << true << changes;
    };
    const auto bad = [](const char *name, const QString &line, const QString &error,
                         const QString &config = {}) {
        QTest::newRow(name) << line << config << false << error;
    };
    const QString least = QStringLiteral("--port 1 --card 1 ");
    const QString conf = least + "--config $CONF";

    // The cards in the order given, each once, however it is written.
    good("device, cards, no discovery",
        "--device /dev/serial/by-id/usb-x --card 5 --card 0 --card 05 --card 255 --no-discovery",
        "port=0 device=/dev/serial/by-id/usb-x cards=5,0,255 discovery=off");
    const QString everything = QStringLiteral(
        "; the bridge\nport = 4\ncard = 3, 1, 3\nbroker = broker.lan:1999\nname = house/relays\n"
        "username = alice\npassword = \"from,file\"\ndiscovery = false\ndiscovery-prefix = ha\n"
        "cafile = ca.pem\n");
    // Its paths are from its folder.
    good("config file", "--config $CONF",
        "port=4 cards=3,1 broker=broker.lan:1999 name=house/relays user=alice password=from,file "
        "ca=$DIR/ca.pem discovery=off prefix=ha client=relay-mqtt-house_2frelays@$HOST",
        everything);
    // Its --password-file takes the place of the file's password too.
    good("command line wins",
        "--config $CONF --device /dev/ttyUSB9 --card 8 --card 9 --broker b2 --name n "
        "--username carol --password-file $DIR/password --discovery-prefix p",
        "port=0 device=/dev/ttyUSB9 cards=8,9 broker=b2:1883 name=n user=carol "
        "password=s3cret,word ca=$DIR/ca.pem discovery=off prefix=p client=relay-mqtt-n@$HOST",
        everything);
    // The command line names the port as a whole: its --port takes the place of the file's device.
    good("file's device, command line's port", "--config $CONF --port 2", "port=2 cards=6",
        "device=/dev/ttyUSB0\ncard=6\n");
    // The password is the first line, without its end.
    good("password file beside the config", "--config $CONF",
        "port=0 device=/dev/ttyACM0 cards=9 user=u password=dos",
        "[General]\ndevice=/dev/ttyACM0\ncard=9\nusername=u\npassword-file=crlf-password\n"
        "discovery=TRUE\n");

    good("TLS with a client certificate",
        least + "--capath $DIR --certfile $DIR/ca.pem --keyfile $DIR/password",
        "capath=$DIR cert=$DIR/ca.pem key=$DIR/password");
    good("Home Assistant's status, interlock delay",
        least + "--ha-status-topic hass/status --interlock-delay 0", "ha=hass/status delay=0");

    // The web page: on loopback without a login, elsewhere only with one; or alone.
    good("web page on loopback", least + "--http 127.0.0.1:8080", "web=127.0.0.1:8080");
    good("web page alone, from the config", "--config $CONF", "mqtt=off web=::1:0",
        "port=1\ncard=1\nbroker=none\nhttp=\"[::1]:0\"\n");
    good("web page everywhere with a password and a token",
        least
            + "--http 0.0.0.0:80 --http-password-file $DIR/password --http-token-file "
              "$DIR/crlf-password --http-cert $DIR/ca.pem --http-key $DIR/password",
        "web=0.0.0.0:80 webpassword=s3cret,word token=dos webcert=$DIR/ca.pem");
    good("--no-broker", least + "--no-broker --http localhost:1", "mqtt=off web=127.0.0.1:1");
    bad("web page everywhere without a password", least + "--http 0.0.0.0:8080",
        "--http 0.0.0.0:8080 can be reached from other machines");
    bad("web page on the LAN without a password", least + "--http [fd00::5]:80",
        "can be reached from other machines");
    bad("no broker and no web page", least + "--no-broker", "no broker and no web page");
    bad("web page without a port", least + "--http 127.0.0.1", "the web page's address is");
    bad("web page on a host name", least + "--http example.org:80", "the web page's address is");
    bad("web certificate without key", least + "--http 127.0.0.1:1 --http-cert $DIR/ca.pem",
        "needs both http-cert and http-key");
    // The names the page answers to beside its own: one option each, or a list in the file.
    good("web page under names of its own",
        least + "--http 127.0.0.1:1 --http-host relays.example.org,proxy --http-host 192.0.2.7",
        "web=127.0.0.1:1 webhosts=relays.example.org,proxy,192.0.2.7");
    good("web page under names from the config", "--config $CONF",
        "web=127.0.0.1:1 webhosts=a.example,b,proxy.lan.",
        "port=1\ncard=1\nhttp=127.0.0.1:1\nhttp-host=a.example b, proxy.lan.\n");
    bad("web page name with a port", least + "--http 127.0.0.1:1 --http-host example.org:80",
        "--http-host example.org:80: a name is letters");
    bad("web page name with a wildcard", least + "--http 127.0.0.1:1 --http-host *.example.org",
        "a name is letters");
    bad("web token file empty", least + "--http 127.0.0.1:1 --http-token-file $DIR/empty",
        "the first line, the token, is empty");

    bad("no port", "--card 1", "no port given");
    bad("port and device", "--port 1 --device /dev/x --card 1", "--port and --device name two");
    bad("port 0", "--port 0 --card 1", "--port 0: ports are numbered");
    bad("no card", "--port 1", "no card given");
    bad("card 256", "--port 1 --card 256", "--card 256: addresses are 0 to 255");
    bad("card 2.5 after a good one", "--port 1 --card 1 --card 2.5", "--card 2.5: addresses");
    bad("broker port 0", least + "--broker host:0", "--broker host:0: a broker is");
    bad("broker port with a sign", least + "--broker host:+1883", "--broker host:+1883: a broker");
    bad("name starting with /", least + "--name /relays", "starts or ends with /");
    bad("name with an empty level", least + "--name a//b", "empty level");
    bad("name empty", least + "--name=", "it is empty");
    bad("prefix with a wildcard", least + "--discovery-prefix ha/#", "\"ha/#\" cannot be a topic");
    // Every user of the machine can read a command line.
    bad("--password", least + "--username u --password pw", "Unknown option 'password'");
    bad("username without password", least + "--username u", "--username needs a password");
    bad("password file missing", least + "--username u --password-file $DIR/no", "$DIR/no cannot");
    bad("password file empty", least + "--username u --password-file $DIR/empty",
        "the password, is empty");
    bad("ca file missing", least + "--cafile $DIR/no.pem", "$DIR/no.pem: the file cannot be read");
    bad("stray argument", least + "on", "unexpected argument \"on\"");
    bad("certificate without key", least + "--cafile $DIR/ca.pem --certfile $DIR/ca.pem",
        "needs both certfile and keyfile");
    bad("certificate without TLS", least + "--certfile $DIR/ca.pem --keyfile $DIR/password",
        "needs TLS");
    bad("capath a file", least + "--capath $DIR/ca.pem", "the folder cannot be read");
    bad("interlock delay too long", least + "--interlock-delay 10001", "milliseconds from 0");
    bad("status topic with a wildcard", least + "--ha-status-topic ha/+", "cannot be a topic");
    // QSettings would take a missing file for an empty one.
    bad("config missing", least + "--config $DIR/no.conf", "config file $DIR/no.conf cannot");
    bad("config unknown key", conf, "unknown key \"cards\"", "cards=1\n");
    bad("config port and device", "--config $CONF --card 1", "port and $CONF: device name two",
        "port=1\ndevice=/dev/x\n");
    bad("config discovery maybe", conf, "true or false, not \"maybe\"", "discovery=maybe\n");
    // Unquoted, QSettings makes a list of it.
    bad("config comma in name", conf, "name has a comma", "name=a,b\n");
    bad("config two passwords", conf, "give two passwords",
        "username=u\npassword=x\npassword-file=password\n");
    bad("config password without username", conf, "without a username", "password=x\n");
    // As ssh does with a key.
    bad("config password others may read", conf, "other users may read it",
        "; readable by all\nusername=u\npassword=x\n");
}

void TestBridgeOptions::lines()
{
    QFETCH(QString, line);
    QFETCH(QString, config);
    QFETCH(bool, good);
    QFETCH(QString, outcome);

    const Outcome got = readWithConfig(line, config);
    QVERIFY2(got.options.has_value() == good, qPrintable(got.error));
    if (good)
        QCOMPARE(describe(*got.options), inDir(withDefaults(outcome)));
    else
        QVERIFY2(got.error.contains(inDir(outcome)), qPrintable(got.error));
    // Printed after an error.
    QVERIFY(got.usage.contains(QStringLiteral("--card <A>")));
}

void TestBridgeOptions::helpAndVersion()
{
    // Both come before the checks: no card is no mistake then.
    const Outcome help = read("--port 1 --help");
    QVERIFY2(!help.options && help.error.isEmpty(), qPrintable(help.error));
    QCOMPARE(help.helpText, help.usage);
    const Outcome version = read("--version");
    QVERIFY2(!version.options && version.error.isEmpty(), qPrintable(version.error));
    QVERIFY(version.versionText.startsWith(QStringLiteral("relay-mqtt ")));
}

void TestBridgeOptions::shippedConfigFile()
{
    // Installed with every key commented out: it sets nothing, and its comments are no keys.
    const Outcome alone = read("--config " RELAYMQTT_CONF);
    QVERIFY2(alone.error.startsWith(QStringLiteral("no port given")), qPrintable(alone.error));
    const Outcome withCard = read("--port 1 --card 1 --config " RELAYMQTT_CONF);
    QVERIFY2(withCard.options, qPrintable(withCard.error));
    QCOMPARE(describe(*withCard.options), inDir(defaults));
}

void TestBridgeOptions::cardGroups_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<bool>("good");
    QTest::addColumn<QString>("outcome"); // good: cards and groups; bad: words of the error
    const auto good = [](const char *name, const QString &config, const QString &groups) {
        QTest::newRow(name) << config << true << groups;
    };
    const auto bad = [](const char *name, const QString &config, const QString &error) {
        QTest::newRow(name) << config << false << error;
    };
    // A group configures its card: no card= needed for it.
    good("group alone",
        "[card.1]\nname = Workbench\nrelay.3 = Pump\nrelay.8 = \"Fume extractor, left\"\n"
        "interlock = 1 2, 5 6 7\n",
        "cards=1 1:Workbench[3=Pump,8=Fume extractor, left]{1 2,5 6 7}");
    good("cards and a group", "card = 2, 4\n[card.4]\ninterlock = 8 1\n[card.9]\nname = Bench\n",
        "cards=2,4,9 4:[]{8 1} 9:Bench[]{}");
    bad("relay in two groups", "[card.1]\ninterlock = 1 2, 2 3\n", "relay 2 is in two");
    bad("relay twice in one group", "[card.1]\ninterlock = 4 4\n", "relay 4 is in two");
    bad("group of one", "[card.1]\ninterlock = 1, 2 3\n", "two relays or more");
    bad("relay 9 in a group", "[card.1]\ninterlock = 1 9\n", "relays are 1 to 8");
    bad("card 256", "[card.256]\nname = x\n", "[card.256] is no card's group");
    bad("unknown key", "[card.1]\ncolour = red\n", "unknown key \"colour\"");
    bad("relay 9 named", "[card.1]\nrelay.9 = Pump\n", "unknown key \"relay.9\"");
    bad("comma in a name", "[card.1]\nname = a, b\n", "has a comma");
}

void TestBridgeOptions::cardGroups()
{
    QFETCH(QString, config);
    QFETCH(bool, good);
    QFETCH(QString, outcome);
    const Outcome got = readWithConfig(QStringLiteral("--port 1 --config $CONF"), config);
    QVERIFY2(got.options.has_value() == good, qPrintable(got.error));
    if (!good) {
        QVERIFY2(got.error.contains(outcome), qPrintable(got.error));
        return;
    }
    QStringList cards;
    for (const quint8 card : got.options->cards)
        cards << QString::number(card);
    QCOMPARE(
        QStringLiteral("cards=%1 %2").arg(cards.join(u','), describeGroups(*got.options)), outcome);
}

void TestBridgeOptions::discovery()
{
    const QString line = QStringLiteral("--port 1 --card 0 --card 12 --name my.relays/bench");
    const Outcome got = read(line + " --discovery-prefix ha/x");
    QVERIFY2(got.options, qPrintable(got.error));
    QMap<QString, QJsonObject> configs;
    const BridgeTopics topics(*got.options);
    for (const DiscoveryConfigs::Message &message :
        DiscoveryConfigs::messages(*got.options, topics))
        configs.insert(message.topic, QJsonDocument::fromJson(message.payload).object());
    QJsonObject relay = configs.value("ha/x/switch/my_2erelays_2fbench_12_3/config");
    // A device for each card, its entities in it, named with the bridge.
    const QJsonObject device = relay.take("device").toObject();
    QCOMPARE(device["identifiers"], QJsonValue(QJsonArray{"my_2erelays_2fbench_12"}));
    QCOMPARE(device["name"], QJsonValue("Card 12 (my.relays/bench)"));
    QCOMPARE(device["sw_version"], QJsonValue(RELAYMQTT_VERSION));
    relay.remove("origin");
    // Not optimistic: Home Assistant shows the state the bridge publishes after each command.
    const QByteArray expected = R"({"name":"Relay 3","unique_id":"my_2erelays_2fbench_12_3",
        "command_topic":"my.relays/bench/12/relay/3/set","payload_on":"ON","payload_off":"OFF",
        "state_topic":"my.relays/bench/12/relay/3/state","state_on":"ON","state_off":"OFF",
        "availability_topic":"my.relays/bench/status",
        "payload_available":"online","payload_not_available":"offline","qos":1})";
    QCOMPARE(relay, QJsonDocument::fromJson(expected).object());
    const QJsonObject stop = configs.value("ha/x/button/my_2erelays_2fbench_0_stop/config");
    QCOMPARE(stop["command_topic"], QJsonValue("my.relays/bench/0/stop"));
    QVERIFY(!stop.contains("device_class"));
    const QJsonObject show = configs.value("ha/x/button/my_2erelays_2fbench_0_show/config");
    QCOMPARE(show["command_topic"], QJsonValue("my.relays/bench/0/show"));
    QCOMPARE(show["device_class"], QJsonValue("identify"));
    QVERIFY(DiscoveryConfigs::messages(*read(line + " --no-discovery").options, topics).isEmpty());
}

void TestBridgeOptions::idsOneToOne()
{
    // Names that differ never share an id, a client id or a topic; ids keep to Home
    // Assistant's letters, digits, _ and -.
    const QStringList names{"a.b", "a/b", "a_b", "a-b", "a_2eb", "ab", "a b", "ä"};
    QSet<QString> ids;
    QSet<QString> clients;
    QSet<QString> states;
    for (const QString &name : names) {
        const Outcome got = BridgeOptionsReader::read(
            {"relay-mqtt", "--port", "1", "--card", "1", "--name", name});
        QVERIFY2(got.options, qPrintable(got.error));
        const QString id = BridgeTopics::idOf(name);
        QVERIFY2(QRegularExpression("^[A-Za-z0-9_-]+$").match(id).hasMatch(), qPrintable(id));
        ids << id;
        clients << got.options->mqtt.clientId;
        states << BridgeTopics(*got.options).state(1, 1);
    }
    QCOMPARE(ids.size(), names.size());
    QCOMPARE(clients.size(), names.size());
    QCOMPARE(states.size(), names.size());
    QCOMPARE(BridgeTopics::idOf("relaycards"), QStringLiteral("relaycards"));
}

QTEST_GUILESS_MAIN(TestBridgeOptions)
#include "tst_bridgeoptions.moc"
