// Recognising raw images, and reading CUE sheets and cdrdao TOC files.
#include "scan/disc_layout.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <sstream>

#include "scan/cd_frames.h"
#include "support/printable.h"
#include "support/read_fully.h"

namespace {

// Frames looked at to recognise a raw image, at its start and in its middle.
constexpr std::size_t SAMPLE_FRAMES = 32;
// The largest sheet read: real ones take a few KiB.
constexpr std::uint64_t MAX_SHEET = std::uint64_t{1} << 20U;

// What the sampled frames of one size say: how many carry the sync
// pattern, how many begin with other bytes that are not zero, and which
// disc address frame 0 has by each header that can be read. A damaged frame
// or two do not change what the rest agree on.
struct Sample {
    std::size_t synced = 0;
    std::size_t other = 0;
    std::map<std::int64_t, std::size_t> bases; // how many headers put frame 0 there
    std::size_t xa = 0;                        // Mode 2 frames with and without an XA subheader
    std::size_t not_xa = 0;

    void take(const unsigned char* frame, std::int64_t index)
    {
        if (!has_sync(frame)) {
            other += std::any_of(frame, frame + 16, [](unsigned char b) { return b != 0; }) ? 1 : 0;
            return;
        }
        ++synced;
        if (const std::optional<std::int64_t> at = header_address(frame); at && frame[15] <= 2)
            ++bases[*at - index];
        if (frame[15] == 2)
            ++(has_xa_subheader(frame) ? xa : not_xa);
    }
    // The address most headers agree on, where raw: at least two of them,
    // and three in four of those read.
    std::optional<std::int64_t> raw() const
    {
        std::size_t headers = 0;
        std::pair<std::int64_t, std::size_t> best{0, 0};
        for (const auto& [base, count] : bases) {
            headers += count;
            if (count > best.second)
                best = {base, count};
        }
        if (synced < 2 || synced <= 3 * other || best.second < 2 || 4 * best.second < 3 * headers)
            return std::nullopt;
        return best.first;
    }
};

} // namespace

std::size_t frame_size(SectorFormat format)
{
    switch (format) {
    case SectorFormat::raw:
        return RAW_FRAME_SIZE;
    case SectorFormat::raw_subchannel:
        return RAW_SUBCHANNEL_FRAME_SIZE;
    case SectorFormat::iso:
        break;
    }
    return SECTOR_SIZE;
}

const char* format_name(SectorFormat format)
{
    switch (format) {
    case SectorFormat::raw:
        return "raw";
    case SectorFormat::raw_subchannel:
        return "raw+sub";
    case SectorFormat::iso:
        break;
    }
    return "iso";
}

SectorFormat recognise_format(ImageInput& input, SectorIndex& first, bool& formless)
{
    first = 0;
    formless = false;
    const std::size_t want = SAMPLE_FRAMES * RAW_SUBCHANNEL_FRAME_SIZE;
    // Asked for without exceptions: where memory is that short, the scan
    // says so itself, and an ISO is as good a guess as any.
    const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[2 * want]);
    if (!buffer)
        return SectorFormat::iso;
    unsigned char* start = buffer.get();
    unsigned char* middle = buffer.get() + want;
    std::uint64_t middle_at = 0;
    std::size_t middle_got = 0;
    std::size_t got = 0;
    if (input.size()) {
        got = read_fully(input.fd(), 0, start, want).bytes;
        if (*input.size() > 4 * want) {
            middle_at = *input.size() / 2;
            middle_got = read_fully(input.fd(), middle_at, middle, want).bytes;
        }
    } else {
        got = input.read_head(want);
        std::copy_n(input.head().begin(), got, start);
    }
    for (const SectorFormat format : {SectorFormat::raw, SectorFormat::raw_subchannel}) {
        const std::size_t size = frame_size(format);
        Sample sample;
        for (std::size_t k = 0; (k + 1) * size <= got; ++k)
            sample.take(start + k * size, static_cast<std::int64_t>(k));
        // The middle's frames, from the first that begins on a frame boundary.
        const std::uint64_t skip = (size - middle_at % size) % size;
        for (std::uint64_t at = skip; at + size <= middle_got; at += size)
            sample.take(middle + at, static_cast<std::int64_t>((middle_at + at) / size));
        if (const std::optional<std::int64_t> base = sample.raw()) {
            first = static_cast<SectorIndex>(std::max<std::int64_t>(*base, 0));
            formless = sample.not_xa > sample.xa;
            return format;
        }
    }
    return SectorFormat::iso;
}

