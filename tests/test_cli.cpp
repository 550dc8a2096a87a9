// End-to-end runs of the built binary: exact output, exit statuses and the
// failures a script must be able to tell from a clean scan.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "cli_run.h"
#include "test_images.h"

TEST(Cli, ReportsAnImageExactly)
{
    const std::string path = write_temp_file("report.img", image_from_pattern("DZDZZD"));
    const Outcome o = run_shell("\"$SECTORSCAN\" " + shell_quoted(path));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, header(path) + "0x00000001 (0x00000800)\n0x00000003-0x00000004 (0x00001800)\n");
    EXPECT_EQ(o.err, "");
    // Further arguments are ignored.
    EXPECT_EQ(run_shell("\"$SECTORSCAN\" " + shell_quoted(path) + " extra args").out, o.out);
    unlink(path.c_str());
}

TEST(Cli, ImagesWithoutWholeSectorsPrintTheHeaderOnly)
{
    for (const std::size_t size : {std::size_t{0}, std::size_t{2047}}) {
        const std::string path = write_temp_file("tiny.img", Bytes(size, 0x41));
        const Outcome o = run_shell("\"$SECTORSCAN\" " + shell_quoted(path));
        EXPECT_EQ(o.status, 0) << size;
        EXPECT_EQ(o.out, header(path)) << size;
        unlink(path.c_str());
    }
}

TEST(Cli, PathsThatCannotBeLoaded)
{
    const Outcome missing = run_shell("\"$SECTORSCAN\" /nonexistent/image.iso");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, " Error loading file: /nonexistent/image.iso\n");
    EXPECT_EQ(missing.err, "sectorscan: /nonexistent/image.iso: No such file or directory\n");
    // On one stream the tool's own line comes first; and a standard output
    // that fails too is said as well.
    EXPECT_EQ(
        run_shell("\"$SECTORSCAN\" /nonexistent/image.iso 2>&1").out,
        " Error loading file: /nonexistent/image.iso\nsectorscan: /nonexistent/image.iso: No such file or directory\n");
    const Outcome full = run_shell("\"$SECTORSCAN\" /nonexistent/image.iso >/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "sectorscan: /nonexistent/image.iso: No such file or directory\n"
                        "sectorscan: error writing standard output: No space left on device\n");

    // A directory opens but is no image: the same failure, not an empty scan.
    const Outcome directory = run_shell("\"$SECTORSCAN\" /");
    EXPECT_EQ(directory.status, 1);
    EXPECT_EQ(directory.out, " Error loading file: /\n");
    EXPECT_EQ(directory.err, "sectorscan: /: Is a directory\n");

    if (geteuid() != 0) { // root reads any file, so this case needs a user
        const std::string path = write_temp_file("unreadable.img", image_from_pattern("D"));
        chmod(path.c_str(), 0);
        EXPECT_EQ(run_shell("\"$SECTORSCAN\" " + shell_quoted(path)).status, 1);
        unlink(path.c_str());
    }
}

TEST(Cli, CharacterDevicesAreReadToTheirEnd)
{
    // Seeking on a character device says nothing of its length: /dev/null
    // ends at once, and /dev/zero runs until it is stopped.
    const Outcome null = run_shell("\"$SECTORSCAN\" /dev/null");
    EXPECT_EQ(null.status, 0);
    EXPECT_EQ(null.out, header("/dev/null"));
    EXPECT_EQ(run_shell("timeout 1 \"$SECTORSCAN\" /dev/zero >/dev/null").status, 124);
}

TEST(Cli, MissingArgumentIsAUsageError)
{
    const Outcome o = run_shell("\"$SECTORSCAN\"");
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "Usage: sectorscan [--mapfile MAP] IMAGE\n");
}

TEST(Cli, PipesReportLikeTheFile)
{
    Bytes bytes = data_image_with_zeros(std::size_t{3} * 4096 + 5, 4095, 4097);
    bytes[std::size_t{10} * 2048] = 0; // a sector that is data all the same
    bytes.insert(bytes.end(), 300, 0x41);
    const std::string path = write_temp_file("pipe.img", bytes);
    const std::string lines = "0x00000fff-0x00001001 (0x007ff800)\n";

    EXPECT_EQ(run_shell("\"$SECTORSCAN\" " + shell_quoted(path)).out, header(path) + lines);
    const Outcome piped = run_shell("cat " + shell_quoted(path) + " | \"$SECTORSCAN\" /dev/stdin");
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, header("/dev/stdin") + lines);
    const Outcome substituted = run_shell("\"$SECTORSCAN\" <(cat " + shell_quoted(path) + ")");
    EXPECT_EQ(substituted.status, 0);
    EXPECT_NE(substituted.out.find("Empty sectors:\n" + lines), std::string::npos) << substituted.out;
    unlink(path.c_str());
}

