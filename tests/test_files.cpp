// --files: the files that each run damages, on images made by genisoimage
// and xorriso, held against the truth that the files' own blocks tell: each
// block of a test file begins with its path and its number.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <tuple>

#include "cli_run.h"
#include "fault_mount.h"
#include "files/file_map.h"
#include "model_report.h"
#include "scan/worker_pool.h"
#include "support/printable.h"
#include "test_images.h"

namespace {

constexpr std::size_t BLOCK = 2048;

struct TreeFile {
    std::string path; // from the tree's root, without a leading slash
    std::size_t size;
};

// Block `block` of `path`: "\x01test:PATH\x01BLOCK\x01", then bytes that are
// never zero, so that every block is data with edges that do not sum to zero.
const std::string MARK = "\x01test:";

Bytes block_of(const std::string& path, std::size_t block, std::size_t length)
{
    std::string text = MARK + path + "\x01" + std::to_string(block) + "\x01";
    text.resize(std::max(text.size(), BLOCK), 'x');
    return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
}

// A fresh folder of the tests' named `name`, holding `files`.
std::string temp_tree(const std::string& name, const std::vector<TreeFile>& files)
{
    std::string root = write_temp_file(name, {});
    unlink(root.c_str());
    for (const TreeFile& file : files) {
        const std::string path = root + "/" + file.path;
        run_shell("mkdir -p " + shell_quoted(path.substr(0, path.rfind('/'))));
        Bytes bytes;
        for (std::size_t at = 0; at < file.size; at += BLOCK) {
            const Bytes block = block_of(file.path, at / BLOCK, std::min(BLOCK, file.size - at));
            bytes.insert(bytes.end(), block.begin(), block.end());
        }
        write_file(path, bytes);
    }
    return root;
}

// The image of `tree` that `make` (genisoimage and its options) writes to
// `image`, read back; empty if it could not be made.
Bytes make_image(const std::string& make, const std::string& tree, const std::string& image)
{
    if (run_shell(make + " -o " + shell_quoted(image) + " " + shell_quoted(tree)).status != 0) {
        ADD_FAILURE() << make << " failed";
        return {};
    }
    const std::string text = read_file(image);
    return Bytes(text.begin(), text.end());
}

// What the blocks of an image say of themselves: sector -> (path, block).
struct Truth {
    std::map<std::uint64_t, std::pair<std::string, std::size_t>> blocks;
    std::map<std::string, std::size_t> sizes;
    std::map<std::string, std::vector<std::string>> names; // a path and its other names
};

Truth locate(const Bytes& image, const std::vector<TreeFile>& files,
             const std::map<std::string, std::string>& links = {})
{
    Truth truth;
    for (const TreeFile& file : files) {
        truth.sizes["/" + file.path] = file.size;
        truth.names["/" + file.path].push_back("/" + file.path);
    }
    for (const auto& [link, target] : links) {
        truth.names["/" + target].push_back("/" + link);
        truth.sizes["/" + link] = truth.sizes["/" + target];
    }
    for (std::uint64_t sector = 0; sector < image.size() / BLOCK; ++sector) {
        const std::string head(reinterpret_cast<const char*>(image.data() + sector * BLOCK), 300);
        if (head.rfind(MARK, 0) != 0)
            continue;
        const std::size_t second = head.find('\x01', MARK.size());
        const std::size_t third = head.find('\x01', second + 1);
        truth.blocks[sector] = {"/" + head.substr(MARK.size(), second - MARK.size()),
                                std::stoul(head.substr(second + 1, third - second - 1))};
    }
    return truth;
}

// The file lines that should follow the report line of a run over sectors
// [first, last], from the truth: in the order the files first appear, ties
// by path; a file's other names too.
std::string expected_lines(const Truth& truth, std::uint64_t first, std::uint64_t last)
{
    struct Line {
        std::uint64_t sector;
        std::string path;
        std::uint64_t from, to;
    };
    std::map<std::string, Line> files;
    for (auto at = truth.blocks.lower_bound(first); at != truth.blocks.end() && at->first <= last; ++at) {
        const auto& [path, block] = at->second;
        for (const std::string& name : truth.names.at(path)) {
            const std::uint64_t from = block * BLOCK;
            const std::uint64_t to = std::min<std::uint64_t>(from + BLOCK, truth.sizes.at(name)) - 1;
            auto [line, added] = files.try_emplace(name, Line{at->first, name, from, to});
            if (!added) {
                line->second.from = std::min(line->second.from, from);
                line->second.to = std::max(line->second.to, to);
            }
        }
    }
    std::vector<Line> lines;
    lines.reserve(files.size());
    for (const auto& [name, line] : files)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
        return a.sector != b.sector ? a.sector < b.sector : a.path < b.path;
    });
    std::string text;
    for (const Line& line : lines) {
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, " 0x%08" PRIx64 "-0x%08" PRIx64 "\n", line.from, line.to);
        text += "  " + printable(line.path) + numbers;
    }
    return text.empty() ? "  (no file)\n" : text;
}

// The report's run lines alone.
std::string without_file_lines(const std::string& out)
{
    std::istringstream lines(out);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  ", 0) != 0)
            kept += line + "\n";
    }
    return kept;
}

// Zeroes `sectors` of `image`, scans it with --files and checks every run's
// file lines against the truth, and that the report is the same as without
// --files. Returns the report.
std::string check_files(const std::string& what, Bytes& image, const Truth& truth,
                        const std::vector<std::pair<std::uint64_t, std::uint64_t>>& zeroed)
{
    for (const auto& [first, last] : zeroed)
        std::fill(image.begin() + static_cast<std::ptrdiff_t>(first * BLOCK),
                  image.begin() + static_cast<std::ptrdiff_t>((last + 1) * BLOCK), 0);
    const std::string path = write_temp_file("files.iso", image);
    const Outcome with = run_shell("\"$SECTORSCAN\" --files " + shell_quoted(path));
    const Outcome without = run_shell("\"$SECTORSCAN\" " + shell_quoted(path));
    unlink(path.c_str());
    EXPECT_EQ(with.status, 0) << what << ": " << with.err;
    EXPECT_EQ(with.err, "") << what;
    EXPECT_EQ(without_file_lines(with.out), without.out) << what;
    EXPECT_EQ(without.out, header(path) + model_report(image.data(), image.size())) << what;
    // Each run line, followed by the lines the truth says.
    std::string expected = header(path);
    std::istringstream runs(model_report(image.data(), image.size()));
    for (std::string line; std::getline(runs, line);) {
        char* end = nullptr;
        const std::uint64_t first = std::strtoull(line.c_str(), &end, 16);
        const std::uint64_t last = *end == '-' ? std::strtoull(end + 1, nullptr, 16) : first;
        expected += line + "\n" + expected_lines(truth, first, last);
    }
    EXPECT_EQ(with.out, expected) << what;
    return with.out;
}

