#include "protocol/RelayCommand.h"
#include "protocol/RelayPacket.h"
#include "support/Bytes.h"

#include <QTest>

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void packet_data();
    void packet();
    void everyPacketSumsToMultipleOf256();
    void burstIsFourCopies();
    void commands_data();
    void commands();
};

void TestProtocol::packet_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<char>("instruction");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("address 1, S 1") << 1 << 'S' << int('1') << bytes({13, 1, 83, 49, 110});
    QTest::newRow("address 0") << 0 << 'S' << int('1') << bytes({13, 0, 83, 49, 111});
    QTest::newRow("address 255, T 8") << 255 << 'T' << int('8') << bytes({13, 255, 84, 56, 104});
    QTest::newRow("sum 256 gives checksum 0")
        << 111 << 'S' << int('1') << bytes({13, 111, 83, 49, 0});
    QTest::newRow("address 65 is one raw byte")
        << 65 << 'D' << int('1') << bytes({13, 65, 68, 49, 61});
    QTest::newRow("raw parameter 255") << 1 << 'A' << 255 << bytes({13, 1, 65, 255, 178});
}

void TestProtocol::packet()
{
    QFETCH(int, address);
    QFETCH(char, instruction);
    QFETCH(int, parameter);
    QFETCH(QByteArray, expected);

    QCOMPARE(RelayPacket::makePacket(quint8(address), instruction, quint8(parameter)), expected);
}

void TestProtocol::everyPacketSumsToMultipleOf256()
{
    for (int address = 0; address <= 255; ++address) {
        for (int parameter = 0; parameter <= 255; ++parameter) {
            const QByteArray packet
                = RelayPacket::makePacket(quint8(address), 'P', quint8(parameter));
            QCOMPARE(packet.size(), RelayPacket::packetSize);
            int sum = 0;
            for (char c : packet)
                sum += quint8(c);
            if (sum % 256 != 0)
                QFAIL(qPrintable(QStringLiteral("address %1 parameter %2 sums to %3")
                                     .arg(address)
                                     .arg(parameter)
                                     .arg(sum)));
        }
    }
}

void TestProtocol::burstIsFourCopies()
{
    const QByteArray packet = RelayPacket::makePacket(7, 'C', '3');
    const QByteArray burst = RelayPacket::makeBurst(packet);
    QCOMPARE(burst.size(), 20);
    for (int copy = 0; copy < 4; ++copy)
        QCOMPARE(burst.mid(qsizetype(copy) * 5, 5), packet);
    QCOMPARE(quint8(burst.at(5)), 13);
    QCOMPARE(quint8(burst.at(10)), 13);
    QCOMPARE(quint8(burst.at(15)), 13);
}

void TestProtocol::commands_data()
{
    QTest::addColumn<const RelayCommand *>("command");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("packet");

    QTest::newRow("relay 3 on") << &RelayCommand::relayOn << 1 << 3 << bytes({13, 1, 83, 51, 108});
    QTest::newRow("relay 8 on at 5")
        << &RelayCommand::relayOn << 5 << 8 << bytes({13, 5, 83, 56, 99});
    QTest::newRow("relay 1 off") << &RelayCommand::relayOff << 1 << 1
                                 << bytes({13, 1, 67, 49, 126});
    QTest::newRow("all on") << &RelayCommand::allOn << 1 << 0 << bytes({13, 1, 83, 57, 102});
    QTest::newRow("all off") << &RelayCommand::allOff << 1 << 0 << bytes({13, 1, 67, 57, 118});
    QTest::newRow("emergency stop")
        << &RelayCommand::emergencyStop << 1 << 0 << bytes({13, 1, 69, 49, 124});
    QTest::newRow("show address") << &RelayCommand::showAddress << 1 << 0
                                  << bytes({13, 1, 68, 49, 125});
    QTest::newRow("change address to 2")
        << &RelayCommand::changeAddress << 1 << 2 << bytes({13, 1, 65, 2, 175});
    QTest::newRow("change address to 9")
        << &RelayCommand::changeAddress << 1 << 9 << bytes({13, 1, 65, 9, 168});
    QTest::newRow("toggle relay 1")
        << &RelayCommand::toggleRelay << 1 << 1 << bytes({13, 1, 84, 49, 109});
    QTest::newRow("hold relay 8") << &RelayCommand::momentary << 1 << 8
                                  << bytes({13, 1, 80, 56, 106});
}

void TestProtocol::commands()
{
    QFETCH(const RelayCommand *, command);
    QFETCH(int, address);
    QFETCH(int, value);
    QFETCH(QByteArray, packet);

    QCOMPARE(command->burst(quint8(address), quint8(value)), packet.repeated(4));
}

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
