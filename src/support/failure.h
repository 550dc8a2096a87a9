// One way to fail: a value that says what went wrong, and one function that
// says it on standard error.
#pragma once

#include <cerrno>

// What went wrong, or nothing: the errno of a call that failed, or a reason
// of the tool's own where errno has no word for it.
struct Failure {
    int error = 0;
    const char* reason = nullptr;

    explicit operator bool() const { return error != 0 || reason != nullptr; }
    // The reason, or the text of the errno.
    const char* what() const;
};

// The failure of the call just made, from errno (EIO where it left none).
inline Failure errno_failure()
{
    return Failure{errno != 0 ? errno : EIO};
}

// Prints "sectorscan: ", the message formatted as by printf, and a newline,
// on standard error.
void print_message(const char* format, ...) __attribute__((format(printf, 1, 2)));
