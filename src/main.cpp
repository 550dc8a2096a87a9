// sectorscan: lists the runs of empty 2048-byte sectors in a disc or disk image.
#include "scanner_main.h"

int main(int argc, char** argv)
{
    return scanner_main(argc, argv);
}