// Where block `block` of `path` lies in the image.
std::uint64_t sector_of(const Truth& truth, const std::string& path, std::size_t block)
{
    for (const auto& [sector, file] : truth.blocks) {
        if (file.first == path && file.second == block)
            return sector;
    }
    ADD_FAILURE() << path << " block " << block << " is not in the image";
    return 0;
}

bool have_tools()
{
    return run_shell("command -v genisoimage && command -v xorriso").status == 0;
}

// The padding after the last file, filled with data of no file, so that a
// run there has data on both sides.
void fill_padding(Bytes& image, const Truth& truth)
{
    const std::uint64_t after = (truth.blocks.rbegin()->first + 1) * BLOCK;
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(after), image.end(), 'p');
}

} // namespace

TEST(Files, RunsInFilesAcrossFilesOverPartialSectorsAndInNoFile)
{
    if (!have_tools())
        GTEST_SKIP() << "genisoimage and xorriso are needed";
    // A DVD-like tree, a data folder with a hard link, and a name with a
    // newline, which Rock Ridge keeps.
    // Names that plain ISO 9660 keeps as they are, one in lower case, which
    // it does not, an empty file (which shares its place with the next
    // file's), and a name with a newline, which only Rock Ridge keeps.
    const std::vector<TreeFile> files = {
        {"VIDEO_TS/VIDEO_TS.IFO", 5000}, {"VIDEO_TS/VTS_01_0.IFO", 3 * BLOCK}, {"VIDEO_TS/VTS_01_1.VOB", 40 * BLOCK},
        {"DATA/A.BIN", 5 * BLOCK},       {"DATA/B.BIN", 5 * BLOCK + 100},      {"DATA/EMPTY.TXT", 0},
        {"DATA/lower.bin", 3 * BLOCK},   {"DATA/new\nline", 2 * BLOCK},
    };
    const std::string tree = temp_tree("tree", files);
    ASSERT_EQ(
        run_shell("ln " + shell_quoted(tree + "/DATA/A.BIN") + " " + shell_quoted(tree + "/DATA/ALIAS.BIN")).status, 0);
    const std::map<std::string, std::string> links = {{"DATA/ALIAS.BIN", "DATA/A.BIN"}};
    const std::string image = write_temp_file("tree.iso", {});
    const struct {
        const char* what;
        const char* make;
        bool odd_name;   // the file system keeps the name with a newline
        bool lower_case; // and the one in lower case
    } kinds[] = {
        {"ISO 9660 with Rock Ridge and Joliet", "genisoimage -quiet -R -J", true, true},
        // UDF names, which keep their case, not the bridge's plain ISO 9660.
        {"a UDF bridge, as on a DVD", "genisoimage -quiet -udf", false, true},
        {"ISO 9660 with Joliet only", "genisoimage -quiet -J", false, true},
        {"plain ISO 9660", "genisoimage -quiet", false, false},
    };
    Bytes last;
    for (const auto& kind : kinds) {
        Bytes bytes = make_image(kind.make, tree, image);
        ASSERT_FALSE(bytes.empty()) << kind.what;
        const Truth truth = locate(bytes, files, links);
        const std::string odd_name = "/DATA/new\nline";
        const std::string lower = "/DATA/lower.bin";
        fill_padding(bytes, truth);
        // Inside a file; over the end of one file and the start of the next;
        // over a file's partial last sector; over a file and its other name;
        // in no file.
        const std::uint64_t vob = sector_of(truth, "/VIDEO_TS/VTS_01_1.VOB", 5);
        const std::uint64_t ifo_end = sector_of(truth, "/VIDEO_TS/VIDEO_TS.IFO", 2);
        const std::uint64_t a = sector_of(truth, "/DATA/A.BIN", 4);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> zeroed = {
            {vob, vob + 2}, {ifo_end, ifo_end}, {a, a}, {bytes.size() / BLOCK - 20, bytes.size() / BLOCK - 19}};
        // Two files in a row, whichever the tool laid out so.
        for (const auto& [sector, block] : truth.blocks) {
            const auto next = truth.blocks.find(sector + 1);
            const auto plain = [&](const std::string& path) { return path != odd_name && path != lower; };
            if (next != truth.blocks.end() && next->second.second == 0 && block.first != next->second.first &&
                sector != a && sector + 1 != a && sector != ifo_end && plain(block.first) &&
                plain(next->second.first)) {
                zeroed.emplace_back(sector, sector + 1);
                break;
            }
        }
        ASSERT_EQ(zeroed.size(), 5U) << kind.what;
        if (kind.odd_name) {
            const std::uint64_t odd = sector_of(truth, odd_name, 1);
            zeroed.emplace_back(odd, odd);
        }
        if (kind.lower_case) {
            const std::uint64_t low = sector_of(truth, lower, 1);
            zeroed.emplace_back(low, low);
        }
        const std::string out = check_files(kind.what, bytes, truth, zeroed);
        last = bytes;
        EXPECT_NE(out.find("  (no file)\n"), std::string::npos) << kind.what << ":\n" << out;
        EXPECT_NE(out.find("  /VIDEO_TS/VTS_01_1.VOB 0x00002800-0x00003fff\n"), std::string::npos) << out;
        EXPECT_NE(out.find("  /VIDEO_TS/VIDEO_TS.IFO 0x00001000-0x00001387\n"), std::string::npos) << out;
        EXPECT_NE(out.find("  /DATA/A.BIN 0x00002000-0x000027ff\n  /DATA/ALIAS.BIN 0x00002000-0x000027ff\n"),
                  std::string::npos)
            << out;
        if (kind.odd_name) {
            EXPECT_NE(out.find("  /DATA/new\\x0aline 0x00000"), std::string::npos) << out;
        }
        if (kind.lower_case) {
            EXPECT_NE(out.find("  /DATA/lower.bin 0x00000800-0x00000fff\n"), std::string::npos) << out;
        }
    }

    // After IMAGE, with --mapfile, and with standard error closed, where the
    // libraries' words are held while the image is read; and a scan cut
    // short by a read error still names the files of the runs it reported.
    write_file(image, last);
    const std::string map = image + ".map";
    const Outcome both =
        run_shell("\"$SECTORSCAN\" " + shell_quoted(image) + " --files --mapfile " + shell_quoted(map) + " 2>&-");
    EXPECT_EQ(both.status, 0);
    EXPECT_EQ(without_file_lines(both.out), header(image) + model_report(last.data(), last.size()));
    EXPECT_NE(both.out.find("  /VIDEO_TS/VTS_01_1.VOB 0x00002800-0x00003fff\n"), std::string::npos) << both.out;
    EXPECT_EQ(mapfile_blocks(read_file(map)),
              model_mapfile_blocks(model_report(last.data(), last.size()), last.size(), last.size()));
    unlink(map.c_str());
    unlink(image.c_str());
    run_shell("rm -rf " + shell_quoted(tree));
    std::string why;
    const FaultFs* fs = FaultFs::get(why);
    if (fs == nullptr && fault_fs_required())
        FAIL() << why;
    if (fs == nullptr)
        GTEST_SKIP() << "the rest needs the fault file system: " << why;
    // Reading fails 20 sectors after the first run: the runs closed
    // before then, each with its file lines, then the error line.
    std::istringstream lines(both.out.substr(header(image).size()));
    std::string kept;
    std::uint64_t fail_sector = 0;
    bool keeping = true;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  ", 0) != 0) {
            char* end = nullptr;
            const std::uint64_t first = std::strtoull(line.c_str(), &end, 16);
            const std::uint64_t closing = (*end == '-' ? std::strtoull(end + 1, nullptr, 16) : first) + 1;
            fail_sector = fail_sector == 0 ? first + 20 : fail_sector;
            keeping = closing < fail_sector;
        }
        if (keeping)
            kept += line + "\n";
    }
    const std::string cut = fs->add("eio=" + std::to_string(fail_sector * BLOCK), "cut.iso", last);
    const Outcome failed = run_shell("\"$SECTORSCAN\" --files " + shell_quoted(cut));
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, header(cut) + kept + " Error reading file: " + cut + "\n") << failed.out;
}

