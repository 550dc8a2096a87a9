// The lines under a report line that name what a run damages.
#pragma once

#include <cstdio>

#include "files/file_map.h"
#include "scan/run_tracker.h"
#include "support/failure.h"

// Writes one line for each file, folder or structure whose bytes the
// sectors of `run` hold, "  PATH 0xFIRST-0xLAST" (the first and last of its
// bytes there, as offsets within it) or "  (...)", or "  (no file)".
Failure write_file_lines(std::FILE* out, const FileMap& map, const ClosedRun& run);
