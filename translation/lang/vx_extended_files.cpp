// The extended translations on their own in a translator's file, and the language names a file
// gives without loading anything from it.

#include "translation/lang/vx_comp.h"

#include "platform/file_util.h"
#include "translation/lang/text_files.h"
#include "translation/lang/vxb.h"
#include "translation/lang/vxb_file.h"

#include <filesystem>

namespace translation {

namespace {

bool IsFile(const std::string& fileName)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(fileName, ec);
}

} // namespace

bool TvxCustomLang::LoadExtendedFromFile(const std::string& fileName, bool clearFirst)
{
    if (!IsFile(fileName))
        return false;
    try {
        return ImportExtended(ReadPresentTextFile(fileName), clearFirst);
    } catch (const ELanguageError&) {
        return false;
    }
}

void TvxCustomLang::SaveExtendedToFile(const std::string& fileName, const std::string& delimiter)
{
    std::string stream = IsFile(fileName) ? ReadPresentTextFile(fileName) : std::string();
    if (ExportExtended(stream, delimiter) && !platform::ReplaceFile(fileName, stream, true))
        throw ELanguageError("Cannot write file \"" + fileName + "\".");
}

bool TvxCustomLang::ReadLanguageNames(const std::string& fileName, StringList& names) const
{
    if (!IsFile(fileName))
        return false;
    StringList found;
    try {
        const bool vxb = UpperText(std::filesystem::path(fileName).extension().string()) == ".VXB";
        const std::string bytes = vxb ? ReadVxbBytes(fileName) : ReadPresentTextFile(fileName);
        if (vxb) {
            const VxbDirectory dir = ReadVxbDirectory(bytes);
            if (const VxbEntry* entry = FindVxbEntry(dir, OwnerClassName()))
                found = ReadTwin(*this, bytes, entry->offset)->LangNames();
        } else {
            found = FileLanguageNames(bytes);
        }
    } catch (const ELanguageError&) {
        return false;
    }
    // A file that names no language for this owner leaves a new component's one language.
    names = found.empty() ? StringList{"Language N1"} : std::move(found);
    return true;
}

} // namespace translation
