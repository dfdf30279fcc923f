// Preloaded by the bench into the relay-mqtt of its row 9, and nowhere else: notes the moment
// relay-mqtt hands each burst to write() on its terminal, so that relay-mqtt's own time can be
// told from the pseudo-terminal's hand-over of the bytes to the far end. Each moment goes, as
// 8 bytes of CLOCK_MONOTONIC nanoseconds, to the descriptor RELAYPANEL_WRITE_STAMP_FD names.
#include "protocol/RelayPacket.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <unistd.h>

namespace {

using WriteFunction = ssize_t (*)(int, const void *, size_t);

WriteFunction realWrite()
{
    static const auto function = reinterpret_cast<WriteFunction>(::dlsym(RTLD_NEXT, "write"));
    return function;
}

int stampDescriptor()
{
    static const int descriptor = [] {
        const char *name = std::getenv("RELAYPANEL_WRITE_STAMP_FD");
        return name ? std::atoi(name) : -1;
    }();
    return descriptor;
}

bool isBurst(const void *bytes, size_t count)
{
    return count == size_t(RelayPacket::burstSize)
        && *static_cast<const unsigned char *>(bytes) == RelayPacket::startByte;
}

} // namespace

extern "C" ssize_t write(int fd, const void *bytes, size_t count)
{
    if (!isBurst(bytes, count) || stampDescriptor() < 0)
        return realWrite()(fd, bytes, count);
    // Taken before the call, and the terminal checked after it, so that the moment holds
    // relay-mqtt's own work and nothing of the stamp's.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const ssize_t written = realWrite()(fd, bytes, count);
    const int error = errno;
    if (written > 0 && ::isatty(fd)) {
        const std::int64_t stamp = std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
        // The pipe does not block: a stamp nobody reads is dropped, never relay-mqtt held up.
        (void)realWrite()(stampDescriptor(), &stamp, sizeof stamp);
    }
    errno = error;
    return written;
}
