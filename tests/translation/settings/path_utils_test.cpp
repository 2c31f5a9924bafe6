#include "translation/settings/path_utils.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace translation {
namespace {

std::string Slashed(std::string s)
{
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

TEST(PathUtils, ResolvePathWithEitherDelimiter)
{
    struct Case
    {
        const char* base;
        const char* relative;
        const char* expected;
    } cases[] = {
        // The drive part is never climbed past; a relative base can climb to nothing.
        {"C:\\a\\b\\", "..\\..\\..\\x", "C:\\x"},
        {"a\\b", "..\\..\\..\\x", "x"},
        // Absolute relatives come back unchanged.
        {"C:\\a", "\\\\srv\\share\\f", "\\\\srv\\share\\f"},
        {"C:\\a", "D:\\f\\..\\g", "D:\\f\\..\\g"},
        {"C:\\a", "D:", "D:"},
        // One leading delimiter is appended to the base.
        {"C:\\a", "\\f", "C:\\a\\f"},
        // The trailing delimiter follows the relative path.
        {"C:\\a", "b\\", "C:\\a\\b\\"},
        {"C:\\a", "b", "C:\\a\\b"},
        {"C:\\a\\", ".\\zemra.ini", "C:\\a\\zemra.ini"},
        // Network bases keep both leading delimiters; the server part stays.
        {"\\\\srv\\share", ".\\x", "\\\\srv\\share\\x"},
        {"\\\\srv\\share\\", "..\\..\\..\\y\\", "\\\\srv\\y\\"},
        // A base with one leading delimiter keeps it.
        {"\\a\\b", "..\\c", "\\a\\c"},
        // "." and empty parts are skipped; ".." overwrites what it left.
        {"C:\\a\\b", ".\\\\.\\c\\..\\d", "C:\\a\\b\\d"},
        {"a", "b\\..\\..\\..\\c\\d\\", "c\\d\\"},
        // Empty relative: the base unchanged.
        {"C:\\a\\b\\", "", "C:\\a\\b\\"},
        {"", "", ""},
        // Climbing to nothing leaves nothing to cut the delimiter from.
        {"a", "..", ""},
        {"", "..", ""},
        {"", ".", ""},
        {"", "x", "x"},
        {"a\\b", "..\\..", ""},
        {"\\a", "..", "\\"},
        {"\\\\srv", "..", "\\\\srv"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResolvePath(c.base, c.relative, '\\'), c.expected)
            << c.base << " + " << c.relative;
        // The same with this system's delimiter.
        EXPECT_EQ(ResolvePath(Slashed(c.base), Slashed(c.relative), '/'), Slashed(c.expected))
            << c.base << " + " << c.relative << " with /";
    }
    // Each delimiter is only itself: the other is an ordinary character.
    EXPECT_EQ(ResolvePath("/e/", "a\\..\\b", '/'), "/e/a\\..\\b");
}

TEST(PathUtils, SplitPath)
{
    struct Case
    {
        const char* path;
        std::vector<std::string> parts;
    } cases[] = {
        {"", {}},
        {"\\", {}},
        {"C:\\a\\\\b\\", {"C:", "a", "b"}},
        {"\\\\srv\\share\\x", {"srv", "share", "x"}},
        {"last", {"last"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitPath(c.path, '\\'), c.parts) << c.path;
        EXPECT_EQ(SplitPath(Slashed(c.path)), c.parts) << c.path;
    }
}

TEST(PathUtils, SettingPathsOnThisSystem)
{
    struct Case
    {
        const char* base;
        const char* value;
        const char* expected;
    } cases[] = {
        {"/opt/vx/bin/", ".\\Data\\", "/opt/vx/bin/Data/"},
        {"/opt/vx/bin/", "..\\share\\Lang\\", "/opt/vx/share/Lang/"},
        {"/opt/vx/bin/", "", "/opt/vx/bin/"},
        {"/opt/vx/bin/", "\\var\\lib\\vx\\", "/var/lib/vx/"}, // a leading '/' is absolute here
        {"/opt/vx/bin/", "/var/lib/../tmp/x", "/var/tmp/x"},
        {"/opt/vx/bin/", "/..", "/"},
        {"/opt/vx/bin/", "..\\..\\..\\..\\..\\x\\", "/x/"}, // never above the root
        {"/opt/vx/bin/", "C:\\Kavex\\", "/fallback/"},      // drive form
        {"/opt/vx/bin/", "d:", "/fallback/"},
        {"/opt/vx/bin/", "\\\\server\\share\\", "/fallback/"}, // network form
        {"/home/u/.config/Kavex/", "zemra\\", "/home/u/.config/Kavex/zemra/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ResolveSettingPath(c.base, c.value, "/fallback/"), c.expected) << c.value;
}

} // namespace
} // namespace translation
