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
                bytes.push_back(static_cast<unsigned char>(0x41 + (static_cast<std::size_t>(s) * 7 + k) % 50));
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

TEST(Raw, SheetsTheirTracksAndWhatIsRecognisedAsRaw)
{
    if (!have("genisoimage isoinfo"))
        GTEST_SKIP() << "genisoimage and isoinfo are needed";
    std::uint64_t a = 0;
    Bytes iso = small_iso(a);
    std::fill_n(iso.begin() + static_cast<std::ptrdiff_t>((a + 3) * BLOCK), 2 * BLOCK, 0);
    const std::string iso_report = model_report(iso.data(), iso.size());
    const Bytes data = raw_image(iso, RawMode::mode1, false);
    const std::uint64_t frames = data.size() / 2352;
    // An audio track after the data: frames of sound, some of silence,
    // which are not checked.
    Bytes audio(std::size_t{300} * 2352);
    for (std::size_t i = 0; i < audio.size(); ++i)
        audio[i] = i / 2352 % 7 == 3 ? 0 : static_cast<unsigned char>(i * 31);
    Bytes both = data;
    both.insert(both.end(), audio.begin(), audio.end());
    const std::string dir = write_temp_file("sheets", {});
    unlink(dir.c_str());
    run_shell("mkdir -p " + shell_quoted(dir));
    write_file(dir + "/disc.bin", both);
    write_file(dir + "/Track 1.bin", data);
    write_file(dir + "/Track 2.bin", audio);
    char msf[64];
    std::snprintf(msf, sizeof msf, "%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64, frames / 75 / 60, frames / 75 % 60,
                  frames % 75);
    const std::string one_file = "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                                 "  TRACK 02 AUDIO\n    INDEX 01 " +
                                 std::string(msf) + "\n";
    const std::string two_files = "FILE \"Track 1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                                  "FILE \"Track 2.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n";
    const std::string report = rebased(iso_report, 2352);
    const std::string audio_note = ": track 2 is audio, not checked\n";
    const struct {
        const char* what;
        std::string name; // of the sheet in the folder
        std::string sheet;
        std::string arguments;
        int status;
        std::string out; // after the header; "ERROR" for the error line
        std::string err; // after "sectorscan: SHEET"
    } cases[] = {
        {"a data and an audio track in one file", "disc.cue", one_file, "", 0, report, audio_note},
        {"one file a track", "disc two.cue", two_files, "", 0, report, audio_note},
        {"a TOC file", "disc.toc", "CD_ROM\nTRACK MODE1_RAW\nDATAFILE \"Track 1.bin\"\n", "", 0, report, ""},
        {"a mapfile of several files", "map.cue", two_files, "--mapfile " + shell_quoted(dir + "/x.map"), 1, "",
         "NONE"},
        {"a file that is missing", "missing.cue",
         "FILE \"gone.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n", "", 1, "ERROR",
         ": " + dir + "/gone.bin, which the sheet names, cannot be opened: No such file or directory\n"},
        {"a file shorter than the sheet says", "short.cue",
         "FILE \"Track 1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n  TRACK 02 MODE1/2352\n"
         "    INDEX 01 59:00:00\n",
         "", 1, "ERROR", ": " + dir + "/Track 1.bin is shorter than the sheet says"},
        {"a mode that is not supported", "2336.cue",
         "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE2/2336\n    INDEX 01 00:00:00\n", "", 1, "ERROR",
         ": track 1 is MODE2/2336, which is not supported\n"},
        {"a sheet read as a plain file", "plain.cue", one_file, "--sector-format=iso", 0, "", ""},
    };
    for (const auto& c : cases) {
        const std::string sheet = dir + "/" + c.name;
        write_file(sheet, Bytes(c.sheet.begin(), c.sheet.end()));
        const Outcome o = run_shell("\"$SECTORSCAN\" " + c.arguments + " " + shell_quoted(sheet));
        EXPECT_EQ(o.status, c.status) << c.what << ": " << o.err;
        if (c.out == "ERROR") {
            EXPECT_EQ(o.out, " Error loading file: " + sheet + "\n") << c.what;
        } else if (c.status == 0) {
            EXPECT_EQ(o.out, header(sheet) + c.out) << c.what;
        }
        if (c.err == "NONE") {
            EXPECT_NE(o.err.find("cannot write the mapfile: the sheet names 2 files"), std::string::npos) << o.err;
        } else if (!c.err.empty() && c.err.back() != '\n') {
            EXPECT_EQ(o.err.rfind("sectorscan: " + sheet + c.err, 0), 0U) << c.what << ": " << o.err;
        } else {
            EXPECT_EQ(o.err, c.err.empty() ? "" : "sectorscan: " + sheet + c.err) << c.what;
        }
    }

    // A raw image through a pipe is recognised from its first frames, which
    // the scan then reads again.
    const Outcome piped = run_shell("cat " + shell_quoted(dir + "/Track 1.bin") + " | \"$SECTORSCAN\" /dev/stdin");
    EXPECT_EQ(piped.out, header("/dev/stdin") + report);
    // An ISO that merely begins with the sync pattern stays an ISO.
    Bytes synced = iso;
    const unsigned char sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    std::copy(sync, sync + 12, synced.begin());
    write_file(dir + "/synced.iso", synced);
    EXPECT_EQ(run_shell("\"$SECTORSCAN\" " + shell_quoted(dir + "/synced.iso")).out,
              header(dir + "/synced.iso") + iso_report);
    run_shell("rm -rf " + shell_quoted(dir));
}

