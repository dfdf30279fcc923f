#include "ModemLineRequests.h"

#include <QFile>
#include <QList>
#include <QMutex>

#include <cstdarg>
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

struct Request
{
    dev_t device;
    QString what;
};

QMutex mutex;
QList<Request> requests;

QStringList describe(unsigned long request, int lines)
{
    constexpr struct
    {
        int bit;
        const char *name;
    } names[] = {{TIOCM_DTR, "DTR"}, {TIOCM_RTS, "RTS"}};
    QStringList said;
    for (const auto &line : names) {
        const bool set = (lines & line.bit) != 0;
        if (request == TIOCMSET)
            said << QStringLiteral("%1 %2").arg(line.name, set ? "up" : "down");
        else if (set)
            said << QStringLiteral("%1 %2").arg(line.name, request == TIOCMBIS ? "up" : "down");
    }
    return said;
}

void note(int fd, unsigned long request, const void *argument)
{
    if ((request != TIOCMBIS && request != TIOCMBIC && request != TIOCMSET) || !argument)
        return;
    struct stat status = {};
    if (::fstat(fd, &status) != 0)
        return;
    const QMutexLocker locker(&mutex);
    for (const QString &what : describe(request, *static_cast<const int *>(argument)))
        requests.append({status.st_rdev, what});
}

} // namespace

// Takes the place of the C library's ioctl() for the whole test binary.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);

    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto system = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
    note(fd, request, argument);
    return system(fd, request, argument);
}

void ModemLineRequests::clear()
{
    const QMutexLocker locker(&mutex);
    requests.clear();
}

QStringList ModemLineRequests::of(dev_t device)
{
    const QMutexLocker locker(&mutex);
    QStringList said;
    for (const Request &request : std::as_const(requests)) {
        if (request.device == device)
            said << request.what;
    }
    return said;
}

dev_t ModemLineRequests::deviceOf(const QString &path)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_rdev : 0;
}
