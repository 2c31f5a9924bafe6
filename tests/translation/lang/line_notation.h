#pragma once
// Lines in tests are written with "|" for the delimiter (character 1).

#include "platform/text1251.h"

#include <string>

namespace translation::test {

inline constexpr char D = '\x01';

inline std::string L(std::string s)
{
    for (char& c : s)
        if (c == '|')
            c = D;
    return s;
}

// A text of the system's code page, written in UTF-8 in the test.
inline std::string Cp(const char* utf8)
{
    return platform::Utf8ToCp1251(utf8);
}

} // namespace translation::test
