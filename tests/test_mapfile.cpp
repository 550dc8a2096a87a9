// The ddrescue mapfile end to end: the command line, what ddrescue makes of
// the file, every kind of input, and an existing mapfile that survives any
// scan that does not finish.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <sstream>

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
                                         shell_quoted(image) + " --mapfile=" + shell_quoted(map)}) {
        const Outcome o = run_shell("\"$SECTORSCAN\" " + arguments);
        EXPECT_EQ(o.status, 0) << arguments << ": " << o.err;
        EXPECT_EQ(o.out, header(image) + report) << arguments;
        EXPECT_EQ(o.err, "") << arguments; // a complete scan has nothing to say
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

    unlink(image.c_str());
}

TEST(CliMapfile, WhereItIsWrittenAndWhatItRefusesBeforeTheScan)
{
    const Bytes bytes = image_from_pattern("DZDZZDZ");
    const std::string image = write_temp_file("places.img", bytes);
    const std::string dir = write_temp_file("places", {});
    unlink(dir.c_str());
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::string blocks =
        model_mapfile_blocks(model_report(bytes.data(), bytes.size()), bytes.size(), bytes.size());
    const std::string q_image = shell_quoted(image);
    const std::string q_dir = shell_quoted(dir);
    const std::string long_name = std::string(250, 'm');
    const std::string too_long = std::string(256, 'm');
    const bool root = geteuid() == 0;
    // Each case: a shell command that prepares the place and runs the tool
    // with MAP as it says, the status, the end of standard error, and the
    // file that must then hold the mapfile ("" for none).
    const struct {
        const char* what;
        std::string command;
        int status;
        std::string err_end;
        std::string written;
    } cases[] = {
        {"a bare name, with the usual mode",
         "cd " + q_dir + " && umask 022 && \"$SECTORSCAN\" --mapfile disc.map " + q_image, 0, "", dir + "/disc.map"},
        {"a name of 250 bytes", "\"$SECTORSCAN\" --mapfile " + q_dir + "/" + long_name + " " + q_image, 0, "",
         dir + "/" + long_name},
        {"a link to a file: the file is replaced, the link stays",
         "echo old >" + q_dir + "/target.map && ln -s target.map " + q_dir + "/link.map && \"$SECTORSCAN\" --mapfile " +
             q_dir + "/link.map " + q_image + " && test -L " + q_dir + "/link.map",
         0, "", dir + "/target.map"},
        {"a name of 256 bytes", "\"$SECTORSCAN\" --mapfile " + q_dir + "/" + too_long + " " + q_image, 1,
         "File name too long\n", ""},
        {"a folder that is not there", "\"$SECTORSCAN\" --mapfile /nonexistent/x.map " + q_image, 1,
         ": No such file or directory\n", ""},
        {"a folder", "\"$SECTORSCAN\" --mapfile " + q_dir + " " + q_image, 1, ": Is a directory\n", ""},
        {"a FIFO",
         "mkfifo " + q_dir + "/fifo.map && \"$SECTORSCAN\" --mapfile " + q_dir + "/fifo.map " + q_image +
             "; s=$?; test -p " + q_dir + "/fifo.map && exit $s",
         1, "not a regular file, which the mapfile would replace\n", ""},
        {"/dev/null", "\"$SECTORSCAN\" --mapfile /dev/null " + q_image + "; s=$?; test -c /dev/null && exit $s", 1,
         "not a regular file, which the mapfile would replace\n", ""},
        {"the image itself", "\"$SECTORSCAN\" --mapfile " + q_image + " " + q_image, 1, "the image itself\n", ""},
        {"a link that leads nowhere",
         "ln -s nothing " + q_dir + "/dangling.map && \"$SECTORSCAN\" --mapfile " + q_dir + "/dangling.map " + q_image,
         1, "a symbolic link that leads nowhere\n", ""},
        {"a loop of links",
         "ln -s b.map " + q_dir + "/a.map && ln -s a.map " + q_dir + "/b.map && \"$SECTORSCAN\" --mapfile " + q_dir +
             "/a.map " + q_image,
         1, "Too many levels of symbolic links\n", ""},
        {"what standard output writes to", "\"$SECTORSCAN\" --mapfile /dev/stdout " + q_image + " >" + q_dir + "/out",
         1, "standard output, which holds the report, writes to this file\n", ""},
        {"what standard error writes to",
         "\"$SECTORSCAN\" --mapfile " + q_dir + "/err " + q_image + " 2>>" + q_dir + "/err; s=$?; cat " + q_dir +
             "/err >&2; exit $s",
         1, "standard error writes to this file\n", ""},
    };
    for (const auto& c : cases) {
        const Outcome o = run_shell(c.command);
        EXPECT_EQ(o.status, c.status) << c.what << ": " << o.err;
        EXPECT_TRUE(o.err.ends_with(c.err_end)) << c.what << ": " << o.err;
        if (c.written.empty()) {
            // Refused before anything is read: no report, nothing written.
            EXPECT_EQ(o.out, "") << c.what;
        } else {
            EXPECT_EQ(o.out, header(image) + model_report(bytes.data(), bytes.size())) << c.what;
            EXPECT_EQ(mapfile_blocks(read_file(c.written)), blocks) << c.what;
            if (has_ddrescue()) {
                EXPECT_EQ(run_shell("ddrescuelog -t " + shell_quoted(c.written)).status, 0) << c.what;
            }
        }
        EXPECT_EQ(run_shell("ls -A " + q_dir + " | grep -c '[.][A-Za-z0-9]\\{6\\}$'").out, "0\n") << c.what;
    }
    struct stat made {};
    EXPECT_EQ(stat((dir + "/disc.map").c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 0777, 0644U);
    // A file in the root folder, whose name has no folder in front of it.
    if (root) {
        const std::string top = "/sectorscan-test-" + std::to_string(getpid()) + ".map";
        EXPECT_EQ(run_shell("\"$SECTORSCAN\" --mapfile " + top + " " + q_image).status, 0);
        EXPECT_EQ(mapfile_blocks(read_file(top)), blocks);
        unlink(top.c_str());
    }

    run_shell("rm -rf " + q_dir);
    unlink(image.c_str());
}

TEST(CliMapfile, AnotherUsersFileInAStickyFolderIsRefusedBeforeTheScan)
{
    if (geteuid() != 0 || run_shell("command -v setpriv").status != 0)
        GTEST_SKIP() << "needs root, to make another user's file, and setpriv(1), to be that user";
    // In a folder like /tmp, a file of another user cannot be replaced: found
    // out before the scan, not after it.
    const std::string image = write_temp_file("sticky.img", image_from_pattern("DZDZZDZ"));
    const std::string dir = write_temp_file("sticky", {});
    unlink(dir.c_str());
    const Outcome o = run_shell("mkdir -m 1777 " + shell_quoted(dir) + " && echo old >" + shell_quoted(dir) +
                                "/root.map && chmod 666 " + shell_quoted(dir) + "/root.map && chmod 644 " +
                                shell_quoted(image) + " && setpriv --reuid=nobody --regid=nogroup --clear-groups " +
                                "\"$SECTORSCAN\" --mapfile " + shell_quoted(dir) + "/root.map " + shell_quoted(image));
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(o.err.ends_with("its folder lets only owners replace files (sticky)\n")) << o.err;
    EXPECT_EQ(read_file(dir + "/root.map"), "old\n");
    // The user's own file there is the user's to replace.
    const Outcome own = run_shell("setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c 'echo old >" +
                                  shell_quoted(dir) + "/own.map && \"$SECTORSCAN\" --mapfile " + shell_quoted(dir) +
                                  "/own.map " + shell_quoted(image) + "'");
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_NE(read_file(dir + "/own.map"), "old\n");
    // Root may replace anybody's file there, in a folder of anybody's.
    const Outcome as_root =
        run_shell("chown nobody " + shell_quoted(dir) + " " + shell_quoted(dir) +
                  "/root.map && \"$SECTORSCAN\" --mapfile " + shell_quoted(dir) + "/root.map " + shell_quoted(image));
    EXPECT_EQ(as_root.status, 0) << as_root.err;
    EXPECT_NE(read_file(dir + "/root.map"), "old\n");
    run_shell("rm -rf " + shell_quoted(dir));
    unlink(image.c_str());
}

TEST(CliMapfile, ClosedStandardDescriptorsNeverLetTheReportIntoIt)
{
    const Bytes bytes = image_from_pattern("DZDZZDZ");
    const std::string image = write_temp_file("closed.img", bytes);
    const std::string map = write_temp_file("closed.map", {});
    const std::string blocks =
        model_mapfile_blocks(model_report(bytes.data(), bytes.size()), bytes.size(), bytes.size());
    // With standard output closed the report cannot be written (status 1),
    // but nothing of it, nor of standard error, lands in the mapfile.
    for (const auto& [closed, status] : {std::pair{"<&- >&-", 1}, std::pair{">&- 2>&-", 1}, std::pair{"<&- 2>&-", 0}}) {
        const Outcome o =
            run_shell("\"$SECTORSCAN\" " + shell_quoted(image) + " --mapfile " + shell_quoted(map) + " " + closed);
        EXPECT_EQ(o.status, status) << closed;
        EXPECT_EQ(mapfile_blocks(read_file(map)), blocks) << closed;
        EXPECT_EQ(read_file(map).find("Empty sectors"), std::string::npos) << closed;
    }
    // Standard input closed still fails to open as /dev/stdin.
    const Outcome no_input = run_shell("\"$SECTORSCAN\" /dev/stdin <&-");
    EXPECT_EQ(no_input.status, 1);
    EXPECT_EQ(no_input.out, " Error loading file: /dev/stdin\n");
    unlink(image.c_str());
    std::string why;
    const FaultFs* fs = FaultFs::get(why);
    if (fs == nullptr) {
        unlink(map.c_str());
        if (fault_fs_required())
            FAIL() << why;
        GTEST_SKIP() << "the rest needs the fault file system: " << why;
    }
    const std::string failing = fs->add("eio=4096", "closed.img", bytes);
    const Outcome o =
        run_shell("\"$SECTORSCAN\" " + shell_quoted(failing) + " --mapfile " + shell_quoted(map) + " <&- >&- 2>&-");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(read_file(map).find("error"), std::string::npos) << read_file(map);
    if (has_ddrescue()) {
        EXPECT_EQ(run_shell("ddrescuelog -t " + shell_quoted(map)).status, 0);
    }
    unlink(map.c_str());
}

TEST(CliMapfile, FailedWritesLeaveTheOldMapfileAndSaySo)
{
    REQUIRE_FAULT_FS(fs);
    // Many runs, so that the block list outgrows the stream's buffer and a
    // write fails while the scan runs; a disk that will not take the file;
    // and a map that cannot be replaced.
    std::string pattern;
    for (int i = 0; i < 400; ++i)
        pattern += "DZ";
    const std::string image = write_temp_file("writes.img", image_from_pattern(pattern + "D"));
    for (const auto& [faults, cause] :
         {std::pair{"enospc=6000", "No space left on device"}, std::pair{"nofsync", "Input/output error"},
          std::pair{"norename", "Device or resource busy"}}) {
        const std::string map = fs->add(faults, "old.map", {'o', 'l', 'd', '\n'});
        const Outcome o = run_shell("\"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(image));
        EXPECT_EQ(o.status, 1) << faults;
        EXPECT_EQ(o.err, "sectorscan: " + map + ": cannot write the mapfile: " + cause + "\n") << faults;
        EXPECT_EQ(read_file(map), "old\n") << faults;
        EXPECT_EQ(run_shell("ls " + shell_quoted(fs->path(faults, "")) + " | grep -c old.map").out, "1\n") << faults;
    }
    // Nothing read at all (the read buffers could not be had): nothing is
    // known, and the old mapfile stays.
#ifndef SECTORSCAN_SANITIZE
    const std::string map = write_temp_file("kept.map", {'o', 'l', 'd', '\n'});
    const Outcome o =
        run_shell("ulimit -v 7000; \"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(image));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(map + ": left as it was, since nothing was read"), std::string::npos) << o.err;
    EXPECT_EQ(read_file(map), "old\n");
    unlink(map.c_str());
#endif
    unlink(image.c_str());
}

TEST(CliMapfile, AReportThatCannotBeWrittenEndsTheScanAndTheMapfileSaysWhereItStopped)
{
    std::string pattern;
    for (int i = 0; i < 3000; ++i)
        pattern += "DZ";
    const Bytes bytes = image_from_pattern(pattern + "D");
    const std::string image = write_temp_file("full-report.img", bytes);
    const std::string map = write_temp_file("full-report.map", {});
    const Outcome o =
        run_shell("\"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(image) + " >/dev/full");
    EXPECT_EQ(o.status, 1);
    // Standard output's buffer fills long before the end: the scan stops
    // there, and the mapfile marks the rest not tried, as its note says.
    const std::string note = "sectorscan: " + map + ": the scan was cut short; bytes 0x";
    const std::size_t at = o.err.find(note);
    ASSERT_NE(at, std::string::npos) << o.err;
    const std::uint64_t settled = std::strtoull(o.err.c_str() + at + note.size(), nullptr, 16);
    EXPECT_LT(settled, bytes.size() / 2);
    EXPECT_NE(o.err.find("sectorscan: error writing standard output: No space left on device\n"), std::string::npos);
    std::string runs;
    std::istringstream all(model_report(bytes.data(), bytes.size()));
    for (std::string line; std::getline(all, line) && std::strtoull(line.c_str(), nullptr, 16) * 2048 < settled;)
        runs += line + "\n";
    EXPECT_EQ(mapfile_blocks(read_file(map)), model_mapfile_blocks(runs, settled, bytes.size()));
    // Through a pipe, which was not cut short: nothing is said of where
    // reading stopped.
    const Outcome piped = run_shell("cat " + shell_quoted(image) + " | \"$SECTORSCAN\" --mapfile " + shell_quoted(map) +
                                    " /dev/stdin >/dev/full");
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.err.find("could not be read past"), std::string::npos) << piped.err;
    unlink(map.c_str());
    unlink(image.c_str());
}

TEST(CliMapfile, ATemporaryNameTakenIsTriedAgainAndNoFileOfAnotherIsRemoved)
{
    REQUIRE_FAULT_FS(fs);
    const std::string image = write_temp_file("taken.img", image_from_pattern("DZD"));
    // The first three names the tool picks are taken: it picks again.
    const std::string map = fs->path("exist=3", "taken.map");
    const Outcome again = run_shell("\"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(image));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(read_file(map).find("0x00000800  0x00000800  ?"), std::string::npos) << read_file(map);
    // Every name it picks is taken: it gives up before the scan, and
    // removes none of those files, which are not its own.
    const std::string none = fs->path("exist=1000", "taken.map");
    const Outcome given_up = run_shell("\"$SECTORSCAN\" --mapfile " + shell_quoted(none) + " " + shell_quoted(image));
    EXPECT_EQ(given_up.status, 1);
    EXPECT_EQ(given_up.out, "");
    EXPECT_EQ(given_up.err, "sectorscan: " + none + ": cannot write the mapfile: File exists\n");
    EXPECT_EQ(fs->stats("exist=1000", "taken.map").unlinks, 0U);
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
    // And one whose image's name holds a newline, which the header escapes.
    const std::string odd = write_temp_file("new\nline.img", disc_with_gaps(true));
    EXPECT_EQ(run_shell("\"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(odd)).status, 0);
    EXPECT_EQ(run_shell("ddrescuelog -t " + shell_quoted(map)).status, 0);
    EXPECT_NE(read_file(map).find("new\\x0aline.img\n# The areas"), std::string::npos) << read_file(map);
    EXPECT_NE(read_file(map).find("\n0x00000000     ?               1\n"), std::string::npos);
    for (const std::string& path : {disc, rip, empty, odd})
        unlink(path.c_str());
    // And those of a file and a stream whose reading failed.
    std::string why;
    const FaultFs* fs = FaultFs::get(why);
    if (fs == nullptr) {
        unlink(map.c_str());
        if (fault_fs_required())
            FAIL() << why;
        GTEST_SKIP() << "the rest needs the fault file system: " << why;
    }
    for (const char* faults : {"eio=4194304", "stream,eio=4194304"}) {
        const std::string failing = fs->add(faults, "rip.img", disc_with_gaps(true));
        EXPECT_EQ(run_shell("\"$SECTORSCAN\" --mapfile " + shell_quoted(map) + " " + shell_quoted(failing)).status, 1);
        EXPECT_EQ(run_shell("ddrescuelog -t " + shell_quoted(map)).status, 0) << faults;
    }
    unlink(map.c_str());
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
    EXPECT_EQ(cut.err, "sectorscan: " + image + ": Input/output error\nsectorscan: " + map +
                           ": the scan was cut short; bytes 0x003e8000 to 0x005dc12c are marked not tried (?)\n");
    // A stream has no length to mark up to: standard error says where the
    // mapfile ends, and that nothing after it is known.
    const Outcome stream = run_shell("\"$SECTORSCAN\" " + shell_quoted(fs->path("stream,eio=4194304", "cut.img")) +
                                     " --mapfile " + shell_quoted(map));
    EXPECT_EQ(stream.status, 1);
    EXPECT_NE(stream.err.find(map + ": the input could not be read past byte 0x00400000; the mapfile ends there"),
              std::string::npos)
        << stream.err;

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
        // With no terminal there is no progress line, and nothing to erase.
        EXPECT_EQ(killed.err.find("\033[K"), std::string::npos) << k.signal;
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
