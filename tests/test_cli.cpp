// End-to-end runs of the built binary: exact output, exit statuses and the
// failures a script must be able to tell from a clean scan.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "cli_run.h"
#include "fault_mount.h"
#include "model_report.h"
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

TEST(Cli, SocketOnStandardInputReadsLikeAPipe)
{
    // inetd, socket activation and some shells hand over a socket, which
    // /dev/stdin cannot open by name; one may have been set not to block.
    // Any other path that names a socket fails, also with one on standard
    // input.
    Bytes bytes = data_image_with_zeros(3000, 1000, 1100);
    bytes.insert(bytes.end(), 100, 0x41);
    const std::string out = write_temp_file("socket.out", {});
    const std::string bound = write_temp_file("bound.sock", {});
    unlink(bound.c_str());
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(bound.size(), sizeof address.sun_path);
    bound.copy(address.sun_path, bound.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const struct {
        const char* what;
        bool nonblocking;
        bool one_cpu;
        std::string path;
        int status;
        std::string report;
    } cases[] = {
        {"a socket", false, false, "/dev/stdin", 0, header("/dev/stdin") + "0x000003e8-0x0000044c (0x001f4000)\n"},
        {"a socket that does not block, one reader", true, true, "/dev/stdin", 0,
         header("/dev/stdin") + "0x000003e8-0x0000044c (0x001f4000)\n"},
        {"a socket that does not block, two readers", true, false, "/dev/stdin", 0,
         header("/dev/stdin") + "0x000003e8-0x0000044c (0x001f4000)\n"},
        {"another socket by name", false, false, bound, 1, " Error loading file: " + bound + "\n"},
    };
    for (const auto& c : cases) {
        int sockets[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(sockets[0], STDIN_FILENO);
            if (c.nonblocking)
                fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
            const int fd = open(out.c_str(), O_WRONLY | O_TRUNC);
            dup2(fd, STDOUT_FILENO);
            if (c.one_cpu) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(0, &one);
                sched_setaffinity(0, sizeof one, &one);
            }
            execl(SECTORSCAN_BINARY, "sectorscan", c.path.c_str(), nullptr);
            _exit(127);
        }
        close(sockets[0]);
        // In pieces, so that a reader that does not wait finds nothing.
        for (std::size_t at = 0; at < bytes.size(); at += 65536) {
            const std::size_t n = std::min<std::size_t>(65536, bytes.size() - at);
            if (send(sockets[1], bytes.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
                break;
            usleep(2000);
        }
        close(sockets[1]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(WEXITSTATUS(status), c.status) << c.what;
        EXPECT_EQ(read_file(out), c.report) << c.what;
    }
    close(listener);
    unlink(bound.c_str());
    unlink(out.c_str());
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
    // Between the limits at which no buffer can be had and at which every
    // reader's can lie some where the tool reads with fewer readers, or with
    // the scanning thread alone: in small steps, so that none is missed.
    const std::string path = write_temp_file("tight.img", data_image_with_zeros(std::size_t{3} * 4096, 4095, 4096));
    const std::string report = header(path) + "0x00000fff-0x00001000 (0x007ff800)\n";
    int scanned = 0;
    for (int limit = 6000; limit <= 20000; limit += 250) {
        const Outcome o = run_shell("ulimit -v " + std::to_string(limit) + "; \"$SECTORSCAN\" " + shell_quoted(path));
        if (o.status == 127 && o.err.find("error while loading shared libraries") != std::string::npos)
            continue; // too little to start any program that links them
        if (o.status == 0) {
            EXPECT_EQ(o.out, report) << limit;
            ++scanned;
        } else if (o.out != "") {
            EXPECT_EQ(o.out, header(path) + " Error reading file: " + path + "\n") << limit;
        }
        EXPECT_LE(o.status, 1) << limit << ": " << o.err;
    }
    EXPECT_GT(scanned, 0);
    unlink(path.c_str());
#endif
}

TEST(CliFaults, ReadErrorsShortReadsAndShrinkingImages)
{
    REQUIRE_FAULT_FS(fs);
    // A run in the first 8 MiB is printed; the read fails after 9 MiB.
    Bytes bytes = data_image_with_zeros(std::size_t{3} * 4096, 10, 11);
    std::fill(bytes.begin() + std::ptrdiff_t{9000} * 2048, bytes.begin() + std::ptrdiff_t{9001} * 2048, 0);
    const std::string clean = fs->add("plain", "eio.img", bytes);
    const std::string first = "0x0000000a-0x0000000b (0x00005000)\n";
    const Outcome o = run_shell("\"$SECTORSCAN\" " + shell_quoted(clean));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, header(clean) + first + "0x00002328 (0x01194000)\n");

    const std::string failing = fs->path("eio=9437184", "eio.img");
    const Outcome failed = run_shell("\"$SECTORSCAN\" " + shell_quoted(failing));
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, header(failing) + first + " Error reading file: " + failing + "\n");
    EXPECT_EQ(failed.err, "sectorscan: " + failing + ": Input/output error\n");

    // On one stream, the report comes before the reason.
    const Outcome merged = run_shell("\"$SECTORSCAN\" " + shell_quoted(failing) + " 2>&1");
    EXPECT_EQ(merged.out, header(failing) + first + " Error reading file: " + failing + "\nsectorscan: " + failing +
                              ": Input/output error\n");

    // Failing on the very first read: the header, then the error; and with
    // a failed standard output too, both are said.
    const std::string at_once = fs->path("eio=0", "eio.img");
    const Outcome first_read = run_shell("\"$SECTORSCAN\" " + shell_quoted(at_once));
    EXPECT_EQ(first_read.status, 1);
    EXPECT_EQ(first_read.out, header(at_once) + " Error reading file: " + at_once + "\n");
    const Outcome both = run_shell("\"$SECTORSCAN\" " + shell_quoted(at_once) + " >/dev/full");
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.err, "sectorscan: " + at_once + ": Input/output error\nsectorscan: error writing standard output: " +
                            "No space left on device\n");

    // Short reads give the same report.
    const std::string short_reads = fs->add("short=1000", "short.img", data_image_with_zeros(4096 + 40, 4090, 4100));
    const Outcome shortened = run_shell("\"$SECTORSCAN\" " + shell_quoted(short_reads));
    EXPECT_EQ(shortened.status, 0);
    EXPECT_EQ(shortened.out, header(short_reads) + "0x00000ffa-0x00001004 (0x007fd000)\n");

    // An image cut beyond the claims that the readers take first.
    const std::string shrinking =
        fs->add("shrink=10485760", "shrink.img", data_image_with_zeros(std::size_t{3} * 4096, 10, 10));
    const Outcome shrank = run_shell("\"$SECTORSCAN\" " + shell_quoted(shrinking));
    EXPECT_EQ(shrank.status, 1);
    EXPECT_EQ(shrank.out, header(shrinking) + "0x0000000a (0x00005000)\n Error reading file: " + shrinking + "\n");
    EXPECT_EQ(shrank.err, "sectorscan: " + shrinking + ": the file ended after 10485760 of 25165824 bytes\n");
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

TEST(CliOptions, OptionsArgumentsAndUsageErrors)
{
    const std::string path = write_temp_file("options.img", image_from_pattern("DZD"));
    const std::string dir = path.substr(0, path.rfind('/'));
    const std::string name = path.substr(path.rfind('/') + 1);
    // Files named like options, and one named "--".
    for (const char* odd : {"--verbose", "--", "-h.img"})
        write_file(dir + "/" + odd, image_from_pattern("DZD"));
    const std::string usage =
        "Usage: sectorscan [--mapfile MAP] [--files] [--damaged] [--sector-format=FORMAT] IMAGE\n";
    const std::string report = "0x00000001 (0x00000800)\n";
    const struct {
        std::string arguments;
        int status;
        std::string out; // "HELP": the help text's first line
        std::string err;
    } cases[] = {
        {"", 2, "", usage},
        {"--help", 0, "HELP", ""},
        {"-h", 0, "HELP", ""},
        {name + " --version", 0, "sectorscan " SECTORSCAN_VERSION "\n", ""},
        {"--verbose", 2, "", "sectorscan: unknown option '--verbose' (a file of that name is ./--verbose)\n" + usage},
        {name + " --verbose", 2, "",
         "sectorscan: unknown option '--verbose' (a file of that name is ./--verbose)\n" + usage},
        {"./--verbose", 0, header("./--verbose") + report, ""},
        {"-- --verbose", 0, header("--verbose") + report, ""},
        {"-- -h.img", 0, header("-h.img") + report, ""},
        {"-- --", 0, header("--") + report, ""},
        {"-- " + name + " --verbose x.img", 0, header(name) + report,
         "sectorscan: " + name + " is scanned, and not the 2 other arguments after it: --verbose x.img\n"},
        {name + " " + name, 0, header(name) + report,
         "sectorscan: " + name + " is scanned, and not the 1 other argument after it: " + name + "\n"},
        {"--mapfile --files " + name, 2, "",
         "sectorscan: option '--mapfile' needs a file name, not the option '--files' (a file of that name is "
         "./--files)\n" +
             usage},
        {"--sector-format=cd " + name, 2, "",
         "sectorscan: option '--sector-format' takes iso, raw or raw+sub, not 'cd'\n" + usage},
        {"--sector-format=iso " + name, 0, header(name) + report, ""},
        {"--damaged " + name, 0, header(name) + report + "Damaged sectors:\n",
         "sectorscan: " + name + ": --damaged: an image of 2048-byte sectors holds no check of its own to verify\n"},
    };
    for (const auto& c : cases) {
        const Outcome o = run_shell("cd " + shell_quoted(dir) + " && \"$SECTORSCAN\" " + c.arguments);
        EXPECT_EQ(o.status, c.status) << c.arguments;
        if (c.out == "HELP") {
            EXPECT_EQ(o.out.rfind(usage, 0), 0U) << o.out;
            EXPECT_NE(o.out.find("Exit status"), std::string::npos);
        } else {
            EXPECT_EQ(o.out, c.out) << c.arguments;
        }
        EXPECT_EQ(o.err, c.err) << c.arguments;
    }
    EXPECT_EQ(run_shell("\"$SECTORSCAN\" --version >/dev/full").status, 1);
    for (const char* odd : {"--verbose", "--", "-h.img"})
        unlink((dir + "/" + odd).c_str());
    unlink(path.c_str());
}

TEST(CliOptions, MessagesOfAnyLengthComeOutWhole)
{
    // "sectorscan: PATH: REASON": one write where it fits the line buffer,
    // to its last byte, and written whole where it does not.
    for (const std::size_t length : {std::size_t{4082}, std::size_t{4083}, std::size_t{4096}, std::size_t{5000}}) {
        const std::string reason = ": No such file or directory";
        std::string path = "/nonexistent";
        while (path.size() + reason.size() < length)
            path += path.size() % 200 == 199 ? '/' : 'x';
        const bool too_long = path.size() >= 4096;
        const std::string said = path + (too_long ? ": File name too long" : reason);
        const Outcome o = run_shell("\"$SECTORSCAN\" " + shell_quoted(path));
        EXPECT_EQ(o.status, 1) << length;
        EXPECT_EQ(o.err, "sectorscan: " + said + "\n") << length;
    }
}

TEST(CliProgress, NothingOnStandardErrorWhenItIsNotATerminal)
{
    // A scan slowed to take well over a second, the time after which a
    // terminal would see the progress line. On one CPU the reads are made
    // one after the other, so their delays add up.
    REQUIRE_FAULT_FS(fs);
    const std::string path =
        fs->add("short=262144,delay=10000", "slow.img", data_image_with_zeros(std::size_t{4} * 4096, 100, 101));
    const Outcome o = run_shell("taskset -c 0 \"$SECTORSCAN\" " + shell_quoted(path));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, header(path) + "0x00000064-0x00000065 (0x00032000)\n");
    EXPECT_EQ(o.err, "");
}

