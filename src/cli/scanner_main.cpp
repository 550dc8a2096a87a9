// The command line in named steps: the arguments, help and version, the
// image and how it is laid out, the mapfile, the file systems, the scan, and
// its end.
#include "cli/scanner_main.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_system.h"
#include "output/outputs.h"
#include "output/progress.h"
#include "output/report.h"
#include "output/rescue_mapfile.h"
#include "scan/disc_layout.h"
#include "scan/image_scan.h"
#include "support/printable.h"

namespace {

const char* const USAGE = "Usage: sectorscan [--mapfile MAP] [--files] [--damaged] [--sector-format=FORMAT] IMAGE\n";

const char* const HELP_TEXT = "Usage: sectorscan [--mapfile MAP] [--files] [--damaged] [--sector-format=FORMAT] IMAGE\n"
                              "Lists the runs of empty sectors in IMAGE that have data on both sides.\n"
                              "\n"
                              "A sector is empty when the CRC-32 of its 2048 bytes (of a raw CD frame: of its\n"
                              "user data) equals that of as many zero bytes. A run is reported when the 16\n"
                              "bytes before it and the first 16 bytes after it each have a non-zero sum as\n"
                              "signed bytes. Each line gives the run's first sector, or its first and last\n"
                              "sector, and the byte offset at which its first sector begins:\n"
                              "  0x00000064 (0x00032000)\n"
                              "  0x000000c8-0x000000d7 (0x00064000)\n"
                              "IMAGE may be a pipe: set -o pipefail; zstd -dc disc.iso.zst | sectorscan /dev/stdin\n"
                              "IMAGE may be a CUE sheet or cdrdao TOC file (.cue, .toc): the data tracks of\n"
                              "the files it names are scanned, audio tracks are not. An image of raw CD\n"
                              "frames (2352 bytes, or 2448 with subchannel, as .bin, .img or .mdf files\n"
                              "hold) is recognised by the sync patterns and addresses at the start of its\n"
                              "frames; its sectors are numbered by their address on the disc.\n"
                              "A file named like an option is given as ./-h.img, or after --\n"
                              "\n"
                              "      --mapfile MAP  also write MAP, a GNU ddrescue mapfile that marks the\n"
                              "                     reported runs as not tried (?) and the rest as done (+),\n"
                              "                     so that ddrescue reads just those runs again from the\n"
                              "                     original disc: ddrescue /dev/sr0 IMAGE MAP\n"
                              "                     MAP is replaced only once the scan is done.\n"
                              "      --files        under each line, name the files of IMAGE's UDF and\n"
                              "                     ISO 9660 file systems whose bytes the run covers, with\n"
                              "                     the first and last of those bytes within the file:\n"
                              "                       /VIDEO_TS/VTS_01_1.VOB 0x00032000-0x00036fff\n"
                              "                     or (no file); the file systems' own structures in\n"
                              "                     parentheses, and (unknown: ...) where what could not\n"
                              "                     be read may lie. IMAGE must be a file or a device.\n"
                              "      --damaged      of a raw image, after the report: \"Damaged sectors:\" and\n"
                              "                     a line for each run of frames that fail their own check:\n"
                              "                       0x00000190-0x00000199 (0x000e5b00) no sync\n"
                              "                     (no sync, bad header, bad EDC, bad ECC); with --mapfile\n"
                              "                     they are marked not tried too.\n"
                              "      --sector-format=FORMAT\n"
                              "                     read IMAGE as FORMAT, whatever it looks like: iso\n"
                              "                     (2048-byte sectors), raw (2352-byte frames) or raw+sub\n"
                              "                     (2448-byte frames); iso reads a sheet as a plain file.\n"
                              "  -h, --help         print this help and exit\n"
                              "      --version      print the version and exit\n"
                              "Options may stand before or after IMAGE; other arguments after it are not\n"
                              "scanned, and standard error says so.\n"
                              "\n"
                              "Exit status: 0 the whole image was scanned; 1 it could not be opened or read,\n"
                              "standard output or MAP could not be written, or --files was given a stream;\n"
                              "2 usage error.\n"
                              "See sectorscan(1).\n";

// What the command line asks for.
struct Arguments {
    const char* image = nullptr;
    const char* mapfile = nullptr;
    bool files = false;
    bool damaged = false;
    bool help = false;
    bool version = false;
    std::optional<SectorFormat> format;
    std::vector<const char*> not_scanned; // arguments after IMAGE
};

// Whether `argument` is one of the tool's own options, as a MAP must not be.
bool is_option(std::string_view argument)
{
    for (const std::string_view option : {"--files", "--damaged", "--help", "-h", "--version", "--", "--mapfile"}) {
        if (argument == option)
            return true;
    }
    return argument.starts_with("--mapfile=") || argument.starts_with("--sector-format");
}

int usage_error(const std::string& message)
{
    print_message("%s", message.c_str());
    std::fputs(USAGE, stderr);
    return 2;
}

// Reads the command line. Before "--", an argument that starts with "-"
// (but "-" itself) is an option, before or after IMAGE; the first other one
// is IMAGE, and any after it are not scanned. Returns 0, or 2 after a usage
// error.
int parse_arguments(int argc, char** argv, Arguments& arguments)
{
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (options && argument == "--") {
            options = false;
            continue;
        }
        if (!options || !argument.starts_with("-") || argument == "-") {
            if (arguments.image == nullptr)
                arguments.image = argv[i];
            else
                arguments.not_scanned.push_back(argv[i]);
            continue;
        }
        if (argument == "--files") {
            arguments.files = true;
        } else if (argument == "--damaged") {
            arguments.damaged = true;
        } else if (argument == "-h" || argument == "--help") {
            arguments.help = true;
        } else if (argument == "--version") {
            arguments.version = true;
        } else if (argument == "--mapfile" || argument.starts_with("--mapfile=")) {
            const char* value = argument == "--mapfile" ? (i + 1 < argc ? argv[++i] : "") : argv[i] + 10;
            if (arguments.mapfile != nullptr)
                return usage_error("option '--mapfile' may be given once");
            if (*value == '\0')
                return usage_error("option '--mapfile' needs a file name");
            if (std::string_view(value) == "-")
                return usage_error("option '--mapfile' cannot be '-': standard output holds the report");
            if (is_option(value))
                return usage_error("option '--mapfile' needs a file name, not the option '" + printable(value) +
                                   "' (a file of that name is ./" + printable(value) + ")");
            arguments.mapfile = value;
        } else if (argument == "--sector-format" || argument.starts_with("--sector-format=")) {
            const std::string_view value =
                argument == "--sector-format" ? (i + 1 < argc ? argv[++i] : "") : argument.substr(16);
            if (value == "iso")
                arguments.format = SectorFormat::iso;
            else if (value == "raw")
                arguments.format = SectorFormat::raw;
            else if (value == "raw+sub")
                arguments.format = SectorFormat::raw_subchannel;
            else
                return usage_error("option '--sector-format' takes iso, raw or raw+sub, not '" +
                                   printable(std::string(value)) + "'");
        } else {
            return usage_error("unknown option '" + printable(argv[i]) + "' (a file of that name is ./" +
                               printable(argv[i]) + ")");
        }
    }
    if (arguments.image == nullptr && !arguments.help && !arguments.version) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    return 0;
}

