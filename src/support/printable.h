// Names from an image made fit to print: whatever bytes a file system holds,
// a printed name is one line that moves no cursor and cannot pass for a line
// of the report.
#pragma once

#include <string>
#include <string_view>

// `bytes` as UTF-8 text in which every control character (below 0x20, 0x7f,
// and the C1 codes U+0080 to U+009F), every backslash and every byte that is
// not part of well-formed UTF-8 is written as \xHH.
std::string printable(std::string_view bytes);

// UTF-16 code units, big-endian (Joliet, UDF's 16-bit names), decoded to
// UTF-8 as by printable(); surrogate pairs become the one character they
// stand for. A lone surrogate, the NUL character and a last odd byte are
// written as the \xHH bytes of the original.
std::string printable_utf16be(std::string_view bytes);

// 8-bit characters, each the code point of its value (UDF's 8-bit names,
// which are ISO 8859-1), as by printable().
std::string printable_latin1(std::string_view bytes);
