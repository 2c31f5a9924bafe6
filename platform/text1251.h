#pragma once
// Windows-1251 text, the code page of every log line, text file and document of the system.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Characters outside the code page become '?'; *lossless (when given) tells whether none did.
// Malformed UTF-8 sequences count as characters outside the code page.
std::string Utf8ToCp1251(std::string_view utf8, bool* lossless = nullptr);
// The unassigned byte 0x98 becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view cp1251);
// The Unicode code point of a Windows-1251 byte (0 for the one unassigned byte, 0x98), and the
// byte of a code point (-1 when the code page lacks it).
char32_t Cp1251ToCodePoint(unsigned char byte);
int CodePointToCp1251(char32_t cp);

// Decodes one UTF-8 sequence at pos and moves pos past it; a malformed one gives nullopt and
// skips one byte.
std::optional<char32_t> DecodeUtf8(std::string_view s, size_t& pos);
// Lower case for the Latin and Cyrillic letters, for names that compare case-insensitively.
// Malformed bytes are kept as they are.
std::string FoldCaseUtf8(std::string_view utf8);
// The same folding for Windows-1251 bytes, byte by byte; every byte without a letter case
// (0x98 among them) stays as it is.
std::string FoldCaseCp1251(std::string_view cp1251);

} // namespace platform