TEST(Cli, UnwritableStandardOutputIsAFailure)
{
    // A short report, and one longer than the output buffer, which fails
    // while the scan runs: either way the cause is said as it is.
    std::string many_runs;
    for (int i = 0; i < 300; ++i)
        many_runs += "DZ";
    for (const std::string& pattern : {std::string("DZD"), many_runs + "D"}) {
        const std::string path = write_temp_file("full.img", image_from_pattern(pattern));
        const Outcome o = run_shell("\"$SECTORSCAN\" " + shell_quoted(path) + " >/dev/full");
        EXPECT_EQ(o.status, 1) << pattern.size();
        EXPECT_EQ(o.err, "sectorscan: error writing standard output: No space left on device\n") << pattern.size();
        unlink(path.c_str());
    }
    // A header longer than the buffer and no report lines: the failed write
    // happened inside printf, and only the stream's error flag remembers it.
    const std::string image = write_temp_file("long-path.img", image_from_pattern("DD"));
    std::string path = image.substr(0, image.rfind('/'));
    while (path.size() < 4070)
        path += "/.";
    path += image.substr(image.rfind('/'));
    const Outcome o = run_shell("\"$SECTORSCAN\" " + shell_quoted(path) + " >/dev/full");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("error writing standard output"), std::string::npos) << o.err;
    unlink(image.c_str());
}

TEST(Cli, BufferThatCannotBeAllocatedIsAFailure)
{
#ifdef SECTORSCAN_SANITIZE
    GTEST_SKIP() << "the sanitizers reserve far more address space than the limit allows";
#else
    // An address-space limit that lets the tool start but not map its buffers.
    const std::string path = write_temp_file("nomem.img", image_from_pattern("DZD"));
    const Outcome o = run_shell("ulimit -v 7000; \"$SECTORSCAN\" " + shell_quoted(path));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, header(path) + " Error reading file: " + path + "\n");
    EXPECT_EQ(o.err, "sectorscan: " + path + ": cannot allocate the read buffers: Cannot allocate memory\n");
    unlink(path.c_str());
#endif
}

TEST(Cli, TightMemoryLimitsGiveTheWholeReportOrAFailure)
{
#ifdef SECTORSCAN_SANITIZE
    GTEST_SKIP() << "the sanitizers reserve far more address space than the limit allows";
#else
    // Between the limits at which the buffers cannot be had and at which the
    // worker threads can be started lie some where the tool reads with fewer
    // workers, or with none.
    const std::string path =
        write_temp_file("tight.img", data_image_with_zeros(std::size_t{3} * SECTORS_PER_CHUNK, 4095, 4096));
    const std::string report = header(path) + "0x00000fff-0x00001000 (0x007ff800)\n";
    for (int limit = 14000; limit <= 32000; limit += 2000) {
        const Outcome o = run_shell("ulimit -v " + std::to_string(limit) + "; \"$SECTORSCAN\" " + shell_quoted(path));
        if (o.status == 0)
            EXPECT_EQ(o.out, report) << limit;
        else
            EXPECT_EQ(o.out, header(path) + " Error reading file: " + path + "\n") << limit;
        EXPECT_LE(o.status, 1) << limit << ": " << o.err;
    }
    // Four workers planned, as on a 4-CPU machine, and an address space of
    // 16 MiB: fewer of them scan it all.
    const Outcome four = run_with_faults("SECTORSCAN_TEST_CPUS=4 prlimit --as=16777216", path);
    EXPECT_EQ(four.status, 0) << four.err;
    EXPECT_EQ(four.out, report);
    unlink(path.c_str());
#endif
}

