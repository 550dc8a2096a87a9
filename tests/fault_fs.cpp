// A FUSE file system for the tests: MOUNT/FAULTS/NAME is the file NAME of a
// backing folder, seen through the faults that FAULTS (a comma-separated
// list) names, so that the tool meets real failing, short, slow, shrinking
// and sparse files through every call it reads with:
//   plain         no faults
//   eio=N         bytes from offset N on cannot be read (EIO)
//   short=N       every read returns at most N bytes
//   delay=US      every read first sleeps US microseconds
//   shrink=N      after the first read, the file is cut to N bytes
//   after=K       with shrink: cut after the K-th question about data and
//                 holes instead
//   stale=N       after the first read, the file says it holds N bytes, but
//                 reads still return the bytes it had (a read that raced a
//                 truncation)
//   stream        the file cannot seek: it is read to its end, like a pipe
//   cached        reads go through the page cache, so that the file can be
//                 mapped (every other file is read directly)
//   sparse        the file says it has no blocks allocated, so that it is
//                 asked where its data lies; the backing file's holes answer
//   blocks=N      (sparse too) its data lies in the N-byte blocks that hold
//                 a byte other than zero, as on a file system of N-byte blocks
//   stuck         (sparse too) asked for data or a hole at X, it says X
//   noseek        (sparse too) it cannot tell where its data lies (EINVAL)
//   enospc=N      writes that would take a file past N bytes fail (ENOSPC)
//   nofsync       writing a file to disk fails (EIO)
//   norename      no file can be renamed over this one (EBUSY)
//   exist=N       the first N files made new in the folder (O_EXCL) are
//                 there already (EEXIST)
// MOUNT/FAULTS/NAME@stats reads "reads R\nbytes B\nseeks S\nafter_end A\n
// unlinks U\n": the reads and bytes read of NAME, its SEEK_DATA and
// SEEK_HOLE questions, the reads after one that failed or found the end,
// and the files removed from the folder.
// Usage: fault_fs BACKING MOUNTPOINT [FUSE OPTIONS]
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

std::string g_backing;

struct Faults {
    long long eio = -1, short_read = -1, delay = 0, shrink = -1, after = 0, stale = -1, blocks = 0, enospc = -1,
              exist = 0;
    bool stream = false, sparse = false, stuck = false, noseek = false, nofsync = false, norename = false,
         cached = false;
};

struct Counts {
    unsigned long long reads = 0, bytes = 0, seeks = 0, after_end = 0;
    bool ended = false; // a read failed or found the end
    bool read_once = false;
};

// By the path under the mount; the file system runs single-threaded (-s).
std::map<std::string, Counts> g_counts;
// By the faults folder: files made new, and files removed.
std::map<std::string, long long> g_made;
std::map<std::string, unsigned long long> g_unlinks;

struct Split {
    Faults faults;
    std::string dir;  // "" for the root
    std::string name; // "" for the root or a faults folder
    bool stats = false;
};

Split split(const char* path)
{
    Split s;
    std::string p = path + 1;
    const std::size_t slash = p.find('/');
    s.dir = p.substr(0, slash);
    if (slash != std::string::npos)
        s.name = p.substr(slash + 1);
    if (s.name.size() > 6 && s.name.compare(s.name.size() - 6, 6, "@stats") == 0) {
        s.name.resize(s.name.size() - 6);
        s.stats = true;
    }
    std::size_t at = 0;
    while (at < s.dir.size()) {
        std::size_t end = s.dir.find(',', at);
        if (end == std::string::npos)
            end = s.dir.size();
        const std::string item = s.dir.substr(at, end - at);
        const std::size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const long long value = eq == std::string::npos ? 0 : std::strtoll(item.c_str() + eq + 1, nullptr, 10);
        Faults& f = s.faults;
        if (key == "eio")
            f.eio = value;
        else if (key == "short")
            f.short_read = value;
        else if (key == "delay")
            f.delay = value;
        else if (key == "shrink")
            f.shrink = value;
        else if (key == "after")
            f.after = value;
        else if (key == "stale")
            f.stale = value;
        else if (key == "stream")
            f.stream = true;
        else if (key == "cached")
            f.cached = true;
        else if (key == "exist")
            f.exist = value;
        else if (key == "sparse")
            f.sparse = true;
        else if (key == "blocks")
            f.blocks = value, f.sparse = true;
        else if (key == "stuck")
            f.stuck = f.sparse = true;
        else if (key == "noseek")
            f.noseek = f.sparse = true;
        else if (key == "nofsync")
            f.nofsync = true;
        else if (key == "norename")
            f.norename = true;
        else if (key == "enospc")
            f.enospc = value;
        at = end + 1;
    }
    return s;
}

