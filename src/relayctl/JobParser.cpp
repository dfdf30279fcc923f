#include "relayctl/JobParser.h"

#include "system/DecimalNumber.h"

#include <QRegularExpression>

#include <utility>

using namespace std::chrono_literals;

namespace {

const QString description
    = QStringLiteral(R"(Switches the relays of one relay card from scripts and the shell.

Commands, carried out in order against the card at --address:
  on R...            relay R on (R is 1 to 8)
  off R...           relay R off
  toggle R...        toggle relay R
  all-on, all-off    every relay on, off
  stop               emergency stop: every relay off
  show               the card shows its address
  set-address NEW    gives the card the address NEW (0 to 255); later commands go to NEW
  hold R DURATION    holds relay R for DURATION; the card lets go when relayctl stops
  wait DURATION      pauses once the line has carried what came before
  ports              lists the serial ports with their numbers (alone on the line)
DURATION is a number with a unit: 250ms, 2s, 1.5s, 1m; at most one hour.

The card is on --device PATH, or on port N as the panel numbers ports (--port N), or on the
device named by the environment variable RELAYCTL_DEVICE. A /dev/serial/by-id/... path names
the same adapter across reboots and replugging, whatever number it gets.

When relay-mqtt owns that port, relayctl sends the job through relay-mqtt's local socket
instead: the same commands and output, with relay-mqtt's interlocks and hold limit, and a hold
that ends when relayctl does. --url sends it to a relay-mqtt's web page, on this machine or
another, with the API token in --token-file or RELAYCTL_TOKEN_FILE. relay-mqtt gives no card
a new address: set-address needs the port itself.

Example: relayctl --device /dev/ttyUSB0 --address 3 on 1 wait 2s off 1

Exit status: 0 sent and carried by the line, 64 wrong command line (nothing sent), 69 the port
could not be opened (or relay-mqtt did not answer), 74 the port or relay-mqtt went away while
sending, 75 relay-mqtt refused a command or ended a hold (its reason is printed), 77 the token
was refused, 130/143 interrupted.)");

} // namespace

class JobParser::Words
{
public:
    explicit Words(QStringList words) : m_words(std::move(words)) { }
    bool atEnd() const { return m_next >= m_words.size(); }
    QString take() { return atEnd() ? QString() : m_words.at(m_next++); }
    QString peek() const { return atEnd() ? QString() : m_words.at(m_next); }

private:
    QStringList m_words;
    qsizetype m_next = 0;
};

JobParser::JobParser()
    : m_port(QStringLiteral("port"), tr("Port N, as the panel numbers serial ports."),
        QStringLiteral("N")),
      m_device(QStringLiteral("device"),
          tr("The serial device the card is on (a /dev/serial/by-id/... path stays the same)."),
          QStringLiteral("PATH")),
      m_address(QStringLiteral("address"), tr("The card's address, 0 to 255 (1 unless given)."),
          QStringLiteral("A"), QStringLiteral("1")),
      m_url(QStringLiteral("url"),
          tr("A relay-mqtt's web page (http://HOST:PORT or https://...) to send the job to, "
             "instead of a port."),
          QStringLiteral("URL")),
      m_tokenFile(QStringLiteral("token-file"),
          tr("The file holding the page's API token (else RELAYCTL_TOKEN_FILE)."),
          QStringLiteral("FILE")),
      m_caFile(QStringLiteral("cafile"),
          tr("The certificates the page's HTTPS certificate must come from (else the system's)."),
          QStringLiteral("FILE")),
      m_dryRun(QStringLiteral("dry-run"),
          tr("Open nothing; print each burst that would be sent, in hex and in words.")),
      m_verbose(QStringLiteral("verbose"), tr("Print each burst to standard error as it is sent.")),
      m_help({QStringLiteral("h"), QStringLiteral("help")}, tr("Show this help.")),
      m_version(QStringLiteral("version"), tr("Show the version."))
{
    m_parser.setApplicationDescription(description);
    m_parser.addOptions({m_port, m_device, m_url, m_tokenFile, m_caFile, m_address, m_dryRun,
        m_verbose, m_help, m_version});
    m_parser.addPositionalArgument(
        QStringLiteral("COMMAND"), tr("What to do; see above."), QStringLiteral("COMMAND..."));
}

