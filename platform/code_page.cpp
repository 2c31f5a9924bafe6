#include "platform/code_page.h"

#include "platform/text1251.h"

#include <cerrno>
#include <iconv.h>

namespace platform {
namespace {

const char* IconvName(int codePage)
{
    switch (codePage) {
    case 874:
        return "CP874";
    case 866:
        return "CP866";
    case 932:
        return "CP932";
    case 936:
        return "CP936";
    case 949:
        return "CP949";
    case 950:
        return "CP950";
    case 1250:
        return "CP1250";
    case 1252:
        return "CP1252";
    case 1253:
        return "CP1253";
    case 1254:
        return "CP1254";
    case 1255:
        return "CP1255";
    case 1256:
        return "CP1256";
    case 1257:
        return "CP1257";
    case 1258:
        return "CP1258";
    case 1361:
        return "JOHAB";
    case 10000:
        return "MACINTOSH";
    default:
        return nullptr;
    }
}

std::optional<std::string> Convert(std::string_view text, const char* to, const char* from)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out;
    std::string in(text);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char buffer[1024];
    bool ok = true;
    while (ok && inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<size_t>(outPtr - buffer));
        // E2BIG only means the buffer is full; EILSEQ and EINVAL mean a text of another code page.
        if (r == static_cast<size_t>(-1) && errno != E2BIG)
            ok = false;
    }
    if (ok) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        iconv(cd, nullptr, nullptr, &outPtr, &outLeft); // any shift state back to the start
        out.append(buffer, static_cast<size_t>(outPtr - buffer));
    }
    iconv_close(cd);
    if (!ok)
        return std::nullopt;
    return out;
}

} // namespace

bool IsKnownCodePage(int codePage)
{
    return codePage == 1251 || IconvName(codePage) != nullptr;
}

std::optional<std::string> CodePageToUtf8(std::string_view text, int codePage)
{
    if (codePage == 1251) {
        for (unsigned char c : text)
            if (c == 0x98)
                return std::nullopt;
        return Cp1251ToUtf8(text);
    }
    const char* name = IconvName(codePage);
    if (name == nullptr)
        return std::nullopt;
    return Convert(text, "UTF-8", name);
}

std::optional<std::string> Utf8ToCodePage(std::string_view utf8, int codePage)
{
    if (codePage == 1251) {
        bool lossless = false;
        std::string out = Utf8ToCp1251(utf8, &lossless);
        if (!lossless)
            return std::nullopt;
        return out;
    }
    const char* name = IconvName(codePage);
    if (name == nullptr)
        return std::nullopt;
    return Convert(utf8, name, "UTF-8");
}

} // namespace platform
