// Raw CD frames for the tests, encoded here from ECMA-130's equations (not
// with the tool's checker): sync, header, subheader, EDC, and the P and Q
// parity that make every codeword's syndromes zero.
#pragma once

#include <cstdint>

#include "test_images.h"

enum class RawMode { mode1, form1, form2 };

// The 2352-byte frame at disc address `address` holding `user` (2048
// bytes; 2324 for Form 2).
Bytes raw_frame(const unsigned char* user, RawMode mode, std::uint64_t address);

// The image of raw frames of the 2048-byte sectors of `iso` (Form 2 takes
// them padded with zeros), the first at disc address `first`; with
// `subchannel`, 96 bytes of 0x5A after each frame.
Bytes raw_image(const Bytes& iso, RawMode mode, bool subchannel, std::uint64_t first = 0);
