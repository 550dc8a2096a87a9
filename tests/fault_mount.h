// The tests' one way to make reads, seeks and writes fail: the fault file
// system (fault_fs.cpp), mounted once per test process when first asked for.
#pragma once

#include <string>

#include "test_images.h"

class FaultFs {
public:
    // The mounted file system, or nullptr when FUSE cannot be used here, with
    // the reason in `why`.
    static const FaultFs* get(std::string& why);

    // Writes `bytes` as the backing file `name`; returns its path as seen
    // through `faults` (see fault_fs.cpp).
    std::string add(const std::string& faults, const std::string& name, const Bytes& bytes) const;
    // The path of `name` seen through `faults`, and the backing file itself.
    std::string path(const std::string& faults, const std::string& name) const;
    std::string backing(const std::string& name) const;

    struct Stats {
        unsigned long long reads = 0, bytes = 0, seeks = 0, after_end = 0, unlinks = 0;
    };
    // What was asked of `name` through `faults` so far.
    Stats stats(const std::string& faults, const std::string& name) const;

    ~FaultFs();

private:
    FaultFs() = default;
    std::string base_;
    std::string mount_;
    int pid_ = -1;
};

// Whether a test that needs the fault file system fails rather than skips
// where it cannot be mounted: so where SECTORSCAN_REQUIRE_FUSE is set, as
// the checks set it on a machine that has /dev/fuse.
bool fault_fs_required();

// Skips the test, saying why, where the fault file system cannot be mounted.
#define REQUIRE_FAULT_FS(fs)                                                                                           \
    std::string fs##_why;                                                                                              \
    const FaultFs* fs = FaultFs::get(fs##_why);                                                                        \
    if (fs == nullptr && fault_fs_required())                                                                          \
        FAIL() << fs##_why;                                                                                            \
    if (fs == nullptr)                                                                                                 \
    GTEST_SKIP() << fs##_why