int print_help_or_version(const Arguments& arguments)
{
    if (arguments.help)
        std::fputs(HELP_TEXT, stdout);
    else
        std::printf("sectorscan %s\n", SECTORSCAN_VERSION);
    return finish_standard_output({}) ? 0 : 1;
}

// Opens the image and finds how it holds its sectors: a sheet and its
// files, or one file of 2048-byte sectors or raw frames. False, having said
// why, when it cannot be opened.
bool open_step(const Arguments& arguments, DiscLayout& layout)
{
    const char* path = arguments.image;
    if (is_sheet(path) && arguments.format != SectorFormat::iso) {
        std::string why;
        if (!read_sheet(path, layout, why)) {
            finish_standard_output(print_image_error(" Error loading file: %s\n", path, why.c_str()));
            return false;
        }
        return true;
    }
    auto input = std::make_unique<ImageInput>();
    if (const Failure failure = open_image(path, *input)) {
        finish_standard_output(print_image_error(" Error loading file: %s\n", path, failure.what()));
        return false;
    }
    ScanArea area;
    area.input = input.get();
    SectorIndex first = 0;
    bool formless = false;
    const SectorFormat found = recognise_format(*input, first, formless);
    area.format = arguments.format.value_or(found);
    if (area.format != SectorFormat::iso && area.format == found) {
        area.first = first;
        area.formless = formless;
    }
    layout.paths.emplace_back(path);
    layout.inputs.push_back(std::move(input));
    layout.areas.push_back(area);
    return true;
}

