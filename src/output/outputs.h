// What the scan's findings become, composed in one place: the mapfile, the
// progress line, the report on standard output with its file lines, and the
// section of damaged frames. Every output but the report is optional.
#pragma once

#include <cstdio>
#include <utility>
#include <vector>

#include "files/file_map.h"
#include "output/progress.h"
#include "output/rescue_mapfile.h"
#include "scan/image_scan.h"

struct OutputParts {
    std::FILE* out = stdout;
    RescueMapfile* mapfile = nullptr;
    ProgressLine* progress = nullptr;
    const FileMap* files = nullptr; // with --files
    bool damaged = false;           // with --damaged
};

class Outputs final : public RunSink {
public:
    explicit Outputs(const OutputParts& parts) : parts_(parts) {}

    // A run of the report goes, in this order: to the mapfile, first, so
    // that a run that standard output fails to take is still in it; to the
    // progress line, which gets out of the report line's way; to the report
    // line; and to its file lines, on the same stream after it.
    Failure run_closed(const ClosedRun& run) override;
    // Damaged frames go to the mapfile at once, and to their section.
    Failure damage_found(const ClosedRun& frames, FrameDamage damage) override;
    // The mapfile writes what is settled; the progress line is redrawn.
    void scanned(std::uint64_t bytes, std::uint64_t settled) override;

    // After the report's run lines, with --damaged: the heading "Damaged
    // sectors:" and a line for each row of damaged frames, "FIRST-LAST
    // (OFFSET) REASON", each with its file lines.
    Failure finish();

private:
    OutputParts parts_;
    std::vector<std::pair<ClosedRun, FrameDamage>> damaged_;
};
