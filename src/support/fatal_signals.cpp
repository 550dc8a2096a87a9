// The handler of the signals that end the tool.
#include "support/fatal_signals.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <initializer_list>

namespace {

// Read by the handler, which may run on any thread: lock-free, and so safe
// there.
std::atomic<bool> g_line_shown = false;
std::atomic<const char*> g_file_to_remove = nullptr;
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free);

constexpr char ERASE[] = "\r\033[K";

void undo_and_die(int signal)
{
    // Nothing to be done if these fail: the tool is about to die anyway.
    if (g_line_shown.load()) {
        const ssize_t written = write(STDERR_FILENO, ERASE, sizeof ERASE - 1);
        static_cast<void>(written);
    }
    if (const char* path = g_file_to_remove.load(); path != nullptr)
        unlink(path);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void catch_fatal_signals(bool broken_pipe)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        if (signal == SIGPIPE && !broken_pipe)
            continue;
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN)
            continue;
        action = {};
        action.sa_handler = undo_and_die;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

void set_progress_line_shown(bool shown)
{
    g_line_shown = shown;
}

void set_file_to_remove(const char* path)
{
    g_file_to_remove = path;
}
