#include "config_tool/ui/main_com_ports.h"

#include "platform/registry.h"

#include <algorithm>
#include <cctype>

namespace ui {

int ComPortNumber(const std::string& text)
{
    // Shorter than 6 characters: at most two digits after the prefix.
    if (text.size() < 4 || text.size() >= 6)
        return 0;
    for (size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i])
            return 0;
    int n = 0;
    for (size_t i = 3; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + (c - '0');
    }
    return (n >= 1 && n <= kMaxComPort) ? n : 0;
}

std::vector<int> ComPortNumbers(const std::vector<std::string>& texts)
{
    std::vector<int> numbers;
    for (const std::string& text : texts)
        if (const int n = ComPortNumber(text); n != 0)
            numbers.push_back(n);
    std::stable_sort(numbers.begin(), numbers.end());
    return numbers;
}

std::vector<std::string> SerialCommTexts(platform::RegistryFile& registry)
{
    std::vector<std::string> texts;
    const auto hive = platform::Hive::LocalMachine;
    for (const std::string& name : registry.ValueNames(hive, platform::kSerialCommKey))
        if (auto text = registry.ReadString(hive, platform::kSerialCommKey, name))
            texts.push_back(*text);
    return texts;
}

} // namespace ui