TEST(Raw, FramesThatAnAuthoringToolWroteCheckOut)
{
    // vcdimager writes a Video CD: an ISO 9660 track of Mode 2 Form 1 frames
    // and a track of Form 2 frames, with their EDC and parity, as ECMA-130
    // has them; the tool's checks are held against them.
    if (!have("vcdimager"))
        GTEST_SKIP() << "vcdimager is needed";
    const std::string dir = write_temp_file("vcd", {});
    unlink(dir.c_str());
    run_shell("mkdir -p " + shell_quoted(dir));
    // A tiny MPEG-1 stream: packs of a video packet each, with a sequence
    // header now and then.
    Bytes mpeg;
    for (int pack = 0; pack < 60; ++pack) {
        const std::uint64_t scr = static_cast<std::uint64_t>(pack) * 3000;
        const unsigned char head[] = {0,
                                      0,
                                      1,
                                      0xBA,
                                      static_cast<unsigned char>(0x21 | ((scr >> 29) & 0x0E)),
                                      static_cast<unsigned char>(scr >> 22),
                                      static_cast<unsigned char>(0x01 | ((scr >> 14) & 0xFE)),
                                      static_cast<unsigned char>(scr >> 7),
                                      static_cast<unsigned char>(0x01 | ((scr << 1) & 0xFE)),
                                      0x80,
                                      0x0F,
                                      0xA1};
        mpeg.insert(mpeg.end(), head, head + sizeof head);
        Bytes body = {0x0F};
        if (pack % 15 == 0) {
            const unsigned char sequence[] = {0,    0,    1, 0xB3, 0x16, 0x00, 0xF0, 0xC4, 0x04, 0x4F,
                                              0xE0, 0x00, 0, 0,    1,    0xB8, 0x00, 0x08, 0x00, 0x00};
            body.insert(body.end(), sequence, sequence + sizeof sequence);
        }
        const unsigned char picture[] = {0, 0, 1, 0x00, 0x00, 0x0F, 0xFF, 0xF8};
        body.insert(body.end(), picture, picture + sizeof picture);
        body.resize(2324 - sizeof head - 6, 0);
        const unsigned char packet[] = {
            0, 0, 1, 0xE0, static_cast<unsigned char>(body.size() >> 8), static_cast<unsigned char>(body.size())};
        mpeg.insert(mpeg.end(), packet, packet + sizeof packet);
        mpeg.insert(mpeg.end(), body.begin(), body.end());
    }
    write_file(dir + "/v.mpg", mpeg);
    ASSERT_EQ(run_shell("cd " + shell_quoted(dir) + " && vcdimager -c vcd.cue -b vcd.bin v.mpg").status, 0);
    const std::string text = read_file(dir + "/vcd.bin");
    Bytes vcd(text.begin(), text.end());
    ASSERT_GT(vcd.size(), 400U * 2352);
    std::size_t form1 = 0;
    std::size_t form2 = 0;
    for (std::size_t at = 0; at + 2352 <= vcd.size(); at += 2352) {
        EXPECT_EQ(check_frame(vcd.data() + at, at / 2352), FrameDamage::none) << "frame " << at / 2352;
        (user_data(vcd.data() + at).length == 2324 ? form2 : form1) += 1;
    }
    EXPECT_GT(form1, 100U);
    EXPECT_GT(form2, 100U);
    // Whichever byte of a Form 1 frame's data changes, its EDC says so; a
    // byte of its parity, its P or Q; a Form 2 frame's EDC of zero is none.
    const std::size_t f1 = std::size_t{20} * 2352;
    for (const std::size_t byte : {std::size_t{16}, std::size_t{24}, std::size_t{1000}, std::size_t{2071}}) {
        vcd[f1 + byte] ^= 0x40;
        EXPECT_EQ(check_frame(vcd.data() + f1, 20), FrameDamage::bad_edc) << byte;
        vcd[f1 + byte] ^= 0x40;
    }
    for (const std::size_t byte : {std::size_t{2076}, std::size_t{2247}, std::size_t{2248}, std::size_t{2351}}) {
        vcd[f1 + byte] ^= 0x40;
        EXPECT_EQ(check_frame(vcd.data() + f1, 20), FrameDamage::bad_ecc) << byte;
        vcd[f1 + byte] ^= 0x40;
    }
    EXPECT_EQ(check_frame(vcd.data() + f1, 21), FrameDamage::bad_header);
    std::size_t f2 = 0;
    while (user_data(vcd.data() + f2).length != 2324)
        f2 += 2352;
    vcd[f2 + 500] ^= 1;
    EXPECT_EQ(check_frame(vcd.data() + f2, f2 / 2352), FrameDamage::bad_edc);
    std::fill_n(vcd.begin() + static_cast<std::ptrdiff_t>(f2 + 2348), 4, 0);
    EXPECT_EQ(check_frame(vcd.data() + f2, f2 / 2352), FrameDamage::none);
    // The EDC of the equations: over its bytes and the four stored after
    // them, none; and the test's own encoder agrees with the tool's checks.
    EXPECT_EQ(cd_edc(vcd.data() + f1 + 16, 2056 + 4), 0U);
    const Bytes user(2048, 0x37);
    for (const RawMode mode : {RawMode::mode1, RawMode::form1}) {
        const Bytes frame = raw_frame(user.data(), mode, 4711);
        EXPECT_EQ(check_frame(frame.data(), 4711), FrameDamage::none);
        EXPECT_TRUE(cd_parity_holds(frame.data(), mode == RawMode::form1));
    }
    // Through its sheet, nothing is damaged.
    const Outcome o = run_shell("\"$SECTORSCAN\" --damaged " + shell_quoted(dir + "/vcd.cue"));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out.substr(o.out.find("Damaged sectors:")), "Damaged sectors:\n");
    run_shell("rm -rf " + shell_quoted(dir));
}
