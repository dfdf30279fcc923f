// libFuzzer target: arbitrary text into the panel's three boxes, mixed with clicks, held buttons
// and timer ticks, against a pseudo-terminal. Beside the panel runs a model of what it must do,
// written from the card's protocol and the operator's side alone (not from RelayCommand,
// RelayPacket or TextNumber): after every operation the line must carry exactly the burst the
// model expects, or nothing. Every input starts afresh, on a new line with the clock at the same
// moment, so a finding replays from its own file.

#include "panel/PanelController.h"
#include "panel/TextNumber.h"
#include "serial/SerialLink.h"
#include "support/PseudoTerminal.h"
#include "support/RecordingView.h"

#include <QCoreApplication>
#include <QLocale>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

[[noreturn]] void broken(const QString &what)
{
    std::fprintf(stderr, "invariant broken: %s\n", qPrintable(what));
    std::abort();
}

void check(bool holds, const QString &what)
{
    if (!holds)
        broken(what);
}

// ---- The card's protocol, as this target states it ----

struct Instruction
{
    char letter;
    quint8 parameter;
};

quint8 digit(int n)
{
    return static_cast<quint8>('0' + n);
}

// The instruction each operation sends: relays are numbered 1 to 8, button indexes 0 to 7.
namespace instruction {
Instruction relayOn(int relay)
{
    return {'S', digit(relay)};
}
Instruction relayOff(int relay)
{
    return {'C', digit(relay)};
}
constexpr Instruction allOn{'S', '9'};
constexpr Instruction allOff{'C', '9'};
constexpr Instruction emergencyStop{'E', '1'};
constexpr Instruction showAddress{'D', '1'};
Instruction toggle(int index)
{
    return {'T', digit(index + 1)};
}
Instruction hold(int index)
{
    return {'P', digit(index + 1)};
}
// The new address goes as the byte itself, to the card's current address.
Instruction changeAddress(int newAddress)
{
    return {'A', static_cast<quint8>(newAddress)};
}
} // namespace instruction

constexpr int burstSize = 20;

struct Packet
{
    int address;
    Instruction instruction;
};

// Four copies of 13, address, letter, parameter, checksum; the checksum brings the sum of the
// packet's five bytes to a multiple of 256.
QByteArray burstOf(const Packet &packet)
{
    const int sum = 13 + packet.address + packet.instruction.letter + packet.instruction.parameter;
    const char bytes[] = {13, static_cast<char>(packet.address), packet.instruction.letter,
        static_cast<char>(packet.instruction.parameter),
        static_cast<char>((256 - sum % 256) % 256)};
    return QByteArray(bytes, sizeof bytes).repeated(4);
}

bool isRelay(int relay)
{
    return relay >= 1 && relay <= 8;
}

bool isAddress(std::optional<int> number)
{
    return number && *number >= 0 && *number <= 255;
}

// ---- How a box's text reads as a number ----

// Written apart from TextNumber.cpp: the characters a number can be made of are gathered (blanks
// skipped, the first non-ASCII character ends the text), and the C library's strtod in the C
// locale takes the longest decimal number at their front. Without letters other than e and E
// it can see neither hexadecimal, nor infinities, nor NaN.
class ReferenceNumber
{
public:
    explicit ReferenceNumber(const QString &text) : m_value(parse(numberCharacters(text))) { }

    double value() const { return m_value; }

    // Rounded to the nearest integer, halves to the even one; no value outside 16 bits.
    std::optional<int> integer() const
    {
        // Infinities and anything this far out have no value whatever the rounding.
        if (!(std::fabs(m_value) < 65536.0))
            return std::nullopt;
        const double below = std::floor(m_value);
        const double fraction = m_value - below; // exact this close to zero
        int n = static_cast<int>(below);
        if (fraction > 0.5 || (fraction == 0.5 && n % 2 != 0))
            ++n;
        if (n < -32768 || n > 32767)
            return std::nullopt;
        return n;
    }

private:
    static std::string numberCharacters(const QString &text)
    {
        constexpr std::string_view numberChars = "+-.0123456789eE";
        std::string chars;
        for (QChar c : text) {
            const char16_t u = c.unicode();
            if (u == u' ' || u == u'\t' || u == u'\r' || u == u'\n')
                continue;
            if (u >= 0x80 || numberChars.find(static_cast<char>(u)) == std::string_view::npos)
                break;
            chars += static_cast<char>(u);
        }
        return chars;
    }

    static double parse(const std::string &chars)
    {
        // Overflow gives an infinity and underflow zero, as the panel's reader promises.
        static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
        return strtod_l(chars.c_str(), nullptr, cLocale);
    }

    double m_value;
};

