// Raw CD images: frames of 2352 and 2448 bytes, CUE sheets and TOC files,
// and the frames' own checks. Each raw image holds the sectors of an ISO
// that genisoimage makes, so that its report, its file lines and its
// mapfile are held against those of the ISO with the same user data.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <map>
#include <set>
#include <sstream>

#include "cli_run.h"
#include "model_report.h"
#include "raw_frames.h"
#include "scan/cd_frames.h"
#include "test_images.h"

namespace {

constexpr std::size_t BLOCK = 2048;

// `report` (run lines, and file lines, which stay) with each run's offset
// that of its first frame of `frame` bytes, the first at disc address
// `first`.
std::string rebased(const std::string& report, std::size_t frame, std::uint64_t first = 0)
{
    std::istringstream lines(report);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("0x", 0) != 0) {
            out += line + "\n";
            continue;
        }
        char* end = nullptr;
        const std::uint64_t start = std::strtoull(line.c_str(), &end, 16);
        const std::uint64_t last = *end == '-' ? std::strtoull(end + 1, nullptr, 16) : start;
        char text[96];
        if (start == last)
            std::snprintf(text, sizeof text, "0x%08" PRIx64 " (0x%08" PRIx64 ")", start + first, start * frame);
        else
            std::snprintf(text, sizeof text, "0x%08" PRIx64 "-0x%08" PRIx64 " (0x%08" PRIx64 ")", start + first,
                          last + first, start * frame);
        out += text + line.substr(line.find(')') + 1) + "\n";
    }
    return out;
}

// The block lines of the mapfile of an image of `size` bytes whose frames
// `marked` (first, last: frame numbers) are to be read again.
std::string map_blocks(const std::set<std::pair<std::uint64_t, std::uint64_t>>& marked, std::size_t frame,
                       std::uint64_t size)
{
    std::string out;
    std::uint64_t at = 0;
    const auto block = [&](std::uint64_t from, std::uint64_t to, char status) {
        char line[64];
        std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", from, to - from, status);
        out += line;
    };
    std::uint64_t open_from = 0;
    std::uint64_t open_to = 0;
    for (const auto& [first, last] : marked) {
        const std::uint64_t from = first * frame;
        const std::uint64_t to = (last + 1) * frame;
        if (open_to > 0 && from <= open_to) {
            open_to = std::max(open_to, to);
            continue;
        }
        if (open_to > 0) {
            block(at, open_from, '+');
            block(open_from, open_to, '?');
            at = open_to;
        }
        open_from = from;
        open_to = to;
    }
    if (open_to > 0) {
        if (open_from > at)
            block(at, open_from, '+');
        block(open_from, open_to, '?');
        at = open_to;
    }
    if (at < size)
        block(at, size, '+');
    return out;
}

bool have(const char* tools)
{
    return run_shell(std::string("for t in ") + tools + "; do command -v $t || exit 1; done").status == 0;
}

// An ISO of a small tree of files whose sectors are never zero, made by
// genisoimage; `first` is where the data of its first file lies.
Bytes small_iso(std::uint64_t& first)
{
    const std::string tree = write_temp_file("raw-tree", {});
    unlink(tree.c_str());
    run_shell("mkdir -p " + shell_quoted(tree + "/DATA"));
    for (const auto& [name, sectors] : {std::pair{"a.bin", 40}, std::pair{"b.bin", 12}}) {
        Bytes bytes;
        for (int s = 0; s < sectors; ++s)
            for (std::size_t k = 0; k < BLOCK; ++k)
                bytes.push_back(static_cast<unsigned char>(0x41 + (s * 7 + k) % 50));
        write_file(tree + "/DATA/" + name, bytes);
    }
    const std::string iso = write_temp_file("raw-source.iso", {});
    run_shell("genisoimage -quiet -R -J -o " + shell_quoted(iso) + " " + shell_quoted(tree));
    first = std::strtoull(
        run_shell("isoinfo -R -l -i " + shell_quoted(iso) + " | grep a.bin | sed 's/.*\\[ *//'").out.c_str(), nullptr,
        10);
    const std::string text = read_file(iso);
    run_shell("rm -rf " + shell_quoted(tree) + " " + shell_quoted(iso));
    return Bytes(text.begin(), text.end());
}

} // namespace

