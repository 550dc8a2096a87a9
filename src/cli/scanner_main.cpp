// The command line in named steps: help and version, open, scan, finish.
#include "cli/scanner_main.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "files/file_system.h"
#include "output/file_lines.h"
#include "output/progress.h"
#include "output/report.h"
#include "output/rescue_mapfile.h"
#include "scan/image_scan.h"

namespace {

const char* const USAGE = "Usage: sectorscan [--mapfile MAP] [--files] IMAGE\n";

const char* const HELP_TEXT = "Usage: sectorscan [--mapfile MAP] [--files] IMAGE\n"
                              "Lists the runs of empty 2048-byte sectors in IMAGE that have data on both sides.\n"
                              "\n"
                              "A sector is empty when its CRC-32 equals that of 2048 zero bytes. A run is\n"
                              "reported when the 16 bytes before it and the first 16 bytes after it each\n"
                              "have a non-zero sum as signed bytes. Each line gives the run's first sector,\n"
                              "or its first and last sector, and the byte offset of its first sector:\n"
                              "  0x00000064 (0x00032000)\n"
                              "  0x000000c8-0x000000d7 (0x00064000)\n"
                              "IMAGE may be a pipe: set -o pipefail; zstd -dc disc.iso.zst | sectorscan /dev/stdin\n"
                              "A file named like an option is given as ./-h.img, or after --\n"
                              "\n"
                              "      --mapfile MAP  also write MAP, a GNU ddrescue mapfile that marks the\n"
                              "                     reported runs as not tried (?) and the rest as done (+),\n"
                              "                     so that ddrescue reads just those runs again from the\n"
                              "                     original disc: ddrescue /dev/sr0 IMAGE MAP\n"
                              "                     It may stand before or after IMAGE; MAP is replaced\n"
                              "                     only once the scan is done.\n"
                              "      --files        under each line, name the files of IMAGE's UDF and\n"
                              "                     ISO 9660 file systems whose bytes the run covers, with\n"
                              "                     the first and last of those bytes within the file:\n"
                              "                       /VIDEO_TS/VTS_01_1.VOB 0x00032000-0x00036fff\n"
                              "                     or (no file); the file systems' own structures in\n"
                              "                     parentheses, and (unknown: ...) where what could not\n"
                              "                     be read may lie. IMAGE must be a file or a device.\n"
                              "  -h, --help         print this help and exit\n"
                              "      --version      print the version and exit\n"
                              "Any other argument after IMAGE is ignored.\n"
                              "\n"
                              "Exit status: 0 the whole image was scanned; 1 it could not be opened or read,\n"
                              "standard output or MAP could not be written, or --files was given a stream;\n"
                              "2 usage error.\n"
                              "See sectorscan(1).\n";

int print_help_or_version(std::string_view option)
{
    if (option == "--version")
        std::printf("sectorscan %s\n", SECTORSCAN_VERSION);
    else
        std::fputs(HELP_TEXT, stdout);
    return finish_standard_output({}) ? 0 : 1;
}

// What the command line asks for.
struct Arguments {
    const char* image = nullptr;
    const char* mapfile = nullptr;
    bool files = false;
    bool image_after_dashes = false; // a name, even one like --help
};

// Reads the command line: IMAGE is the first argument that is not
// --mapfile MAP or --files, which may stand before or after it, so that
// what is asked for is never missed; any other argument after IMAGE is
// ignored. After "--", every argument is a name. Returns 0, or 2 after a
// usage error.
int parse_arguments(int argc, char** argv, Arguments& arguments)
{
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const char* value = nullptr;
        if (options && argument == "--") {
            options = false;
            continue;
        }
        if (!options) {
            if (arguments.image == nullptr) {
                arguments.image = argv[i];
                arguments.image_after_dashes = true;
            }
            continue;
        }
        if (argument == "--files") {
            arguments.files = true;
            continue;
        }
        if (argument == "--mapfile") {
            value = i + 1 < argc ? argv[++i] : "";
        } else if (argument.starts_with("--mapfile=")) {
            value = argv[i] + std::strlen("--mapfile=");
        } else {
            if (arguments.image == nullptr)
                arguments.image = argv[i];
            continue;
        }
        const char* usage_error = nullptr;
        if (arguments.mapfile != nullptr)
            usage_error = "option '--mapfile' may be given once";
        else if (*value == '\0')
            usage_error = "option '--mapfile' needs a file name";
        else if (std::string_view(value) == "-")
            usage_error = "option '--mapfile' cannot be '-': standard output holds the report";
        if (usage_error != nullptr) {
            print_message("%s", usage_error);
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

// The scan, with the progress line, the report, the mapfile and the file
// lines (those asked for) each taking the closed runs, in that order but
// for the mapfile, which comes first: a run that standard output fails to
// take is still in the mapfile, which covers the sectors up to the one that
// closed it.
ScanResult scan_step(const ImageInput& input, RescueMapfile* mapfile, const FileMap* files)
{
    ProgressLine progress(STDERR_FILENO, STDOUT_FILENO, input.size());
    ReportLines report(stdout);
    std::optional<FileLines> file_lines;
    RunSink* sinks[4];
    std::size_t count = 0;
    if (mapfile != nullptr)
        sinks[count++] = mapfile;
    sinks[count++] = &progress;
    sinks[count++] = &report;
    if (files != nullptr)
        sinks[count++] = &file_lines.emplace(stdout, *files);
    return scan_image(input, plan_reading(usable_cpus()), std::span(sinks, count));
}

// The report's end: an error line for a scan cut short, and the check of
// standard output. Returns the exit status.
int finish_step(const char* path, const ImageInput& input, const ScanResult& result)
{
    Failure output = result.end == ScanResult::End::sink_failed ? Failure{result.error} : Failure{};
    char cause[160] = "";
    switch (result.end) {
    case ScanResult::End::complete:
    case ScanResult::End::sink_failed:
        return finish_standard_output(output) ? 0 : 1;
    case ScanResult::End::read_failed:
        std::snprintf(cause, sizeof cause, "%s", std::strerror(result.error));
        break;
    case ScanResult::End::shrank:
        std::snprintf(cause, sizeof cause, "the file ended after %" PRIu64 " of %" PRIu64 " bytes", result.bytes_read,
                      input.size().value_or(0));
        break;
    case ScanResult::End::no_memory:
        std::snprintf(cause, sizeof cause, "cannot allocate the read buffers: %s", std::strerror(result.error));
        break;
    }
    // A report cut short, and a standard output that failed: both are said.
    const Failure error_line = print_image_error(" Error reading file: %s\n", path, cause);
    finish_standard_output(output ? output : error_line);
    return 1;
}

// Puts the mapfile in place once the report is finished; the bytes that a
// scan cut short did not settle are marked not tried, and standard error
// says so. True when the mapfile was written, or rightly left as it was.
bool mapfile_step(RescueMapfile& map, const ImageInput& input, const ScanResult& result)
{
    const char* path = map.path().c_str();
    if (result.end == ScanResult::End::no_memory) {
        // Nothing was read, so nothing is known: an older mapfile stays.
        print_message("%s: left as it was, since nothing was read", path);
        return true;
    }
    const std::uint64_t end = result.image_size;
    if (const Failure failure = map.commit(result.settled_bytes, end)) {
        print_message("%s: cannot write the mapfile: %s", path, failure.what());
        return false;
    }
    if (result.settled_bytes < end) {
        print_message("%s: the scan was cut short; bytes 0x%08" PRIx64 " to 0x%08" PRIx64 " are marked not tried (?)",
                      path, result.settled_bytes, end);
    }
    const bool cut_short = result.end != ScanResult::End::complete && result.end != ScanResult::End::sink_failed;
    if (!input.size() && cut_short) {
        // A stream has no known length: the mapfile ends where reading did.
        print_message("%s: the input could not be read past byte 0x%08" PRIx64
                      "; the mapfile ends there, and nothing after it is known",
                      path, end);
    }
    return true;
}

} // namespace

int scanner_main(int argc, char** argv)
{
    Arguments arguments;
    if (const int usage_error = parse_arguments(argc, argv, arguments); usage_error != 0)
        return usage_error;
    const char* path = arguments.image;
    const std::string_view first = path;
    if (!arguments.image_after_dashes && (first == "-h" || first == "--help" || first == "--version"))
        return print_help_or_version(first);

    ImageInput input;
    if (const Failure failure = open_image(path, input)) {
        finish_standard_output(print_image_error(" Error loading file: %s\n", path, failure.what()));
        return 1;
    }
    std::unique_ptr<RescueMapfile> mapfile;
    if (arguments.mapfile != nullptr) {
        // Before the scan: a mapfile that cannot be written is found out
        // before hours of reading, not after.
        mapfile = std::make_unique<RescueMapfile>(arguments.mapfile, input.fd(), path);
        if (const Failure failure = mapfile->failure()) {
            print_message("%s: cannot write the mapfile: %s", arguments.mapfile, failure.what());
            return 1;
        }
    }
    std::unique_ptr<FileMap> files;
    if (arguments.files) {
        // The file system is read apart from the scan, which a stream
        // allows only once.
        if (!input.size()) {
            print_message("%s: --files needs an image that can be read twice, a file or a device, not a stream", path);
            return 1;
        }
        files = std::make_unique<FileMap>();
        const CookedBlocks blocks(input.fd(), *input.size());
        for (const std::string& message : read_file_system(blocks, *files))
            print_message("%s: --files: %s", path, message.c_str());
    }
    print_header(path);
    const ScanResult result = scan_step(input, mapfile.get(), files.get());
    const int status = finish_step(path, input, result);
    if (mapfile && !mapfile_step(*mapfile, input, result))
        return 1;
    return status;
}