// The panel's reader agrees with the reference, to the last bit of the value.
void checkNumber(const QString &text)
{
    const ReferenceNumber reference(text);
    const double value = textValue(text);
    if (value != reference.value())
        broken(QStringLiteral("textValue(\"%1\") is %2, should be %3")
                   .arg(text.left(80))
                   .arg(value, 0, 'g', 17)
                   .arg(reference.value(), 0, 'g', 17));
    const std::optional<qint16> integer = textInteger(text);
    const std::optional<int> expected = reference.integer();
    if (integer.has_value() != expected.has_value() || (integer && *integer != *expected))
        broken(QStringLiteral("textInteger(\"%1\") is %2, should be %3")
                   .arg(text.left(80), integer ? QString::number(*integer) : QStringLiteral("none"),
                       expected ? QString::number(*expected) : QStringLiteral("none")));
}

// ---- What the panel must do ----

// The panel followed from the operator's side: the address and the port as the boxes' texts
// read, the held button and its timer, and how far the line is behind. Each operation returns
// the packet whose burst it must put on the line, if any.
class PanelModel
{
public:
    static constexpr int sixthsPerByte = 25; // 10 bits at 2400 baud: 25/6 ms

    std::chrono::milliseconds elapsed() const { return m_elapsed; }
    bool portOpen() const { return m_portOpen; }
    bool timerRuns() const { return m_timerRuns; }
    QString addressText() const { return m_addressText; }

    void advance(std::chrono::milliseconds by) { m_elapsed += by; }

    void typeAddress(const QString &text)
    {
        m_addressText = text;
        m_address = ReferenceNumber(text).integer();
    }

    // Only port 1 exists; any other text closes the port.
    void typePort(const QString &text)
    {
        m_portOpen = ReferenceNumber(text).integer() == 1;
        m_lineFreeAt = 0;
    }

    std::optional<Packet> relayOn(int relay)
    {
        return isRelay(relay) ? send(instruction::relayOn(relay)) : std::nullopt;
    }
    std::optional<Packet> relayOff(int relay)
    {
        return isRelay(relay) ? send(instruction::relayOff(relay)) : std::nullopt;
    }
    std::optional<Packet> toggle(int index)
    {
        return isRelay(index + 1) ? send(instruction::toggle(index)) : std::nullopt;
    }
    std::optional<Packet> send(Instruction instruction)
    {
        m_repeated = packetFor(instruction);
        return write(m_repeated);
    }

    std::optional<Packet> changeAddress(const QString &text)
    {
        const std::optional<int> newAddress = ReferenceNumber(text).integer();
        if (!isAddress(newAddress)) {
            m_repeated.reset();
            return std::nullopt;
        }
        const std::optional<Packet> sent = send(instruction::changeAddress(*newAddress));
        if (sent)
            typeAddress(text);
        return sent;
    }

    void press(int index)
    {
        if (!isRelay(index + 1))
            return;
        m_repeated = packetFor(instruction::hold(index));
        m_timerRuns = true;
    }
    void release() { m_timerRuns = false; }

    // A tick repeats the last burst, but only while less than a burst waits for the line.
    std::optional<Packet> tick()
    {
        return bytesWaiting() < burstSize ? write(m_repeated) : std::nullopt;
    }

private:
    std::optional<Packet> packetFor(Instruction instruction) const
    {
        if (!isAddress(m_address))
            return std::nullopt;
        return Packet{*m_address, instruction};
    }

    std::optional<Packet> write(std::optional<Packet> packet)
    {
        if (!packet || !m_portOpen)
            return std::nullopt;
        m_lineFreeAt = std::max(m_lineFreeAt, now()) + qint64(burstSize) * sixthsPerByte;
        return packet;
    }

    qint64 now() const { return m_elapsed.count() * 6; }

    qint64 bytesWaiting() const
    {
        const qint64 ahead = m_lineFreeAt - now();
        return ahead > 0 ? (ahead + sixthsPerByte - 1) / sixthsPerByte : 0;
    }

    QString m_addressText = QStringLiteral("1");
    std::optional<int> m_address = 1;
    bool m_portOpen = true;
    bool m_timerRuns = false;
    // What a tick writes: the burst of the last command or held button, none when it had no
    // valid address.
    std::optional<Packet> m_repeated;
    std::chrono::milliseconds m_elapsed{};
    // When the line has carried all it was given, in sixths of a millisecond.
    qint64 m_lineFreeAt = 0;
};

// ---- The line ----

// Port 1, read from the far end. A marker written into the line behind the panel's bytes comes
// out after all of them, so what the panel wrote is known without waiting on a clock.
class Line
{
public:
    Line() : m_marker(::open(qPrintable(m_pty.name()), O_WRONLY | O_NOCTTY | O_CLOEXEC))
    {
        check(m_pty.isValid() && m_marker >= 0, QStringLiteral("no pseudo-terminal"));
    }
    ~Line()
    {
        if (m_marker >= 0)
            ::close(m_marker);
    }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    QString name() const { return m_pty.name(); }

