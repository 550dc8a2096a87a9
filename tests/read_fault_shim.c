/* Preloaded by the tests to make the tool's reads of its image fail:
 *   SECTORSCAN_TEST_FAIL_AFTER=N    bytes from offset N on cannot be read (EIO)
 *   SECTORSCAN_TEST_PIECE=N         every read returns at most N bytes
 *   SECTORSCAN_TEST_SHRINK=N:PATH   after the first read, PATH is cut to N bytes
 *   SECTORSCAN_TEST_DELAY_US=N      every read first sleeps N microseconds
 *   SECTORSCAN_TEST_CPUS=N          the process may run on N CPUs, as far as
 *                                   sched_getaffinity tells it
 * Wraps read (a stream, whose offset is the bytes read so far) and pread (a
 * file read by several threads at once). Only descriptors above 2 are
 * touched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static unsigned long long delivered;
static int shrunk;

typedef ssize_t (*read_function)(int, void*, size_t);
typedef ssize_t (*pread_function)(int, void*, size_t, off_t);

static void* real(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

/* Shapes a read of `*count` bytes at `offset`: false when it must fail. */
static int before_read(unsigned long long offset, size_t* count)
{
    const char* fail_after = getenv("SECTORSCAN_TEST_FAIL_AFTER");
    const char* piece = getenv("SECTORSCAN_TEST_PIECE");
    const char* delay = getenv("SECTORSCAN_TEST_DELAY_US");
    if (delay != NULL)
        usleep((useconds_t)strtoul(delay, NULL, 10));
    if (piece != NULL && *count > strtoull(piece, NULL, 10))
        *count = strtoull(piece, NULL, 10);
    if (fail_after != NULL) {
        const unsigned long long limit = strtoull(fail_after, NULL, 10);
        if (offset >= limit) {
            errno = EIO;
            return 0;
        }
        if (*count > limit - offset)
            *count = limit - offset;
    }
    return 1;
}

static void after_read(void)
{
    const char* shrink = getenv("SECTORSCAN_TEST_SHRINK");
    if (shrink != NULL && !__atomic_exchange_n(&shrunk, 1, __ATOMIC_SEQ_CST)) {
        char* path = NULL;
        const unsigned long long size = strtoull(shrink, &path, 10);
        if (path != NULL && *path == ':')
            (void)truncate(path + 1, (off_t)size);
    }
}

ssize_t read(int fd, void* buffer, size_t count)
{
    read_function real_read;
    void* symbol = real("read");
    memcpy(&real_read, &symbol, sizeof real_read); /* object to function pointer */
    if (fd <= 2)
        return real_read(fd, buffer, count);
    if (!before_read(delivered, &count))
        return -1;
    const ssize_t n = real_read(fd, buffer, count);
    if (n > 0)
        delivered += (unsigned long long)n;
    after_read();
    return n;
}

static ssize_t shaped_pread(const char* name, int fd, void* buffer, size_t count, off_t offset)
{
    pread_function real_pread;
    void* symbol = real(name);
    memcpy(&real_pread, &symbol, sizeof real_pread);
    if (fd <= 2)
        return real_pread(fd, buffer, count, offset);
    if (!before_read((unsigned long long)offset, &count))
        return -1;
    const ssize_t n = real_pread(fd, buffer, count, offset);
    after_read();
    return n;
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset)
{
    return shaped_pread("pread", fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off_t offset)
{
    return shaped_pread("pread64", fd, buffer, count, offset);
}

int sched_getaffinity(pid_t pid, size_t size, cpu_set_t* set)
{
    const char* cpus = getenv("SECTORSCAN_TEST_CPUS");
    if (cpus == NULL) {
        int (*real_affinity)(pid_t, size_t, cpu_set_t*);
        void* symbol = real("sched_getaffinity");
        memcpy(&real_affinity, &symbol, sizeof real_affinity);
        return real_affinity(pid, size, set);
    }
    CPU_ZERO_S(size, set);
    for (unsigned long cpu = 0; cpu < strtoul(cpus, NULL, 10); ++cpu)
        CPU_SET_S(cpu, size, set);
    return 0;
}
