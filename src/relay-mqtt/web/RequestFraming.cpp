#include "relay-mqtt/web/RequestFraming.h"

#include <QList>

#include <algorithm>
#include <cctype>

namespace {

constexpr qsizetype longestChunkSizeLine = 32;
constexpr int longestLengthDigits = 18;

bool isTokenCharacter(char c)
{
    static constexpr QByteArrayView others("!#$%&'*+-.^_`|~");
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || others.contains(c);
}

bool isToken(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenCharacter);
}

bool isDigits(QByteArrayView text)
{
    return !text.isEmpty()
        && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A comma-separated header's values, in lower case.
QList<QByteArray> tokens(const QByteArray &value)
{
    QList<QByteArray> list;
    for (const QByteArray &part : value.split(','))
        list << part.trimmed().toLower();
    return list;
}

} // namespace

RequestFraming::Step RequestFraming::feed(QByteArrayView bytes)
{
    Step step;
    while (
        step.used < bytes.size() && !step.headComplete && !step.requestComplete && !step.refused) {
        const QByteArrayView rest = bytes.sliced(step.used);
        switch (m_state) {
        case State::Idle:
            m_state = State::Head;
            m_headBytes.clear();
            m_requestLineSeen = false;
            m_head = {};
            [[fallthrough]];
        case State::Head:
            step.used += readHead(rest, step);
            break;
        case State::Body:
            step.used += readBody(rest, step);
            break;
        case State::ChunkSize:
        case State::ChunkData:
        case State::ChunkDataEnd:
        case State::LastChunkEnd:
            step.used += readChunked(rest, step);
            break;
        case State::Done:
            // Refused or upgraded before: nothing more is the framing's to read.
            return step;
        }
    }
    return step;
}

qsizetype RequestFraming::readHead(QByteArrayView bytes, Step &step)
{
    qsizetype used = 0;
    while (used < bytes.size()) {
        if (m_headBytes.size() >= longestHead) {
            refuse(431, tr("the request's head is longer than %1 bytes").arg(longestHead));
            step.refused = true;
            return used;
        }
        const char c = bytes.at(used++);
        m_headBytes.append(c);
        if (c != '\n')
            continue;
        // The line just ended, without its line end.
        const qsizetype end = m_headBytes.size() - 1;
        const qsizetype start = m_headBytes.lastIndexOf('\n', end - 1) + 1;
        const bool empty = end == start || (end == start + 1 && m_headBytes.at(start) == '\r');
        if (!empty) {
            m_requestLineSeen = true;
            continue;
        }
        // Empty lines before the request line are left over from before; after it, one ends
        // the head.
        if (!m_requestLineSeen)
            continue;
        step.headComplete = true;
        if (!parseHead()) {
            step.refused = true;
            return used;
        }
        if (m_head.upgrade) {
            m_state = State::Done;
        } else if (m_state == State::Head) {
            endRequest(step);
        }
        return used;
    }
    return used;
}

bool RequestFraming::parseHead()
{
    QList<QByteArrayView> lines;
    const QByteArrayView head(m_headBytes);
    for (qsizetype start = 0, end; (end = head.indexOf('\n', start)) >= 0; start = end + 1)
        lines << head.sliced(start, end - start);
    // Lines as HTTP ends them, CR LF; a lone LF is taken too, as Qt HttpServer takes it.
    for (QByteArrayView &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.contains('\r') || line.contains('\0'))
            return refuse(400, tr("a line of the request's head holds a CR or NUL"));
    }
    const auto first = std::find_if(
        lines.cbegin(), lines.cend(), [](QByteArrayView line) { return !line.isEmpty(); });
    if (!parseRequestLine(*first))
        return false;
    QByteArray host;
    QByteArray contentLength;
    QByteArray transferEncoding;
    QByteArray connection;
    QByteArray upgrade;
    int hosts = 0;
    int fields = 0;
    for (auto line = first + 1; line != lines.cend() && !line->isEmpty(); ++line) {
        if (++fields > mostFields)
            return refuse(431, tr("the request has more than %1 header fields").arg(mostFields));
        const qsizetype colon = line->indexOf(':');
        const QByteArrayView name = colon < 0 ? QByteArrayView() : line->first(colon);
        // A name ends at its colon; a line that starts with a blank continues the one before
        // (obs-fold), which two parsers would read differently.
        if (!isToken(name))
            return refuse(400, tr("a header line of the request is not NAME: VALUE"));
        const QByteArray value = line->sliced(colon + 1).trimmed().toByteArray();
        const QByteArray lowerName = name.toByteArray().toLower();
        // The headers that say where a request ends, and what it is for, come once.
        QByteArray *framing = nullptr;
        if (lowerName == "host") {
            framing = &host;
            ++hosts;
        } else if (lowerName == "content-length") {
            framing = &contentLength;
        } else if (lowerName == "transfer-encoding") {
            framing = &transferEncoding;
        } else if (lowerName == "connection") {
            framing = &connection;
        } else if (lowerName == "upgrade") {
            framing = &upgrade;
        }
        if (!framing)
            continue;
        if (!framing->isNull())
            return refuse(400, tr("the request has two %1 headers").arg(QString::fromLatin1(name)));
        *framing = value.isNull() ? QByteArray("") : value;
    }
    if (hosts == 0)
        return refuse(400, tr("the request has no Host header"));
    m_head.host = host;
    const bool http10 = first->endsWith("HTTP/1.0");
    return readBodyLength(contentLength, transferEncoding)
        && readConnection(connection, upgrade, http10);
}

