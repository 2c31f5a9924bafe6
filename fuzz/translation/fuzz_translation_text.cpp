// Any bytes as the stored TranslationData or as a translator's text file: decoding never fails
// hard, decoding what was encoded gives the same lists, and an import of a list or of the
// extended translations either fails as a whole or gives lines that export again.

#include "translation/lang/text_files.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace translation;

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

void Sorted(ListSet& lists)
{
    for (StringList& l : lists)
        std::sort(l.begin(), l.end());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const char delim = static_cast<char>(data[0] % 3 == 0 ? '\x01' : data[0] % 3 == 1 ? '\t' : '~');
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    KindMask has{};
    for (int kind = 0; kind < kListKinds; ++kind)
        has[static_cast<size_t>(kind)] = (data[0] >> (kind % 8) & 1) != 0 || kind % 3 == 0;

    // The stored lists.
    ListSet lists;
    DecodeTranslationData(text, lists, has, "TForm1", delim);
    const std::string encoded = EncodeTranslationData(lists, has);
    ListSet again;
    DecodeTranslationData(encoded, again, has, "TForm1", delim);
    // Several owner lines change places at the top; the lines themselves stay.
    Sorted(lists);
    Sorted(again);
    Check(lists == again);

    // The text files: one list, or the extended translations, taken and given again.
    const std::string ownerClass = "TForm1";
    const std::string ownerName = "Form1";
    const StringList doNotTranslate = {"Skip"};
    const ImportTarget target{has, delim, ownerClass, ownerName, doNotTranslate};
    const int kind = (data[0] >> 2) % (kListKinds + 1);
    ListSet imported;
    StringList names{"Language N1"};
    std::vector<TvxExtendedItem> extended;
    if (kind < kListKinds) {
        const std::optional<ImportedList> r = ImportListText(text, target, kind, {});
        if (!r)
            return 0;
        if (r->names) {
            Check(!r->names->langNames.empty());
            names = r->names->langNames;
        }
        for (const std::string& line : r->lines)
            Check(!line.empty() && line.back() == delim);
        imported[static_cast<size_t>(kind)] = r->lines;
    } else {
        std::optional<std::vector<TvxExtendedItem>> items = ImportExtendedText(text, target, {});
        Check(items.has_value());
        extended = std::move(*items);
    }
    const ExportSource source{imported, has,        names,     static_cast<int>(names.size()),
                              delim,    ownerClass, ownerName, extended};
    if (kind < kListKinds)
        (void)ExportListText("", source, kind, "~!@#");
    else
        (void)ExportExtendedText("", source, "~!@#");
    return 0;
}
