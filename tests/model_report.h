// The report by the definition alone, over the whole image at once: the
// reference that the scan is held against in the tests and the fuzz target.
#pragma once

#include <cstddef>
#include <string>

std::string model_report(const unsigned char* image, std::size_t size);
