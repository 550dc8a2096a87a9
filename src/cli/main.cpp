// sectorscan: lists the runs of empty 2048-byte sectors in a disc or disk image.
#include <new>

#include "cli/scanner_main.h"
#include "support/failure.h"

int main(int argc, char** argv)
{
    // The read buffers are asked for with care; this is for the few bytes of
    // everything else, under a memory limit that leaves none.
    try {
        return scanner_main(argc, argv);
    } catch (const std::bad_alloc&) {
        print_message("out of memory");
        return 1;
    }
}
