// The ddrescue mapfile end to end: the command line, what ddrescue makes of
// the file, every kind of input, and an existing mapfile that survives any
// scan that does not finish.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <random>

#include "cli_run.h"
#include "fault_mount.h"
#include "model_report.h"
#include "test_images.h"

namespace {

// Data of every byte value but runs of zeros: sectors 100, 1023 to 1025
// (across the first 2 MiB piece boundary) and 2000 to 2100 are empty, and a
// partial sector follows the last whole one.
Bytes disc_with_gaps(bool zeroed)
{
    std::mt19937 random(7); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same disc every time
    Bytes bytes(std::size_t{3000} * 2048 + 300);
    for (unsigned char& b : bytes)
        b = static_cast<unsigned char>(1 + random() % 255);
    if (zeroed) {
        for (const auto& [first, last] : {std::pair{100L, 100L}, std::pair{1023L, 1025L}, std::pair{2000L, 2100L}})
            std::fill(bytes.begin() + first * 2048, bytes.begin() + (last + 1) * 2048, 0);
    }
    return bytes;
}

bool has_ddrescue()
{
    return run_shell("command -v ddrescue && command -v ddrescuelog").status == 0;
}

// Files in the folder of `path` whose names start with its name, itself
// included: a temporary file left behind would show here.
int files_named_like(const std::string& path)
{
    const std::string folder = path.substr(0, path.rfind('/'));
    const std::string name = path.substr(path.rfind('/') + 1);
    int count = 0;
    DIR* dir = opendir(folder.c_str());
    while (const dirent* entry = readdir(dir))
        count += std::string(entry->d_name).rfind(name, 0) == 0 ? 1 : 0;
    closedir(dir);
    return count;
}

} // namespace

TEST(CliMapfile, OptionBeforeOrAfterTheImageAndUsageErrors)
{
    const Bytes bytes = image_from_pattern("DZDZZDZ");
    const std::string image = write_temp_file("options.img", bytes);
    const std::string map = write_temp_file("options.map", {});
    unlink(map.c_str());
    const std::string report = "0x00000001 (0x00000800)\n0x00000003-0x00000004 (0x00001800)\n";
    for (const std::string& arguments : {"--mapfile " + shell_quoted(map) + " " + shell_quoted(image),
                                         shell_quoted(image) + " --mapfile " + shell_quoted(map),
                                         shell_quoted(image) + " extra --mapfile=" + shell_quoted(map)}) {
        const Outcome o = run_shell("\"$SECTORSCAN\" " + arguments);
        EXPECT_EQ(o.status, 0) << arguments << ": " << o.err;
        EXPECT_EQ(o.out, header(image) + report) << arguments;
        const std::string written = read_file(map);
        EXPECT_EQ(mapfile_blocks(written), model_mapfile_blocks(report, bytes.size(), bytes.size())) << arguments;
        EXPECT_NE(written.find("# Mapfile. Created by sectorscan " SECTORSCAN_VERSION "\n# Image: " + image + "\n"),
                  std::string::npos)
            << written;
        unlink(map.c_str());
    }

    // Usage errors: nothing is scanned and no mapfile is made.
    for (const std::string& arguments : {shell_quoted(image) + " --mapfile", "--mapfile - " + shell_quoted(image),
                                         "--mapfile=a.map --mapfile " + shell_quoted(map) + " " + shell_quoted(image),
                                         "--mapfile " + shell_quoted(map)}) {
        const Outcome o = run_shell("\"$SECTORSCAN\" " + arguments);
        EXPECT_EQ(o.status, 2) << arguments;
        EXPECT_EQ(o.out, "") << arguments;
        EXPECT_NE(o.err, "") << arguments;
        EXPECT_NE(access(map.c_str(), F_OK), 0) << arguments;
    }

    // A mapfile that cannot be made fails before the scan, and so does one
    // that would replace the image.
    const Outcome missing = run_shell("\"$SECTORSCAN\" --mapfile /nonexistent/x.map " + shell_quoted(image));
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "sectorscan: /nonexistent/x.map: cannot write the mapfile: No such file or directory\n");
    const Outcome itself = run_shell("\"$SECTORSCAN\" --mapfile " + shell_quoted(image) + " " + shell_quoted(image));
    EXPECT_EQ(itself.status, 1);
    EXPECT_EQ(itself.out, "");
    EXPECT_EQ(read_file(image), std::string(bytes.begin(), bytes.end()));
    unlink(image.c_str());
}

