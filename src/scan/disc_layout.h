// How an image holds its disc's sectors: 2048 bytes each (an ISO image, a
// disc read as data) or as raw frames, in one file or, through a CUE sheet
// or a cdrdao TOC file, in several; which of them hold data to check; and
// the disc address of each.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scan/image_input.h"
#include "scan/run_tracker.h"

enum class SectorFormat : std::uint8_t {
    iso,            // 2048 bytes of user data a sector
    raw,            // 2352-byte frames
    raw_subchannel, // 2352-byte frames, each followed by 96 bytes of subchannel
};

// Bytes of one sector in the image.
std::size_t frame_size(SectorFormat format);
// "iso", "raw", "raw+sub": as the option names them.
const char* format_name(SectorFormat format);

// A stretch of sectors that the scan checks in order: `frames` frames of
// `format` from byte `offset` of `input` (none: to its end), the first at
// disc address `first`.
struct ScanArea {
    const ImageInput* input = nullptr;
    std::size_t file = 0; // of the layout's files
    std::uint64_t offset = 0;
    std::optional<std::uint64_t> frames;
    SectorIndex first = 0;
    SectorFormat format = SectorFormat::iso;
    bool formless = false; // Mode 2 frames without a subheader (see cd_frames.h)

    // The byte at which the frame at address `address` begins.
    std::uint64_t offset_of(SectorIndex address) const { return offset + (address - first) * frame_size(format); }
};

// The image as the scan and the file systems read it.
struct DiscLayout {
    std::vector<std::string> paths;                  // its files, as named
    std::vector<std::unique_ptr<ImageInput>> inputs; // the same, open
    std::vector<ScanArea> areas;                     // its data, in disc order
    std::vector<unsigned> audio_tracks;              // track numbers not checked
    bool sheet = false;                              // from a CUE sheet or TOC file

    bool raw() const { return !areas.empty() && areas.front().format != SectorFormat::iso; }
};

// Which way `input` holds its sectors, by its content: raw frames (of
// either size) where several of its first 32 frames begin with the sync
// pattern and carry headers whose addresses follow on from one another, and
// few of those that begin otherwise hold anything but zeros there; else
// ISO. The disc address of its first frame goes to `first`, and whether its
// Mode 2 frames lack the subheader of CD-ROM XA (most of them do not carry
// its two copies alike) to `formless`. A stream's first bytes are kept in
// `input` for the scan to read again.
SectorFormat recognise_format(ImageInput& input, SectorIndex& first, bool& formless);

// Whether `path` names a CUE sheet or a cdrdao TOC file: by its ending
// (.cue, .toc, in any case).
bool is_sheet(const std::string& path);

// Reads the sheet at `path` into `layout`, from its own lines: its tracks,
// their kinds, which file holds each and where, and their addresses on the
// disc; the files it names, opened. False with `why` said for the user: a
// sheet that cannot be read, a file that is missing or shorter than the
// sheet says, a kind of track that is not supported.
bool read_sheet(const std::string& path, DiscLayout& layout, std::string& why);
