// The map of files, and the question what a run meets.
#include "files/file_map.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <unordered_set>

namespace {

// How each label is said; an entry's path follows where it has one.
const char* label_text(FileMap::Label label)
{
    switch (label) {
    case FileMap::Label::own:
        return "";
    case FileMap::Label::volume_descriptors:
        return "volume descriptors";
    case FileMap::Label::path_table:
        return "path table";
    case FileMap::Label::joliet_path_table:
        return "Joliet path table";
    case FileMap::Label::rock_ridge_area:
        return "Rock Ridge continuation area";
    case FileMap::Label::iso_directory:
        return "ISO 9660 directory";
    case FileMap::Label::joliet_directory:
        return "Joliet directory";
    case FileMap::Label::udf_anchor:
        return "UDF anchor";
    case FileMap::Label::udf_volume_descriptors:
        return "UDF volume descriptors";
    case FileMap::Label::udf_integrity:
        return "UDF integrity sequence";
    case FileMap::Label::udf_file_set:
        return "UDF file set descriptor";
    case FileMap::Label::udf_file_entry:
        return "UDF file entry of";
    case FileMap::Label::udf_allocation:
        return "UDF allocation extent of";
    case FileMap::Label::udf_metadata:
        return "UDF metadata file";
    }
    return "";
}

// Unreadable parts named in the unknown line; the rest are counted.
constexpr std::size_t NAMED_UNREADABLE = 3;

} // namespace

FileMap::FileMap()
{
    entries_.push_back(Node{ROOT, 0, 0, true});
}

FileMap::Entry FileMap::add(Entry parent, std::string_view name, bool folder)
{
    Node node;
    node.parent = parent;
    node.name_at = static_cast<std::uint32_t>(names_.size());
    node.name_length = static_cast<std::uint16_t>(std::min<std::size_t>(name.size(), UINT16_MAX));
    node.folder = folder;
    names_.append(name.substr(0, node.name_length));
    entries_.push_back(node);
    return static_cast<Entry>(entries_.size() - 1);
}

void FileMap::add_extent(Entry entry, std::uint64_t image_offset, std::uint64_t length, std::uint64_t file_offset,
                         Label label)
{
    if (length > 0)
        extents_.push_back(Extent{image_offset, image_offset + length, file_offset, entry, label});
}

void FileMap::finish()
{
    std::sort(extents_.begin(), extents_.end(),
              [](const Extent& a, const Extent& b) { return a.from < b.from || (a.from == b.from && a.to < b.to); });
    max_to_.assign(extents_.size(), 0);
    auto build = [&](auto& self, std::size_t lo, std::size_t hi) -> std::uint64_t {
        if (lo >= hi)
            return 0;
        const std::size_t mid = lo + (hi - lo) / 2;
        return max_to_[mid] = std::max({extents_[mid].to, self(self, lo, mid), self(self, mid + 1, hi)});
    };
    build(build, 0, extents_.size());

    if (complete_ || unreadable_.empty())
        return;
    std::unordered_set<std::string> seen;
    std::string named;
    std::size_t more = 0;
    for (const Entry entry : unreadable_) {
        std::string shown = path(entry);
        if (!seen.insert(shown).second)
            continue;
        if (seen.size() > NAMED_UNREADABLE) {
            ++more;
            continue;
        }
        named += (named.empty() ? "" : ", ") + shown;
    }
    unknown_ =
        "(unknown: " + named + (more > 0 ? " and " + std::to_string(more) + " more" : "") + " could not be read)";
    unreadable_.clear();
    unreadable_.shrink_to_fit();
}

std::string FileMap::path(Entry entry) const
{
    if (entry == ROOT)
        return "/";
    // The names from the entry up to the root, then joined from the root
    // down. A parent always comes before its children, so this ends.
    std::vector<Entry> chain;
    for (Entry at = entry; at != ROOT; at = entries_[at].parent)
        chain.push_back(at);
    std::string joined;
    for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
        const Node& node = entries_[*at];
        joined += '/';
        joined.append(names_, node.name_at, node.name_length);
    }
    if (entries_[entry].folder)
        joined += '/';
    return joined;
}

void FileMap::visit(std::size_t lo, std::size_t hi, std::uint64_t from, std::uint64_t to,
                    std::vector<std::size_t>& found) const
{
    if (lo >= hi)
        return;
    const std::size_t mid = lo + (hi - lo) / 2;
    // Nothing in this range ends after `from`.
    if (max_to_[mid] <= from)
        return;
    visit(lo, mid, from, to, found);
    // Nothing from here on starts before `to`.
    if (extents_[mid].from >= to)
        return;
    if (extents_[mid].to > from)
        found.push_back(mid);
    visit(mid + 1, hi, from, to, found);
}

std::string FileMap::text(const Extent& extent, std::uint64_t first, std::uint64_t last) const
{
    if (extent.label == Label::own) {
        char range[48];
        std::snprintf(range, sizeof range, " 0x%08" PRIx64 "-0x%08" PRIx64, first, last);
        return path(extent.entry) + range;
    }
    std::string said = "(";
    said += label_text(extent.label);
    if (extent.entry != NONE) {
        said += ' ';
        said += path(extent.entry);
    }
    said += ')';
    return said;
}

std::vector<std::string> FileMap::describe(std::uint64_t from, std::uint64_t to) const
{
    std::vector<std::size_t> found;
    if (from < to)
        visit(0, extents_.size(), from, to, found);

    // One line per entry and label, from all its extents in the range.
    struct Line {
        Entry entry;
        Label label;
        std::uint64_t first_in_image, first, last;
        const Extent* extent;
    };
    std::vector<Line> lines;
    lines.reserve(found.size());
    // Which blocks of the range something known holds.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> held;
    held.reserve(found.size());
    for (const std::size_t k : found) {
        const Extent& e = extents_[k];
        const std::uint64_t start = std::max(from, e.from);
        const std::uint64_t end = std::min(to, e.to);
        held.emplace_back(start / BLOCK, (end + BLOCK - 1) / BLOCK);
        lines.push_back(
            Line{e.entry, e.label, start, e.file_offset + (start - e.from), e.file_offset + (end - e.from) - 1, &e});
    }
    std::sort(lines.begin(), lines.end(),
              [](const Line& a, const Line& b) { return a.entry != b.entry ? a.entry < b.entry : a.label < b.label; });
    std::vector<Line> merged;
    for (const Line& line : lines) {
        if (!merged.empty() && merged.back().entry == line.entry && merged.back().label == line.label) {
            Line& kept = merged.back();
            kept.first_in_image = std::min(kept.first_in_image, line.first_in_image);
            kept.first = std::min(kept.first, line.first);
            kept.last = std::max(kept.last, line.last);
        } else {
            merged.push_back(line);
        }
    }
    std::vector<std::pair<std::uint64_t, std::string>> said;
    said.reserve(merged.size());
    for (const Line& line : merged)
        said.emplace_back(line.first_in_image, text(*line.extent, line.first, line.last));
    std::sort(said.begin(), said.end());

    std::vector<std::string> out;
    out.reserve(said.size() + 1);
    for (auto& [at, line] : said)
        out.push_back(std::move(line));
    // Blocks of the range that nothing known holds.
    std::sort(held.begin(), held.end());
    std::uint64_t reached = from / BLOCK;
    for (const auto& [first, end] : held) {
        if (first > reached)
            break;
        reached = std::max(reached, end);
    }
    const bool uncovered = reached < (to + BLOCK - 1) / BLOCK;
    if (uncovered && !unknown_.empty())
        out.push_back(unknown_);
    else if (out.empty())
        out.emplace_back("(no file)");
    return out;
}
