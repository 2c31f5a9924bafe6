// Any bytes as a translation file: the directory and every entry's component stream are read
// without reading out of bounds, damage is only ever ELanguageError, and whatever reads writes
// again to bytes that read back the same.

#include "translation/lang/vxb.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace translation;

bool Same(const StreamValue& a, const StreamValue& b);

bool SameProps(const std::vector<StreamProperty>& a, const std::vector<StreamProperty>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || !Same(a[i].value, b[i].value))
            return false;
    return true;
}

bool Same(const StreamValue& a, const StreamValue& b)
{
    if (a.kind != b.kind || a.integer != b.integer || a.boolean != b.boolean || a.text != b.text ||
        a.list.size() != b.list.size() || a.items.size() != b.items.size())
        return false;
    for (std::size_t i = 0; i < a.list.size(); ++i)
        if (!Same(a.list[i], b.list[i]))
            return false;
    for (std::size_t i = 0; i < a.items.size(); ++i)
        if (!SameProps(a.items[i], b.items[i]))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    VxbDirectory dir;
    try {
        dir = ReadVxbDirectory(file);
    } catch (const ELanguageError&) {
        return 0;
    }
    std::vector<VxbStreamOut> again;
    for (const VxbEntry& e : dir.entries) {
        StreamComponent c;
        try {
            c = ReadStreamComponent(file, e.offset);
        } catch (const ELanguageError&) {
            continue;
        }
        const std::string written = WriteStreamComponent(c);
        const StreamComponent back = ReadStreamComponent(written);
        if (back.className != c.className || back.name != c.name ||
            !SameProps(back.properties, c.properties))
            std::abort();
        again.push_back({e.ownerClass, written});
    }
    const std::string rewritten = WriteVxb(dir.fixedLanguages, again);
    const VxbDirectory back = ReadVxbDirectory(rewritten);
    if (back.fixedLanguages != dir.fixedLanguages || back.entries.size() != again.size())
        std::abort();
    return 0;
}