TEST(CliFaults, ReadErrorKeepsTheLinesFoundAndFails)
{
    // A run in the first chunk is printed; the read fails in the second.
    Bytes bytes = data_image_with_zeros(std::size_t{3} * 4096, 10, 11);
    std::fill(bytes.begin() + std::ptrdiff_t{9000} * 2048, bytes.begin() + std::ptrdiff_t{9001} * 2048, 0);
    const std::string path = write_temp_file("eio.img", bytes);
    const std::string first = "0x0000000a-0x0000000b (0x00005000)\n";

    const Outcome clean = run_with_faults("", path);
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.out, header(path) + first + "0x00002328 (0x01194000)\n");

    const Outcome failed = run_with_faults("SECTORSCAN_TEST_FAIL_AFTER=9437184", path);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, header(path) + first + " Error reading file: " + path + "\n");
    EXPECT_EQ(failed.err, "sectorscan: " + path + ": Input/output error\n");

    // On one stream, the report comes before the reason.
    const Outcome merged = run_with_faults("SECTORSCAN_TEST_FAIL_AFTER=9437184", path, " 2>&1");
    EXPECT_EQ(merged.out, header(path) + first + " Error reading file: " + path + "\nsectorscan: " + path +
                              ": Input/output error\n");

    // Failing on the very first read: the header, then the error.
    const Outcome at_once = run_with_faults("SECTORSCAN_TEST_FAIL_AFTER=0", path);
    EXPECT_EQ(at_once.status, 1);
    EXPECT_EQ(at_once.out, header(path) + " Error reading file: " + path + "\n");

    // A failed read and a failed standard output: both are reported.
    const Outcome both = run_with_faults("SECTORSCAN_TEST_FAIL_AFTER=0", path, " >/dev/full");
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.err, "sectorscan: " + path + ": Input/output error\nsectorscan: error writing standard output: " +
                            "No space left on device\n");
    unlink(path.c_str());
}

TEST(CliFaults, ShortReadsGiveTheSameReport)
{
    const Bytes bytes = data_image_with_zeros(4096 + 40, 4090, 4100);
    const std::string path = write_temp_file("short.img", bytes);
    const Outcome o = run_with_faults("SECTORSCAN_TEST_PIECE=1000", path);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, header(path) + "0x00000ffa-0x00001004 (0x007fd000)\n");
    unlink(path.c_str());
}

TEST(CliFaults, ImageThatShrinksDuringTheScanFails)
{
    const Bytes bytes = data_image_with_zeros(std::size_t{3} * 4096, 10, 10);
    const std::string path = write_temp_file("shrink.img", bytes);
    // Cut beyond the pieces that the workers read first, however many.
    const Outcome o =
        run_with_faults("SECTORSCAN_TEST_SHRINK=" + std::to_string(10 << 20) + ":" + shell_quoted(path), path);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, header(path) + "0x0000000a (0x00005000)\n Error reading file: " + path + "\n");
    EXPECT_EQ(o.err, "sectorscan: " + path + ": the file ended after 10485760 of 25165824 bytes\n");
    unlink(path.c_str());
}

TEST(CliLarge, SparseImageBeyondFourGigabytes)
{
    // 4.5 GiB of holes (no disk space) with data sectors placed around the
    // 4 GiB mark: sector numbers pass 2^21 and offsets pass 2^32.
    const std::uint64_t sectors = 0x240000;
    // Holes in tmpfs read as the shared zero page, much faster than on disk.
    const std::string path = access("/dev/shm", W_OK) == 0
                                 ? "/dev/shm/sectorscan-test-" + std::to_string(getpid()) + "-sparse.img"
                                 : write_temp_file("sparse.img", {});
    std::FILE* created = std::fopen(path.c_str(), "wb");
    ASSERT_NE(created, nullptr);
    std::fclose(created);
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(sectors * 2048)), 0);
    const Bytes data(2048, 0x41);
    for (const std::uint64_t at :
         {std::uint64_t{0}, std::uint64_t{0x200000}, std::uint64_t{0x200002}, std::uint64_t{0x23fffe}})
        ASSERT_EQ(pwrite(fd, data.data(), data.size(), static_cast<off_t>(at * 2048)), 2048);
    close(fd);

    const Outcome o = run_shell("\"$SECTORSCAN\" " + shell_quoted(path));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, header(path) + "0x00000001-0x001fffff (0x00000800)\n"
                                    "0x00200001 (0x100000800)\n"
                                    "0x00200003-0x0023fffd (0x100001800)\n");
    unlink(path.c_str());
}