// Says what is not scanned: arguments after IMAGE, and a sheet's audio
// tracks.
void say_not_scanned(const Arguments& arguments, const DiscLayout& layout)
{
    const std::size_t count = arguments.not_scanned.size();
    if (count > 0) {
        std::string names;
        for (const char* name : arguments.not_scanned) {
            if (!names.empty())
                names += ' ';
            names += printable(name);
        }
        print_message("%s is scanned, and not the %zu other argument%s after it: %s",
                      printable(arguments.image).c_str(), count, count == 1 ? "" : "s", names.c_str());
    }
    const std::vector<unsigned>& audio = layout.audio_tracks;
    if (!audio.empty()) {
        std::string tracks;
        for (std::size_t k = 0; k < audio.size(); ++k) {
            // Runs of numbers in a row as FIRST-LAST.
            std::size_t end = k;
            while (end + 1 < audio.size() && audio[end + 1] == audio[end] + 1)
                ++end;
            if (!tracks.empty())
                tracks += ", ";
            tracks += std::to_string(audio[k]);
            if (end > k)
                tracks.append("-").append(std::to_string(audio[end]));
            k = end;
        }
        print_message("%s: track%s %s %s audio, not checked", arguments.image, audio.size() == 1 ? "" : "s",
                      tracks.c_str(), audio.size() == 1 ? "is" : "are");
    }
}

// The mapfile, made before the scan: one that cannot be written is found
// out before hours of reading, not after. False, having said why.
bool mapfile_open_step(const Arguments& arguments, const DiscLayout& layout, std::unique_ptr<RescueMapfile>& mapfile)
{
    if (arguments.mapfile == nullptr)
        return true;
    if (layout.paths.size() > 1) {
        print_message("%s: cannot write the mapfile: the sheet names %zu files, and a mapfile is of one",
                      arguments.mapfile, layout.paths.size());
        return false;
    }
    mapfile = std::make_unique<RescueMapfile>(arguments.mapfile, layout.inputs.front()->fd(), arguments.image);
    if (const Failure failure = mapfile->failure()) {
        print_message("%s: cannot write the mapfile: %s", arguments.mapfile, failure.what());
        return false;
    }
    return true;
}

// The file systems, read apart from the scan, which a stream allows only
// once. False, having said why.
bool files_step(const Arguments& arguments, const DiscLayout& layout, std::unique_ptr<FileMap>& files)
{
    if (!arguments.files)
        return true;
    for (const auto& input : layout.inputs) {
        if (!input->size()) {
            print_message("%s: --files needs an image that can be read twice, a file or a device, not a stream",
                          arguments.image);
            return false;
        }
    }
    files = std::make_unique<FileMap>();
    const ScanArea& area = layout.areas.empty() ? ScanArea{} : layout.areas.front();
    const bool cooked = layout.paths.size() == 1 && layout.areas.size() == 1 && area.format == SectorFormat::iso &&
                        area.offset == 0 && area.first == 0;
    std::vector<std::string> messages;
    if (cooked)
        messages = read_file_system(CookedBlocks(area.input->fd(), *area.input->size()), *files);
    else
        messages = read_file_system(FrameBlocks(layout.areas), *files);
    for (const std::string& message : messages)
        print_message("%s: --files: %s", arguments.image, message.c_str());
    return true;
}

// The bytes the scan will take in, for the progress line: none where a
// stream's are not known.
std::optional<std::uint64_t> bytes_to_scan(const DiscLayout& layout)
{
    std::uint64_t total = 0;
    for (const ScanArea& area : layout.areas) {
        if (!area.input->size())
            return std::nullopt;
        const std::uint64_t size = *area.input->size();
        total += area.frames ? *area.frames * frame_size(area.format) : size - std::min(size, area.offset);
    }
    return total;
}

