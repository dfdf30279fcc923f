#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>

#include <chrono>
#include <optional>

// A real Chromium, driven by playwright-core in tests/web/browser.mjs: each call sends it one
// command and waits for its answer. Pages and controls are named as a screen reader names them.
class BrowserRemote
{
public:
    static constexpr std::chrono::seconds answerTimeout{30};

    // `script`: browser.mjs, run by node; `chromium`: the browser's program, if not Debian's
    // chromium.
    explicit BrowserRemote(const QString &script, const QString &chromium = {});
    ~BrowserRemote();
    BrowserRemote(const BrowserRemote &) = delete;
    BrowserRemote &operator=(const BrowserRemote &) = delete;

    // The command's result; none, with error() (also logged as a warning, which the test's
    // output shows beside the failure), if it failed or no answer came.
    std::optional<QJsonValue> call(const QString &command, QJsonObject arguments = {});
    // Runs the command and says whether it succeeded.
    bool run(const QString &command, const QJsonObject &arguments = {});
    QString error() const { return m_error; }

    // The arguments naming a control: its role and name, in the region of a card.
    static QJsonObject control(
        const QString &page, const QString &region, const QString &role, const QString &name);

private:
    QProcess m_node;
    QByteArray m_pending;
    int m_nextId = 1;
    QString m_error;
};
