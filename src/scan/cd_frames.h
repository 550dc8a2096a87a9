// Raw CD frames (ECMA-130): where a frame's user data lies, and the checks a
// frame carries for itself (its sync pattern, its header, its EDC and its
// Reed-Solomon P and Q parity).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// A raw frame as rippers write it, and one followed by its 96 bytes of
// subchannel.
inline constexpr std::size_t RAW_FRAME_SIZE = 2352;
inline constexpr std::size_t RAW_SUBCHANNEL_FRAME_SIZE = 2448;

// Whether the frame begins with the 12-byte sync pattern.
bool has_sync(const unsigned char* frame);

// The disc address the frame's header gives: its minute, second and frame
// in BCD, less the 150 frames before address 0 (which can make it less than
// 0); none where they are no BCD or out of range.
std::optional<std::int64_t> header_address(const unsigned char* frame);

// The user data of a frame: `length` bytes from `offset`, none for a frame
// with no sync pattern, of mode 0, or of a mode that does not exist.
struct UserData {
    std::uint16_t offset = 0;
    std::uint16_t length = 0;
};

// Mode 1: 2048 bytes at 16. Mode 2 (CD-ROM XA), by the submode of its
// subheader: Form 1 2048 bytes at 24, Form 2 (submode bit 0x20) 2324 at 24;
// a frame of a disc whose Mode 2 frames have no subheader (`formless`):
// 2336 bytes at 16.
UserData user_data(const unsigned char* frame, bool formless = false);

// The finished CRC-32 of `length` zero bytes, for the lengths user data
// has (2048, 2324, 2336): a frame is empty when its user data's CRC-32 is
// this, and so is one with no user data.
std::uint32_t empty_user_data_crc(std::size_t length);

// The first of a frame's own checks that it fails.
enum class FrameDamage : std::uint8_t {
    none,
    no_sync,    // no sync pattern: a frame of zeros, as rippers leave what they could not read
    bad_header, // an address that is not the frame's own, or a mode that is not 0, 1 or 2
    bad_edc,
    bad_ecc,
};

// Checks the frame that should lie at disc address `address`. A Mode 2
// Form 2 frame whose EDC is zero has none (the standard allows it), and
// has no parity; Mode 0 and formless Mode 2 have neither.
FrameDamage check_frame(const unsigned char* frame, std::uint64_t address, bool formless = false);

// Whether the Mode 2 frame's two copies of its subheader agree, as those of
// CD-ROM XA do.
bool has_xa_subheader(const unsigned char* frame);

// How a damage is said in the report: "no sync", "bad header"...
const char* damage_text(FrameDamage damage);

// The EDC of `length` bytes: a CRC-32 with the polynomial 0x8001801B taken
// least significant bit first, from 0, not inverted. A frame stores it
// little-endian after the bytes it covers.
std::uint32_t cd_edc(const unsigned char* data, std::size_t length);

// Whether the P and Q codewords of a Mode 1 frame (or a Mode 2 Form 1 one,
// whose header they take as zeros) check out: both syndromes of every
// codeword are zero.
bool cd_parity_holds(const unsigned char* frame, bool zero_header);
