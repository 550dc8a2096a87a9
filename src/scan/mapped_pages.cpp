// Mapping claims, and the SIGBUS guard.
#include "scan/mapped_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <mutex>

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22 // Linux 5.14
#endif

namespace {

// Kernels before 5.14 know no MADV_POPULATE_READ: there MAP_POPULATE brings
// the pages in as the mapping is made.
std::atomic<bool> g_map_populate = false;

// The check a thread guards now, on that thread's stack.
struct Guard {
    const unsigned char* from = nullptr;
    const unsigned char* to = nullptr;
    sigjmp_buf jump{};
};
thread_local Guard* t_guard = nullptr;
struct sigaction g_previous {};

void on_bus_error(int /*signal*/, siginfo_t* info, void* /*context*/)
{
    Guard* guard = t_guard;
    const auto* at = static_cast<const unsigned char*>(info->si_addr);
    if (guard != nullptr && at >= guard->from && at < guard->to)
        siglongjmp(guard->jump, 1);
    // Not a page of a check: what was there before this handler takes it,
    // as the access is made again on return.
    sigaction(SIGBUS, &g_previous, nullptr);
}

void catch_bus_errors()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = on_bus_error;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &g_previous);
    });
}

} // namespace

MappedPages::MappedPages(int fd, std::uint64_t offset, std::size_t length)
{
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    lead_ = static_cast<std::size_t>(offset % page);
    length_ = lead_ + length;
    const bool populate = g_map_populate.load(std::memory_order_relaxed);
    void* mapped = mmap(nullptr, length_, PROT_READ, MAP_SHARED | (populate ? MAP_POPULATE : 0), fd,
                        static_cast<off_t>(offset - lead_));
    if (mapped == MAP_FAILED) {
        error_ = errno;
        return;
    }
    if (!populate && madvise(mapped, length_, MADV_POPULATE_READ) != 0) {
        error_ = errno;
        if (error_ == EINVAL) {
            // Too old a kernel: populated by the next mappings themselves,
            // and this one page by page as it is checked.
            g_map_populate = true;
            error_ = 0;
        } else {
            munmap(mapped, length_);
            return;
        }
    }
    base_ = static_cast<unsigned char*>(mapped);
}

MappedPages::~MappedPages()
{
    if (base_ != nullptr)
        munmap(base_, length_);
}

bool run_guarded(const unsigned char* from, std::size_t length, const std::function<void()>& check)
{
    catch_bus_errors();
    Guard guard;
    guard.from = from;
    guard.to = from + length;
    if (sigsetjmp(guard.jump, 1) != 0) {
        t_guard = nullptr;
        return false;
    }
    t_guard = &guard;
    check();
    t_guard = nullptr;
    return true;
}
