// The image's own file systems, read once before the scan into a FileMap:
// every tree of names the disc holds (UDF, ISO 9660's primary tree with its
// Rock Ridge names, its Joliet tree), each file named from the best tree
// that reaches it.
#pragma once

#include <string>
#include <vector>

#include "files/block_source.h"
#include "files/file_map.h"

// Reads the file systems of the image whose blocks `blocks` gives into
// `map`, and finishes it. What the image holds is untrusted: every size is
// bounded by the image, a folder is entered once, and what cannot be read is
// left out of the map and marked as such. Returns the messages for the user,
// each once: what could not be read, and which tree names which files.
std::vector<std::string> read_file_system(const BlockSource& blocks, FileMap& map);