bool is_sheet(const std::string& path)
{
    if (path.size() < 4)
        return false;
    std::string ending = path.substr(path.size() - 4);
    std::transform(ending.begin(), ending.end(), ending.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ending == ".cue" || ending == ".toc";
}

namespace {

// A track as the sheet writes it: where its data lies, and how.
struct SheetTrack {
    unsigned number = 0;
    std::size_t file = 0;
    std::size_t size = 0; // bytes of a frame; 0: a mode that is not supported
    bool audio = false;
    std::string mode;                          // as written, for messages
    std::uint64_t start = 0;                   // byte where its data (index 1) begins in its file
    std::optional<std::uint64_t> frames;       // none: up to the next track, or the file's end
    std::uint64_t start_frame = 0;             // the same, in frames from the file's start (CUE)
    std::optional<std::uint64_t> pregap_frame; // its index 0, in the file (CUE)
    std::uint64_t silence = 0;                 // frames of pregap in no file, before it (PREGAP)
    std::uint64_t pregap = 0;                  // frames of pregap in the file, before `start` (TOC's START)
};

// The words of a sheet's line, a quoted one as one.
std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out;
    for (std::size_t at = 0; at < line.size();) {
        if (std::isspace(static_cast<unsigned char>(line[at])) != 0) {
            ++at;
            continue;
        }
        if (line[at] == '"') {
            const std::size_t end = line.find('"', at + 1);
            out.push_back(line.substr(at + 1, (end == std::string::npos ? line.size() : end) - at - 1));
            at = end == std::string::npos ? line.size() : end + 1;
            continue;
        }
        std::size_t end = at;
        while (end < line.size() && std::isspace(static_cast<unsigned char>(line[end])) == 0)
            ++end;
        out.push_back(line.substr(at, end - at));
        at = end;
    }
    return out;
}

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// "mm:ss:ff" in frames.
std::optional<std::uint64_t> msf(const std::string& text)
{
    std::uint64_t parts[3] = {};
    const char* at = text.c_str();
    for (std::size_t k = 0; k < 3; ++k) {
        if (std::isdigit(static_cast<unsigned char>(*at)) == 0)
            return std::nullopt;
        char* end = nullptr;
        parts[k] = std::strtoull(at, &end, 10);
        if (*end != (k < 2 ? ':' : '\0'))
            return std::nullopt;
        at = end + 1;
    }
    if (parts[0] > 99 || parts[1] > 59 || parts[2] > 74)
        return std::nullopt;
    return (parts[0] * 60 + parts[1]) * 75 + parts[2];
}

// Bytes of a frame of a CUE track's mode, 0 for one that is not supported.
std::size_t cue_frame(const std::string& mode, bool& audio)
{
    audio = mode == "AUDIO" || mode == "CDG";
    if (mode == "AUDIO" || mode == "MODE1/2352" || mode == "MODE2/2352" || mode == "CDI/2352")
        return RAW_FRAME_SIZE;
    if (mode == "CDG" || mode == "MODE1/2448" || mode == "MODE2/2448")
        return RAW_SUBCHANNEL_FRAME_SIZE;
    if (mode == "MODE1/2048" || mode == "MODE2/2048")
        return SECTOR_SIZE;
    return 0;
}

// Bytes of a frame of a TOC track's mode, and its subchannel.
std::size_t toc_frame(const std::string& mode, const std::string& subchannel, bool& audio)
{
    audio = mode == "AUDIO";
    std::size_t size = 0;
    if (mode == "AUDIO" || mode == "MODE1_RAW" || mode == "MODE2_RAW")
        size = RAW_FRAME_SIZE;
    else if (mode == "MODE1" || mode == "MODE2_FORM1")
        size = SECTOR_SIZE;
    if (size != 0 && (subchannel == "RW" || subchannel == "RW_RAW"))
        size += 96;
    return size;
}

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

class SheetReader {
public:
    SheetReader(const std::string& path, DiscLayout& layout) : path_(path), layout_(layout) {}
    bool read(std::string& why);

private:
    std::size_t file_index(const std::string& name);
    bool parse_cue(std::istream& in, std::string& why);
    bool parse_toc(std::istream& in, std::string& why);

    const std::string& path_;
    DiscLayout& layout_;
    std::vector<SheetTrack> tracks_;
};

std::size_t SheetReader::file_index(const std::string& name)
{
    const std::string path = !name.empty() && name[0] == '/' ? name : folder_of(path_) + name;
    const auto at = std::find(layout_.paths.begin(), layout_.paths.end(), path);
    if (at != layout_.paths.end())
        return static_cast<std::size_t>(at - layout_.paths.begin());
    layout_.paths.push_back(path);
    return layout_.paths.size() - 1;
}

bool SheetReader::parse_cue(std::istream& in, std::string& why)
{
    std::optional<std::size_t> file;
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> w = words(line);
        if (w.empty())
            continue;
        const std::string key = upper(w[0]);
        if (key == "FILE" && w.size() >= 2) {
            file = file_index(w[1]);
        } else if (key == "TRACK" && w.size() >= 3) {
            if (!file) {
                why = "a track comes before any FILE line";
                return false;
            }
            SheetTrack track;
            track.number = static_cast<unsigned>(std::strtoul(w[1].c_str(), nullptr, 10));
            track.file = *file;
            track.mode = upper(w[2]);
            track.size = cue_frame(track.mode, track.audio);
            tracks_.push_back(track);
        } else if (key == "INDEX" && w.size() >= 3 && !tracks_.empty()) {
            const std::optional<std::uint64_t> at = msf(w[2]);
            if (!at) {
                why = "an INDEX line with a time that is not mm:ss:ff: " + printable(line);
                return false;
            }
            const unsigned index = static_cast<unsigned>(std::strtoul(w[1].c_str(), nullptr, 10));
            if (index == 0)
                tracks_.back().pregap_frame = *at;
            else if (index == 1)
                tracks_.back().start_frame = *at;
        } else if (key == "PREGAP" && w.size() >= 2 && !tracks_.empty()) {
            tracks_.back().silence = msf(w[1]).value_or(0);
        }
    }
    // A track's data runs from its index 1 to where the next track in the
    // same file begins (its pregap included). Bytes from frames: those
    // before a track's index 1 are of the size of the track before it in
    // the file (of its own, for the first).
    for (std::size_t t = 0; t < tracks_.size(); ++t) {
        SheetTrack& track = tracks_[t];
        std::uint64_t byte = 0;
        std::uint64_t frame = 0;
        std::size_t size = 0;
        for (std::size_t p = 0; p <= t; ++p) {
            const SheetTrack& before = tracks_[p];
            if (before.file != track.file)
                continue;
            if (before.start_frame < frame) {
                why = "the times of its tracks go backwards";
                return false;
            }
            byte += (before.start_frame - frame) * (size == 0 ? before.size : size);
            frame = before.start_frame;
            size = before.size;
        }
        track.start = byte;
        if (t + 1 < tracks_.size() && tracks_[t + 1].file == track.file) {
            const SheetTrack& next = tracks_[t + 1];
            const std::uint64_t end = next.pregap_frame.value_or(next.start_frame);
            track.frames = end - std::min(end, track.start_frame);
        }
    }
    return true;
}

