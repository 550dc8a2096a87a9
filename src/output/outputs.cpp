// The one order of the outputs.
#include "output/outputs.h"

#include <string>

#include "output/file_lines.h"
#include "output/report.h"

Failure Outputs::run_closed(const ClosedRun& run)
{
    if (parts_.mapfile != nullptr)
        parts_.mapfile->mark(run.offset, run.end);
    if (parts_.progress != nullptr)
        parts_.progress->before_report_line();
    if (const Failure failure = write_run_line(parts_.out, run))
        return failure;
    if (parts_.files != nullptr)
        return write_file_lines(parts_.out, *parts_.files, run);
    return {};
}

Failure Outputs::damage_found(const ClosedRun& frames, FrameDamage damage)
{
    if (parts_.mapfile != nullptr)
        parts_.mapfile->mark(frames.offset, frames.end);
    if (parts_.damaged)
        damaged_.emplace_back(frames, damage);
    return {};
}

void Outputs::scanned(std::uint64_t bytes, std::uint64_t settled)
{
    if (parts_.mapfile != nullptr)
        parts_.mapfile->settle(settled);
    if (parts_.progress != nullptr)
        parts_.progress->update(bytes);
}

Failure Outputs::finish()
{
    if (!parts_.damaged)
        return {};
    if (parts_.progress != nullptr)
        parts_.progress->before_report_line();
    if (std::fputs("Damaged sectors:\n", parts_.out) < 0)
        return errno_failure();
    for (const auto& [frames, damage] : damaged_) {
        const std::string reason = std::string(" ") + damage_text(damage);
        if (const Failure failure = write_run_line(parts_.out, frames, reason.c_str()))
            return failure;
        if (parts_.files != nullptr) {
            if (const Failure failure = write_file_lines(parts_.out, *parts_.files, frames))
                return failure;
        }
    }
    return {};
}
