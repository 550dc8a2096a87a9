// The command line in named steps: help and version, open, scan, finish.
#include "scanner_main.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "image_scan.h"
#include "progress.h"

namespace {

const char* const USAGE = "Usage: sectorscan [--mapfile MAP] IMAGE\n";

const char* const HELP_TEXT = "Usage: sectorscan [--mapfile MAP] IMAGE\n"
                              "Lists the runs of empty 2048-byte sectors in IMAGE that have data on both sides.\n"
                              "\n"
                              "A sector is empty when its CRC-32 equals that of 2048 zero bytes. A run is\n"
                              "reported when the 16 bytes before it and the first 16 bytes after it each\n"
                              "have a non-zero sum as signed bytes. Each line gives the run's first sector,\n"
                              "or its first and last sector, and the byte offset of its first sector:\n"
                              "  0x00000064 (0x00032000)\n"
                              "  0x000000c8-0x000000d7 (0x00064000)\n"
                              "IMAGE may be a pipe: set -o pipefail; zstd -dc disc.iso.zst | sectorscan /dev/stdin\n"
                              "A file named like an option is given as ./-h.img\n"
                              "\n"
                              "      --mapfile MAP  also write MAP, a GNU ddrescue mapfile that marks the\n"
                              "                     reported runs as not tried (?) and the rest as done (+),\n"
                              "                     so that ddrescue reads just those runs again from the\n"
                              "                     original disc: ddrescue /dev/sr0 IMAGE MAP\n"
                              "                     It may stand before or after IMAGE; MAP is replaced\n"
                              "                     only once the scan is done.\n"
                              "  -h, --help         print this help and exit\n"
                              "      --version      print the version and exit\n"
                              "Any other argument after IMAGE is ignored.\n"
                              "\n"
                              "Exit status: 0 the whole image was scanned; 1 it could not be opened or read,\n"
                              "or standard output or MAP could not be written; 2 usage error.\n"
                              "See sectorscan(1).\n";

void print_error(const char* path, const char* cause)
{
    std::fprintf(stderr, "sectorscan: %s: %s\n", path, cause);
}

void print_mapfile_error(const char* path, const char* cause)
{
    std::fprintf(stderr, "sectorscan: %s: cannot write the mapfile: %s\n", path, cause);
}

// A failure with the image: standard output says it in the tool's own line
// (`line`, a format for the path), so that a saved report shows it, and
// standard error says why, after it. Returns the errno of a failed write to
// standard output, or 0.
int print_image_error(const char* line, const char* path, const char* cause)
{
    std::printf(line, path);
    const int write_error = std::fflush(stdout) != 0 ? errno : 0;
    print_error(path, cause);
    return write_error;
}

// The one check of standard output, before every exit that wrote to it: a
// report that did not reach its reader is not a success. The write errors
// of a buffered stream only show when it is flushed. `write_error` is the
// errno of a write that already failed, or 0.
bool finish_standard_output(int write_error)
{
    if (std::fflush(stdout) != 0 && write_error == 0)
        write_error = errno;
    if (write_error == 0 && std::ferror(stdout) != 0)
        write_error = EIO;
    if (write_error == 0)
        return true;
    std::fprintf(stderr, "sectorscan: error writing standard output: %s\n", std::strerror(write_error));
    return false;
}

int print_help_or_version(std::string_view option)
{
    if (option == "--version")
        std::printf("sectorscan %s\n", SECTORSCAN_VERSION);
    else
        std::fputs(HELP_TEXT, stdout);
    return finish_standard_output(0) ? 0 : 1;
}

bool open_step(const char* path, ScanInput& input)
{
    const int error = open_image(path, input);
    if (error == 0)
        return true;
    finish_standard_output(print_image_error(" Error loading file: %s\n", path, std::strerror(error)));
    return false;
}

ScanResult scan_step(const ScanInput& input, RescueMapfile* map)
{
    Progress progress = progress_start(STDERR_FILENO, STDOUT_FILENO, input.size.has_value(), input.size.value_or(0));
    const ScanResult result =
        scan_image(input, plan_reading(usable_cpus()), stdout, ScanObserver{progress_notify, &progress}, map);
    progress_clear(progress);
    return result;
}

int finish_step(const char* path, const ScanInput& input, const ScanResult& result)
{
    char cause[160] = "";
    switch (result.status) {
    case ScanResult::complete:
    case ScanResult::write_failed:
        break;
    case ScanResult::read_failed:
        std::snprintf(cause, sizeof cause, "%s", std::strerror(result.error));
        break;
    case ScanResult::input_shrank:
        std::snprintf(cause, sizeof cause, "the file ended after %" PRIu64 " of %" PRIu64 " bytes", result.bytes_read,
                      input.size.value_or(0));
        break;
    case ScanResult::no_memory:
        std::snprintf(cause, sizeof cause, "cannot allocate the read buffers: %s", std::strerror(result.error));
        break;
    }
    // A report cut short, and a standard output that failed: both are said.
    int write_error = result.status == ScanResult::write_failed ? result.error : 0;
    const bool cut_short = cause[0] != '\0';
    if (cut_short) {
        const int error = print_image_error(" Error reading file: %s\n", path, cause);
        if (write_error == 0)
            write_error = error;
    }
    return finish_standard_output(write_error) && !cut_short ? 0 : 1;
}

// Puts the mapfile in place once the report is finished; the bytes that a
// scan cut short did not settle are marked not tried, and standard error
// says so. True when the mapfile was written.
bool mapfile_step(RescueMapfile& map, const ScanResult& result)
{
    const std::uint64_t end = result.image_size;
    const int error = mapfile_commit(map, result.settled_bytes, end);
    if (error != 0) {
        print_mapfile_error(map.path.c_str(), std::strerror(error));
        return false;
    }
    if (result.settled_bytes < end) {
        std::fprintf(stderr,
                     "sectorscan: %s: the scan was cut short; bytes 0x%08" PRIx64 " to 0x%08" PRIx64
                     " are marked not tried (?)\n",
                     map.path.c_str(), result.settled_bytes, end);
    }
    return true;
}

// What the command line asks for.
struct Arguments {
    const char* image = nullptr;
    const char* mapfile = nullptr;
};

// Reads the command line: IMAGE is the first argument that is not
// --mapfile MAP, which may stand before or after it, so that a mapfile
// asked for is never missed; any other argument after IMAGE is ignored.
// Returns 0, or 2 after a usage error.
int parse_arguments(int argc, char** argv, Arguments& arguments)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const char* value = nullptr;
        if (argument == "--mapfile") {
            value = i + 1 < argc ? argv[++i] : "";
        } else if (argument.starts_with("--mapfile=")) {
            value = argv[i] + std::strlen("--mapfile=");
        } else {
            if (arguments.image == nullptr)
                arguments.image = argv[i];
            continue;
        }
        if (arguments.mapfile != nullptr) {
            std::fputs("sectorscan: option '--mapfile' may be given once\n", stderr);
            return 2;
        }
        if (*value == '\0') {
            std::fputs("sectorscan: option '--mapfile' needs a file name\n", stderr);
            return 2;
        }
        if (std::string_view(value) == "-") {
            std::fputs("sectorscan: option '--mapfile' cannot be '-': standard output holds the report\n", stderr);
            return 2;
        }
        arguments.mapfile = value;
    }
    if (arguments.image == nullptr) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    return 0;
}

} // namespace

int scanner_main(int argc, char** argv)
{
    Arguments arguments;
    if (const int usage_error = parse_arguments(argc, argv, arguments); usage_error != 0)
        return usage_error;
    const char* path = arguments.image;
    const std::string_view first = path;
    if (first == "-h" || first == "--help" || first == "--version")
        return print_help_or_version(first);

    ScanInput input;
    if (!open_step(path, input))
        return 1;
    RescueMapfile map;
    RescueMapfile* mapfile = nullptr;
    if (arguments.mapfile != nullptr) {
        // Before the scan: a mapfile that cannot be written is found out
        // before hours of reading, not after.
        if (const char* cause = mapfile_create(map, arguments.mapfile, input.fd, path); cause != nullptr) {
            print_mapfile_error(arguments.mapfile, cause);
            close(input.fd);
            return 1;
        }
        mapfile = &map;
    }
    std::printf("File: %s\n", path);
    std::puts("Empty sectors:");
    const ScanResult result = scan_step(input, mapfile);
    close(input.fd);
    const int status = finish_step(path, input, result);
    if (mapfile != nullptr && !mapfile_step(map, result))
        return 1;
    return status;
}
