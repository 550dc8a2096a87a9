// --files: the files that each run damages, on images made by genisoimage
// and xorriso, held against the truth that the files' own blocks tell: each
// block of a test file begins with its path and its number.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
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
        text += "  " + escaped_name(line.path) + numbers;
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
// isoinfo lists it: the extent of its "." entry.
std::uint64_t folder_block(const std::string& image, const std::string& folder)
{
    const Outcome listing = run_shell("isoinfo -R -l -i " + shell_quoted(image));
    const std::size_t at = listing.out.find("Directory listing of " + folder + "\n");
    const std::size_t open = listing.out.find('[', at);
    return at == std::string::npos ? 0 : std::strtoull(listing.out.c_str() + open + 1, nullptr, 10);
}

// The directory record named `name` (its ISO 9660 name) in the folder that
// begins at `block`: its offset in the image.
std::size_t record_of(const Bytes& image, std::uint64_t block, const std::string& name)
{
    for (std::size_t at = block * BLOCK; at < (block + 1) * BLOCK && image[at] != 0; at += image[at]) {
        if (std::string(reinterpret_cast<const char*>(&image[at + 33]), image[at + 32]) == name)
            return at;
    }
    ADD_FAILURE() << name << " is not in the folder at block " << block;
    return 0;
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
    // The first block of the partition, from its partition descriptor.
    std::uint64_t partition() const
    {
        for (std::size_t block = 16; block < 512 && (block + 1) * BLOCK <= image.size(); ++block) {
            if (number(block * BLOCK, 2) == 5)
                return number(block * BLOCK + 188, 4);
        }
        return 0;
    }
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
    // The partition's block of the file entry an identifier points to.
    std::uint64_t entry_of(std::size_t identifier) const { return number(identifier + 24, 4); }
    // The partition's block of the root's file entry, from the file set
    // descriptor (tag 256) at the partition's start.
    std::uint64_t root() const { return number(partition() * BLOCK + 404, 4); }
};

// Points the record at `record` to the folder at `block` (its extent is
// written both ways round, as ISO 9660 has it).
void point_record(Bytes& image, std::size_t record, std::uint64_t block)
{
    for (int byte = 0; byte < 4; ++byte) {
        image[record + 2 + byte] = static_cast<unsigned char>(block >> (8 * byte));
        image[record + 9 - byte] = static_cast<unsigned char>(block >> (8 * byte));
    }
}

} // namespace

