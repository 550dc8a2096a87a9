// Reading every tree, best first, and saying where names come from.
#include "files/file_system.h"

#include <deque>

#include "files/file_system_walk.h"

std::vector<std::string> read_file_system(const BlockSource& blocks, FileMap& map)
{
    FileSystemWalk walk(blocks, map);
    std::deque<Tree> trees;
    // UDF first: where a disc has it (DVD-Video, Blu-ray), its names are
    // those its players show; then ISO 9660's trees, in their own order.
    const bool udf = read_udf(walk, trees);
    const bool iso = read_iso9660(walk, trees);
    if (!udf && !iso) {
        walk.note("no UDF or ISO 9660 file system found; every run is followed by (no file)");
        map.finish();
        return walk.notes();
    }
    bool complete = false;
    std::string unread; // trees, read before the one that names the files, that named none
    bool named = false;
    for (const Tree& tree : trees) {
        complete = complete || tree.complete();
        if (tree.names_files() && !unread.empty())
            walk.note("names come from the " + std::string(tree.name()) + " tree, since the " + unread +
                      " tree cannot be read");
        named = named || tree.names_files();
        if (!named)
            unread += (unread.empty() ? "" : " and the ") + std::string(tree.name());
        if (tree.files_named() > 0) {
            walk.note(std::to_string(tree.files_named()) + (tree.files_named() == 1 ? " file" : " files") +
                      " that the " + walk.naming_tree() + " tree does not reach " +
                      (tree.files_named() == 1 ? "is" : "are") + " named from the " + tree.name() + " tree");
        }
    }
    map.set_complete(complete);
    map.finish();
    return walk.notes();
}