    QByteArray takeWritten()
    {
        // No control characters: a closed port's output processing leaves it as it is.
        static const QByteArray marker = QByteArrayLiteral("\xa5marker\x5a");
        // libFuzzer's timeout alarm may interrupt the write before a byte of it went.
        ssize_t written = 0;
        do
            written = ::write(m_marker, marker.constData(), marker.size());
        while (written < 0 && errno == EINTR);
        check(written == marker.size(), QStringLiteral("the marker was not written"));
        QByteArray bytes;
        while (!bytes.endsWith(marker)) {
            // The marker always comes; a line that stalls is for libFuzzer's -timeout to report.
            const QByteArray more = m_pty.read(1, 1h);
            check(!more.isEmpty(), QStringLiteral("the line went away"));
            bytes += more;
        }
        bytes.chop(marker.size());
        return bytes;
    }

private:
    PseudoTerminal m_pty;
    // Opened before the panel opens the port, which it may then hold exclusively.
    int m_marker;
};

// ---- The fuzzer's input ----

class Input
{
public:
    explicit Input(std::span<const quint8> bytes) : m_bytes(bytes) { }
    bool atEnd() const { return m_at >= m_bytes.size(); }
    quint8 byte() { return atEnd() ? 0 : m_bytes[m_at++]; }

    // A length byte and that many bytes. Stretched, a repeat byte, a middle and a tail follow,
    // the middle repeated up to 64 times the repeat byte: 10,000 digits from a short input.
    QString text(bool utf8, bool stretched)
    {
        QByteArray bytes = chunk();
        if (stretched) {
            const int repeats = byte() * 64;
            const QByteArray middle = chunk();
            const QByteArray tail = chunk();
            if (!middle.isEmpty())
                bytes += middle.repeated(std::min<qsizetype>(repeats, 20000 / middle.size()));
            bytes += tail;
        }
        return utf8 ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
    }

private:
    QByteArray chunk()
    {
        const std::size_t length = std::min<std::size_t>(byte(), m_bytes.size() - m_at);
        const auto *start = reinterpret_cast<const char *>(m_bytes.data() + m_at);
        m_at += length;
        return {start, static_cast<qsizetype>(length)};
    }

    std::span<const quint8> m_bytes;
    std::size_t m_at = 0;
};

// ---- One input's run ----

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// Why the bytes on the line are not the burst of `due`.
QString whatDiffers(const QByteArray &bytes, const std::optional<Packet> &due)
{
    if (!due)
        return QStringLiteral("nothing was due");
    if (bytes.size() != burstSize)
        return QStringLiteral("not one burst");
    const QByteArray packet = bytes.first(5);
    if (bytes != packet.repeated(4))
        return QStringLiteral("not four identical packets");
    int sum = 0;
    for (char c : packet)
        sum += quint8(c);
    if (quint8(packet.at(0)) != 13 || sum % 256 != 0)
        return QStringLiteral("no start byte, or the checksum does not hold");
    if (quint8(packet.at(1)) != due->address)
        return QStringLiteral("it went to another address");
    if (packet.at(2) != due->instruction.letter)
        return QStringLiteral("another instruction");
    return QStringLiteral("another parameter");
}

// The line carried exactly the burst the model expects for the operation, or nothing.
void checkLine(const QByteArray &bytes, const std::optional<Packet> &due, const QString &operation)
{
    const QByteArray expected = due ? burstOf(*due) : QByteArray();
    if (bytes != expected)
        broken(QStringLiteral("%1 wrote [%2] where [%3] was due: %4")
                   .arg(operation, hex(bytes), hex(expected), whatDiffers(bytes, due)));
}

// The same moment for every input.
constexpr std::chrono::nanoseconds startTime = 1h;