TEST(Files, UntrustedFileSystemsGiveTheWholeReport)
{
    if (!have_tools())
        GTEST_SKIP() << "genisoimage and xorriso are needed";
    const std::vector<TreeFile> files = {
        {"a.bin", 3 * BLOCK}, {"DATA/b.bin", 4 * BLOCK}, {"DATA/sub/c.bin", 2 * BLOCK}};
    const std::string tree = temp_tree("bad-tree", files);
    const std::string iso = write_temp_file("bad.iso", {});
    const Bytes pristine = make_image("genisoimage -quiet -R -J", tree, iso);
    ASSERT_FALSE(pristine.empty());
    const std::uint64_t root = folder_block(iso, "/");
    const std::uint64_t data = folder_block(iso, "/DATA/");
    ASSERT_GT(data, 0U);
    // The runs: in b.bin and in c.bin, under the folders that may be lost.
    const Truth truth = locate(pristine, files);
    const std::uint64_t b = sector_of(truth, "/DATA/b.bin", 1);
    const std::uint64_t c = sector_of(truth, "/DATA/sub/c.bin", 1);
    Bytes random_bytes(64 * BLOCK);
    for (std::size_t i = 0; i < random_bytes.size(); ++i)
        random_bytes[i] = static_cast<unsigned char>(1 + (i * 7919) % 251);

    const struct {
        const char* what;
        std::function<void(Bytes&)> spoil;
        std::string note; // "" for none
        bool files_found; // b.bin and c.bin are still named
    } cases[] = {
        {"a zeroed folder",
         [&](Bytes& image) { std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(data * BLOCK), BLOCK, 0); },
         "cannot read the directory /DATA/: it does not begin with its own record", false},
        {"a folder that points back to its parent",
         [&](Bytes& image) { point_record(image, record_of(image, data, "SUB"), data); },
         "the directory /DATA/sub/ is /DATA/ again: not entered again", false},
        {"a folder that points back to the root",
         [&](Bytes& image) { point_record(image, record_of(image, data, "SUB"), root); },
         "the directory /DATA/sub/ is / again: not entered again", false},
        {"a name that runs past its record", [&](Bytes& image) { image[record_of(image, data, "SUB") + 32] = 200; },
         "cannot read the directory /DATA/: a name runs past the end of its record", false},
        {"a folder beyond the end of the image",
         [&](Bytes& image) { point_record(image, record_of(image, root, "DATA"), 0x7fffffff); },
         "cannot read the directory /DATA/: it lies beyond the end of the image", false},
        {"no file system", [&](Bytes& image) { std::copy(random_bytes.begin(), random_bytes.end(), image.begin()); },
         "no UDF or ISO 9660 file system found; every run is followed by (no file)", false},
    };
    for (const auto& c_ : cases) {
        Bytes image = pristine;
        c_.spoil(image);
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(b * BLOCK), BLOCK, 0);
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(c * BLOCK), BLOCK, 0);
        const std::string path = write_temp_file("spoilt.iso", image);
        const Outcome with = run_shell("\"$SECTORSCAN\" --files " + shell_quoted(path));
        const Outcome without = run_shell("\"$SECTORSCAN\" " + shell_quoted(path));
        EXPECT_EQ(with.status, 0) << c_.what;
        EXPECT_EQ(without_file_lines(with.out), without.out) << c_.what;
        EXPECT_EQ(with.err, "sectorscan: " + path + ": --files: " + c_.note + "\n") << c_.what;
        EXPECT_EQ(with.out.find("/DATA/sub/c.bin") != std::string::npos, c_.files_found) << c_.what << with.out;
        unlink(path.c_str());
    }

    // The same in UDF, the names a DVD's bridge gives: the libraries' words
    // follow the tool's, as its own.
    const Bytes udf_pristine = make_image("genisoimage -quiet -udf", tree, iso);
    const UdfLayout udf{udf_pristine};
    const std::size_t data_id = udf.identifier("DATA");
    const std::size_t sub_id = udf.identifier("sub");
    ASSERT_TRUE(udf.partition() > 0 && data_id > 0 && sub_id > 0);
    const std::uint64_t c_udf = sector_of(locate(udf_pristine, files), "/DATA/sub/c.bin", 1);
    const auto point = [](Bytes& image, std::size_t identifier, std::uint64_t block) {
        for (std::size_t byte = 0; byte < 4; ++byte)
            image[identifier + 24 + byte] = static_cast<unsigned char>(block >> (8 * byte));
    };
    const struct {
        const char* what;
        std::function<void(Bytes&)> spoil;
        std::string note; // the first line
    } udf_cases[] = {
        {"a zeroed UDF folder",
         [&](Bytes& image) {
             const std::uint64_t at = (udf.partition() + udf.entry_of(data_id)) * BLOCK;
             std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(at), BLOCK, 0);
         },
         "cannot read the directory /DATA/"},
        {"a UDF folder that points back to its parent",
         [&](Bytes& image) { point(image, sub_id, udf.entry_of(data_id)); },
         "the directory /DATA/sub/ is /DATA/ again: not entered again"},
        {"a UDF folder that points back to the root", [&](Bytes& image) { point(image, sub_id, udf.root()); },
         "the directory /DATA/sub/ is / again: not entered again"},
    };
    for (const auto& c_ : udf_cases) {
        Bytes image = udf_pristine;
        c_.spoil(image);
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(c_udf * BLOCK), BLOCK, 0);
        write_file(iso, image);
        const Outcome with = run_shell("\"$SECTORSCAN\" --files " + shell_quoted(iso));
        EXPECT_EQ(with.status, 0) << c_.what;
        EXPECT_EQ(without_file_lines(with.out), run_shell("\"$SECTORSCAN\" " + shell_quoted(iso)).out) << c_.what;
        const std::string said = "sectorscan: " + iso + ": --files: ";
        EXPECT_EQ(with.err.substr(0, with.err.find('\n') + 1), said + c_.note + "\n") << c_.what;
        // Only a folder that cannot be read has the library's words to add.
        EXPECT_EQ(with.err.find("\n" + said + "libudfread: ERROR: ") != std::string::npos, c_.note.find("cannot") == 0)
            << c_.what << with.err;
        EXPECT_NE(with.out.find("  (no file)\n"), std::string::npos) << c_.what << with.out;
        EXPECT_EQ(with.out.find("/DATA/sub/c.bin"), std::string::npos) << c_.what << with.out;
    }

    // A stream cannot be read twice: refused before the scan.
    const Outcome piped = run_shell("cat " + shell_quoted(iso) + " | \"$SECTORSCAN\" --files /dev/stdin");
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.out, "");
    EXPECT_EQ(
        piped.err,
        "sectorscan: /dev/stdin: --files needs an image that can be read twice, a file or a device, not a stream\n");
    unlink(iso.c_str());
    run_shell("rm -rf " + shell_quoted(tree));
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
    run_shell("rm -rf " + shell_quoted(dir));
}

