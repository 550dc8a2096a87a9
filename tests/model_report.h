// The report by the definition alone, over the whole image at once: the
// reference that the scan is held against in the tests and the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string model_report(const unsigned char* image, std::size_t size);

// The block lines of the ddrescue mapfile for `report`, a model report of an
// image of `size` bytes: its runs not tried (?), the bytes from `settled` on
// not tried either, everything else done (+), with neighbours of one status
// merged.
std::string model_mapfile_blocks(const std::string& report, std::uint64_t settled, std::uint64_t size);
