#include "platform/environment.h"
#include "platform/host_identity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace platform {
namespace {

TEST(Environment, ExpandsSetNamesAndKeepsTheRest)
{
    const std::map<std::string, std::string> vars = {
        {"HOME", "/home/op"}, {"EMPTY", ""}, {"LONG", std::string(300, 'x')}};
    const EnvironmentLookup lookup = [&](const std::string& name) -> std::optional<std::string> {
        const auto it = vars.find(name);
        return it == vars.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    struct Case
    {
        std::string text, expected;
    } cases[] = {
        {"%HOME%\\Kavex\\", "/home/op\\Kavex\\"},
        {"a%EMPTY%b", "ab"},
        {"%UNSET%\\x", "%UNSET%\\x"},
        {"%UNSET%HOME%", "%UNSET%HOME%"}, // an unset name is kept whole, "%" and all
        {"100%", "100%"},
        {"%%", "%%"},
        {"%HOME%%HOME%", "/home/op/home/op"},
        {"", ""},
        {"%LONG%", std::string(300, 'x')},
        // Longer than an expansion may give: the text as it was.
        {"%LONG%%LONG%", "%LONG%%LONG%"},
        {"%LONG%" + std::string(kMaxExpandedText - 300, 'y'),
         std::string(300, 'x') + std::string(kMaxExpandedText - 300, 'y')},
        {"%LONG%" + std::string(kMaxExpandedText - 299, 'y'),
         "%LONG%" + std::string(kMaxExpandedText - 299, 'y')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExpandEnvironmentStrings(c.text, lookup), c.expected) << c.text;
}

// Sets or clears a variable for one test and puts it back afterwards.
class ScopedVariable
{
public:
    ScopedVariable(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedVariable()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(Environment, AppDataFallsBackToTheUsersConfigFolder)
{
    ScopedVariable home("HOME", "/home/op");
    {
        ScopedVariable appdata("APPDATA", nullptr);
        ScopedVariable xdg("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(ExpandEnvironmentStrings("%APPDATA%\\Kavex\\"), "/xdg\\Kavex\\");
    }
    {
        ScopedVariable appdata("APPDATA", nullptr);
        ScopedVariable xdg("XDG_CONFIG_HOME", nullptr);
        EXPECT_EQ(ProcessEnvironment("APPDATA"), "/home/op/.config");
    }
    ScopedVariable appdata("APPDATA", "/own");
    EXPECT_EQ(ProcessEnvironment("APPDATA"), "/own");
    EXPECT_EQ(ProcessEnvironment("VENDAXO_SURELY_UNSET_NAME"), std::nullopt);
}

TEST(Environment, ExecutableFolderAndHost)
{
    const std::string exe = ExecutableFolder();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe.front(), '/');
    EXPECT_EQ(exe.back(), '/');

    const HostIdentity host = LocalHostIdentity();
    EXPECT_FALSE(host.name.empty());
    EXPECT_EQ(std::count(host.address.begin(), host.address.end(), '.'), 3) << host.address;
}

} // namespace
} // namespace platform