namespace {

// The block where the folder `folder` ("/DATA/") of `image` begins, as
// isoinfo lists it (of the Joliet tree with `joliet`): the extent of its "."
// entry.
std::uint64_t folder_block(const std::string& image, const std::string& folder, bool joliet = false)
{
    const Outcome listing =
        run_shell(std::string("isoinfo ") + (joliet ? "-J" : "-R") + " -l -i " + shell_quoted(image));
    const std::size_t at = listing.out.find("Directory listing of " + folder + "\n");
    const std::size_t open = listing.out.find('[', at);
    return at == std::string::npos ? 0 : std::strtoull(listing.out.c_str() + open + 1, nullptr, 10);
}

// Where isoinfo says the file `name` of `image` begins.
std::uint64_t file_block(const std::string& image, const std::string& name)
{
    const Outcome listing = run_shell("isoinfo -R -l -i " + shell_quoted(image));
    const std::size_t at = listing.out.find("  " + name + " \n");
    const std::size_t open = listing.out.rfind('[', at);
    return at == std::string::npos ? 0 : std::strtoull(listing.out.c_str() + open + 1, nullptr, 10);
}

// The directory record whose name is `name` (as the tree records it: an
// ISO 9660 name, or UTF-16 in Joliet) in the folder that begins at `block`:
// its offset in the image.
std::size_t record_of(const Bytes& image, std::uint64_t block, const std::string& name)
{
    for (std::size_t at = block * BLOCK; at < (block + 1) * BLOCK && image[at] != 0; at += image[at]) {
        if (std::string(reinterpret_cast<const char*>(&image[at + 33]), image[at + 32]) == name)
            return at;
    }
    ADD_FAILURE() << name << " is not in the folder at block " << block;
    return 0;
}

std::string utf16(const std::string& ascii)
{
    std::string units;
    for (const char c : ascii)
        units += std::string(1, '\0') + c;
    return units;
}

// Points the record at `record` to the folder at `block` (its extent is
// written both ways round, as ISO 9660 has it).
void point_record(Bytes& image, std::size_t record, std::uint64_t block)
{
    for (int byte = 0; byte < 4; ++byte) {
        image[record + 2 + byte] = static_cast<unsigned char>(block >> (8 * byte));
        image[record + 9 - byte] = static_cast<unsigned char>(block >> (8 * byte));
    }
}

// The UDF structures the tests spoil, found from the image's bytes alone.
struct UdfLayout {
    const Bytes& image;

    std::uint64_t number(std::size_t at, int bytes) const
    {
        std::uint64_t value = 0;
        for (int k = bytes - 1; k >= 0; --k)
            value = value << 8U | image[at + static_cast<std::size_t>(k)];
        return value;
    }
    // The partition descriptor (tag 5), and the first block of its partition.
    std::size_t descriptor() const
    {
        for (std::size_t block = 16; block < 512 && (block + 1) * BLOCK <= image.size(); ++block) {
            if (number(block * BLOCK, 2) == 5)
                return block * BLOCK;
        }
        return 0;
    }
    std::uint64_t partition() const { return number(descriptor() + 188, 4); }
    // The file identifier descriptor (tag 257) named `name`, in 8-bit
    // characters as genisoimage writes them: its offset, 0 for none.
    std::size_t identifier(const std::string& name) const
    {
        for (std::size_t at = 0; at + BLOCK <= image.size(); at += 4) {
            if (number(at, 2) != 257 || image[at + 19] != name.size() + 1)
                continue;
            const std::size_t id = at + 38 + number(at + 36, 2);
            if (image[id] == 8 && std::string(reinterpret_cast<const char*>(&image[id + 1]), name.size()) == name)
                return at;
        }
        return 0;
    }
    // The image block of the file entry an identifier points to.
    std::uint64_t entry_of(std::size_t identifier) const { return partition() + number(identifier + 24, 4); }
    // The partition's block of the root's file entry, from the file set
    // descriptor (tag 256) at the partition's start.
    std::uint64_t root() const { return number(partition() * BLOCK + 404, 4); }
};

// Makes the descriptor at `at` check out again after a change: its CRC
// (CRC-ITU over the length its tag gives) and its tag's checksum.
void retag(Bytes& image, std::size_t at)
{
    const std::size_t length = image[at + 10] | image[at + 11] << 8U;
    unsigned crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<unsigned>(image[at + 16 + i]) << 8U;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000U) != 0 ? (crc << 1U) ^ 0x1021U : crc << 1U;
    }
    image[at + 8] = static_cast<unsigned char>(crc);
    image[at + 9] = static_cast<unsigned char>(crc >> 8U);
    unsigned sum = 0;
    for (std::size_t i = 0; i < 16; ++i)
        sum += i == 4 ? 0 : image[at + i];
    image[at + 4] = static_cast<unsigned char>(sum);
}

void put32(Bytes& image, std::size_t at, std::uint64_t value)
{
    for (int byte = 0; byte < 4; ++byte)
        image[at + static_cast<std::size_t>(byte)] = static_cast<unsigned char>(value >> (8 * byte));
}

