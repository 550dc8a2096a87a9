// Failures and the messages that say them.
#include "support/failure.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

const char* Failure::what() const
{
    return reason != nullptr ? reason : std::strerror(error);
}

// A printf-style list, whose arguments the compiler checks against the format.
void print_message(const char* format, ...) // NOLINT(cert-dcl50-cpp)
{
    // One write of the whole line where it fits, so that it does not
    // interleave with another program's on a shared terminal; nothing is
    // allocated, since a message may be about memory that was not there.
    static constexpr char PREFIX[] = "sectorscan: ";
    char line[4096];
    std::memcpy(line, PREFIX, sizeof PREFIX - 1);
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(line + sizeof PREFIX - 1, sizeof line - sizeof PREFIX, format, arguments);
    va_end(arguments);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof line - sizeof PREFIX) {
        const std::size_t end = sizeof PREFIX - 1 + static_cast<std::size_t>(length);
        line[end] = '\n';
        std::fwrite(line, 1, end + 1, stderr);
    } else if (length >= 0) {
        std::fputs(PREFIX, stderr);
        std::vfprintf(stderr, format, again);
        std::fputc('\n', stderr);
    }
    va_end(again);
}
