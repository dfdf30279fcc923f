#include "card/PacketDecoder.h"
#include "card/VirtualCard.h"
#include "protocol/RelayPacket.h"
#include "sim/HeadlessLog.h"
#include "support/Bytes.h"

#include <QRegularExpression>
#include <QTest>

using namespace std::chrono_literals;
using Packets = QList<QByteArray>;

namespace {

QByteArray packet(int address, char instruction, int parameter)
{
    return RelayPacket::makePacket(quint8(address), instruction, quint8(parameter));
}

} // namespace

class TestCard : public QObject
{
    Q_OBJECT

private slots:
    void decoder_data();
    void decoder();
    void card_data();
    void card();
    void addressShownForTwoSeconds();
    void givenRelays();
};

void TestCard::decoder_data()
{
    QTest::addColumn<Packets>("chunks");
    QTest::addColumn<Packets>("expected");
    QTest::addColumn<int>("bad");

    const QByteArray on1 = packet(1, 'S', '1');
    const QByteArray off2 = packet(7, 'C', '2');
    QTest::newRow("one packet") << Packets{on1} << Packets{on1} << 0;
    QTest::newRow("a burst") << Packets{on1.repeated(4)} << Packets{on1, on1, on1, on1} << 0;
    QTest::newRow("byte by byte") << Packets{on1.sliced(0, 1), on1.sliced(1, 1), on1.sliced(2, 1),
        on1.sliced(3, 1), on1.sliced(4, 1)}
                                  << Packets{on1} << 0;
    QTest::newRow("split across two packets")
        << Packets{on1.first(3), on1.sliced(3) + off2.first(2), off2.sliced(2)}
        << Packets{on1, off2} << 0;
    QTest::newRow("garbage between packets")
        << Packets{bytes({0, 255, 7}) + on1 + bytes({10, 10}) + off2 + bytes({99})}
        << Packets{on1, off2} << 0;
    QTest::newRow("a bad checksum")
        << Packets{bytes({13, 1, 83, 49, 111}) + on1} << Packets{on1} << 1;
    // Address 13 puts a start byte inside a good packet: it is still one packet.
    const QByteArray to13 = packet(13, 'T', '4');
    QTest::newRow("a 13 inside a packet") << Packets{to13 + to13} << Packets{to13, to13} << 0;
    // A good packet that starts inside a bad one is found.
    QTest::newRow("good packet inside a bad one")
        << Packets{bytes({13, 1}) + on1} << Packets{on1} << 1;
    QTest::newRow("a packet cut short, then a whole one")
        << Packets{on1.first(3), off2} << Packets{off2} << 1;
    QTest::newRow("a packet cut short at the end")
        << Packets{on1 + off2.first(4)} << Packets{on1} << 0;
    QTest::newRow("only garbage") << Packets{bytes({1, 2, 3, 4, 5, 6, 7, 8})} << Packets{} << 0;
}

void TestCard::decoder()
{
    QFETCH(Packets, chunks);
    QFETCH(Packets, expected);
    QFETCH(int, bad);

    PacketDecoder decoder;
    Packets found;
    for (const QByteArray &chunk : chunks)
        found += decoder.feed(chunk);
    QCOMPARE(found, expected);
    QCOMPARE(decoder.goodCount(), expected.size());
    QCOMPARE(decoder.badCount(), bad);
}