std::string backing(const Split& s)
{
    return g_backing + "/" + s.name;
}

std::string stats_text(const Counts& c, const std::string& dir)
{
    return "reads " + std::to_string(c.reads) + "\nbytes " + std::to_string(c.bytes) + "\nseeks " +
           std::to_string(c.seeks) + "\nafter_end " + std::to_string(c.after_end) + "\nunlinks " +
           std::to_string(g_unlinks[dir]) + "\n";
}

int fs_getattr(const char* path, struct stat* st, fuse_file_info* /*fi*/)
{
    const Split s = split(path);
    std::memset(st, 0, sizeof *st);
    if (s.name.empty()) {
        st->st_mode = S_IFDIR | 0777;
        st->st_nlink = 2;
        return 0;
    }
    if (s.stats) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        return 0;
    }
    if (lstat(backing(s).c_str(), st) != 0)
        return -errno;
    const Counts& c = g_counts[path];
    if (s.faults.stale >= 0 && c.read_once)
        st->st_size = s.faults.stale;
    if (s.faults.sparse && st->st_size > 0)
        st->st_blocks = 0;
    return 0;
}

int fs_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t /*offset*/, fuse_file_info* /*fi*/,
               fuse_readdir_flags /*flags*/)
{
    const Split s = split(path);
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    if (s.dir.empty())
        return 0;
    DIR* dir = opendir(g_backing.c_str());
    if (dir == nullptr)
        return -errno;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    closedir(dir);
    return 0;
}

int open_backing(const char* path, fuse_file_info* fi, int extra, mode_t mode)
{
    const Split s = split(path);
    fi->direct_io = s.faults.cached ? 0 : 1;
    if (s.stats) {
        fi->fh = 0;
        return 0;
    }
    const int fd = open(backing(s).c_str(), (fi->flags & ~O_NOFOLLOW) | extra, mode);
    if (fd < 0)
        return -errno;
    fi->fh = static_cast<std::uint64_t>(fd);
    if (s.faults.stream)
        fi->nonseekable = 1;
    return 0;
}

int fs_open(const char* path, fuse_file_info* fi)
{
    return open_backing(path, fi, 0, 0);
}

int fs_create(const char* path, mode_t mode, fuse_file_info* fi)
{
    const Split s = split(path);
    if ((fi->flags & O_EXCL) != 0 && g_made[s.dir]++ < s.faults.exist)
        return -EEXIST;
    return open_backing(path, fi, O_CREAT, mode);
}

int fs_read(const char* path, char* buffer, std::size_t size, off_t offset, fuse_file_info* fi)
{
    const Split s = split(path);
    if (s.stats) {
        const std::string text = stats_text(g_counts["/" + s.dir + "/" + s.name], s.dir);
        if (static_cast<std::size_t>(offset) >= text.size())
            return 0;
        const std::size_t n = std::min(size, text.size() - static_cast<std::size_t>(offset));
        std::copy_n(text.data() + offset, n, buffer);
        return static_cast<int>(n);
    }
    Counts& c = g_counts[path];
    const Faults& f = s.faults;
    ++c.reads;
    if (c.ended)
        ++c.after_end;
    if (f.delay > 0)
        usleep(static_cast<useconds_t>(f.delay));
    if (f.eio >= 0 && offset >= f.eio) {
        c.ended = true;
        return -EIO;
    }
    if (f.short_read > 0 && static_cast<long long>(size) > f.short_read)
        size = static_cast<std::size_t>(f.short_read);
    if (f.eio >= 0 && static_cast<long long>(size) > f.eio - offset)
        size = static_cast<std::size_t>(f.eio - offset);
    const ssize_t n = pread(static_cast<int>(fi->fh), buffer, size, offset);
    if (n < 0)
        return -errno;
    if (n == 0)
        c.ended = true;
    c.bytes += static_cast<unsigned long long>(n);
    if (!c.read_once && f.shrink >= 0 && f.after == 0 && truncate(backing(s).c_str(), f.shrink) != 0)
        return -errno;
    c.read_once = true;
    return static_cast<int>(n);
}