// A disc the table spoils, made once.
struct Disc {
    std::string path; // the pristine image, for isoinfo
    Bytes bytes;
    Truth truth;
    std::uint64_t block(const std::string& file, std::size_t n) const { return sector_of(truth, file, n); }
};

// One run of the damaged image, its first and last sector, and the lines
// that follow it: from the truth where `lines` is empty.
struct Expected {
    std::uint64_t first = 0, last = 0;
    std::string lines;
};

std::string big_name(int n)
{
    return "BIG/file_with_a_longer_name_" + std::to_string(100 + n) + ".dat";
}

} // namespace

TEST(Files, DamagedDiscsNameWhatAnyTreeStillKnows)
{
    if (!have_tools() || run_shell("command -v isoinfo").status != 0)
        GTEST_SKIP() << "genisoimage, isoinfo and xorriso are needed";
    std::vector<TreeFile> files = {
        {"VIDEO_TS/VIDEO_TS.IFO", 3 * BLOCK},
        {"VIDEO_TS/VTS_01_1.VOB", 12 * BLOCK},
        {"photos/a.jpg", 4 * BLOCK},
        {"photos/sub/c.bin", 2 * BLOCK},
        {"README", 2 * BLOCK},
        {"trailing.", 2 * BLOCK},
        {"emoji.bin", 2 * BLOCK},
        {"lone.bin", 2 * BLOCK},
        {"nul.bin", 2 * BLOCK},
        {"odd.bin", 2 * BLOCK},
        {"one.byte", 1},
    };
    for (int n = 0; n < 150; ++n) // a folder of several sectors
        files.push_back({big_name(n), BLOCK});
    const std::string long_name(150, 'L');
    const std::vector<TreeFile> long_files = {{long_name + "_part1.mkv", 3 * BLOCK},
                                              {long_name + "_part2.mkv", 3 * BLOCK},
                                              {long_name + "_dir1/inner.bin", 2 * BLOCK},
                                              {long_name + "_dir2/inner.bin", 2 * BLOCK}};
    std::vector<TreeFile> deep_files;
    for (std::string folder = "a"; deep_files.size() < 66; folder += "/a")
        deep_files.push_back({folder + "/f.bin", 2 * BLOCK});
    const std::string tree = temp_tree("damage-tree", files);
    const std::string long_tree = temp_tree("long-tree", long_files);
    const std::string deep_tree = temp_tree("deep-tree", deep_files);
    const auto make = [](const std::string& how, const std::string& from, const std::vector<TreeFile>& in) {
        Disc disc;
        disc.path = write_temp_file("disc-" + std::to_string(std::hash<std::string>{}(how + from)) + ".iso", {});
        disc.bytes = make_image(how, from, disc.path);
        disc.truth = locate(disc.bytes, in);
        fill_padding(disc.bytes, disc.truth);
        return disc;
    };
    const Disc bridge = make("genisoimage -quiet -R -J -udf", tree, files);
    const Disc rr_joliet = make("genisoimage -quiet -R -J", tree, files);
    const Disc joliet = make("genisoimage -quiet -J", tree, files);
    const Disc xorriso_long = make("xorriso -as mkisofs -quiet -R -J", long_tree, long_files);
    const Disc genisoimage_long = make("genisoimage -quiet -R", long_tree, long_files);
    const Disc deep = make("genisoimage -quiet -R -J -udf", deep_tree, deep_files);
    ASSERT_FALSE(bridge.bytes.empty() || rr_joliet.bytes.empty() || joliet.bytes.empty() ||
                 xorriso_long.bytes.empty() || genisoimage_long.bytes.empty() || deep.bytes.empty());

    // The runs in a file's blocks (the truth names them), and the zeroed
    // structures, whose lines are given.
    const auto in = [](const Disc& d, const std::string& file, std::size_t n) {
        const std::uint64_t at = d.block(file, n);
        return Expected{at, at, ""};
    };
    const auto zero = [](Bytes& image, std::uint64_t block) {
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(block * BLOCK), BLOCK, 0);
    };
    const auto free_space = [](const Disc& d) {
        const std::uint64_t at = d.bytes.size() / BLOCK - 20;
        return Expected{at, at, ""};
    };
    const std::string deep64 = "/" + deep_files[63].path;
    const std::string deep65 = deep_files[64].path.substr(0, deep_files[64].path.size() - 6);
    const std::string joliet_fallback_2 =
        "2 files that the Rock Ridge tree does not reach are named from the Joliet tree";
    const struct {
        const char* what;
        const Disc& disc;
        std::function<std::vector<Expected>(Bytes&, const Disc&)> spoil;
        std::string notes; // standard error, without the tool's prefix
    } cases[] = {
        // Rock Ridge names continued in other blocks, which part 1 and part 2
        // share up to their last characters.
        {"xorriso's long names", xorriso_long,
         [&](Bytes&, const Disc& d) {
             return std::vector<Expected>{in(d, "/" + long_name + "_part2.mkv", 1),
                                          in(d, "/" + long_name + "_dir2/inner.bin", 1)};
         },
         ""},
        {"genisoimage's long names", genisoimage_long,
         [&](Bytes&, const Disc& d) {
             return std::vector<Expected>{in(d, "/" + long_name + "_part2.mkv", 1),
                                          in(d, "/" + long_name + "_dir1/inner.bin", 1)};
         },
         ""},
        // The primary tree's folder lost: Joliet's names it; a complete tree
        // knows that free space is no file's.
        {"a zeroed Rock Ridge folder", rr_joliet,
         [&](Bytes& image, const Disc& d) {
             const std::uint64_t folder = folder_block(d.path, "/VIDEO_TS/");
             zero(image, folder);
             return std::vector<Expected>{{folder, folder, "  /VIDEO_TS/ 0x00000000-0x000007ff\n"},
                                          in(d, "/VIDEO_TS/VTS_01_1.VOB", 5),
                                          free_space(d)};
         },
         "Rock Ridge: cannot read the directory /VIDEO_TS/: its sector holds no records\n" + joliet_fallback_2 + "\n"},
        // A folder of many sectors whose first is lost: its others count;
        // what only the lost one named, no tree knows, once the Joliet copy
        // of the folder is lost as well.
        {"the first of a folder's sectors zeroed, and all of its Joliet copy", rr_joliet,
         [&](Bytes& image, const Disc& d) {
             const std::uint64_t folder = folder_block(d.path, "/BIG/");
             const std::uint64_t j = folder_block(d.path, "/BIG/", true);
             const std::uint64_t j_sectors = (image[j * BLOCK + 10] | image[j * BLOCK + 11] << 8U) / BLOCK;
             // A file named in the first sector, past "." and "..".
             const std::size_t first = folder * BLOCK + image[folder * BLOCK];
             const std::size_t lost = first + image[first];
             const std::uint64_t lost_file = image[lost + 2] | image[lost + 3] << 8U;
             zero(image, folder);
             for (std::uint64_t b = j; b < j + j_sectors; ++b)
                 zero(image, b);
             return std::vector<Expected>{{folder, folder, "  /BIG/ 0x00000000-0x000007ff\n"},
                                          {j, j + j_sectors - 1, "  (Joliet directory /BIG/)\n"},
                                          {lost_file, lost_file, "  (unknown: /BIG/ could not be read)\n"},
                                          in(d, "/" + big_name(149), 0)};
         },
         "Rock Ridge: cannot read the directory /BIG/: 1 of its 12 sectors hold no records; the others are read\n"
         "Joliet: cannot read the directory /BIG/: none of its sectors holds records\n"},
        {"a folder lost in both trees", rr_joliet,
         [&](Bytes& image, const Disc& d) {
             zero(image, folder_block(d.path, "/photos/"));
             zero(image, folder_block(d.path, "/photos/", true));
             return std::vector<Expected>{
                 {d.block("/photos/a.jpg", 1), d.block("/photos/a.jpg", 1),
                  "  (unknown: /photos/ could not be read)\n"},
                 {free_space(d).first, free_space(d).last, "  (unknown: /photos/ could not be read)\n"}};
         },
         "Rock Ridge: cannot read the directory /photos/: its sector holds no records\n"
         "Joliet: cannot read the directory /photos/: its sector holds no records\n"},
        {"a folder beyond the image's end", rr_joliet,
         [&](Bytes& image, const Disc& d) {
             point_record(image, record_of(image, folder_block(d.path, "/"), "PHOTOS"), 0x7fffffff);
             // The path table still knows where the folder lies, but not its
             // Rock Ridge name.
             return std::vector<Expected>{
                 {d.block("/photos/a.jpg", 1), d.block("/photos/a.jpg", 1), "  /PHOTOS/a.jpg 0x00000800-0x00000fff\n"}};
         },
         "Rock Ridge: cannot read the directory /photos/: it lies beyond the end of the image\n"},
        // A Rock Ridge entry of length 0 ends the record's entries: its plain
        // name shows, without ";1"; a NUL in a name is a character.
        {"a Rock Ridge entry of length 0, and a NUL in a name", rr_joliet,
         [&](Bytes& image, const Disc& d) {
             // README's NM entry of length 0: its plain name, "README.;1",
             // shows without its version and the dot of no extension.
             const std::size_t readme = record_of(image, folder_block(d.path, "/"), "README.;1");
             const std::size_t use = readme + 33 + image[readme + 32] + (image[readme + 32] % 2 == 0 ? 1 : 0);
             for (std::size_t at = use, step = 0; at + 4 <= readme + image[readme] && image[at + 2] >= 4; at += step) {
                 step = image[at + 2];
                 if (image[at] == 'N' && image[at + 1] == 'M')
                     image[at + 2] = 0;
             }
             const std::size_t jpg = record_of(image, folder_block(d.path, "/photos/"), "A.JPG;1");
             for (std::size_t at = jpg; at + 8 < jpg + image[jpg]; ++at) {
                 if (image[at] == 'N' && image[at + 1] == 'M')
                     image[at + 6] = 0; // "a\0jpg"
             }
             return std::vector<Expected>{
                 {d.block("/photos/a.jpg", 1), d.block("/photos/a.jpg", 1),
                  "  /photos/a\\x00jpg 0x00000800-0x00000fff\n"},
                 {d.block("/README", 1), d.block("/README", 1), "  /README 0x00000800-0x00000fff\n"}};
         },
         ""},
        // Joliet names: a surrogate pair is one character; a lone surrogate,
        // NUL and an odd byte are bytes; a name ending in a dot keeps it; a
        // 1-byte file counts.
        {"Joliet names", joliet,
         [&](Bytes& image, const Disc& d) {
             const std::uint64_t root = folder_block(d.path, "/", true);
             const std::size_t emoji = record_of(image, root, utf16("emoji.bin"));
             image[emoji + 33] = 0xD8, image[emoji + 34] = 0x3D, image[emoji + 35] = 0xDE, image[emoji + 36] = 0x00;
             image[record_of(image, root, utf16("lone.bin")) + 33] = 0xD8;
             image[record_of(image, root, utf16("nul.bin")) + 34] = 0;
             --image[record_of(image, root, utf16("odd.bin")) + 32];
             const std::uint64_t one = file_block(d.path, "one.byte");
             return std::vector<Expected>{
                 {d.block("/emoji.bin", 1), d.block("/emoji.bin", 1),
                  "  /\xF0\x9F\x98\x80oji.bin 0x00000800-0x00000fff\n"},
                 {d.block("/lone.bin", 1), d.block("/lone.bin", 1), "  /\\xd8\\x6cone.bin 0x00000800-0x00000fff\n"},
                 {d.block("/nul.bin", 1), d.block("/nul.bin", 1), "  /\\x00\\x00ul.bin 0x00000800-0x00000fff\n"},
                 {d.block("/odd.bin", 1), d.block("/odd.bin", 1), "  /odd.bi\\x00 0x00000800-0x00000fff\n"},
                 {d.block("/trailing.", 1), d.block("/trailing.", 1), "  /trailing. 0x00000800-0x00000fff\n"},
                 {one, one, "  /one.byte 0x00000000-0x00000000\n"}};
         },
         ""},
        // UDF lost in part or whole: ISO 9660 names the files, and the entry
        // itself is named.
        {"a zeroed UDF folder entry", bridge,
         [&](Bytes& image, const Disc&) {
             const UdfLayout udf{image};
             const std::uint64_t entry = udf.entry_of(udf.identifier("VIDEO_TS"));
             zero(image, entry);
             return std::vector<Expected>{{entry, entry, "  (UDF file entry of /VIDEO_TS/)\n"},
                                          in(bridge, "/VIDEO_TS/VTS_01_1.VOB", 5)};
         },
         "UDF: cannot read the directory /VIDEO_TS/: its file entry is not one\n"
         "2 files that the UDF tree does not reach are named from the Rock Ridge tree\n"},
        {"a zeroed UDF file entry", bridge,
         [&](Bytes& image, const Disc&) {
             const UdfLayout udf{image};
             const std::uint64_t entry = udf.entry_of(udf.identifier("VTS_01_1.VOB"));
             zero(image, entry);
             return std::vector<Expected>{{entry, entry, "  (UDF file entry of /VIDEO_TS/VTS_01_1.VOB)\n"},
                                          in(bridge, "/VIDEO_TS/VTS_01_1.VOB", 5)};
         },
         "UDF: cannot read the file /VIDEO_TS/VTS_01_1.VOB: its file entry is not one\n"
         "1 file that the UDF tree does not reach is named from the Rock Ridge tree\n"},
        {"a zeroed UDF root", bridge,
         [&](Bytes& image, const Disc&) {
             const UdfLayout udf{image};
             const std::uint64_t entry = udf.partition() + udf.root();
             zero(image, entry);
             return std::vector<Expected>{{entry, entry, "  (UDF file entry of /)\n"}, in(bridge, "/photos/a.jpg", 1)};
         },
         "UDF: cannot read the directory /: its file entry is not one\n"
         "names come from the Rock Ridge tree, since the UDF tree cannot be read\n"},
        {"a UDF partition beyond the image's end", bridge,
         [&](Bytes& image, const Disc&) {
             const UdfLayout udf{image};
             put32(image, udf.descriptor() + 188, 0x7fff0000);
             retag(image, udf.descriptor());
             return std::vector<Expected>{in(bridge, "/photos/a.jpg", 1)};
         },
         "UDF: cannot read the directory /: its partition lies beyond the end of the image\n"
         "names come from the Rock Ridge tree, since the UDF tree cannot be read\n"},
        {"a UDF folder that points back to its parent", bridge,
         [&](Bytes& image, const Disc&) {
             const UdfLayout udf{image};
             const std::size_t sub = udf.identifier("sub");
             put32(image, sub + 24, udf.entry_of(udf.identifier("photos")) - udf.partition());
             retag(image, sub);
             return std::vector<Expected>{in(bridge, "/photos/sub/c.bin", 1)};
         },
         "UDF: the directory /photos/sub/ is /photos/ again: not entered again\n"
         "1 file that the UDF tree does not reach is named from the Rock Ridge tree\n"},
        {"a UDF folder that points back to the root", bridge,
         [&](Bytes& image, const Disc&) {
             const UdfLayout udf{image};
             const std::size_t sub = udf.identifier("sub");
             put32(image, sub + 24, udf.root());
             retag(image, sub);
             return std::vector<Expected>{in(bridge, "/photos/sub/c.bin", 1)};
         },
         "UDF: the directory /photos/sub/ is / again: not entered again\n"
         "1 file that the UDF tree does not reach is named from the Rock Ridge tree\n"},
        // A file's pieces out of order, with a block between them that is no
        // one's; the ISO 9660 trees are wiped, so that UDF alone speaks.
        {"a UDF file in pieces out of order", bridge,
         [&](Bytes& image, const Disc&) {
             const UdfLayout udf{image};
             image[16 * BLOCK + 1] = image[17 * BLOCK + 1] = 'X';
             const std::uint64_t entry = udf.entry_of(udf.identifier("VTS_01_1.VOB"));
             const std::size_t fe = entry * BLOCK;
             const std::size_t ads = fe + 176 + udf.number(fe + 168, 4);
             const std::uint64_t start = udf.number(ads + 4, 4);
             const std::uint64_t pieces[3][2] = {{4, start + 4}, {4, start}, {3, start + 9}};
             for (std::size_t k = 0; k < 3; ++k) {
                 put32(image, ads + 8 * k, pieces[k][0] * BLOCK);
                 put32(image, ads + 8 * k + 4, pieces[k][1]);
             }
             put32(image, fe + 172, 24);
             put32(image, fe + 56, 11 * BLOCK);
             image[fe + 10] = static_cast<unsigned char>(176 + udf.number(fe + 168, 4) + 24 - 16);
             retag(image, fe);
             const std::uint64_t vob = udf.partition() + start;
             return std::vector<Expected>{{vob, vob, "  /VIDEO_TS/VTS_01_1.VOB 0x00002000-0x000027ff\n"},
                                          {vob + 8, vob + 8, "  (no file)\n"},
                                          {vob + 10, vob + 10, "  /VIDEO_TS/VTS_01_1.VOB 0x00004800-0x00004fff\n"}};
         },
         ""},
        // 64 levels below the root a folder is read, 65 not, in every tree.
        {"folders 64 and 65 levels deep", deep,
         [&](Bytes&, const Disc& d) {
             return std::vector<Expected>{in(d, deep64, 1),
                                          {d.block("/" + deep_files[64].path, 1), d.block("/" + deep_files[64].path, 1),
                                           "  (unknown: /" + deep65 + "/ could not be read)\n"}};
         },
         "UDF: cannot read the directory /" + deep65 + "/: it lies more than 64 levels deep: not entered\n" +
             "Rock Ridge: cannot read the directory /" + deep65 + "/: it lies more than 64 levels deep: not entered\n" +
             "Joliet: cannot read the directory /" + deep65 + "/: it lies more than 64 levels deep: not entered\n"},
    };
    for (const auto& c : cases) {
        Bytes image = c.disc.bytes;
        std::vector<Expected> runs = c.spoil(image, c.disc);
        std::sort(runs.begin(), runs.end(), [](const Expected& a, const Expected& b) { return a.first < b.first; });
        for (const Expected& run : runs)
            std::fill(image.begin() + static_cast<std::ptrdiff_t>(run.first * BLOCK),
                      image.begin() + static_cast<std::ptrdiff_t>((run.last + 1) * BLOCK), 0);
        const std::string path = write_temp_file("damaged.iso", image);
        const Outcome with = run_shell("\"$SECTORSCAN\" --files " + shell_quoted(path));
        std::string expected = header(path);
        std::istringstream report(model_report(image.data(), image.size()));
        std::size_t next = 0;
        for (std::string line; std::getline(report, line);) {
            const std::uint64_t first = std::strtoull(line.c_str(), nullptr, 16);
            while (next < runs.size() && runs[next].first < first)
                ++next;
            ASSERT_TRUE(next < runs.size() && runs[next].first == first) << c.what << ": a run not asked for: " << line;
            const Expected& run = runs[next];
            expected +=
                line + "\n" + (run.lines.empty() ? expected_lines(c.disc.truth, run.first, run.last) : run.lines);
        }
        EXPECT_EQ(with.status, 0) << c.what;
        EXPECT_EQ(with.out, expected) << c.what;
        std::string notes;
        std::istringstream said(c.notes);
        for (std::string line; std::getline(said, line);)
            notes.append("sectorscan: ").append(path).append(": --files: ").append(line).append("\n");
        EXPECT_EQ(with.err, notes) << c.what;
        unlink(path.c_str());
    }
    for (const Disc* d : {&bridge, &rr_joliet, &joliet, &xorriso_long, &genisoimage_long, &deep})
        unlink(d->path.c_str());
    run_shell("rm -rf " + shell_quoted(tree) + " " + shell_quoted(long_tree) + " " + shell_quoted(deep_tree));

    // A stream cannot be read twice: refused before the scan.
    const Outcome piped = run_shell("cat /dev/null | \"$SECTORSCAN\" --files /dev/stdin");
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.out, "");
    EXPECT_EQ(piped.err, "sectorscan: /dev/stdin: --files needs an image that can be read twice, a file or a device, "
                         "not a stream\n");
}

