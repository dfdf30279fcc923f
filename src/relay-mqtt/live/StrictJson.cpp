#include "relay-mqtt/live/StrictJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSet>
#include <QString>

#include <vector>

namespace {

// The string token at `at` (its opening quote), and where it ends (past its closing quote).
qsizetype stringEnd(QByteArrayView text, qsizetype at)
{
    for (qsizetype i = at + 1; i < text.size(); ++i) {
        if (text.at(i) == '\\')
            ++i;
        else if (text.at(i) == '"')
            return i + 1;
    }
    return text.size();
}

// A key as JSON means it: "\u0073tate" is "state". Only a key with an escape is parsed again.
QString decoded(QByteArrayView token)
{
    if (token.size() < 2)
        return {};
    if (!token.contains('\\'))
        return QString::fromUtf8(token.sliced(1, token.size() - 2));
    const QByteArray array = '[' + token.toByteArray() + ']';
    return QJsonDocument::fromJson(array).array().first().toString();
}

} // namespace

std::optional<QJsonObject> StrictJson::object(QByteArrayView text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject() || hasDuplicateKey(text))
        return std::nullopt;
    return document.object();
}

bool StrictJson::hasDuplicateKey(QByteArrayView text)
{
    // The keys seen in each object open around the current place; arrays count as levels
    // without keys.
    std::vector<std::optional<QSet<QString>>> levels;
    for (qsizetype i = 0; i < text.size();) {
        const char c = text.at(i);
        if (c == '{' || c == '[') {
            levels.emplace_back(
                c == '{' ? std::optional<QSet<QString>>(QSet<QString>()) : std::nullopt);
            ++i;
        } else if (c == '}' || c == ']') {
            if (!levels.empty())
                levels.pop_back();
            ++i;
        } else if (c == '"') {
            const qsizetype end = stringEnd(text, i);
            qsizetype next = end;
            while (next < text.size() && QByteArrayView(" \t\r\n").contains(text.at(next)))
                ++next;
            // A string followed by a colon is a key of the innermost object.
            if (next < text.size() && text.at(next) == ':' && !levels.empty() && levels.back()) {
                const QString key = decoded(text.sliced(i, end - i));
                if (levels.back()->contains(key))
                    return true;
                levels.back()->insert(key);
            }
            i = end;
        } else {
            ++i;
        }
    }
    return false;
}
