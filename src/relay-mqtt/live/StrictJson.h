#pragma once

#include <QByteArrayView>
#include <QJsonObject>

#include <optional>

// A JSON object as the API and the pages' socket take it: valid JSON, an object, and no key
// twice in any object of it. QJsonDocument keeps the last of a key given twice, where another
// reader (a proxy, a log, a firewall) may have taken the first: such a body is refused.
class StrictJson
{
public:
    static std::optional<QJsonObject> object(QByteArrayView text);
    // Whether an object of `text`, which is valid JSON, names a key twice.
    static bool hasDuplicateKey(QByteArrayView text);
};