std::optional<Job> JobParser::parse(
    const QStringList &arguments, const QString &defaultDevice, const QString &defaultTokenFile)
{
    if (!m_parser.parse(arguments)) {
        fail(m_parser.errorText());
        return std::nullopt;
    }
    m_helpAsked = m_parser.isSet(m_help);
    m_versionAsked = m_parser.isSet(m_version);
    Job job;
    if (m_helpAsked || m_versionAsked)
        return job;
    // The commands first: a mistake in them is the one to tell, whatever port was named.
    if (!readCommands(job, m_parser.positionalArguments()))
        return std::nullopt;
    if (m_parser.isSet(m_url) ? !readUrl(job, defaultTokenFile) : !readOptions(job, defaultDevice))
        return std::nullopt;
    return job;
}

bool JobParser::readOptions(Job &job, const QString &defaultDevice)
{
    job.dryRun = m_parser.isSet(m_dryRun);
    job.verbose = m_parser.isSet(m_verbose);
    if (m_parser.isSet(m_tokenFile) || m_parser.isSet(m_caFile))
        return fail(tr("--token-file and --cafile go with --url"));
    if (m_parser.isSet(m_port) && m_parser.isSet(m_device))
        return fail(tr("--port and --device name two ports: give one"));
    if (m_parser.isSet(m_port)) {
        const std::optional<int> port = DecimalNumber::read(m_parser.value(m_port), 32767);
        if (!port || *port < 1)
            return fail(tr("--port %1: ports are numbered from 1").arg(m_parser.value(m_port)));
        job.port = *port;
    } else {
        job.device = m_parser.isSet(m_device) ? m_parser.value(m_device) : defaultDevice;
        if (job.device.isEmpty() && (m_parser.isSet(m_device) || !(job.dryRun || job.listPorts)))
            return fail(tr("no port given: name it with --device PATH or --port N, or set "
                           "RELAYCTL_DEVICE"));
    }
    return true;
}