void TestCard::card_data()
{
    // Steps: "1S3*4" is four copies of the packet for address 1 with "S" and "3" ("A" takes a
    // number: "1A7*4"); "bad" is one corrupted copy of the last packet; "+250" lets 250 ms pass.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("relays");
    QTest::addColumn<int>("commands");
    QTest::addColumn<int>("address");

    QTest::newRow("one click") << QStringList{"1S3*4"} << "00100000" << 1 << 1;
    QTest::newRow("a double click is two commands") << QStringList{"1T3*8"} << "00000000" << 2 << 1;
    QTest::newRow("a burst with one corrupted copy")
        << QStringList{"1T3*2", "bad", "1T3*1"} << "00100000" << 1 << 1;
    QTest::newRow("a corrupted copy, then another click")
        << QStringList{"1T3*1", "bad", "1T3*2", "1T3*4"} << "00000000" << 2 << 1;
    QTest::newRow("a copy lost in each of three clicks")
        << QStringList{"1T5*3", "1T5*3", "1T5*3"} << "00001000" << 3 << 1;
    QTest::newRow("packets for another card")
        << QStringList{"2S1*4", "0S9*4"} << "00000000" << 0 << 1;
    QTest::newRow("all on, one off") << QStringList{"1S9*4", "1C2*4"} << "10111111" << 2 << 1;
    QTest::newRow("all off") << QStringList{"1S9*4", "1C9*4"} << "00000000" << 2 << 1;
    QTest::newRow("emergency stop") << QStringList{"1S9*4", "1E1*4"} << "00000000" << 2 << 1;
    QTest::newRow("new address, then commands there")
        << QStringList{"1A7*4", "1S1*4", "7S2*4"} << "01000000" << 2 << 7;
    QTest::newRow("held while packets keep coming")
        << QStringList{"1P4*4", "+80", "1P4*4", "+80", "1P4*4", "+200"} << "00010000" << 3 << 1;
    QTest::newRow("let go 250 ms after the last packet")
        << QStringList{"1P4*4", "+80", "1P4*4", "+250"} << "00000000" << 2 << 1;
    QTest::newRow("a hold lets go of a relay that was on")
        << QStringList{"1S4*4", "1P4*4", "+300"} << "00000000" << 2 << 1;
    QTest::newRow("unknown instruction") << QStringList{"1X1*4", "1S0*4"} << "00000000" << 2 << 1;
}

void TestCard::card()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, relays);
    QFETCH(int, commands);
    QFETCH(int, address);

    std::chrono::milliseconds now = 10s;
    VirtualCard card(1, [&now] { return now; });
    PacketDecoder decoder;
    QByteArray last;
    for (const QString &step : steps) {
        if (step.startsWith(u'+')) {
            now += std::chrono::milliseconds(step.mid(1).toInt());
            card.update();
            continue;
        }
        QByteArray bytes;
        if (step == "bad") {
            bytes = last;
            bytes[4] = char(bytes.at(4) + 1);
        } else {
            const QStringList parts = step.split(u'*');
            const QString &what = parts.at(0);
            const int target = what.left(what.indexOf(QRegularExpression("[A-Z]"))).toInt();
            const qsizetype letterAt = QString::number(target).size();
            const char instruction = what.at(letterAt).toLatin1();
            const QString rest = what.mid(letterAt + 1);
            const int parameter = instruction == 'A' ? rest.toInt() : rest.at(0).toLatin1();
            last = packet(target, instruction, parameter);
            bytes = last.repeated(parts.at(1).toInt());
        }
        for (const QByteArray &good : decoder.feed(bytes))
            card.receive(good);
    }
    QCOMPARE(HeadlessLog::relayString(card.relays()), relays);
    QCOMPARE(card.commandCount(), commands);
    QCOMPARE(int(card.address()), address);
}

void TestCard::addressShownForTwoSeconds()
{
    std::chrono::milliseconds now = 10s;
    VirtualCard card(5, [&now] { return now; });
    QVERIFY(!card.isShowingAddress());
    for (int copy = 0; copy < 4; ++copy)
        card.receive(packet(5, 'D', '1'));
    QVERIFY(card.isShowingAddress());
    now += 1999ms;
    QVERIFY(card.isShowingAddress());
    now += 1ms;
    QVERIFY(!card.isShowingAddress());
    QCOMPARE(card.commandCount(), 1);
}

void TestCard::givenRelays()
{
    std::chrono::milliseconds now = 10s;
    VirtualCard card(1, [&now] { return now; });
    for (int copy = 0; copy < 4; ++copy)
        card.receive(packet(1, 'P', '4'));
    QCOMPARE(HeadlessLog::relayString(card.relays()), "00010000");

    // Given states replace the relays and whatever was held.
    card.setRelays({true, false, true, false, false, false, false, true});
    QCOMPARE(HeadlessLog::relayString(card.relays()), "10100001");
    now += 300ms;
    QVERIFY(!card.update());
    QCOMPARE(HeadlessLog::relayString(card.relays()), "10100001");
    // Commands go on from them.
    for (int copy = 0; copy < 4; ++copy)
        card.receive(packet(1, 'T', '1'));
    QCOMPARE(HeadlessLog::relayString(card.relays()), "00100001");
}

QTEST_APPLESS_MAIN(TestCard)
#include "tst_card.moc"
