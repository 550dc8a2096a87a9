// Choosing the file system to read.
#include "files/file_system.h"

#include "files/file_system_walk.h"

void read_file_system(const ImageInput& input, const char* image_path, FileMap& map)
{
    FileSystemWalk walk(input, image_path, map);
    if (!read_udf(walk) && !read_iso9660(walk))
        walk.note("no UDF or ISO 9660 file system found; every run is followed by (no file)");
    walk.say_notes();
    map.finish();
}