TEST(CliOptions, HelpAndVersionAsFirstArgument)
{
    for (const char* option : {"--help", "-h"}) {
        const Outcome help = run_shell(std::string("\"$SECTORSCAN\" ") + option);
        EXPECT_EQ(help.status, 0) << option;
        EXPECT_EQ(help.out.rfind("Usage: sectorscan [--mapfile MAP] IMAGE\n", 0), 0U) << help.out;
        EXPECT_NE(help.out.find("Exit status"), std::string::npos);
        EXPECT_EQ(help.err, "");
    }
    const Outcome version = run_shell("\"$SECTORSCAN\" --version extra");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "sectorscan " SECTORSCAN_VERSION "\n");
    EXPECT_EQ(run_shell("\"$SECTORSCAN\" --version >/dev/full").status, 1);

    // Only the first argument is looked at, and anything else is a path.
    const std::string path = write_temp_file("options.img", image_from_pattern("DZD"));
    const Outcome later = run_shell("\"$SECTORSCAN\" " + shell_quoted(path) + " --version");
    EXPECT_EQ(later.out, header(path) + "0x00000001 (0x00000800)\n");
    const Outcome unknown = run_shell("\"$SECTORSCAN\" --verbose");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, " Error loading file: --verbose\n");
    unlink(path.c_str());
}

TEST(CliProgress, NothingOnStandardErrorWhenItIsNotATerminal)
{
    // A scan slowed to take well over a second, the time after which a
    // terminal would see the progress line. On one CPU the reads are made
    // one after the other, so their delays add up.
    const std::string path = write_temp_file("slow.img", data_image_with_zeros(std::size_t{4} * 4096, 100, 101));
    const Outcome o = run_with_faults("SECTORSCAN_TEST_PIECE=262144 SECTORSCAN_TEST_DELAY_US=10000 taskset -c 0", path);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, header(path) + "0x00000064-0x00000065 (0x00032000)\n");
    EXPECT_EQ(o.err, "");
    unlink(path.c_str());
}

TEST(CliProgress, TerminalSeesALineThatIsErasedBeforeExit)
{
    if (run_shell("command -v script").status != 0)
        GTEST_SKIP() << "script(1) is needed for a pseudo-terminal";
    Bytes bytes = data_image_with_zeros(std::size_t{4} * 4096, 100, 101);
    std::fill(bytes.end() - std::ptrdiff_t{20} * 2048, bytes.end() - std::ptrdiff_t{19} * 2048, 0);
    const std::string path = write_temp_file("tty.img", bytes);
    // Standard output and standard error both on the pseudo-terminal.
    const std::string inner =
        "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" + shell_quoted(READ_FAULT_SHIM) +
        " SECTORSCAN_TEST_PIECE=262144 SECTORSCAN_TEST_DELAY_US=12000 taskset -c 0 \"$SECTORSCAN\" " +
        shell_quoted(path);
    // script(1) runs the command in $SHELL; pin it so that every machine
    // runs the same shell.
    const std::string script = "SHELL=/bin/sh script -qec ";
    const Outcome o = run_shell(script + shell_quoted(inner) + " /dev/null");
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("% "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("MiB/s"), std::string::npos) << o.out;
    // The display is erased before the late report line and at the end.
    EXPECT_NE(o.out.find("\r\033[K0x00003fec (0x01ff6000)\r\n"), std::string::npos) << o.out;
    EXPECT_LT(o.out.rfind("\rsectorscan:"), o.out.rfind("\r\033[K")) << o.out;

    // Standard output into a pipe: whatever reads it prints in blocks of
    // its own, so the display stays off.
    const Outcome piped = run_shell(script + shell_quoted(inner + " | cat") + " /dev/null");
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out.find("MiB/s"), std::string::npos) << piped.out;

    // Stopped by a signal: the line is erased and the tool dies of it. The
    // reads are slowed further, so that the scan is still running.
    std::string slower = inner;
    slower.replace(slower.find("DELAY_US=12000"), 14, "DELAY_US=40000");
    const Outcome killed =
        run_shell(script + shell_quoted(slower + " & pid=$!; sleep 1.8; kill -TERM $pid; wait $pid; echo \" $?\"") +
                  " /dev/null");
    EXPECT_NE(killed.out.find("MiB/s"), std::string::npos) << killed.out;
    // Some shells report the signal ("Terminated") between the erase and
    // the status.
    const std::size_t erased = killed.out.rfind("\r\033[K");
    EXPECT_LT(killed.out.rfind("\rsectorscan:"), erased) << killed.out;
    EXPECT_NE(killed.out.find(" 143\r\n", erased), std::string::npos) << killed.out;
    unlink(path.c_str());
}
