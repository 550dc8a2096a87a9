// The map of files, and the question which of them a run meets.
#include "files/file_map.h"

#include <algorithm>
#include <cstdio>

FileMap::FileMap()
{
    entries_.push_back(Node{ROOT, 0, 0, true});
}

FileMap::Entry FileMap::add(Entry parent, std::string_view name, bool folder)
{
    Node node;
    node.parent = parent;
    node.name_at = static_cast<std::uint32_t>(names_.size());
    node.name_length = static_cast<std::uint32_t>(name.size());
    node.folder = folder;
    names_.append(name);
    entries_.push_back(node);
    return static_cast<Entry>(entries_.size() - 1);
}

void FileMap::add_extent(Entry entry, std::uint64_t image_offset, std::uint64_t length, std::uint64_t file_offset)
{
    if (length > 0)
        extents_.push_back(Extent{image_offset, image_offset + length, file_offset, entry});
}

void FileMap::finish()
{
    std::sort(extents_.begin(), extents_.end(),
              [](const Extent& a, const Extent& b) { return a.from < b.from || (a.from == b.from && a.to < b.to); });
    // A segment tree in an array: node n covers a range of extents, its
    // children are 2n + 1 and 2n + 2.
    max_to_.assign(extents_.empty() ? 0 : 4 * extents_.size(), 0);
    auto build = [&](auto& self, std::size_t node, std::size_t lo, std::size_t hi) -> std::uint64_t {
        if (hi - lo == 1)
            return max_to_[node] = extents_[lo].to;
        const std::size_t mid = lo + (hi - lo) / 2;
        return max_to_[node] = std::max(self(self, 2 * node + 1, lo, mid), self(self, 2 * node + 2, mid, hi));
    };
    if (!extents_.empty())
        build(build, 0, 0, extents_.size());
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

void FileMap::visit(std::size_t node, std::size_t lo, std::size_t hi, std::uint64_t from, std::uint64_t to,
                    std::vector<Hit>& hits) const
{
    // Nothing below ends after `from`, or starts before `to`.
    if (max_to_[node] <= from || extents_[lo].from >= to)
        return;
    if (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        visit(2 * node + 1, lo, mid, from, to, hits);
        visit(2 * node + 2, mid, hi, from, to, hits);
        return;
    }
    const Extent& e = extents_[lo];
    const std::uint64_t start = std::max(from, e.from);
    hits.push_back(
        Hit{e.entry, start, e.file_offset + (start - e.from), e.file_offset + (std::min(to, e.to) - e.from) - 1});
}

std::vector<FileMap::Hit> FileMap::files_in(std::uint64_t from, std::uint64_t to) const
{
    std::vector<Hit> hits;
    if (!extents_.empty() && from < to)
        visit(0, 0, extents_.size(), from, to, hits);
    // One hit per file, from all its extents in the run.
    std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.entry < b.entry; });
    std::vector<Hit> files;
    for (const Hit& hit : hits) {
        if (!files.empty() && files.back().entry == hit.entry) {
            Hit& file = files.back();
            file.first_in_image = std::min(file.first_in_image, hit.first_in_image);
            file.first = std::min(file.first, hit.first);
            file.last = std::max(file.last, hit.last);
        } else {
            files.push_back(hit);
        }
    }
    hits.swap(files);
    std::sort(hits.begin(), hits.end(), [&](const Hit& a, const Hit& b) {
        if (a.first_in_image != b.first_in_image)
            return a.first_in_image < b.first_in_image;
        return path(a.entry) < path(b.entry);
    });
    return hits;
}

std::string escaped_name(std::string_view name)
{
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const bool c1 = byte == 0xc2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(name[i + 1]) <= 0x9f;
        if (byte >= 0x20 && byte != 0x7f && byte != '\\' && !c1) {
            out += name[i];
            continue;
        }
        for (std::size_t k = 0; k < (c1 ? 2U : 1U); ++k) {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(name[i + k]));
            out += code;
        }
        i += c1 ? 1 : 0;
    }
    return out;
}
