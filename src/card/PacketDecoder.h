#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QtGlobal>

// Finds the panel's packets in the bytes of a line, whatever the chunks they arrive in. A packet
// is five bytes from a start byte 13 whose sum is a multiple of 256; after a bad one the search
// goes on from the next 13, so a good packet that starts inside a bad one is not lost.
class PacketDecoder
{
public:
    static constexpr int packetSize = 5;

    // The good packets completed by these bytes, five bytes each, in order.
    QList<QByteArray> feed(QByteArrayView bytes);

    qint64 goodCount() const { return m_good; }
    qint64 badCount() const { return m_bad; }

private:
    QByteArray m_pending;
    qint64 m_good = 0;
    qint64 m_bad = 0;
};
