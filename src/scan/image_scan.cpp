// The scanning thread: tracks the stretches of each claim in file order.
#include "scan/image_scan.h"

#include <algorithm>

namespace {

// A row of damaged frames not yet ended.
struct OpenDamage {
    FrameDamage damage = FrameDamage::none;
    SectorIndex first = 0;
};

// The frames `first` to `last` of `area`, placed in its file.
ClosedRun placed(const ScanArea& area, SectorIndex first, SectorIndex last)
{
    return ClosedRun{first, last, area.offset_of(first), area.offset_of(last + 1)};
}

// Scans one area; false when the scan ends with it cut short.
bool scan_area(const ScanArea& area, const ReadPlan& plan, RunSink& sink, bool damage, ScanResult& result)
{
    const std::size_t frame = frame_size(area.format);
    FrameGeometry geometry;
    geometry.base = area.offset;
    geometry.layout = SectorLayout{frame, area.format != SectorFormat::iso, area.formless};
    geometry.first = area.first;
    if (area.frames)
        geometry.end = area.offset + *area.frames * frame;
    const bool checked = damage && geometry.layout.raw;
    WorkerPool pool(*area.input, plan, geometry, checked);
    result.position = area.offset;
    result.image_size = area.input->size().value_or(0);
    if (const Failure failure = pool.failure()) {
        result.end = ScanResult::End::no_memory;
        result.error = failure.error;
        return false;
    }
    ScanState state;
    SectorIndex next = area.first; // the first sector not yet tracked
    OpenDamage open;
    const auto end_damage = [&](SectorIndex before) {
        if (open.damage == FrameDamage::none || before == open.first)
            return Failure{};
        const Failure failure = sink.damage_found(placed(area, open.first, before - 1), open.damage);
        open = OpenDamage{};
        return failure;
    };
    const auto fail = [&](Failure failure) {
        result.end = ScanResult::End::sink_failed;
        result.error = failure.error;
    };
    // The bytes in front of a sector are the last of the sector before;
    // sector 0 has nothing in front of it, and a sum of 0 keeps a run that
    // starts the area out of the report, like one that runs to its end.
    std::int32_t tail_sum = 0;
    while (result.end == ScanResult::End::complete) {
        const CheckedClaim& claim = pool.next();
        const SectorIndex claim_first = area.first + (claim.offset - area.offset) / frame;
        SectorIndex at = claim_first;
        for (const DamageStretch& d : claim.damage) {
            if (d.damage != open.damage) {
                if (const Failure failure = end_damage(at)) {
                    fail(failure);
                    break;
                }
                open = OpenDamage{d.damage, at};
            }
            at += d.count;
        }
        if (result.end != ScanResult::End::complete)
            break;
        for (std::size_t i = 0; i < claim.stretches.size(); ++i) {
            SectorStretch stretch = claim.stretches[i];
            if (i == 0 && stretch.empty)
                stretch.edge_sum = tail_sum;
            ClosedRun closed;
            if (track_sectors(state, next, stretch, closed)) {
                if (const Failure failure = sink.run_closed(placed(area, closed.first, closed.last))) {
                    // Nothing after the sector that closed the run is tracked.
                    fail(failure);
                    ++next;
                    break;
                }
            }
            next += stretch.count;
        }
        if (result.end != ScanResult::End::complete)
            break;
        if (!claim.stretches.empty())
            tail_sum = claim.tail_sum;
        result.bytes_read += claim.bytes;
        result.position = claim.offset + claim.bytes;
        SectorIndex settled = settled_sectors(state, next);
        if (open.damage != FrameDamage::none)
            settled = std::min(settled, open.first);
        sink.scanned(result.bytes_read, area.offset_of(settled));
        if (claim.end == ReadEnd::read_failed) {
            result.end = ScanResult::End::read_failed;
            result.error = claim.error;
        } else if (claim.end == ReadEnd::shrank) {
            result.end = ScanResult::End::shrank;
        } else if (claim.end != ReadEnd::more) {
            break; // the whole area
        }
    }
    // Damage up to where the frames were checked is damage, however the
    // scan ends; a run still open is not reported.
    if (result.end != ScanResult::End::sink_failed) {
        if (const Failure failure = end_damage(next))
            fail(failure);
    }
    if (!area.input->size() || result.end == ScanResult::End::complete)
        result.image_size = std::max(result.image_size, result.position);
    if (result.end != ScanResult::End::complete) {
        SectorIndex settled = settled_sectors(state, next);
        if (open.damage != FrameDamage::none)
            settled = std::min(settled, open.first);
        result.settled_bytes = area.offset_of(settled);
        return false;
    }
    return true;
}

} // namespace

ScanResult scan_image(std::span<const ScanArea> areas, const ReadPlan& plan, RunSink& sink, bool damage)
{
    ScanResult result;
    for (std::size_t a = 0; a < areas.size(); ++a) {
        result.area = a;
        if (!scan_area(areas[a], plan, sink, damage, result))
            return result;
    }
    // All of the last file is settled: what lies outside the areas (audio
    // tracks) was never in question.
    result.settled_bytes = result.image_size;
    return result;
}

ScanResult scan_image(const ImageInput& input, const ReadPlan& plan, RunSink& sink)
{
    ScanArea area;
    area.input = &input;
    return scan_image(std::span<const ScanArea>(&area, 1), plan, sink);
}