TEST(Raw, FramesReportWhatTheirIsoReportsAndTheirOwnDamage)
{
    if (!have("genisoimage isoinfo"))
        GTEST_SKIP() << "genisoimage and isoinfo are needed";
    std::uint64_t a = 0;
    const Bytes iso = small_iso(a);
    ASSERT_GT(a, 16U);
    // Zeroed as rippers leave what they could not read: two runs in a.bin.
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> lost = {{a + 3, a + 5}, {a + 20, a + 20}};
    // And frames whose user data is whole but whose own checks fail, one of
    // them by a byte flipped in its user data, which the ISO gets too.
    const std::uint64_t edc = a + 10;
    const std::uint64_t ecc = a + 12;
    const std::uint64_t bad_header = a + 14;
    Bytes spoilt_iso = iso;
    for (const auto& [first, last] : lost)
        std::fill(spoilt_iso.begin() + static_cast<std::ptrdiff_t>(first * BLOCK),
                  spoilt_iso.begin() + static_cast<std::ptrdiff_t>((last + 1) * BLOCK), 0);
    spoilt_iso[edc * BLOCK + 100] ^= 0x10;
    const std::string iso_path = write_temp_file("spoilt.iso", spoilt_iso);
    const Outcome iso_files = run_shell("\"$SECTORSCAN\" --files " + shell_quoted(iso_path));
    ASSERT_EQ(iso_files.status, 0) << iso_files.err;
    const std::string iso_report = model_report(spoilt_iso.data(), spoilt_iso.size());
    ASSERT_NE(iso_report.find('\n'), std::string::npos);

    const struct {
        const char* what;
        RawMode mode;
        bool subchannel;
        std::uint64_t first; // the disc address of the first frame
        const char* cue_mode;
    } kinds[] = {
        {"Mode 1", RawMode::mode1, false, 0, "MODE1/2352"},
        {"Mode 2 Form 1", RawMode::form1, false, 0, "MODE2/2352"},
        {"Mode 1 with subchannel", RawMode::mode1, true, 0, "MODE1/2448"},
        {"Mode 1 from address 1000", RawMode::mode1, false, 1000, nullptr},
    };
    for (const auto& kind : kinds) {
        const std::size_t frame = kind.subchannel ? 2448 : 2352;
        Bytes raw = raw_image(iso, kind.mode, kind.subchannel, kind.first);
        const auto frame_at = [&](std::uint64_t n) { return raw.data() + n * frame; };
        for (const auto& [first, last] : lost)
            std::fill(frame_at(first), frame_at(last + 1), 0);
        frame_at(edc)[(kind.mode == RawMode::mode1 ? 16 : 24) + 100] ^= 0x10;
        frame_at(ecc)[2100] ^= 0x01;      // in the P parity
        frame_at(bad_header)[14] ^= 0x01; // its address
        const std::string path = write_temp_file("image.bin", raw);
        const std::string map = path + ".map";

        const Outcome plain = run_shell("\"$SECTORSCAN\" " + shell_quoted(path));
        EXPECT_EQ(plain.status, 0) << kind.what << plain.err;
        EXPECT_EQ(plain.out, header(path) + rebased(iso_report, frame, kind.first)) << kind.what;
        EXPECT_EQ(plain.err, "") << kind.what;
        if (kind.first != 0) {
            unlink(path.c_str());
            continue;
        }
        const Outcome all =
            run_shell("\"$SECTORSCAN\" --files --damaged --mapfile " + shell_quoted(map) + " " + shell_quoted(path));
        EXPECT_EQ(all.status, 0) << kind.what << all.err;
        // The report and its file lines are the ISO's; then the frames that
        // fail their own checks, each with its file lines.
        std::string damaged = "Damaged sectors:\n";
        std::set<std::pair<std::uint64_t, std::uint64_t>> marked;
        std::map<std::uint64_t, std::pair<std::uint64_t, const char*>> rows = {
            {lost[0].first, {lost[0].second, "no sync"}},
            {lost[1].first, {lost[1].second, "no sync"}},
            {edc, {edc, "bad EDC"}},
            {ecc, {ecc, "bad ECC"}},
            {bad_header, {bad_header, "bad header"}}};
        for (const auto& [first, row] : rows) {
            char line[96];
            if (first == row.first)
                std::snprintf(line, sizeof line, "0x%08" PRIx64 " (0x%08" PRIx64 ") %s\n", first, first * frame,
                              row.second);
            else
                std::snprintf(line, sizeof line, "0x%08" PRIx64 "-0x%08" PRIx64 " (0x%08" PRIx64 ") %s\n", first,
                              row.first, first * frame, row.second);
            damaged += line;
            marked.emplace(first, row.first);
        }
        std::istringstream runs(iso_report);
        for (std::string line; std::getline(runs, line);) {
            char* end = nullptr;
            const std::uint64_t first = std::strtoull(line.c_str(), &end, 16);
            marked.emplace(first, *end == '-' ? std::strtoull(end + 1, nullptr, 16) : first);
        }
        const std::string report = rebased(iso_files.out.substr(header(iso_path).size()), frame);
        ASSERT_EQ(all.out.substr(0, header(path).size() + report.size()), header(path) + report) << kind.what;
        const std::string section = all.out.substr(header(path).size() + report.size());
        std::string without_files;
        std::istringstream section_lines(section);
        for (std::string line; std::getline(section_lines, line);) {
            if (line.rfind("  ", 0) != 0)
                without_files += line + "\n";
        }
        EXPECT_EQ(without_files, damaged) << kind.what;
        EXPECT_NE(section.find("no sync\n  /DATA/a.bin 0x00001800-0x00002fff\n"), std::string::npos) << section;
        EXPECT_EQ(mapfile_blocks(read_file(map)), map_blocks(marked, frame, raw.size())) << kind.what;
        EXPECT_EQ(run_shell("command -v ddrescuelog >/dev/null || exit 0; ddrescuelog -t " + shell_quoted(map)).status,
                  0);

        // The same through a sheet, one file and one track.
        const std::string cue = path + ".cue";
        write_file(cue, {});
        run_shell("printf 'FILE \"%s\" BINARY\\n  TRACK 01 %s\\n    INDEX 01 00:00:00\\n' " +
                  shell_quoted(path.substr(path.rfind('/') + 1)) + " " + kind.cue_mode + " > " + shell_quoted(cue));
        const Outcome sheet = run_shell("\"$SECTORSCAN\" " + shell_quoted(cue));
        EXPECT_EQ(sheet.status, 0) << kind.what << sheet.err;
        EXPECT_EQ(sheet.out, header(cue) + rebased(iso_report, frame)) << kind.what;
        // Read as 2048-byte sectors when asked, whatever it looks like.
        const Outcome forced = run_shell("\"$SECTORSCAN\" --sector-format=iso " + shell_quoted(path));
        EXPECT_EQ(forced.out, header(path) + model_report(raw.data(), raw.size())) << kind.what;
        unlink(cue.c_str());
        unlink(map.c_str());
        unlink(path.c_str());
    }
    unlink(iso_path.c_str());
}
