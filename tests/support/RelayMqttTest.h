#pragma once

#include "Bytes.h"
#include "MosquittoBroker.h"
#include "ProcessOutcome.h"
#include "PseudoTerminal.h"
#include "card/VirtualCard.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

using LineTime = std::chrono::duration<double, std::milli>; // the test's steady clock
constexpr LineTime packetTime{1000.0 * 5 / 240}; // 2400 baud, ten bits a byte
// What a loaded machine may add between the bridge's write and the test's read of it, for an
// upper bound on when a burst came.
constexpr LineTime readSlack = std::chrono::milliseconds(200);

// A packet, and when the line started it, as readTimed() tells it.
struct TimedPacket
{
    QByteArray bytes;
    LineTime at;
};

QByteArrayList burstsOf(const QList<TimedPacket> &packets);
// When `card`, given each packet as the line finishes carrying it, first lets go of `relay`
// between the first packet that holds the relay and the last: the time since that first
// packet. None if the card held the relay throughout; a hold that never came lets go at 0.
std::optional<LineTime> firstGap(const QList<TimedPacket> &packets, quint8 card, int relay);
// What is wrong with `packets` as a hold of `relay` on `card` for `length`: they must be the
// bursts `held` alone, no more than the line carries in that time, with the card holding the
// relay from the first to the last and for `length` in all. Empty if nothing is.
QString holdFault(const QList<TimedPacket> &packets, quint8 card, int relay, const QByteArray &held,
    std::chrono::milliseconds length);

// What the tests of the built relay-mqtt share: a real mosquitto of the test's own on 127.0.0.1,
// a pseudo-terminal standing in for the serial port, the bridge started on them, a VirtualCard
// per address for what reaches the line, and the broker's retained messages read with
// mosquitto_sub. Every wait ends as soon as what it waits for is seen.
class RelayMqttTest : public QObject
{
    Q_OBJECT

public:
    static constexpr auto eventTimeout = std::chrono::seconds(10);
    static constexpr qint64 timeoutMs = 10'000;
    // The base topic the bridges of these tests run under.
    static const QString name;

    explicit RelayMqttTest(QString program, QObject *parent = nullptr);

    // The commands relay-mqtt's log says it refused: a line each for some, a count for the rest
    // ("N more command(s) refused ...").
    static qsizetype refusalsIn(const QString &log);
    // The options to log in as "bridge" with `password`, from a file in `directory`; none if
    // the file cannot be written.
    static QStringList loginArguments(const QTemporaryDir &directory, const QByteArray &password);
    // The options that give the web page's login `password`, and scripts `token` if not empty,
    // from files in `directory`; none if a file cannot be written.
    static QStringList webLoginArguments(
        const QTemporaryDir &directory, const QByteArray &password, const QByteArray &token = {});
    // The options to read `text` as the config file, from a file in `directory` only its owner
    // may read; if it cannot be written, an empty path, which the bridge refuses.
    static QStringList configArguments(const QTemporaryDir &directory, const QByteArray &text);

protected:
    // For the slots of the same names in the test classes.
    void initTestCaseBase();
    void initBase();
    void cleanupBase();

    // The broker made from m_brokerOptions and started, unless the test has one already.
    bool startBroker();
    // The broker (made from m_brokerOptions and started, if the test has none yet), then the
    // bridge on the pseudo-terminal with cards 1 and 2 and `extra` options; `replace` takes
    // the place of the standard options altogether.
    void startBridge(const QStringList &extra = {}, const QStringList &replace = {});
    // The standard options: --device, the two cards, --broker and --name.
    QStringList bridgeArguments() const;
    // The broker's address and port, for --broker.
    QString brokerAddress() const;
    QStringList clientArguments() const;
    ProcessOutcome client(
        const QString &tool, const QStringList &arguments, const QByteArray &input = QByteArray());
    bool publish(const QString &topic, const QByteArray &payload, bool retain = false);
    // Starts `process` subscribed to `topic` for `count` messages (0: until it is ended), and
    // waits until the broker has the subscription: nothing published after it can pass it by.
    bool watch(QProcess &process, const QString &topic, int count = 0);
    // The retained messages under `filter` now, topic to payload: all the broker has, asked once.
    std::map<QString, QByteArray> retained(const QString &filter);
    bool waitForRetained(const QString &topic, const QByteArray &payload);
    bool waitForStates(const QString &card1, const QString &card2);
    // `text` in the bridge's log, `times` times at least.
    bool waitForLog(const QString &text, int times = 1);
    // At least `count` bytes off the line, and more until it goes quiet, given to the cards too.
    QByteArray lineOf(qsizetype count);
    // Packets off the line as they come, until `enough` and then `quiet` without any. Each is
    // stamped with when the line started it: packets found waiting together had followed one
    // another on the line, up to the last burst among them, which was written as they were
    // read; so a test that reads late sees no gap the line never had (nor one that fell while
    // it was away: a gap is seen by a test that reads in time).
    QList<TimedPacket> readTimed(const std::function<bool(const QList<TimedPacket> &)> &enough,
        std::chrono::milliseconds quiet);
    // The packets that have reached the line by now.
    QList<TimedPacket> drainTimed();
    // The bridge with its web page on a free port of 127.0.0.1, with the broker or none, and
    // `extra` options (a later --http wins); m_pageUrl once it is listening.
    void startWeb(bool withBroker, const QStringList &extra = {});
    // Where the bridge puts the line's local socket ($RUNTIME_DIRECTORY): relay-mqtt/ in a
    // temporary folder, which a program finds with XDG_RUNTIME_DIR set to the folder.
    QString runtimeFolder() const;
    // Ends the bridge with `signal` and collects how it ended, its log included.
    ProcessOutcome stopBridge(int signal);

    QString m_program;
    std::unique_ptr<MosquittoBroker> m_broker;
    MosquittoBroker::Options m_brokerOptions;
    std::unique_ptr<PseudoTerminal> m_pty;
    QString m_device; // the bridge's --device, when it is not the pseudo-terminal itself
    // A command the bridge is started by, its path and arguments after it (unshare, say).
    QStringList m_launcher;
    // More of the bridge's environment, set before startBridge().
    std::map<QString, QString> m_environment;
    std::unique_ptr<QTemporaryDir> m_runtime;
    std::unique_ptr<QProcess> m_bridge;
    bool m_withBroker = true;
    QString m_pageUrl; // http://127.0.0.1:PORT, no slash
    QString m_log;
    std::map<quint8, VirtualCard> m_cards;
};