TEST(Files, FileOverFourGiBInTwoExtents)
{
    if (!have_tools() || run_shell("command -v isoinfo").status != 0)
        GTEST_SKIP() << "genisoimage, isoinfo and xorriso are needed";
    // A file of 4.5 GiB, in holes but for blocks that say where they are,
    // around 4 GiB: ISO 9660 level 3 puts it in two extents, the first of
    // 4 GiB less 2 KiB. The image is written sparse, in memory if it can be.
    const std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/sectorscan-test-" + std::to_string(getpid())
                                                          : write_temp_file("large", {});
    unlink(dir.c_str());
    // Removed however the test ends: 4.5 GiB of holes in memory otherwise.
    const struct Removed {
        const std::string& dir;
        ~Removed() { run_shell("rm -rf " + shell_quoted(dir)); }
    } removed{dir};
    ASSERT_EQ(run_shell("mkdir -p " + shell_quoted(dir + "/tree")).status, 0);
    const std::string huge = dir + "/tree/huge.bin";
    const std::uint64_t size = std::uint64_t{9} << 29U; // 4.5 GiB
    const std::uint64_t k = (std::uint64_t{4} << 30U) / BLOCK + 2;
    ASSERT_EQ(run_shell("truncate -s " + std::to_string(size) + " " + shell_quoted(huge)).status, 0);
    for (const std::uint64_t block : {std::uint64_t{0}, k - 1, k, k + 1}) {
        const Bytes bytes = block_of("huge.bin", block, BLOCK);
        const std::string one = write_temp_file("block", bytes);
        run_shell("dd if=" + shell_quoted(one) + " of=" + shell_quoted(huge) +
                  " bs=2048 seek=" + std::to_string(block) + " conv=notrunc status=none");
        unlink(one.c_str());
    }
    const std::string iso = dir + "/huge.iso";
    ASSERT_EQ(run_shell("xorriso -as mkisofs -quiet -iso-level 3 -R -o - " + shell_quoted(dir + "/tree") +
                        " 2>/dev/null | dd of=" + shell_quoted(iso) + " bs=1M conv=sparse status=none")
                  .status,
              0);
    // Where isoinfo says the second extent starts.
    const Outcome listing = run_shell("isoinfo -R -l -i " + shell_quoted(iso) + " | grep huge.bin");
    const std::size_t second = listing.out.find('\n') + 1;
    const std::uint64_t extent = std::strtoull(listing.out.c_str() + listing.out.find('[', second) + 1, nullptr, 10);
    const std::uint64_t first_size = std::strtoull(listing.out.c_str() + listing.out.find("4294965248"), nullptr, 10);
    ASSERT_EQ(first_size, 4294965248U) << listing.out;
    const std::uint64_t sector = extent + (k * BLOCK - first_size) / BLOCK;
    // It holds block k, which is then zeroed.
    const int fd = open(iso.c_str(), O_RDWR);
    char head[64] = {};
    ASSERT_EQ(pread(fd, head, sizeof head, static_cast<off_t>(sector * BLOCK)), 64);
    EXPECT_EQ(std::string(head, MARK.size() + 9), MARK + "huge.bin\x01") << listing.out;
    const Bytes zeros(BLOCK, 0);
    ASSERT_EQ(pwrite(fd, zeros.data(), BLOCK, static_cast<off_t>(sector * BLOCK)), static_cast<ssize_t>(BLOCK));
    close(fd);

    const Outcome o = run_shell("\"$SECTORSCAN\" --files " + shell_quoted(iso));
    EXPECT_EQ(o.status, 0) << o.err;
    char line[80];
    std::snprintf(line, sizeof line, "0x%08" PRIx64 " (0x%08" PRIx64 ")\n", sector, sector * BLOCK);
    // Its one line: the file, once.
    const std::string lines = std::string(line) + "  /huge.bin 0x100001000-0x1000017ff\n";
    const std::size_t at = o.out.find(lines);
    ASSERT_NE(at, std::string::npos) << o.out;
    EXPECT_NE(o.out.compare(at + lines.size(), 2, "  "), 0) << o.out.substr(at, 200);
}

