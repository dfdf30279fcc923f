#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <thread>

// A line's local socket as an owner leaves it, for the code that looks for owners: on a thread
// of its own, since the lookup waits for the door's answer without an event loop. It answers
// every client with `hello` (a line), says nothing if `hello` is empty, or, made stale, is a
// socket file nobody listens on.
class FakeDoor
{
public:
    enum class Kind { Answering, Silent, Stale };

    FakeDoor(const QString &path, Kind kind, QByteArray hello = {});
    ~FakeDoor();
    FakeDoor(const FakeDoor &) = delete;
    FakeDoor &operator=(const FakeDoor &) = delete;

    bool isValid() const { return m_valid; }
    // The hello of an owner of `device`, named `name`, with its `page`, that has the port open
    // (`up`) or waits for it.
    static QByteArray hello(
        const QString &device, const QString &name, const QString &page = {}, bool up = true);

private:
    void serve();

    int m_socket = -1;
    bool m_valid = false;
    std::atomic<bool> m_stopping{false};
    QByteArray m_hello;
    std::thread m_thread;
};
