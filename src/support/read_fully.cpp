// Reading a whole stretch of a file.
#include "support/read_fully.h"

#include <unistd.h>

#include <cerrno>

ReadResult read_fully(int fd, std::uint64_t offset, void* buffer, std::size_t count)
{
    ReadResult result;
    while (result.bytes < count) {
        const ssize_t n = pread(fd, static_cast<char*>(buffer) + result.bytes, count - result.bytes,
                                static_cast<off_t>(offset + result.bytes));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            result.error = errno != 0 ? errno : EIO;
        if (n <= 0)
            break;
        result.bytes += static_cast<std::size_t>(n);
    }
    return result;
}