TEST(FileMap, NamesEachFileAndStructureOfARunOnceInTheOrderItAppears)
{
    using Label = FileMap::Label;
    FileMap map;
    const FileMap::Entry folder = map.add(FileMap::ROOT, "d", true);
    map.add_extent(folder, 10 * BLOCK, BLOCK, 0);
    map.add_extent(folder, 11 * BLOCK, BLOCK, 0, Label::udf_file_entry);
    const FileMap::Entry x = map.add(folder, "x", false); // 5000 bytes: ends 904 bytes into sector 102
    map.add_extent(x, 100 * BLOCK, 5000, 0);
    for (const char* name : {"y", "b"}) { // one extent, two names
        const FileMap::Entry e = map.add(FileMap::ROOT, name, false);
        map.add_extent(e, 102 * BLOCK + 904, 4096, 0);
    }
    const FileMap::Entry scattered = map.add(FileMap::ROOT, "s", false);
    map.add_extent(scattered, 300 * BLOCK, BLOCK, BLOCK); // its second block first
    map.add_extent(scattered, 200 * BLOCK, BLOCK, 0);
    map.add_extent(scattered, 400 * BLOCK, BLOCK, 2 * BLOCK);
    map.add_extent(scattered, 190 * BLOCK, BLOCK, 3 * BLOCK); // its last block before its first
    map.add_structure(Label::volume_descriptors, 16 * BLOCK, 3 * BLOCK);
    map.add_extent(map.add(FileMap::ROOT, "nothing", true), 105 * BLOCK, 0, 0); // no bytes: not there
    map.add_structure(Label::udf_anchor, 500 * BLOCK, BLOCK);
    map.add_structure(Label::udf_anchor, 502 * BLOCK, BLOCK);
    // More files in one run than a sort does by insertion, each added
    // before the one in front of it.
    for (int i = 0; i < 20; ++i) {
        const FileMap::Entry e = map.add(FileMap::ROOT, "f" + std::to_string(100 + i), false);
        map.add_extent(e, (619 - i) * BLOCK, 1, 0);
    }
    map.finish();
    std::string twenty;
    for (int i = 19; i >= 0; --i)
        twenty += "/f" + std::to_string(100 + i) + " 0x00000000-0x00000000|";
    const struct {
        std::uint64_t first, last; // sectors
        std::string lines;
    } cases[] = {
        {10, 11, "/d/ 0x00000000-0x000007ff|(UDF file entry of /d/)|"},
        {101, 101, "/d/x 0x00000800-0x00000fff|"},
        {102, 102, "/d/x 0x00001000-0x00001387|/b 0x00000000-0x00000477|/y 0x00000000-0x00000477|"},
        {103, 150, "/b 0x00000478-0x00000fff|/y 0x00000478-0x00000fff|"},
        {104, 189, "/b 0x00000c78-0x00000fff|/y 0x00000c78-0x00000fff|"},
        {105, 189, "(no file)|"},
        {200, 300, "/s 0x00000000-0x00000fff|"},
        {250, 450, "/s 0x00000800-0x000017ff|"},
        {190, 200, "/s 0x00000000-0x00001fff|"},
        {9, 300,
         "/d/ 0x00000000-0x000007ff|(UDF file entry of /d/)|(volume descriptors)|/d/x 0x00000000-0x00001387|"
         "/b 0x00000000-0x00000fff|/y 0x00000000-0x00000fff|/s 0x00000000-0x00001fff|"},
        {499, 503, "(UDF anchor)|"},
        {600, 619, twenty},
    };
    const auto lines = [](const FileMap& m, std::uint64_t first, std::uint64_t last) {
        std::string joined;
        for (const std::string& line : m.describe(first * BLOCK, (last + 1) * BLOCK))
            joined += line + "|";
        return joined;
    };
    for (const auto& c : cases)
        EXPECT_EQ(lines(map, c.first, c.last), c.lines) << c.first << "-" << c.last;

    // Where part of a file system could not be read, blocks of no known file
    // are unknown; a block that a file holds only in part is held.
    for (const int lost : {1, 2, 5}) {
        FileMap partial;
        const FileMap::Entry file = partial.add(FileMap::ROOT, "a", false);
        partial.add_extent(file, 10 * BLOCK, BLOCK + 1, 0);
        for (int k = 0; k < lost; ++k) {
            partial.unreadable(partial.add(FileMap::ROOT, "lost" + std::to_string(k), true));
            partial.unreadable(FileMap::Entry{2}); // said once
        }
        partial.set_complete(false);
        partial.finish();
        const std::string said = lost == 1   ? "(unknown: /lost0/ could not be read)|"
                                 : lost == 2 ? "(unknown: /lost0/, /lost1/ could not be read)|"
                                             : "(unknown: /lost0/, /lost1/, /lost2/ and 2 more could not be read)|";
        EXPECT_EQ(lines(partial, 10, 11), "/a 0x00000000-0x00000800|") << lost;
        EXPECT_EQ(lines(partial, 10, 12), "/a 0x00000000-0x00000800|" + said) << lost;
        EXPECT_EQ(lines(partial, 20, 20), said) << lost;
    }

    // Against a look at every extent, over overlapping extents of every size.
    std::mt19937 random(5); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same map every run
    FileMap many;
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> extents;
    for (int i = 0; i < 500; ++i) {
        const FileMap::Entry e = many.add(FileMap::ROOT, std::to_string(i), false);
        const std::uint64_t from = random() % 100000 * BLOCK;
        const std::uint64_t length = (1 + random() % (i % 10 == 0 ? 50000 : 500)) * BLOCK;
        many.add_extent(e, from, length, 0);
        extents.emplace_back(from, from + length, std::string("/").append(std::to_string(i)));
    }
    many.finish();
    for (int q = 0; q < 500; ++q) {
        const std::uint64_t from = random() % 100000 * BLOCK;
        const std::uint64_t to = from + (1 + random() % 3000) * BLOCK;
        std::vector<std::string> expected;
        for (const auto& [a, b, name] : extents) {
            if (a < to && b > from)
                expected.push_back(name);
        }
        std::vector<std::string> found;
        for (const std::string& line : many.describe(from, to)) {
            if (line != "(no file)")
                found.push_back(line.substr(0, line.find(' ')));
        }
        std::sort(expected.begin(), expected.end());
        std::sort(found.begin(), found.end());
        ASSERT_EQ(found, expected) << from << "-" << to;
    }
}

