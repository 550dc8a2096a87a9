// Mounting the fault file system for the tests, and asking it what it saw.
#include "fault_mount.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>

#include "cli_run.h"

namespace {

bool is_mounted(const std::string& mount, const std::string& base)
{
    struct stat m {};
    struct stat b {};
    return stat(mount.c_str(), &m) == 0 && stat(base.c_str(), &b) == 0 && m.st_dev != b.st_dev;
}

} // namespace

bool fault_fs_required()
{
    return std::getenv("SECTORSCAN_REQUIRE_FUSE") != nullptr;
}

const FaultFs* FaultFs::get(std::string& why)
{
    static std::string failure;
    static const std::unique_ptr<FaultFs> mounted = [] {
        std::unique_ptr<FaultFs> fs(new FaultFs);
        const char* tmp = std::getenv("TMPDIR");
        std::string base = std::string(tmp != nullptr ? tmp : "/tmp") + "/sectorscan-fault-XXXXXX";
        if (access("/dev/fuse", R_OK | W_OK) != 0 || mkdtemp(base.data()) == nullptr) {
            failure = "the fault file system needs /dev/fuse (FUSE) and a temporary folder";
            return std::unique_ptr<FaultFs>();
        }
        fs->base_ = base;
        fs->mount_ = base + "/mnt";
        mkdir(fs->mount_.c_str(), 0755);
        mkdir((base + "/backing").c_str(), 0777);
        const std::string backing = base + "/backing";
        const char* argv[] = {FAULT_FS_BINARY, backing.c_str(), fs->mount_.c_str(), "-o", "auto_unmount", nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, FAULT_FS_BINARY, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            failure = "cannot start " FAULT_FS_BINARY;
            return std::unique_ptr<FaultFs>();
        }
        fs->pid_ = pid;
        for (int tries = 0; tries < 500 && !is_mounted(fs->mount_, base); ++tries) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                fs->pid_ = -1;
                break;
            }
            usleep(10000);
        }
        if (!is_mounted(fs->mount_, base)) {
            failure = "cannot mount the fault file system (FUSE) at " + fs->mount_;
            return std::unique_ptr<FaultFs>();
        }
        return fs;
    }();
    why = failure;
    return mounted.get();
}

FaultFs::~FaultFs()
{
    // The file system unmounts itself when it ends.
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
}

std::string FaultFs::path(const std::string& faults, const std::string& name) const
{
    return mount_ + "/" + faults + "/" + name;
}

std::string FaultFs::backing(const std::string& name) const
{
    return base_ + "/backing/" + name;
}

std::string FaultFs::add(const std::string& faults, const std::string& name, const Bytes& bytes) const
{
    write_file(backing(name), bytes);
    return path(faults, name);
}

FaultFs::Stats FaultFs::stats(const std::string& faults, const std::string& name) const
{
    std::istringstream text(read_file(path(faults, name) + "@stats"));
    Stats stats;
    std::string key;
    unsigned long long value = 0;
    while (text >> key >> value) {
        if (key == "reads")
            stats.reads = value;
        else if (key == "bytes")
            stats.bytes = value;
        else if (key == "seeks")
            stats.seeks = value;
        else if (key == "after_end")
            stats.after_end = value;
        else if (key == "unlinks")
            stats.unlinks = value;
    }
    return stats;
}
