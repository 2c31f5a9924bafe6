#pragma once
// Text in a Windows code page, converted to and from UTF-8: Windows-1251 through text1251.h, every
// other code page through glibc's iconv.  A conversion is exact: a byte the code page does not
// assign, or a character it cannot hold, fails the whole conversion (nullopt).

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The code pages that the Windows font character sets stand for; 1251 is the system's own.
constexpr int kSystemCodePage = 1251;
constexpr int kOemCodePage = 866;

std::optional<std::string> CodePageToUtf8(std::string_view text, int codePage);
std::optional<std::string> Utf8ToCodePage(std::string_view utf8, int codePage);
// True when the code page can be converted here.
bool IsKnownCodePage(int codePage);

} // namespace platform
