#include "sim/CardWindow.h"

#include "sim/CardBus.h"
#include "sim/RelayLamp.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

using namespace std::chrono_literals;

namespace {

constexpr int logLines = 500;
constexpr auto refreshPeriod = 50ms;

QString relayWord(quint8 parameter)
{
    return parameter == '9' ? CardWindow::tr("all relays")
                            : CardWindow::tr("relay %1").arg(QChar(parameter));
}

} // namespace

CardWindow::CardWindow(CardBus &bus, int card, QWidget *parent)
    : QWidget(parent,
        Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
            | Qt::MSWindowsFixedSizeDialogHint),
      m_bus(bus),
      m_card(card)
{
    setObjectName(QStringLiteral("CardWindow"));

    auto *addressTitle = new QLabel(tr("Card address"), this);
    m_address = new QLabel(this);
    m_address->setObjectName(QStringLiteral("address"));
    m_address->setAlignment(Qt::AlignCenter);
    m_address->setMinimumWidth(48);
    m_address->setFrameShape(QFrame::Panel);
    m_address->setFrameShadow(QFrame::Sunken);
    m_address->setAutoFillBackground(true);
    auto *addressRow = new QHBoxLayout;
    addressRow->addWidget(addressTitle);
    addressRow->addWidget(m_address);
    addressRow->addStretch();

    auto *relaysBox = new QGroupBox(tr("Relays"), this);
    auto *relayGrid = new QGridLayout(relaysBox);
    for (int i = 0; i < VirtualCard::relayCount; ++i) {
        m_lamps.at(i) = new RelayLamp(i + 1, relaysBox);
        auto *number = new QLabel(QString::number(i + 1), relaysBox);
        number->setAlignment(Qt::AlignCenter);
        relayGrid->addWidget(m_lamps.at(i), 0, i, Qt::AlignCenter);
        relayGrid->addWidget(number, 1, i, Qt::AlignCenter);
    }

    auto *countGrid = new QGridLayout;
    const char *countNames[] = {QT_TR_NOOP("Good packets"), QT_TR_NOOP("Bad packets"),
        QT_TR_NOOP("For other cards"), QT_TR_NOOP("Unknown commands")};
    const int digitsWidth = fontMetrics().horizontalAdvance(QStringLiteral("0000000"));
    for (int i = 0; i < int(m_counts.size()); ++i) {
        auto *value = new QLabel(QStringLiteral("0"), this);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        value->setMinimumWidth(digitsWidth);
        m_counts.at(i) = value;
        countGrid->addWidget(new QLabel(tr(countNames[i]), this), i / 2, (i % 2) * 2);
        countGrid->addWidget(value, i / 2, (i % 2) * 2 + 1);
    }

    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("log"));
    m_log->setReadOnly(true);
    m_log->setMaximumBlockCount(logLines);
    m_log->setFixedHeight(120);
    m_log->setAccessibleName(tr("Commands received"));

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(addressRow);
    layout->addWidget(relaysBox);
    layout->addLayout(countGrid);
    layout->addWidget(m_log);

    connect(&m_bus, &CardBus::commandCarriedOut, this,
        [this](int which, quint8 addressed, const VirtualCard::Command &command) {
            if (which == m_card)
                log(addressed, command);
        });
    connect(&m_bus, &CardBus::packetsCounted, this, &CardWindow::refresh);
    connect(&m_bus, &CardBus::relaysReleased, this, &CardWindow::refresh);
    // The address is shown for a while; the display follows the card's own clock.
    auto *timer = new QTimer(this);
    timer->setInterval(refreshPeriod);
    connect(timer, &QTimer::timeout, this, &CardWindow::refresh);
    timer->start();

    refresh();
    setFixedSize(sizeHint().expandedTo(QSize(300, 0)));
}

QString CardWindow::describe(const VirtualCard::Command &command)
{
    const quint8 p = command.parameter;
    if (!command.understood)
        return tr("unknown instruction %1 with %2").arg(QChar(command.instruction)).arg(p);
    switch (command.instruction) {
    case 'S':
        return tr("%1 on").arg(relayWord(p));
    case 'C':
        return tr("%1 off").arg(relayWord(p));
    case 'T':
        return tr("toggle %1").arg(relayWord(p));
    case 'E':
        return tr("emergency stop: all relays off");
    case 'D':
        return tr("show the address");
    case 'A':
        return tr("new address %1").arg(p);
    case 'P':
        return tr("hold %1").arg(relayWord(p));
    default:
        return {};
    }
}

void CardWindow::refresh()
{
    VirtualCard &card = m_bus.card(m_card);
    setWindowTitle(tr("Virtual relay card %1").arg(card.address()));
    m_address->setText(QString::number(card.address()));
    QFont font = m_address->font();
    font.setBold(card.isShowingAddress());
    m_address->setFont(font);
    m_address->setBackgroundRole(card.isShowingAddress() ? QPalette::Highlight : QPalette::Base);
    m_address->setForegroundRole(
        card.isShowingAddress() ? QPalette::HighlightedText : QPalette::Text);

    const VirtualCard::Relays relays = card.relays();
    for (int i = 0; i < VirtualCard::relayCount; ++i)
        m_lamps.at(i)->setLit(relays.at(i));

    const PacketDecoder &decoder = m_bus.decoder();
    const qint64 counts[]
        = {decoder.goodCount(), decoder.badCount(), card.ignoredCount(), card.unknownCount()};
    for (int i = 0; i < int(m_counts.size()); ++i)
        m_counts.at(i)->setText(QString::number(counts[i]));
}

void CardWindow::log(quint8 addressed, const VirtualCard::Command &command)
{
    const double seconds = double(m_bus.elapsed()) / 1000.0;
    m_log->appendPlainText(
        tr("%1 s   to %2: %3").arg(seconds, 0, 'f', 3).arg(addressed).arg(describe(command)));
    refresh();
}
