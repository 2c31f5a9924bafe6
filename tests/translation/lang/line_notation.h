#pragma once
// Lines in tests are written with "|" for the delimiter (character 1).

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

} // namespace translation::test