TEST(FileMap, FindsEachFileOfARunOnceInTheOrderItAppears)
{
    FileMap map;
    const FileMap::Entry folder = map.add(FileMap::ROOT, "d", true);
    map.add_extent(folder, 10 * BLOCK, BLOCK, 0);
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
    map.finish();
    const struct {
        std::uint64_t first, last; // sectors
        const char* lines;
    } cases[] = {
        {10, 10, "/d/ 0x0-0x7ff"},
        {101, 101, "/d/x 0x800-0xfff"},
        {102, 102, "/d/x 0x1000-0x1387 /b 0x0-0x477 /y 0x0-0x477"},
        {103, 150, "/b 0x478-0xfff /y 0x478-0xfff"},
        {104, 189, "/b 0xc78-0xfff /y 0xc78-0xfff"},
        {105, 189, ""},
        {200, 300, "/s 0x0-0xfff"},
        {250, 450, "/s 0x800-0x17ff"},
        {190, 200, "/s 0x0-0x1fff"},
        {0, 9, ""},
    };
    for (const auto& c : cases) {
        std::string lines;
        for (const FileMap::Hit& hit : map.files_in(c.first * BLOCK, (c.last + 1) * BLOCK)) {
            char range[48];
            std::snprintf(range, sizeof range, " 0x%" PRIx64 "-0x%" PRIx64, hit.first, hit.last);
            if (!lines.empty())
                lines += ' ';
            lines += map.path(hit.entry);
            lines += range;
        }
        EXPECT_EQ(lines, c.lines) << c.first << "-" << c.last;
    }
    // C1 controls (U+0080 to U+009F) too, in UTF-8 as in the terminal.
    EXPECT_EQ(escaped_name("a\nb\\c\x7f\xc2\x80\xc2\x9f\xc2\xa0\xc3\xa9"),
              "a\\x0ab\\x5cc\\x7f\\xc2\\x80\\xc2\\x9f\xc2\xa0\xc3\xa9");

    // Against a look at every extent, over overlapping extents of every size.
    std::mt19937 random(5); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same map every run
    FileMap many;
    std::vector<std::tuple<std::uint64_t, std::uint64_t, FileMap::Entry>> extents;
    for (int i = 0; i < 500; ++i) {
        const FileMap::Entry e = many.add(FileMap::ROOT, std::to_string(i), false);
        const std::uint64_t from = random() % 100000;
        const std::uint64_t length = 1 + random() % (i % 10 == 0 ? 50000 : 500);
        many.add_extent(e, from, length, 0);
        extents.emplace_back(from, from + length, e);
    }
    many.finish();
    for (int q = 0; q < 500; ++q) {
        const std::uint64_t from = random() % 100000;
        const std::uint64_t to = from + 1 + random() % 3000;
        std::vector<FileMap::Entry> expected;
        for (const auto& [a, b, e] : extents) {
            if (a < to && b > from)
                expected.push_back(e);
        }
        std::vector<FileMap::Entry> found;
        for (const FileMap::Hit& hit : many.files_in(from, to))
            found.push_back(hit.entry);
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
