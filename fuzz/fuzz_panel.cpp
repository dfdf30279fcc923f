// libFuzzer target: arbitrary text into the panel's three boxes, mixed with clicks, held buttons
// and timer ticks, against a real pseudo-terminal. Invariants: no crash, and every write is one
// burst of four identical packets whose checksum holds and whose address is the card address of
// the moment the burst was built.

#include "panel/PanelController.h"
#include "panel/TextNumber.h"
#include "serial/SerialLink.h"
#include "support/PseudoTerminal.h"
#include "support/RecordingView.h"

#include <QCoreApplication>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>

using namespace std::chrono_literals;

namespace {

[[noreturn]] void broken(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void check(bool holds, const char *what)
{
    if (!holds)
        broken(what);
}

class Input
{
public:
    explicit Input(std::span<const quint8> bytes) : m_bytes(bytes) { }
    bool atEnd() const { return m_at >= m_bytes.size(); }
    quint8 byte() { return atEnd() ? 0 : m_bytes[m_at++]; }
    QString text(bool utf8)
    {
        const std::size_t length = std::min<std::size_t>(byte(), m_bytes.size() - m_at);
        const auto *start = reinterpret_cast<const char *>(m_bytes.data() + m_at);
        m_at += length;
        const auto size = static_cast<qsizetype>(length);
        return utf8 ? QString::fromUtf8(start, size) : QString::fromLatin1(start, size);
    }

private:
    std::span<const quint8> m_bytes;
    std::size_t m_at = 0;
};

// textInteger is textValue rounded half to even, or nothing when that leaves 16 bits.
void checkNumber(const QString &text)
{
    const double value = textValue(text);
    check(!std::isnan(value), "textValue gave NaN");
    const double rounded = std::nearbyint(value);
    const std::optional<qint16> integer = textInteger(text);
    const bool fits = rounded >= std::numeric_limits<qint16>::min()
        && rounded <= std::numeric_limits<qint16>::max();
    check(integer.has_value() == fits, "textInteger range");
    check(!integer || *integer == rounded, "textInteger rounding");
}

void checkBurst(const QByteArray &burst, std::optional<qint16> address)
{
    check(burst.size() == 20, "a write is not one burst");
    check(address && *address >= 0 && *address <= 255, "a burst for no valid address");
    const QByteArray packet = burst.first(5);
    check(burst == packet.repeated(4), "the burst is not four identical packets");
    check(quint8(packet.at(0)) == 13, "no start byte");
    check(quint8(packet.at(1)) == *address, "the burst went to another address");
    int sum = 0;
    for (char c : packet)
        sum += quint8(c);
    check(sum % 256 == 0, "the checksum does not hold");
}

struct Line
{
    PseudoTerminal pty;
    std::chrono::nanoseconds now{};
};

Line &line()
{
    static int argc = 1;
    static char name[] = "fuzz_panel";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static Line line;
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const quint8 *data, std::size_t size)
{
    Line &shared = line();
    // Bytes left over from the last input were written without being counted.
    check(
        shared.pty.readAll(std::chrono::milliseconds(0)).isEmpty(), "uncounted bytes on the line");

    RecordingView view;
    // Only port 1 exists, and it is the pseudo-terminal: no other device is ever opened.
    SerialLink link([&shared](int port) { return port == 1 ? shared.pty.name() : QString(); });
    link.setClock([&shared] { return shared.now; });
    PanelController controller(view, link);
    view.attach(&controller);
    controller.start();

    Input input({data, size});
    while (!input.atEnd()) {
        const quint8 op = input.byte();
        const bool tick = op % 10 == 7;
        if (tick)
            shared.now += std::chrono::milliseconds(input.byte());
        const std::optional<qint16> addressBefore = controller.cardAddress();
        const QByteArray bufferBefore = controller.sendBuffer();
        // The clock stands still during an operation, so the backlog grows by what it wrote.
        const qint64 waitingBefore = link.bytesWaiting();
        const bool portBefore = link.isOpen();

        switch (op % 10) {
        case 0: {
            const QString text = input.text(op & 0x80);
            checkNumber(text);
            view.setText(PanelView::Box::Combo2, text);
            break;
        }
        case 1:
            controller.changeAddress(input.text(op & 0x80));
            break;
        case 2:
            view.setText(PanelView::Box::Combo1, input.text(op & 0x80));
            break;
        case 3:
            controller.relayOn(1 + input.byte() % 8);
            break;
        case 4:
            controller.toggleRelay(input.byte() % 8);
            break;
        case 5:
            controller.momentaryPress(input.byte() % 8);
            break;
        case 6:
            controller.momentaryRelease();
            break;
        case 7:
            if (view.timerEnabled)
                controller.repeatTick();
            break;
        case 8:
            controller.emergencyStop();
            break;
        default:
            controller.allOff();
            break;
        }

        // Choosing a port writes nothing and starts the new port's backlog afresh.
        const bool portChoice = op % 10 == 2;
        const qint64 written
            = !portChoice && portBefore && link.isOpen() ? link.bytesWaiting() - waitingBefore : 0;
        check(written == 0 || written == 20, "an operation wrote other than one burst");
        const QByteArray buffer = controller.sendBuffer();
        if (!buffer.isEmpty() && buffer != bufferBefore)
            checkBurst(buffer, addressBefore);
        if (written == 0)
            continue;
        const QByteArray bytes = shared.pty.read(written, std::chrono::seconds(1));
        check(bytes.size() == written, "written bytes did not reach the line");
        if (tick) {
            check(bytes == bufferBefore, "a tick wrote other than the send buffer");
            check(waitingBefore < 20, "a tick ran ahead of the line");
        } else {
            checkBurst(bytes, addressBefore);
        }
    }
    controller.shutdown();
    return 0;
}