bool JobParser::readUrl(Job &job, const QString &defaultTokenFile)
{
    job.dryRun = m_parser.isSet(m_dryRun);
    job.verbose = m_parser.isSet(m_verbose);
    if (m_parser.isSet(m_port) || m_parser.isSet(m_device))
        return fail(
            tr("--url and --%1 name two ways to the card: give one")
                .arg(m_parser.isSet(m_port) ? QStringLiteral("port") : QStringLiteral("device")));
    const QString text = m_parser.value(m_url);
    const QUrl url(text, QUrl::StrictMode);
    const bool web
        = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    if (!url.isValid() || !web || url.host().isEmpty() || !url.userInfo().isEmpty()
        || (!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasQuery()
        || url.hasFragment())
        return fail(tr("--url %1: give relay-mqtt's page as http://HOST:PORT or https://HOST:PORT")
                        .arg(text));
    job.url = url;
    job.tokenFile = m_parser.isSet(m_tokenFile) ? m_parser.value(m_tokenFile) : defaultTokenFile;
    job.caFile = m_parser.value(m_caFile);
    if (job.url.scheme() != QLatin1String("https") && !job.caFile.isEmpty())
        return fail(tr("--cafile goes with an https:// page"));
    return true;
}

bool JobParser::readCommands(Job &job, const QStringList &words)
{
    if (words.isEmpty())
        return fail(tr("no command given"));
    if (words.first() == QStringLiteral("ports")) {
        const bool options = m_parser.isSet(m_port) || m_parser.isSet(m_device)
            || m_parser.isSet(m_url) || m_parser.isSet(m_tokenFile) || m_parser.isSet(m_caFile)
            || m_parser.isSet(m_address) || m_parser.isSet(m_dryRun) || m_parser.isSet(m_verbose);
        if (words.size() > 1 || options)
            return fail(tr("ports stands alone on the line"));
        job.listPorts = true;
        return true;
    }
    const QString addressText = m_parser.value(m_address);
    const std::optional<int> address = DecimalNumber::read(addressText, highestAddress);
    if (!address)
        return fail(tr("--address %1: addresses are 0 to 255").arg(addressText));
    auto current = static_cast<quint8>(*address);
    Words remaining(words);
    while (!remaining.atEnd()) {
        if (!readCommand(job, remaining.take(), remaining, current))
            return false;
    }
    return true;
}

bool JobParser::readCommand(Job &job, const QString &name, Words &words, quint8 &address)
{
    const auto send
        = [&job, &address](const RelayCommand &command, quint8 value, const QString &what) {
              job.steps.append({Step::Kind::Send, command, address, value, {}, what});
          };

    if (name == QStringLiteral("on") || name == QStringLiteral("off")
        || name == QStringLiteral("toggle")) {
        const RelayCommand &command = name == QStringLiteral("on") ? RelayCommand::relayOn
            : name == QStringLiteral("off")                        ? RelayCommand::relayOff
                                                                   : RelayCommand::toggleRelay;
        do {
            const std::optional<int> relay = this->relay(words, name);
            if (!relay)
                return false;
            const QString what = name == QStringLiteral("toggle")
                ? tr("toggle relay %1").arg(*relay)
                : tr("relay %1 %2").arg(*relay).arg(name);
            send(command, static_cast<quint8>(*relay), what);
            // Every number that follows names one more relay.
        } while (DecimalNumber::read(words.peek(), 999999999));
        return true;
    }
    if (name == QStringLiteral("all-on")) {
        send(RelayCommand::allOn, 0, tr("all relays on"));
    } else if (name == QStringLiteral("all-off")) {
        send(RelayCommand::allOff, 0, tr("all relays off"));
    } else if (name == QStringLiteral("stop")) {
        send(RelayCommand::emergencyStop, 0, tr("emergency stop"));
    } else if (name == QStringLiteral("show")) {
        send(RelayCommand::showAddress, 0, tr("show address"));
    } else if (name == QStringLiteral("set-address")) {
        const QString text = words.take();
        const std::optional<int> newAddress = DecimalNumber::read(text, highestAddress);
        if (!newAddress)
            return fail(tr("set-address %1: addresses are 0 to 255").arg(text));
        send(RelayCommand::changeAddress, static_cast<quint8>(*newAddress),
            tr("new address %1").arg(*newAddress));
        address = static_cast<quint8>(*newAddress);
    } else if (name == QStringLiteral("hold")) {
        const std::optional<int> relay = this->relay(words, name);
        const auto length = relay ? duration(words, name) : std::nullopt;
        if (!length)
            return false;
        job.steps.append(
            {Step::Kind::Hold, RelayCommand::momentary, address, static_cast<quint8>(*relay),
                *length, tr("hold relay %1 for %2 ms").arg(*relay).arg(length->count())});
    } else if (name == QStringLiteral("wait")) {
        const auto length = duration(words, name);
        if (!length)
            return false;
        job.steps.append({Step::Kind::Wait, RelayCommand::allOff, address, 0, *length,
            tr("wait %1 ms").arg(length->count())});
    } else if (name == QStringLiteral("ports")) {
        return fail(tr("ports stands alone on the line"));
    } else {
        return fail(tr("unknown command \"%1\"").arg(name));
    }
    return true;
}

std::optional<int> JobParser::relay(Words &words, const QString &command)
{
    if (words.atEnd()) {
        fail(tr("%1 needs a relay number, 1 to 8").arg(command));
        return std::nullopt;
    }
    const QString text = words.take();
    const std::optional<int> relay = DecimalNumber::read(text, highestRelay);
    if (!relay || *relay < 1) {
        fail(tr("%1 %2: relays are 1 to 8").arg(command, text));
        return std::nullopt;
    }
    return relay;
}

std::optional<std::chrono::milliseconds> JobParser::duration(Words &words, const QString &command)
{
    const QString text = words.take();
    // Whole and fractional digits, kept short enough that the sums below cannot overflow.
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]{1,10})(?:\\.([0-9]{1,6}))?(ms|s|m)$"));
    const QRegularExpressionMatch match = pattern.match(text);
    const auto refuse = [&] {
        fail(tr("%1 %2: a duration is a number with a unit (250ms, 2s, 1.5s, 1m), more than "
                "zero and at most one hour, in whole milliseconds")
                 .arg(command, text));
        return std::nullopt;
    };
    if (!match.hasMatch())
        return refuse();
    const QString unit = match.captured(3);
    const qint64 perUnit = unit == QStringLiteral("ms") ? 1
        : unit == QStringLiteral("s")                   ? 1000
                                                        : 60000;
    const QString fraction = match.captured(2);
    qint64 scale = 1;
    for (qsizetype i = 0; i < fraction.size(); ++i)
        scale *= 10;
    const qint64 fractionUnits = fraction.isEmpty() ? 0 : fraction.toLongLong() * perUnit;
    if (fractionUnits % scale != 0)
        return refuse();
    const std::chrono::milliseconds length(
        match.captured(1).toLongLong() * perUnit + fractionUnits / scale);
    if (length <= 0ms || length > longestDuration)
        return refuse();
    return length;
}

bool JobParser::fail(const QString &error)
{
    m_error = error;
    return false;
}