// The report's end: the damaged frames, an error line for a scan cut short,
// and the check of standard output. Returns the exit status.
int finish_step(const Arguments& arguments, const DiscLayout& layout, Outputs& outputs, const ScanResult& result)
{
    Failure output = result.end == ScanResult::End::sink_failed ? Failure{result.error} : Failure{};
    if (!output && result.end != ScanResult::End::no_memory)
        output = outputs.finish();
    if (output)
        return finish_standard_output(output) ? 0 : 1;
    const std::string file = layout.areas.empty() ? arguments.image : layout.paths[layout.areas[result.area].file];
    char cause[4096] = "";
    switch (result.end) {
    case ScanResult::End::complete:
    case ScanResult::End::sink_failed:
        return finish_standard_output(output) ? 0 : 1;
    case ScanResult::End::read_failed:
        std::snprintf(cause, sizeof cause, "%s", std::strerror(result.error));
        break;
    case ScanResult::End::shrank:
        std::snprintf(cause, sizeof cause, "the file ended after %" PRIu64 " of %" PRIu64 " bytes", result.position,
                      layout.inputs.empty() ? 0 : layout.inputs[layout.areas[result.area].file]->size().value_or(0));
        break;
    case ScanResult::End::no_memory:
        std::snprintf(cause, sizeof cause, "cannot allocate the read buffers: %s", std::strerror(result.error));
        break;
    }
    // A sheet's file says which failed.
    std::string said = cause;
    if (layout.sheet)
        said = printable(file) + ": " + said;
    // A report cut short, and a standard output that failed: both are said.
    const Failure error_line = print_image_error(" Error reading file: %s\n", arguments.image, said.c_str());
    finish_standard_output(error_line);
    return 1;
}

// Puts the mapfile in place once the report is finished; the bytes that a
// scan cut short did not settle are marked not tried, and standard error
// says so. True when the mapfile was written, or rightly left as it was.
bool mapfile_step(RescueMapfile& map, const DiscLayout& layout, const ScanResult& result)
{
    const char* path = map.path().c_str();
    if (result.end == ScanResult::End::no_memory) {
        // Nothing was read, so nothing is known: an older mapfile stays.
        print_message("%s: left as it was, since nothing was read", path);
        return true;
    }
    // A sheet of audio tracks alone holds nothing to mark.
    const std::uint64_t end = layout.areas.empty() ? layout.inputs.front()->size().value_or(0) : result.image_size;
    const std::uint64_t settled = layout.areas.empty() ? end : result.settled_bytes;
    if (const Failure failure = map.commit(settled, end)) {
        print_message("%s: cannot write the mapfile: %s", path, failure.what());
        return false;
    }
    if (settled < end) {
        print_message("%s: the scan was cut short; bytes 0x%08" PRIx64 " to 0x%08" PRIx64 " are marked not tried (?)",
                      path, settled, end);
    }
    const bool cut_short = result.end != ScanResult::End::complete && result.end != ScanResult::End::sink_failed;
    if (!layout.inputs.front()->size() && cut_short) {
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
    if (const int usage = parse_arguments(argc, argv, arguments); usage != 0)
        return usage;
    if (arguments.help || arguments.version)
        return print_help_or_version(arguments);

    DiscLayout layout;
    if (!open_step(arguments, layout))
        return 1;
    say_not_scanned(arguments, layout);
    std::unique_ptr<RescueMapfile> mapfile;
    if (!mapfile_open_step(arguments, layout, mapfile))
        return 1;
    std::unique_ptr<FileMap> files;
    if (!files_step(arguments, layout, files))
        return 1;
    const bool raw = std::any_of(layout.areas.begin(), layout.areas.end(),
                                 [](const ScanArea& area) { return area.format != SectorFormat::iso; });
    if (arguments.damaged && !raw)
        print_message("%s: --damaged: an image of 2048-byte sectors holds no check of its own to verify",
                      arguments.image);

    print_header(arguments.image);
    ProgressLine progress(STDERR_FILENO, STDOUT_FILENO, bytes_to_scan(layout));
    OutputParts parts;
    parts.mapfile = mapfile.get();
    parts.progress = &progress;
    parts.files = files.get();
    parts.damaged = arguments.damaged;
    Outputs outputs(parts);
    const ScanResult result = scan_image(layout.areas, plan_reading(usable_cpus()), outputs, arguments.damaged);
    const int status = finish_step(arguments, layout, outputs, result);
    if (mapfile && !mapfile_step(*mapfile, layout, result))
        return 1;
    return status;
}