class Session
{
public:
    Session()
        : m_link([this](int port) { return port == 1 ? m_line.name() : QString(); }),
          m_controller(m_view, m_link)
    {
        m_link.setClock([this] { return startTime + m_model.elapsed(); });
        m_view.attach(&m_controller);
        m_controller.start();
        checkLine(m_line.takeWritten(), std::nullopt, QStringLiteral("start-up"));
        checkState(QStringLiteral("start-up"));
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    void run(Input &input)
    {
        for (int n = 0; !input.atEnd(); ++n) {
            QString operation;
            const std::optional<Packet> due = operate(input.byte(), input, operation);
            operation = QStringLiteral("operation %1, %2,").arg(n).arg(operation);
            checkLine(m_line.takeWritten(), due, operation);
            checkState(operation);
        }
        m_controller.shutdown();
        checkLine(m_line.takeWritten(), std::nullopt, QStringLiteral("shutdown"));
    }

private:
    // A relay number, mostly 1 to 8; variants 2 and 3 take any small number, so the panel
    // must ignore numbers outside the eight.
    static int relayNumber(quint8 byte, int variant)
    {
        return variant >= 2 ? static_cast<qint8>(byte) : 1 + byte % 8;
    }

    std::optional<Packet> operate(quint8 op, Input &input, QString &operation)
    {
        // The last digit picks the operation, the tens a variant, the top bit UTF-8 text.
        const int variant = (op / 10) % 4;
        const bool utf8 = (op & 0x80) != 0;
        const bool stretched = variant >= 2;
        switch (op % 10) {
        case 0: {
            const QString text = input.text(utf8, stretched);
            operation = QStringLiteral("address box \"%1\"").arg(text.left(80));
            checkNumber(text);
            m_model.typeAddress(text);
            m_view.setText(PanelView::Box::Combo2, text);
            return std::nullopt;
        }
        case 1: {
            const QString text = input.text(utf8, stretched);
            operation = QStringLiteral("change address to \"%1\"").arg(text.left(80));
            checkNumber(text);
            const std::optional<Packet> due = m_model.changeAddress(text);
            m_controller.changeAddress(text);
            return due;
        }
        case 2: {
            const QString text = input.text(utf8, stretched);
            operation = QStringLiteral("port box \"%1\"").arg(text.left(80));
            checkNumber(text);
            m_model.typePort(text);
            m_view.setText(PanelView::Box::Combo1, text);
            return std::nullopt;
        }
        case 3: {
            const int relay = relayNumber(input.byte(), variant);
            if (variant % 2 == 0) {
                operation = QStringLiteral("relay %1 on").arg(relay);
                m_controller.relayOn(relay);
                return m_model.relayOn(relay);
            }
            operation = QStringLiteral("relay %1 off").arg(relay);
            m_controller.relayOff(relay);
            return m_model.relayOff(relay);
        }
        case 4: {
            const int index = relayNumber(input.byte(), variant) - 1;
            operation = QStringLiteral("toggle index %1").arg(index);
            m_controller.toggleRelay(index);
            return m_model.toggle(index);
        }
        case 5: {
            const int index = relayNumber(input.byte(), variant) - 1;
            operation = QStringLiteral("press index %1").arg(index);
            m_controller.momentaryPress(index);
            m_model.press(index);
            return std::nullopt;
        }
        case 6:
            operation = QStringLiteral("release");
            m_controller.momentaryRelease();
            m_model.release();
            return std::nullopt;
        case 7: {
            const std::chrono::milliseconds elapsed(input.byte());
            operation = QStringLiteral("%1 ms later").arg(elapsed.count());
            m_model.advance(elapsed);
            if (!m_model.timerRuns())
                return std::nullopt;
            operation += QStringLiteral(", a tick");
            m_controller.repeatTick();
            return m_model.tick();
        }
        case 8:
            if (variant % 2 == 0) {
                operation = QStringLiteral("emergency stop");
                m_controller.emergencyStop();
                return m_model.send(instruction::emergencyStop);
            }
            operation = QStringLiteral("show address");
            m_controller.showAddress();
            return m_model.send(instruction::showAddress);
        default:
            if (variant % 2 == 0) {
                operation = QStringLiteral("all off");
                m_controller.allOff();
                return m_model.send(instruction::allOff);
            }
            operation = QStringLiteral("all on");
            m_controller.allOn();
            return m_model.send(instruction::allOn);
        }
    }

    void checkState(const QString &operation)
    {
        if (m_link.isOpen() != m_model.portOpen())
            broken(operation
                + (m_model.portOpen()
                        ? QStringLiteral(" port 1 should be open: ") + m_link.errorString()
                        : QStringLiteral(" no port should be open")));
        if (m_view.timerEnabled != m_model.timerRuns())
            broken(operation
                + (m_model.timerRuns() ? QStringLiteral(" the repeat timer should run")
                                       : QStringLiteral(" the repeat timer should be stopped")));
        if (m_view.texts.value(PanelView::Box::Combo2) != m_model.addressText())
            broken(operation + QStringLiteral(" the address box should say \"")
                + m_model.addressText() + u'"');
    }

    // Declared first: the link names it, and it outlives the panel that writes to it.
    Line m_line;
    PanelModel m_model;
    RecordingView m_view;
    SerialLink m_link;
    PanelController m_controller;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    static int argc = 1;
    static char name[] = "fuzz_panel";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    // A decimal comma all round, where the system has the locale: the point must stay the
    // separator whatever the operator's language.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const quint8 *data, std::size_t size)
{
    Input input({data, size});
    Session session;
    session.run(input);
    return 0;
}