bool SheetReader::parse_toc(std::istream& in, std::string& why)
{
    // Where each file's next track data begins, when a line does not say.
    std::vector<std::uint64_t> next_byte;
    for (std::string line; std::getline(in, line);) {
        const std::size_t comment = line.find("//");
        const std::vector<std::string> w = words(line.substr(0, comment));
        if (w.empty())
            continue;
        const std::string key = upper(w[0]);
        if (key == "TRACK" && w.size() >= 2) {
            SheetTrack track;
            track.number = static_cast<unsigned>(tracks_.size() + 1);
            track.mode = upper(w[1]);
            track.size = toc_frame(track.mode, w.size() >= 3 ? upper(w[2]) : "", track.audio);
            tracks_.push_back(track);
        } else if ((key == "DATAFILE" || key == "FILE" || key == "AUDIOFILE") && w.size() >= 2 && !tracks_.empty()) {
            SheetTrack& track = tracks_.back();
            track.file = file_index(w[1]);
            next_byte.resize(layout_.paths.size(), 0);
            std::size_t at = 2;
            std::uint64_t byte = next_byte[track.file];
            if (at < w.size() && w[at][0] == '#')
                byte = std::strtoull(w[at++].c_str() + 1, nullptr, 10);
            if (key != "DATAFILE" && at < w.size()) {
                // FILE's start, in frames or samples, after the offset.
                const std::optional<std::uint64_t> start = msf(w[at]);
                byte += start ? *start * track.size : std::strtoull(w[at].c_str(), nullptr, 10) * 4;
                ++at;
            }
            track.start = byte;
            if (at < w.size() && track.size != 0) {
                const std::optional<std::uint64_t> length = msf(w[at]);
                track.frames = length ? *length : std::strtoull(w[at].c_str(), nullptr, 10) / track.size;
            }
            next_byte[track.file] = track.frames ? byte + *track.frames * track.size : UINT64_MAX;
        } else if ((key == "ZERO" || key == "SILENCE") && !tracks_.empty() && !tracks_.back().audio) {
            why = "track " + std::to_string(tracks_.size()) + " has " + key + " data, which is not supported";
            return false;
        } else if (key == "START" && !tracks_.empty() && w.size() >= 2 && tracks_.back().size != 0) {
            // The track's own data begins after its pregap.
            if (const std::optional<std::uint64_t> at = msf(w[1])) {
                SheetTrack& track = tracks_.back();
                track.start += *at * track.size;
                track.pregap = *at;
                if (track.frames)
                    track.frames = *track.frames - std::min(*track.frames, *at);
            }
        } else if (key == "PREGAP" && !tracks_.empty() && w.size() >= 2) {
            tracks_.back().silence = msf(w[1]).value_or(0);
        }
    }
    for (const SheetTrack& track : tracks_) {
        if (track.file >= layout_.paths.size()) {
            why = "track " + std::to_string(track.number) + " names no file";
            return false;
        }
    }
    return true;
}

