// Running the built binary from the tests.
#include "cli_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "test_images.h"

std::string shell_quoted(const std::string& text)
{
    std::string q = "'";
    for (const char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Outcome run_shell(const std::string& shell)
{
    const std::string err_path = write_temp_file("stderr.txt", {});
    const std::string command = "SECTORSCAN=" + shell_quoted(SECTORSCAN_BINARY) + " bash -c " + shell_quoted(shell) +
                                " 2>" + shell_quoted(err_path);
    Outcome outcome;
    std::FILE* pipe = popen(command.c_str(), "r"); // NOLINT(cert-env33-c): running the tool is the point
    std::array<char, 4096> chunk{};
    std::size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        outcome.out.append(chunk.data(), n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.err = read_file(err_path);
    unlink(err_path.c_str());
    return outcome;
}

std::string header(const std::string& path)
{
    return "File: " + path + "\nEmpty sectors:\n";
}
