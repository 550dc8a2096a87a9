// The lines under each report line that name the files a run damages.
#pragma once

#include <cstdio>

#include "files/file_map.h"
#include "scan/image_scan.h"

// Follows each report line with one line per file or folder whose bytes the
// run covers, "  PATH 0xFIRST-0xLAST" (the first and last of its bytes in
// the run, as offsets within it), or "  (no file)".
class FileLines final : public RunSink {
public:
    FileLines(std::FILE* out, const FileMap& map) : out_(out), map_(map) {}
    Failure run_closed(const ClosedRun& run) override;

private:
    std::FILE* out_;
    const FileMap& map_;
};
