// sectorscan: lists the runs of empty sectors in a disc or disk image.
#include <cstdlib>
#include <new>

#include "cli/scanner_main.h"
#include "support/failure.h"

namespace {

// What the tool takes of the heap besides its read buffers, and a margin:
// where not even this can be had, no exception could be thrown either, so
// the tool says so before it starts.
constexpr std::size_t HEAP_NEEDED = std::size_t{256} << 10U;

} // namespace

int main(int argc, char** argv)
{
    void* probe = std::malloc(HEAP_NEEDED);
    if (probe == nullptr) {
        print_message("out of memory");
        return 1;
    }
    std::free(probe);
    // The read buffers are asked for with care; this is for the few bytes of
    // everything else, under a memory limit that leaves few.
    try {
        return scanner_main(argc, argv);
    } catch (const std::bad_alloc&) {
        print_message("out of memory");
        return 1;
    }
}