TEST(Files, BlockDeviceReportsLikeItsFile)
{
    if (!have_tools())
        GTEST_SKIP() << "genisoimage and xorriso are needed";
    const std::vector<TreeFile> files = {{"VIDEO_TS/VTS_01_1.VOB", 30 * BLOCK}, {"VIDEO_TS/VTS_01_2.VOB", 9 * BLOCK}};
    const std::string tree = temp_tree("device-tree", files);
    const std::string iso = write_temp_file("device.iso", {});
    Bytes bytes = make_image("genisoimage -quiet -udf -R -J", tree, iso);
    ASSERT_FALSE(bytes.empty());
    const std::uint64_t vob = sector_of(locate(bytes, files), "/VIDEO_TS/VTS_01_1.VOB", 29);
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(vob * BLOCK), 2 * BLOCK, 0);
    write_file(iso, bytes);
    const Outcome attached = run_shell("losetup -f --show " + shell_quoted(iso));
    if (attached.status != 0) {
        run_shell("rm -rf " + shell_quoted(tree) + " " + shell_quoted(iso));
        GTEST_SKIP() << "a loop device is needed (losetup, as root): " << attached.err;
    }
    const std::string device = attached.out.substr(0, attached.out.find('\n'));
    // A disk that rotates (by what its queue says: a loop device's follows
    // its backing file's) is read in order, by one reader.
    ImageInput input;
    ASSERT_FALSE(open_image(device.c_str(), input));
    struct stat info {};
    ASSERT_EQ(stat(device.c_str(), &info), 0);
    const bool rotates = read_file("/sys/dev/block/" + std::to_string(major(info.st_rdev)) + ":" +
                                   std::to_string(minor(info.st_rdev)) + "/queue/rotational") == "1\n";
    EXPECT_EQ(input.reads_in_order(), rotates);
    EXPECT_EQ(plan_reading(4, &input).readers, rotates ? 1U : 4U);
    const Outcome from_file = run_shell("\"$SECTORSCAN\" --files " + shell_quoted(iso));
    const Outcome from_device = run_shell("\"$SECTORSCAN\" --files " + shell_quoted(device));
    run_shell("losetup -d " + shell_quoted(device));
    EXPECT_EQ(from_device.status, 0) << from_device.err;
    EXPECT_EQ(from_device.out.substr(header(device).size()), from_file.out.substr(header(iso).size()));
    EXPECT_NE(from_file.out.find("  /VIDEO_TS/VTS_01_1.VOB 0x0000e800-0x0000efff\n"
                                 "  /VIDEO_TS/VTS_01_2.VOB 0x00000000-0x000007ff\n"),
              std::string::npos)
        << from_file.out;
    run_shell("rm -rf " + shell_quoted(tree) + " " + shell_quoted(iso));
}
