// Runs the built binary under bash and captures what it prints.
#pragma once

#include <string>

#include "test_images.h"

struct Outcome {
    int status = -1; // exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// `text` quoted for the shell.
std::string shell_quoted(const std::string& text);

// Runs `shell` (which names the tool as $SECTORSCAN) under bash, capturing
// standard output and standard error separately.
Outcome run_shell(const std::string& shell);

// The two lines before the report of `path`.
std::string header(const std::string& path);