bool SheetReader::read(std::string& why)
{
    struct stat info {};
    if (stat(path_.c_str(), &info) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) > MAX_SHEET) {
        why = "this is no CUE sheet or TOC file";
        return false;
    }
    std::ifstream in(path_);
    const bool toc = upper(path_.substr(path_.size() - 4)) == ".TOC";
    // (A sheet's name ends in .cue or .toc: see is_sheet.)
    if (!in || !(toc ? parse_toc(in, why) : parse_cue(in, why)))
        return false;
    if (tracks_.empty()) {
        why = "the sheet holds no track";
        return false;
    }
    // Every file it names, open, and long enough for what the sheet says.
    for (const std::string& file : layout_.paths) {
        auto input = std::make_unique<ImageInput>();
        if (const Failure failure = open_image(file.c_str(), *input)) {
            why = printable(file) + ", which the sheet names, cannot be opened: " + failure.what();
            return false;
        }
        if (!input->regular()) {
            why = printable(file) + ", which the sheet names, is not a regular file";
            return false;
        }
        layout_.inputs.push_back(std::move(input));
    }
    // The disc address of each track's data. A CUE sheet's times count from
    // the start of their file, and each file follows the one before on the
    // disc; a TOC file's tracks follow one another. PREGAP adds frames that
    // no file holds. (libcdio 2.1 reads neither well enough: its CUE reader
    // looks for a data file named after the sheet and numbers the tracks of
    // a second file from 0 again; its TOC reader looks for the data files in
    // the working folder, not the sheet's.)
    std::vector<std::uint64_t> addresses;
    std::uint64_t disc = 0;
    std::uint64_t silence = 0;
    for (std::size_t t = 0; t < tracks_.size(); ++t) {
        const SheetTrack& track = tracks_[t];
        const std::uint64_t size = layout_.inputs[track.file]->size().value_or(0);
        const std::uint64_t frames =
            track.frames.value_or((size - std::min(size, track.start)) / std::max<std::size_t>(track.size, 1));
        if (toc) {
            disc += track.silence + track.pregap;
            addresses.push_back(disc);
            disc += frames;
            continue;
        }
        if (t > 0 && tracks_[t - 1].file != track.file) {
            const SheetTrack& last = tracks_[t - 1];
            const std::uint64_t last_size = layout_.inputs[last.file]->size().value_or(0);
            disc +=
                last.start_frame + (last_size - std::min(last_size, last.start)) / std::max<std::size_t>(last.size, 1);
        }
        silence += track.silence;
        addresses.push_back(disc + track.start_frame + silence);
    }

    for (std::size_t t = 0; t < tracks_.size(); ++t) {
        const SheetTrack& track = tracks_[t];
        if (track.audio) {
            layout_.audio_tracks.push_back(track.number);
            continue;
        }
        if (track.size == 0) {
            why = "track " + std::to_string(track.number) + " is " + printable(track.mode) + ", which is not supported";
            return false;
        }
        const ImageInput& input = *layout_.inputs[track.file];
        const std::uint64_t size = input.size().value_or(0);
        const std::uint64_t end = track.frames ? track.start + *track.frames * track.size : size;
        if (end > size || track.start > size) {
            why = printable(layout_.paths[track.file]) + " is shorter than the sheet says: it holds " +
                  std::to_string(size) + " bytes, and track " + std::to_string(track.number) + " ends at byte " +
                  std::to_string(std::max(end, track.start));
            return false;
        }
        ScanArea area;
        area.input = &input;
        area.file = track.file;
        area.offset = track.start;
        area.frames = (end - track.start) / track.size;
        area.first = addresses[t];
        area.format = track.size == SECTOR_SIZE      ? SectorFormat::iso
                      : track.size == RAW_FRAME_SIZE ? SectorFormat::raw
                                                     : SectorFormat::raw_subchannel;
        layout_.areas.push_back(area);
    }
    layout_.sheet = true;
    return true;
}

} // namespace

bool read_sheet(const std::string& path, DiscLayout& layout, std::string& why)
{
    if (SheetReader(path, layout).read(why))
        return true;
    layout = DiscLayout{};
    return false;
}