int fs_write(const char* path, const char* buffer, std::size_t size, off_t offset, fuse_file_info* fi)
{
    const Split s = split(path);
    if (s.faults.enospc >= 0 && offset + static_cast<long long>(size) > s.faults.enospc)
        return -ENOSPC;
    const ssize_t n = pwrite(static_cast<int>(fi->fh), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

// Where data or a hole starts at or after `offset`, by the file's content:
// data is any block of `block` bytes that holds a byte other than zero.
off_t seek_by_content(int fd, off_t offset, int whence, long long block)
{
    struct stat st {};
    fstat(fd, &st);
    std::vector<char> bytes(static_cast<std::size_t>(block));
    for (off_t at = offset / block * block; at < st.st_size; at += block) {
        const ssize_t n = pread(fd, bytes.data(), bytes.size(), at);
        bool data = false;
        for (ssize_t i = 0; i < n && !data; ++i)
            data = bytes[static_cast<std::size_t>(i)] != 0;
        if (data == (whence == SEEK_DATA))
            return std::max(at, offset);
    }
    return whence == SEEK_DATA ? -ENXIO : std::max(offset, st.st_size);
}

off_t fs_lseek(const char* path, off_t offset, int whence, fuse_file_info* fi)
{
    const Split s = split(path);
    Counts& c = g_counts[path];
    ++c.seeks;
    if (s.faults.shrink >= 0 && s.faults.after > 0 && c.seeks == static_cast<unsigned long long>(s.faults.after) + 1 &&
        truncate(backing(s).c_str(), s.faults.shrink) != 0)
        return -errno;
    if (s.faults.stuck)
        return offset;
    if (s.faults.noseek)
        return -EINVAL;
    const int fd = static_cast<int>(fi->fh);
    if (s.faults.blocks > 0)
        return seek_by_content(fd, offset, whence, s.faults.blocks);
    const off_t at = lseek(fd, offset, whence);
    return at < 0 ? -errno : at;
}

int fs_release(const char* /*path*/, fuse_file_info* fi)
{
    if (fi->fh > 0)
        close(static_cast<int>(fi->fh));
    return 0;
}

int fs_fsync(const char* path, int /*datasync*/, fuse_file_info* fi)
{
    if (split(path).faults.nofsync)
        return -EIO;
    return fsync(static_cast<int>(fi->fh)) == 0 ? 0 : -errno;
}

int fs_rename(const char* from, const char* to, unsigned int flags)
{
    if (flags != 0)
        return -EINVAL;
    if (split(to).faults.norename)
        return -EBUSY;
    return rename(backing(split(from)).c_str(), backing(split(to)).c_str()) == 0 ? 0 : -errno;
}

int fs_unlink(const char* path)
{
    const Split s = split(path);
    ++g_unlinks[s.dir];
    return unlink(backing(s).c_str()) == 0 ? 0 : -errno;
}

int fs_truncate(const char* path, off_t size, fuse_file_info* /*fi*/)
{
    return truncate(backing(split(path)).c_str(), size) == 0 ? 0 : -errno;
}

int fs_utimens(const char* /*path*/, const timespec* /*times*/, fuse_file_info* /*fi*/)
{
    return 0;
}

void* fs_init(fuse_conn_info* /*conn*/, fuse_config* config)
{
    // Every size and every question reaches the file system.
    config->attr_timeout = 0;
    config->entry_timeout = 0;
    config->negative_timeout = 0;
    config->hard_remove = 1;
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("Usage: fault_fs BACKING MOUNTPOINT [FUSE OPTIONS]\n", stderr);
        return 2;
    }
    // The file system goes with the test that mounted it, however it ends.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    g_backing = argv[1];
    fuse_operations ops{};
    ops.getattr = fs_getattr;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.create = fs_create;
    ops.read = fs_read;
    ops.write = fs_write;
    ops.lseek = fs_lseek;
    ops.release = fs_release;
    ops.fsync = fs_fsync;
    ops.rename = fs_rename;
    ops.unlink = fs_unlink;
    ops.truncate = fs_truncate;
    ops.utimens = fs_utimens;
    ops.init = fs_init;
    std::vector<char*> args = {argv[0], argv[2], const_cast<char*>("-f"), const_cast<char*>("-s")};
    for (int i = 3; i < argc; ++i)
        args.push_back(argv[i]);
    return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