TEST(CliProgress, TerminalSeesALineThatIsErasedBeforeExit)
{
    if (run_shell("command -v script").status != 0)
        GTEST_SKIP() << "script(1) is needed for a pseudo-terminal";
    REQUIRE_FAULT_FS(fs);
    // A dense report: a run every 64 sectors, all through a slow image.
    Bytes bytes = data_image_with_zeros(std::size_t{4} * 4096, 100, 101);
    for (std::size_t sector = 164; sector < std::size_t{4} * 4096; sector += 64)
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(sector * 2048),
                  bytes.begin() + static_cast<std::ptrdiff_t>((sector + 1) * 2048), 0);
    fs->add("plain", "tty.img", bytes);
    const std::string report_path = write_temp_file("tty.out", {});
    const std::string report =
        header(fs->path("short=262144,delay=12000", "tty.img")) + model_report(bytes.data(), bytes.size());
    const std::string erase = "\r\033[K";
    auto scan = [&](const std::string& delay_us) {
        return "taskset -c 0 \"$SECTORSCAN\" " + shell_quoted(fs->path("short=262144,delay=" + delay_us, "tty.img"));
    };
    // script(1) runs the command in $SHELL, with standard output and
    // standard error on a pseudo-terminal; pin the shell so that every
    // machine runs the same one.
    auto on_terminal = [](const std::string& command) {
        return run_shell("SHELL=/bin/sh script -qec " + shell_quoted(command) + " /dev/null");
    };

    // The report into a file: the line stays on the screen while the report
    // grows, and is erased once, before the tool exits.
    const Outcome to_file = on_terminal(scan("12000") + " >" + shell_quoted(report_path));
    EXPECT_EQ(to_file.status, 0);
    EXPECT_EQ(read_file(report_path), report);
    EXPECT_NE(to_file.out.find("MiB/s"), std::string::npos) << to_file.out;
    EXPECT_NE(to_file.out.find(erase), std::string::npos) << to_file.out;
    EXPECT_EQ(to_file.out.find(erase), to_file.out.rfind(erase)) << to_file.out;
    EXPECT_LT(to_file.out.rfind("\rsectorscan:"), to_file.out.rfind(erase)) << to_file.out;

    // The report on the same terminal: the line is erased before each
    // report line that comes while it is shown.
    const Outcome shared = on_terminal(scan("12000"));
    EXPECT_EQ(shared.status, 0);
    EXPECT_NE(shared.out.find(erase + "0x0000"), std::string::npos) << shared.out;
    EXPECT_LT(shared.out.rfind("\rsectorscan:"), shared.out.rfind(erase)) << shared.out;

    // Standard output into a pipe: whatever reads it prints in blocks of
    // its own, so the display stays off.
    const Outcome piped = on_terminal(scan("12000") + " | cat");
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out.find("MiB/s"), std::string::npos) << piped.out;

    // Stopped by a signal: the line is erased and the tool dies of it, with
    // the usual status (some shells say "Terminated" between the erase and
    // the status). SIGINT reaches a job only with job control on.
    for (const auto& [signal, status] : {std::pair{"TERM", " 143\r\n"}, std::pair{"INT", " 130\r\n"}}) {
        const Outcome killed = on_terminal("set -m; " + scan("40000") + " >/dev/null & pid=$!; sleep 2.5; kill -" +
                                           signal + " $pid; wait $pid; echo \" $?\"");
        const std::size_t erased = killed.out.rfind(erase);
        EXPECT_NE(killed.out.find("MiB/s"), std::string::npos) << signal << ": " << killed.out;
        EXPECT_LT(killed.out.rfind("\rsectorscan:"), erased) << signal << ": " << killed.out;
        EXPECT_NE(killed.out.find(status, erased), std::string::npos) << signal << ": " << killed.out;
    }
    // A SIGTERM that is ignored (nohup, trap) stays ignored.
    const Outcome ignored = on_terminal("trap '' TERM; " + scan("20000") +
                                        " >/dev/null & pid=$!; sleep 2; kill -TERM $pid; wait $pid; echo \" $?\"");
    EXPECT_NE(ignored.out.find(" 0\r\n"), std::string::npos) << ignored.out;
    unlink(report_path.c_str());
}
