// Keeping the tool's own descriptors off 0, 1 and 2.
#include "support/descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

int off_standard_streams(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}
