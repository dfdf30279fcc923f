#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QString>

// Where the requests on one connection begin and end, read from the bytes as they arrive, and
// whether each stays within the few kilobytes this server ever needs. It reads the framing
// only (the request line, the headers that delimit a request, the body's length or chunks),
// strictly: anything two parsers could read in two ways is refused rather than guessed at.
class RequestFraming
{
    Q_DECLARE_TR_FUNCTIONS(RequestFraming)

public:
    static constexpr qsizetype longestHead = qsizetype{8} * 1024;
    static constexpr qsizetype longestBody = qsizetype{4} * 1024;
    // Qt HttpServer reads a head of more fields as one of none, its length and Host unread:
    // the two would frame the request differently.
    static constexpr int mostFields = 100;
    // A chunked body's whole encoding: its data, chunk sizes and line ends.
    static constexpr qsizetype longestChunkedBody = qsizetype{8} * 1024;

    // What the head says of the request, for the checks that come after it.
    struct Head
    {
        QByteArray method;
        QByteArray target; // the path and query, as sent
        QByteArray host; // the Host header, as sent
        bool upgrade = false; // a WebSocket upgrade, its headers complete
        bool close = false; // the client closes after the answer (Connection: close)
    };
    struct Refusal
    {
        int status = 400;
        QString reason;
    };
    // What one call of feed() used of the bytes and what happened on the way; it stops right
    // after a head is complete, a request is complete or something was refused.
    struct Step
    {
        qsizetype used = 0;
        bool headComplete = false;
        bool requestComplete = false;
        bool refused = false;
    };

    Step feed(QByteArrayView bytes);
    // No byte of a request has come since the last one ended.
    bool idle() const { return m_state == State::Idle; }
    // The last complete head.
    const Head &head() const { return m_head; }
    const Refusal &refusal() const { return m_refusal; }

private:
    enum class State {
        Idle,
        Head,
        Body,
        ChunkSize,
        ChunkData,
        ChunkDataEnd,
        LastChunkEnd,
        Done, // a refusal or an upgrade: nothing more is read
    };

    qsizetype readHead(QByteArrayView bytes, Step &step);
    qsizetype readBody(QByteArrayView bytes, Step &step);
    qsizetype readChunked(QByteArrayView bytes, Step &step);
    // The head's lines, read once the empty line has come.
    bool parseHead();
    bool parseRequestLine(QByteArrayView line);
    bool readBodyLength(const QByteArray &contentLength, const QByteArray &transferEncoding);
    bool readConnection(const QByteArray &connection, const QByteArray &upgrade, bool http10);
    void endRequest(Step &step);
    bool refuse(int status, const QString &reason);

    State m_state = State::Idle;
    QByteArray m_headBytes;
    bool m_requestLineSeen = false;
    Head m_head;
    Refusal m_refusal;
    qint64 m_bodyLeft = 0; // of a body of known length, or of the current chunk
    qsizetype m_chunkedRead = 0; // the chunked encoding read so far
    qsizetype m_chunkedData = 0;
    QByteArray m_line; // a chunk size line, or a line end, being read
};