TEST(CliMapfile, DdrescueRefillsTheGapsFromTheDisc)
{
    if (!has_ddrescue())
        GTEST_SKIP() << "ddrescue and ddrescuelog (Debian package gddrescue) are needed";
    const std::string disc = write_temp_file("disc.bin", disc_with_gaps(false));
    const std::string rip = write_temp_file("rip.img", disc_with_gaps(true));
    const std::string map = write_temp_file("rip.map", {});
    // The README's workflow: scan with a mapfile, let ddrescue read the
    // areas not tried from the disc into the image, scan again.
    const Outcome scan = run_shell("\"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(rip));
    EXPECT_EQ(scan.out, header(rip) + "0x00000064 (0x00032000)\n0x000003ff-0x00000401 (0x001ff800)\n"
                                      "0x000007d0-0x00000834 (0x003e8000)\n");
    EXPECT_EQ(run_shell("ddrescuelog -t " + shell_quoted(map)).status, 0);
    const Outcome rescue =
        run_shell("ddrescue " + shell_quoted(disc) + " " + shell_quoted(rip) + " " + shell_quoted(map));
    EXPECT_EQ(rescue.status, 0) << rescue.err;
    EXPECT_EQ(read_file(rip), read_file(disc));
    EXPECT_EQ(run_shell("\"$SECTORSCAN\" " + shell_quoted(rip)).out, header(rip));

    // ddrescuelog reads the mapfile of an empty image and of a scan cut short.
    const std::string empty = write_temp_file("empty.img", {});
    EXPECT_EQ(run_shell("\"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(empty)).status, 0);
    EXPECT_EQ(run_shell("ddrescuelog -t " + shell_quoted(map)).status, 0);
    std::string why;
    if (const FaultFs* fs = FaultFs::get(why)) {
        const std::string failing = fs->add("eio=4194304", "rip.img", disc_with_gaps(true));
        EXPECT_EQ(run_shell("\"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(failing)).status, 1);
        EXPECT_EQ(run_shell("ddrescuelog -t " + shell_quoted(map)).status, 0);
    }
    for (const std::string& path : {disc, rip, map, empty})
        unlink(path.c_str());
}

TEST(CliMapfile, ScanCutShortOrStoppedLeavesNoPartialMapfile)
{
    REQUIRE_FAULT_FS(fs);
    const Bytes bytes = disc_with_gaps(true);
    const std::string image = fs->add("eio=4194304", "cut.img", bytes);
    const std::string map = write_temp_file("cut.map", {});
    // The read fails 4 MiB in, inside the run that starts at sector 2000:
    // whether that run is reported depends on bytes not read, so it is not
    // tried, like the bytes after it, and standard error says so.
    const Outcome cut = run_shell("\"$SECTORSCAN\" " + shell_quoted(image) + " --mapfile " + shell_quoted(map));
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.out, header(image) +
                           "0x00000064 (0x00032000)\n0x000003ff-0x00000401 (0x001ff800)\n"
                           " Error reading file: " +
                           image + "\n");
    const std::string report = cut.out.substr(header(image).size(), cut.out.rfind(" Error") - header(image).size());
    EXPECT_EQ(mapfile_blocks(read_file(map)), model_mapfile_blocks(report, std::uint64_t{2000} * 2048, bytes.size()));
    EXPECT_NE(cut.err.find(map + ": the scan was cut short; bytes 0x003e8000 to 0x005dc12c are marked not tried"),
              std::string::npos)
        << cut.err;

    // A scan killed midway: the mapfile there before is as it was, and a
    // signal that can be caught leaves nothing beside it. SIGINT reaches a
    // job in the background only with job control on.
    const struct {
        const char* signal;
        const char* status;
        int files;
    } kills[] = {{"TERM", "status 143", 1},
                 {"HUP", "status 129", 1},
                 {"INT", "status 130", 1},
                 {"PIPE", "status 141", 1},
                 {"KILL", "status 137", 2}};
    for (const auto& k : kills) {
        write_file(map, {'o', 'l', 'd', '\n'});
        const Outcome killed =
            run_shell("set -m; taskset -c 0 \"$SECTORSCAN\" " +
                      shell_quoted(fs->path("short=65536,delay=20000", "cut.img")) + " --mapfile " + shell_quoted(map) +
                      " >/dev/null & pid=$!; sleep 0.5; kill -" + k.signal + " $pid; wait $pid; echo \"status $?\"");
        EXPECT_EQ(killed.out.substr(killed.out.find("status")), std::string(k.status) + "\n") << k.signal;
        EXPECT_EQ(read_file(map), "old\n") << k.signal;
        EXPECT_EQ(files_named_like(map), k.files) << k.signal;
    }
    run_shell("rm -f " + shell_quoted(map) + "*");
}

TEST(CliMapfile, PipesAndSparseFilesGiveTheMapfileOfTheSameBytes)
{
    // A hole across piece boundaries and a partial sector at the end, as a
    // sparse file, a plain file and a pipe.
    Bytes bytes;
    const std::size_t size = std::size_t{3072} * 2048 + 300;
    const std::size_t tail = std::size_t{2101} * 2048;
    const std::string sparse =
        sparse_file("sparse.img", size, {{0, std::size_t{1000} * 2048}, {tail, size - tail}}, bytes);
    const std::string dense = write_temp_file("dense.img", bytes);
    const std::string map = write_temp_file("input.map", {});
    const std::string expected =
        model_mapfile_blocks(model_report(bytes.data(), bytes.size()), bytes.size(), bytes.size());
    for (const std::string& command :
         {"\"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(dense),
          "\"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(sparse),
          "cat " + shell_quoted(dense) + " | \"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " /dev/stdin"}) {
        EXPECT_EQ(run_shell(command).status, 0) << command;
        EXPECT_EQ(mapfile_blocks(read_file(map)), expected) << command;
    }
    for (const std::string& path : {dense, sparse, map})
        unlink(path.c_str());
}
