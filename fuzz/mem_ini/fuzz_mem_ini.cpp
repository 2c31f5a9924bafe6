// Any ini text: parse -> write -> parse gives back the same text and the same answers; a write
// of any key and value is either refused or reads back as written; the text helpers agree with
// the library's own search; path resolution of any base and relative path stays in bounds.

#include "translation/settings/mem_ini_file.h"
#include "translation/settings/path_utils.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

void Helpers(std::string_view data)
{
    if (data.size() < 2)
        return;
    const char delimiter = data[0];
    const int n = static_cast<unsigned char>(data[1]) - 8; // some negative, some past the end
    const std::string_view text = data.substr(2);
    const std::string field = translation::ExtractField(text, delimiter, n);
    Check(field.size() <= text.size());
    Check(field.empty() || text.find(field) != std::string_view::npos);
    Check(field.empty() || field.find(delimiter, n == 0 ? 1 : 0) == std::string::npos);

    const size_t split = static_cast<unsigned char>(data[1]) % 8;
    const std::string_view pattern = text.substr(0, std::min(split, text.size()));
    const std::string_view haystack = text.substr(pattern.size());
    const size_t at = haystack.find(pattern);
    Check(translation::FindPattern(pattern, haystack) ==
          (at == std::string_view::npos ? 0 : at + 1));
}

void Paths(std::string_view data)
{
    const size_t cut = data.find('\n');
    if (cut == std::string_view::npos)
        return;
    const std::string_view base = data.substr(0, cut);
    const std::string_view relative = data.substr(cut + 1);
    for (const char delimiter : {'\\', '/'}) {
        const std::string resolved = translation::ResolvePath(base, relative, delimiter);
        Check(resolved.size() <= base.size() + relative.size() + 2);
    }
    const std::string setting = translation::ResolveSettingPath(base, relative, "/fallback/");
    Check(setting.find('\\') == std::string::npos || base.find('\\') != std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    Helpers(data);
    Paths(data);

    translation::TMemIniFile first;
    first.SetText(data);
    const std::string text = first.GetText();
    translation::TMemIniFile second;
    second.SetText(text);
    Check(second.GetText() == text);

    std::vector<std::string> sections, keys, values;
    first.ReadSectionNames(sections);
    for (const std::string& section : sections) {
        first.ReadKeyNames(section, keys);
        for (const std::string& key : keys)
            Check(second.ReadValue(section, key, "\xFF<none>") ==
                  first.ReadValue(section, key, ""));
        second.ReadKeyNames(section, values);
        Check(values == keys);
    }

    // The input's first three lines as a section, key and value to write.
    const auto lines = translation::SplitLines(data);
    if (lines.size() >= 3) {
        const std::string& section = lines[0];
        const std::string key = lines[1] + (size > 3 && bytes[3] % 2 ? "\n" : "");
        const std::string& value = lines[2];
        try {
            first.WriteValue(section, key, value);
            translation::TMemIniFile reread;
            reread.SetText(first.GetText());
            Check(reread.ReadValue(section, key, value + "x") == value);
            Check(reread.GetText() == first.GetText());
        } catch (const translation::IniValueError&) {
            Check(first.GetText() == text);
        }
    }
    return 0;
}
