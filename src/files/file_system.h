// The image's own file system, read once before the scan into a FileMap:
// UDF where the image has it, else ISO 9660 with its Rock Ridge names, else
// its Joliet names, else its plain ones.
#pragma once

#include "files/file_map.h"
#include "scan/image_input.h"

// Reads the file system of the image open as `input`, which is a file or a
// device (read with pread, apart from the scan), into `map`. What it holds
// is untrusted: every size is bounded by the image, a folder is entered
// once, and what cannot be read is said on standard error as
// "sectorscan: IMAGE: --files: ..." (`image_path` naming the image), its
// files left out. An image with neither gets one note and an empty map.
void read_file_system(const ImageInput& input, const char* image_path, FileMap& map);
