/* Preloaded by the tests to make the tool's reads of its image fail:
 *   SECTORSCAN_TEST_FAIL_AFTER=N    reads fail with EIO once N bytes were read
 *   SECTORSCAN_TEST_PIECE=N         every read returns at most N bytes
 *   SECTORSCAN_TEST_SHRINK=N:PATH   after the first read, PATH is cut to N bytes
 *   SECTORSCAN_TEST_DELAY_US=N      every read first sleeps N microseconds
 * Only descriptors above 2 are touched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static unsigned long long delivered;
static int shrunk;

ssize_t read(int fd, void* buffer, size_t count)
{
    static ssize_t (*real_read)(int, void*, size_t);
    if (real_read == NULL) {
        void* symbol = dlsym(RTLD_NEXT, "read");
        memcpy(&real_read, &symbol, sizeof real_read); /* object to function pointer */
    }
    if (fd <= 2)
        return real_read(fd, buffer, count);

    const char* fail_after = getenv("SECTORSCAN_TEST_FAIL_AFTER");
    const char* piece = getenv("SECTORSCAN_TEST_PIECE");
    const char* shrink = getenv("SECTORSCAN_TEST_SHRINK");
    const char* delay = getenv("SECTORSCAN_TEST_DELAY_US");
    if (delay != NULL)
        usleep((useconds_t)strtoul(delay, NULL, 10));
    if (piece != NULL && count > strtoull(piece, NULL, 10))
        count = strtoull(piece, NULL, 10);
    if (fail_after != NULL) {
        const unsigned long long limit = strtoull(fail_after, NULL, 10);
        if (delivered >= limit) {
            errno = EIO;
            return -1;
        }
        if (count > limit - delivered)
            count = limit - delivered;
    }
    const ssize_t n = real_read(fd, buffer, count);
    if (n > 0)
        delivered += (unsigned long long)n;
    if (shrink != NULL && !shrunk) {
        char* path = NULL;
        const unsigned long long size = strtoull(shrink, &path, 10);
        shrunk = 1;
        if (path != NULL && *path == ':' && truncate(path + 1, (off_t)size) != 0)
            return -1;
    }
    return n;
}
