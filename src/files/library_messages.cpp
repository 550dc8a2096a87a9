// Holding back the libraries' own output.
#include "files/library_messages.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "files/file_map.h"
#include "support/descriptors.h"

namespace {

// libcdio calls its handler with no context of ours.
std::vector<std::string>* g_log_lines = nullptr;

void hold_log(cdio_log_level_t level, const char message[])
{
    // Debug and info are the library's own business.
    if (level >= CDIO_LOG_WARN && g_log_lines != nullptr && message != nullptr)
        g_log_lines->emplace_back(message);
}

// The most lines said of one library: a garbled file system can make it say
// the same things many times over.
constexpr std::size_t MAX_LINES = 10;

} // namespace

LibraryMessages::LibraryMessages()
{
    std::fflush(stderr);
    // Standard error may be closed; then it is again afterwards.
    saved_stderr_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    held_ = off_standard_streams(memfd_create("sectorscan-library-messages", MFD_CLOEXEC));
    if (held_ >= 0)
        dup2(held_, STDERR_FILENO);
    g_log_lines = &lines_;
    previous_log_handler_ = cdio_log_set_handler(hold_log);
}

LibraryMessages::~LibraryMessages()
{
    release();
}

void LibraryMessages::release()
{
    if (released_)
        return;
    released_ = true;
    cdio_log_set_handler(previous_log_handler_);
    g_log_lines = nullptr;
    std::fflush(stderr);
    if (held_ >= 0) {
        if (saved_stderr_ >= 0)
            dup2(saved_stderr_, STDERR_FILENO);
        else
            close(STDERR_FILENO);
        std::string text;
        char chunk[4096];
        ssize_t n = 0;
        for (off_t at = 0; (n = pread(held_, chunk, sizeof chunk, at)) > 0 && text.size() < 65536; at += n)
            text.append(chunk, static_cast<std::size_t>(n));
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            lines_.push_back(line);
        close(held_);
    }
    if (saved_stderr_ >= 0)
        close(saved_stderr_);
}

std::vector<std::string> LibraryMessages::take(const char* library)
{
    release();
    std::vector<std::string> said;
    for (std::string line : lines_) {
        // libudfread starts its lines with its own name.
        if (line.rfind("udfread ", 0) == 0)
            line.erase(0, 8);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        if (said.size() == MAX_LINES) {
            said.push_back(std::string(library) + ": and more");
            break;
        }
        said.push_back(std::string(library) + ": " + escaped_name(line));
    }
    lines_.clear();
    return said;
}