bool RequestFraming::parseRequestLine(QByteArrayView line)
{
    // METHOD SP /PATH SP HTTP/1.x: one blank between the three, the path in origin form.
    const QList<QByteArrayView> parts = [&line] {
        QList<QByteArrayView> list;
        qsizetype from = 0;
        for (qsizetype blank; (blank = line.indexOf(' ', from)) >= 0; from = blank + 1)
            list << line.sliced(from, blank - from);
        list << line.sliced(from);
        return list;
    }();
    if (parts.size() != 3 || !isToken(parts.at(0)) || !parts.at(1).startsWith('/')
        || (parts.at(2) != "HTTP/1.1" && parts.at(2) != "HTTP/1.0"))
        return refuse(400, tr("the request line is not METHOD /PATH HTTP/1.1"));
    m_head.method = parts.at(0).toByteArray();
    m_head.target = parts.at(1).toByteArray();
    return true;
}

bool RequestFraming::readBodyLength(
    const QByteArray &contentLength, const QByteArray &transferEncoding)
{
    m_state = State::Head;
    if (!transferEncoding.isNull()) {
        // Both would let two parsers disagree on where the request ends.
        if (!contentLength.isNull())
            return refuse(400, tr("the request has both Content-Length and Transfer-Encoding"));
        if (transferEncoding.compare("chunked", Qt::CaseInsensitive) != 0)
            return refuse(400, tr("the only transfer coding taken is chunked"));
        m_state = State::ChunkSize;
        m_chunkedRead = 0;
        m_chunkedData = 0;
        m_line.clear();
        return true;
    }
    if (contentLength.isNull())
        return true;
    if (!isDigits(contentLength) || contentLength.size() > longestLengthDigits)
        return refuse(400, tr("the request's Content-Length is not a number"));
    m_bodyLeft = contentLength.toLongLong();
    if (m_bodyLeft > longestBody)
        return refuse(413, tr("the body is longer than %1 bytes").arg(longestBody));
    if (m_bodyLeft > 0)
        m_state = State::Body;
    return true;
}

bool RequestFraming::readConnection(
    const QByteArray &connection, const QByteArray &upgrade, bool http10)
{
    const QList<QByteArray> options = tokens(connection);
    m_head.close = options.contains("close") || (http10 && !options.contains("keep-alive"));
    const bool upgradeAsked = options.contains("upgrade");
    if (upgrade.isNull() && !upgradeAsked)
        return true;
    if (upgrade.isNull() || !upgradeAsked)
        return refuse(400, tr("an upgrade needs both Upgrade: websocket and Connection: Upgrade"));
    if (upgrade.compare("websocket", Qt::CaseInsensitive) != 0 || m_head.method != "GET"
        || m_state != State::Head)
        return refuse(400, tr("the only upgrade taken is a GET to a WebSocket, with no body"));
    m_head.upgrade = true;
    return true;
}

qsizetype RequestFraming::readBody(QByteArrayView bytes, Step &step)
{
    const qsizetype used = qsizetype(std::min<qint64>(bytes.size(), m_bodyLeft));
    m_bodyLeft -= used;
    if (m_bodyLeft == 0)
        endRequest(step);
    return used;
}

qsizetype RequestFraming::readChunked(QByteArrayView bytes, Step &step)
{
    qsizetype used = 0;
    const auto tooLong = [&] {
        refuse(413, tr("the body is longer than %1 bytes").arg(longestBody));
        step.refused = true;
        return used;
    };
    while (used < bytes.size()) {
        if (m_state == State::ChunkData) {
            const qsizetype part = qsizetype(std::min<qint64>(bytes.size() - used, m_bodyLeft));
            used += part;
            m_chunkedRead += part;
            m_bodyLeft -= part;
            if (m_bodyLeft == 0)
                m_state = State::ChunkDataEnd;
            continue;
        }
        // A chunk size line, or the CR LF after a chunk's data or after the last chunk.
        const char c = bytes.at(used++);
        ++m_chunkedRead;
        m_line.append(c);
        if (m_chunkedRead > longestChunkedBody)
            return tooLong();
        if (m_state != State::ChunkSize) {
            if (!QByteArrayView("\r\n").startsWith(m_line)) {
                refuse(400, tr("a chunk of the body does not end in CR LF"));
                step.refused = true;
                return used;
            }
            if (m_line.size() < 2)
                continue;
            m_line.clear();
            if (m_state == State::LastChunkEnd) {
                endRequest(step);
                return used;
            }
            m_state = State::ChunkSize;
            continue;
        }
        if (m_line.size() > longestChunkSizeLine) {
            refuse(400, tr("a chunk size line is longer than %1 bytes").arg(longestChunkSizeLine));
            step.refused = true;
            return used;
        }
        if (!m_line.endsWith("\r\n"))
            continue;
        // HEX[;extension] CR LF
        const QByteArray size = m_line.first(m_line.size() - 2).split(';').constFirst();
        m_line.clear();
        bool hex = !size.isEmpty() && size.size() <= 8
            && std::all_of(size.cbegin(), size.cend(),
                [](char d) { return std::isxdigit(static_cast<unsigned char>(d)) != 0; });
        if (!hex) {
            refuse(400, tr("a chunk size is not a hexadecimal number"));
            step.refused = true;
            return used;
        }
        m_bodyLeft = size.toLongLong(nullptr, 16);
        m_chunkedData += qsizetype(m_bodyLeft);
        if (m_chunkedData > longestBody)
            return tooLong();
        // The last chunk has no data, and no trailer follows it here.
        m_state = m_bodyLeft == 0 ? State::LastChunkEnd : State::ChunkData;
    }
    return used;
}

void RequestFraming::endRequest(Step &step)
{
    step.requestComplete = true;
    m_state = State::Idle;
}

bool RequestFraming::refuse(int status, const QString &reason)
{
    m_state = State::Done;
    m_refusal = {status, reason};
    return false;
}
