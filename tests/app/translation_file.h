#pragma once
// A two-language translation file for the language data module: UCF_1 and UCF_10 in Russian and
// English, the other product texts missing.

#include "translation/lang/vx_comp.h"
#include "translation/lang/vxb_file.h"

#include <string>

namespace app::test {

inline std::string TranslationFile()
{
    translation::TvxLangLinked lang(nullptr);
    lang.SetLangNames({"Russian", "English"});
    lang.SetStrings({"UCF_1\x01\xC8\xE7\xE4\xE5\xEB\xE8\xE5\x01Product\x01", // "Изделие"
                     "UCF_10\x01\xC4\xE0\x01Yes\x01"});                      // "Да"
    return translation::WriteVxb("", {{"TDMLang", translation::SaveComponentData(lang)}});
}

} // namespace app::test
