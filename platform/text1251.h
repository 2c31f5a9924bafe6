#pragma once
// Windows-1251 text, the code page of every log line, text file and document of the system.

#include <string>
#include <string_view>

namespace platform {

// Characters outside the code page become '?'; *lossless (when given) tells whether none did.
std::string Utf8ToCp1251(std::string_view utf8, bool* lossless = nullptr);
std::string Cp1251ToUtf8(std::string_view cp1251);
// The Unicode code point of a Windows-1251 byte (0 for the one unassigned byte, 0x98), and the
// byte of a code point (-1 when the code page lacks it).
char32_t Cp1251ToCodePoint(unsigned char byte);
int CodePointToCp1251(char32_t cp);

} // namespace platform
