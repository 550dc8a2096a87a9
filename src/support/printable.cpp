// The one name escaper.
#include "support/printable.h"

#include <cstdint>
#include <cstdio>

namespace {

void append_escape(std::string& out, unsigned char byte)
{
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02x", byte);
    out += code;
}

// The length of the well-formed UTF-8 sequence at `at`, or 0: no overlong
// forms, no surrogates, nothing past U+10FFFF.
std::size_t utf8_length(std::string_view bytes, std::size_t at)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[at + k]); };
    const auto continuation = [&](std::size_t k) { return at + k < bytes.size() && (byte(k) & 0xC0U) == 0x80U; };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2))
            return 0;
        const unsigned char second = byte(1);
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0))
            return 0;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3))
            return 0;
        const unsigned char second = byte(1);
        if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90))
            return 0;
        return 4;
    }
    return 0;
}

void append_code_point(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0U | (c >> 6U));
        out += static_cast<char>(0x80U | (c & 0x3FU));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0U | (c >> 12U));
        out += static_cast<char>(0x80U | ((c >> 6U) & 0x3FU));
        out += static_cast<char>(0x80U | (c & 0x3FU));
    } else {
        out += static_cast<char>(0xF0U | (c >> 18U));
        out += static_cast<char>(0x80U | ((c >> 12U) & 0x3FU));
        out += static_cast<char>(0x80U | ((c >> 6U) & 0x3FU));
        out += static_cast<char>(0x80U | (c & 0x3FU));
    }
}

} // namespace

std::string printable(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[at]);
        const std::size_t length = utf8_length(bytes, at);
        const bool c1 = lead == 0xC2 && length == 2 && static_cast<unsigned char>(bytes[at + 1]) <= 0x9F;
        if (length == 0 || c1 || lead < 0x20 || lead == 0x7F || lead == '\\') {
            // A C1 code is written as both of its bytes.
            const std::size_t escaped = c1 ? 2 : 1;
            for (std::size_t k = 0; k < escaped; ++k)
                append_escape(out, static_cast<unsigned char>(bytes[at + k]));
            at += escaped;
            continue;
        }
        out.append(bytes.substr(at, length));
        at += length;
    }
    return out;
}

std::string printable_utf16be(std::string_view bytes)
{
    std::string decoded;
    const auto unit = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at]) << 8U |
                                          static_cast<unsigned char>(bytes[at + 1]));
    };
    std::string out;
    const auto flush = [&] {
        out += printable(decoded);
        decoded.clear();
    };
    std::size_t at = 0;
    for (; at + 2 <= bytes.size(); at += 2) {
        const std::uint32_t u = unit(at);
        if (u >= 0xD800 && u <= 0xDBFF && at + 4 <= bytes.size() && unit(at + 2) >= 0xDC00 && unit(at + 2) <= 0xDFFF) {
            append_code_point(decoded, 0x10000 + ((u - 0xD800) << 10U) + (unit(at + 2) - 0xDC00));
            at += 2;
            continue;
        }
        if (u == 0 || (u >= 0xD800 && u <= 0xDFFF)) {
            flush();
            append_escape(out, static_cast<unsigned char>(bytes[at]));
            append_escape(out, static_cast<unsigned char>(bytes[at + 1]));
            continue;
        }
        append_code_point(decoded, u);
    }
    flush();
    if (at < bytes.size())
        append_escape(out, static_cast<unsigned char>(bytes[at]));
    return out;
}

std::string printable_latin1(std::string_view bytes)
{
    std::string decoded;
    decoded.reserve(bytes.size());
    for (const char c : bytes)
        append_code_point(decoded, static_cast<unsigned char>(c));
    return printable(decoded);
}
