// Makes the program's translation file from the translators' text file, and a text file back
// from a translation file:
//   vxbtool make TEXT-FILE VXB-FILE [LINES]   (LINES: that many more generated strings, for
//                                            measuring a large file)
//   vxbtool text VXB-FILE TEXT-FILE
// Both files hold the language data module's entry.  Exit status 1 with a message on failure.

#include "platform/file_util.h"
#include "translation/lang/dm_lang.h"
#include "translation/lang/text_files.h"
#include "translation/lang/vxb_file.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace translation;

int Fail(const std::string& message)
{
    std::fprintf(stderr, "vxbtool: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc < 4 || (mode != "make" && mode != "text"))
        return Fail("usage: vxbtool make TEXT-FILE VXB-FILE [LINES] | text VXB-FILE TEXT-FILE");
    RegisterTranslationClasses();
    TDMLang module("");
    TvxLangLinked& lang = *module.vxLngLnk;
    try {
        const std::optional<std::string> in =
            platform::detail::ReadWholeFile(argv[2], kMostVxbBytes + 1);
        if (!in || in->size() > kMostVxbBytes)
            return Fail(std::string("cannot read ") + argv[2]);
        if (mode == "make") {
            if (!lang.ImportAll(*in, true))
                return Fail(std::string("not a translators' text file: ") + argv[2]);
            if (argc > 4) {
                StringList strings = lang.Strings();
                const long more = std::strtol(argv[4], nullptr, 10);
                for (long i = 0; i < more; ++i)
                    strings.push_back("GEN_" + std::to_string(i) + '\x01' +
                                      "\xD2\xE5\xEA\xF1\xF2 " + std::to_string(i) + '\x01' +
                                      "Text " + std::to_string(i) + '\x01');
                lang.SetStrings(strings);
            }
            TVXBFileManager manager;
            manager.Hold("TDMLang", lang);
            manager.WriteVXBFile(argv[3]);
        } else {
            TVXBFileManager manager;
            manager.ReadVXB(lang, "TDMLang", *in);
            std::string text;
            if (!lang.ExportAll(text, kDefaultFileDelimiter) ||
                !platform::ReplaceFile(argv[3], text, true))
                return Fail(std::string("cannot write ") + argv[3]);
        }
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    return 0;
}
