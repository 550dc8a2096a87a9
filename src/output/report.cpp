// Standard output: the report and the tool's own error lines.
#include "output/report.h"

#include <cerrno>

Failure write_run_line(std::FILE* out, const ClosedRun& run, const char* tail)
{
    char line[RUN_LINE_MAX];
    const std::size_t length = format_run_line(run, line, tail);
    if (std::fwrite(line, 1, length, out) != length)
        return errno_failure();
    return {};
}

void print_header(const char* path)
{
    std::printf("File: %s\n", path);
    std::puts("Empty sectors:");
}

Failure print_image_error(const char* line, const char* path, const char* cause)
{
    std::printf(line, path);
    const Failure failed = std::fflush(stdout) != 0 ? errno_failure() : Failure{};
    print_message("%s: %s", path, cause);
    return failed;
}

bool finish_standard_output(Failure failed)
{
    if (std::fflush(stdout) != 0 && !failed)
        failed = errno_failure();
    if (!failed && std::ferror(stdout) != 0)
        failed = Failure{EIO};
    if (!failed)
        return true;
    print_message("error writing standard output: %s", failed.what());
    return false;
}
