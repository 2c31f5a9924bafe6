#include "xmlrpc/xrpc_common.h"

#include <gtest/gtest.h>

#include <locale>
#include <string>

using namespace xrpc;
using namespace std::string_literals;

namespace {

TEST(XrpcEscape, EscapeTable)
{
    struct Case
    {
        std::string text, escaped;
    };
    const Case cases[] = {
        {"a<b&c", "a&lt;b&amp;c"},
        {"\"quoted\" 'single' >", "&quot;quoted&quot; &apos;single&apos; &gt;"},
        {"a\0b"s, "ab"},                           // NUL
        {"x\x01\x08\x0B\x0C\x1F" "y", "xy"},         // the C0 controls XML 1.0 forbids
        {"tab\tcr\rlf\n", "tab\tcr\rlf\n"},        // the three it allows
        {"\xCF\xF0\xE8\xE2\xE5\xF2", "\xCF\xF0\xE8\xE2\xE5\xF2"}, // Cyrillic stays as it is
        {"a\x98" "b", "ab"},                       // the byte the code page leaves unassigned
        {"&amp;", "&amp;amp;"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EscapeXml(c.text), c.escaped) << c.escaped;
}

TEST(XrpcEscape, UnescapeTable)
{
    struct Case
    {
        std::string escaped, text;
    };
    const Case cases[] = {
        {"a&lt;b&amp;c", "a<b&c"},
        {"&quot;&apos;&gt;&lt;", "\"'><"},
        {"a&amp;lt;b", "a&lt;b"}, // one level only
        {"&amp;amp;", "&amp;"},
        {"&foo; &#65; & &am", "&foo; &#65; & &am"}, // anything else stays
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UnescapeXml(c.escaped), c.text) << c.escaped;
}

TEST(XrpcDate, FormatAndParseTable)
{
    struct Case
    {
        TDateTime value;
        std::string text;
    };
    const Case cases[] = {
        {EncodeDateTime(2026, 1, 31, 7, 5, 9), "20260131T07:05:09"},
        {EncodeDateTime(2024, 2, 29, 23, 59, 59), "20240229T23:59:59"},
        {EncodeDateTime(1, 1, 1, 0, 0, 0), "00010101T00:00:00"},
        {EncodeDateTime(9999, 12, 31, 12, 0, 0), "99991231T12:00:00"},
        {0.0, "18991230T00:00:00"},
        {-1.5, "18991229T12:00:00"}, // before the epoch the fraction still counts forward
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatIsoDate(c.value), c.text);
        EXPECT_DOUBLE_EQ(ParseIsoDate(c.text), c.value) << c.text;
    }
}

TEST(XrpcDate, DayFractionIsRoundedToMillisecondsFirst)
{
    const double ms = 1.0 / 86400000.0;
    const TDateTime late = EncodeDateTime(2026, 1, 31, 23, 59, 59, 999) + 0.6 * ms;
    EXPECT_EQ(FormatIsoDate(late), "20260201T00:00:00");
    const TDateTime almost = EncodeDateTime(2026, 1, 31, 7, 5, 9, 999) + 0.6 * ms;
    EXPECT_EQ(FormatIsoDate(almost), "20260131T07:05:10");
    // Below half a millisecond nothing rounds up, and milliseconds are cut, not rounded.
    EXPECT_EQ(FormatIsoDate(EncodeDateTime(2026, 1, 31, 7, 5, 9, 999) + 0.4 * ms),
              "20260131T07:05:09");
}

TEST(XrpcDate, ParseReadsFieldsByPositionAndRejectsBadOnes)
{
    EXPECT_DOUBLE_EQ(ParseIsoDate("20260131T07:05:09Z+garbage"),
                     EncodeDateTime(2026, 1, 31, 7, 5, 9));
    EXPECT_DOUBLE_EQ(ParseIsoDate("20260131-07-05-09"), EncodeDateTime(2026, 1, 31, 7, 5, 9));
    for (const char* bad : {"", "20260131", "20260131T07:05", "2026013xT07:05:09",
                            "20261331T07:05:09", "20260230T07:05:09", "20260131T24:00:00",
                            "2026-01-31T07:05:09", " 20260131T07:05:09"})
        EXPECT_THROW(ParseIsoDate(bad), EXrpcError) << bad;
    for (double bad : {0.0 / 0.0, 1e300, -700000.0, 2958466.0})
        EXPECT_THROW(FormatIsoDate(bad), EXrpcError) << bad;
}

TEST(XrpcNumbers, FloatTextTable)
{
    struct Case
    {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {1.5, "1.5"},
        {-2.25, "-2.25"},
        {0.1, "0.1"},
        {100, "100"},
        {0, "0"},
        {3.141592653589793, "3.14159265358979"}, // fifteen significant digits
        {123456789012345.0, "123456789012345"},
        {1e15, "1E15"},
        {1234567890123456.0, "1.23456789012346E15"},
        {0.00001, "0.00001"},
        {1e-6, "1E-6"},
        {-1.5e-7, "-1.5E-7"},
        {1e20, "1E20"},
        {1.7976931348623157e308, "1.7976931348623157E308"}, // 15 digits would not read back
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatFloat(c.value), c.text);
        EXPECT_NO_THROW(ParseFloat(c.text)) << c.text;
    }
    EXPECT_THROW(FormatFloat(1.0 / 0.0), EXrpcError);
    EXPECT_THROW(FormatFloat(0.0 / 0.0), EXrpcError);
}

TEST(XrpcNumbers, ReadersTable)
{
    struct Case
    {
        const char* text;
        bool valid;
        double value;
    };
    const Case floats[] = {
        {"1.5", true, 1.5},     {"-0.25", true, -0.25}, {"+2", true, 2},   {"1e3", true, 1000},
        {"1.5E-3", true, 0.0015}, {"2e+2", true, 200},  {".5", true, 0.5}, {"5.", true, 5},
        {"1,5", false, 0},      {"1e", false, 0},       {"inf", false, 0}, {"nan", false, 0},
        {"0x10", false, 0},     {"", false, 0},         {" 1", false, 0},  {"1e400", false, 0},
        {"--1", false, 0},      {".", false, 0},
    };
    for (const auto& c : floats) {
        if (c.valid)
            EXPECT_DOUBLE_EQ(ParseFloat(c.text), c.value) << c.text;
        else
            EXPECT_THROW(ParseFloat(c.text), EXrpcError) << c.text;
    }
    const Case ints[] = {
        {"12", true, 12},          {"-2147483648", true, -2147483648.0},
        {"+7", true, 7},           {"2147483647", true, 2147483647},
        {"2147483648", false, 0},  {" 12", false, 0},
        {"12 ", false, 0},         {"1.0", false, 0},
        {"", false, 0},            {"+-1", false, 0},
    };
    for (const auto& c : ints) {
        if (c.valid)
            EXPECT_EQ(ParseInteger(c.text), static_cast<int32_t>(c.value)) << c.text;
        else
            EXPECT_THROW(ParseInteger(c.text), EXrpcError) << c.text;
    }
    const Case bools[] = {
        {"1", true, 1},     {"0", true, 0},      {"2", true, 1},  {"-1", true, 1},
        {"true", true, 1},  {"FALSE", true, 0},  {"True", true, 1}, {"yes", false, 0},
        {"", false, 0},     {"1.0", false, 0},
    };
    for (const auto& c : bools) {
        if (c.valid)
            EXPECT_EQ(ParseBoolean(c.text), c.value != 0) << c.text;
        else
            EXPECT_THROW(ParseBoolean(c.text), EXrpcError) << c.text;
    }
}

TEST(XrpcNumbers, ConversionErrorQuotesTheTextButNotAllOfIt)
{
    try {
        ParseInteger(std::string(10000, 'x'));
        FAIL();
    } catch (const EXrpcError& e) {
        EXPECT_LT(std::string(e.what()).size(), 100u);
        EXPECT_NE(std::string(e.what()).find("is not a valid integer value"), std::string::npos);
    }
}

// A decimal comma in the process locale must not leak into documents.
struct CommaPunct : std::numpunct<char>
{
    char do_decimal_point() const override { return ','; }
};

TEST(XrpcNumbers, DecimalPointIgnoresTheProcessLocale)
{
    const std::locale old = std::locale::global(std::locale(std::locale::classic(), new CommaPunct));
    const std::string text = FormatFloat(1.5);
    const double back = ParseFloat("2.75");
    std::locale::global(old);
    EXPECT_EQ(text, "1.5");
    EXPECT_EQ(back, 2.75);
}

TEST(XrpcNormalize, AllEightFormsInMixedCase)
{
    const char* const sNull = "<string>[NULL]</string>";
    const char* const vNull = "<value>[NULL]</value>";
    struct Case
    {
        std::string in, out;
    };
    const Case cases[] = {
        {"<String></STRING>", sNull},
        {"<string></Nil></string>", sNull},
        {"<STRING></null></String>", sNull},
        {"<string> </sTrInG>", sNull},
        {"<Value></value>", vNull},
        {"<value></NIL></VALUE>", vNull},
        {"<vAlUe></nUlL></value>", vNull},
        {"<value> </Value>", vNull},
        // Surrounding text stays, every occurrence is replaced, near misses are left alone.
        {"a<value><string></string></value>b<value></value>",
         "a<value>"s + sNull + "</value>b" + vNull},
        {"<string>  </string><value>\n</value><string>x</string><strin></string>",
         "<string>  </string><value>\n</value><string>x</string><strin></string>"},
        {"<string", "<string"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NormalizeEmptyValues(c.in), c.out) << c.in;
}

TEST(XrpcBase64, EncodesInLinesOf76)
{
    std::string bytes(58, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7);
    const std::string text = EncodeBase64(bytes);
    ASSERT_EQ(text.size(), 76u + 2 + 4);
    EXPECT_EQ(text.substr(76, 2), "\r\n");
    EXPECT_EQ(text, "AAcOFRwjKjE4P0ZNVFtiaXB3foWMk5qhqK+2vcTL0tng5+71/AMKERgfJi00O0JJUFdeZWxzeoGI\r\n"
                    "jw==");
    EXPECT_EQ(DecodeBase64(text), bytes);
    EXPECT_EQ(EncodeBase64(std::string(57, 'x')).find('\r'), std::string::npos); // exactly 76
    EXPECT_EQ(EncodeBase64(""), "");
    EXPECT_EQ(EncodeBase64("\x00\x01\x02"s), "AAEC");
}

TEST(XrpcBase64, DecodeSkipsCharactersOutsideTheAlphabet)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const std::string text = EncodeBase64(all);
    std::string lf; // Python breaks lines with LF and ends with one
    for (char c : text)
        if (c != '\r')
            lf += c;
    EXPECT_EQ(DecodeBase64("\n" + lf + "\n"), all);
    EXPECT_EQ(DecodeBase64(" AA EC\t"), "\x00\x01\x02"s);
    EXPECT_EQ(DecodeBase64("AQ=="), "\x01");
    EXPECT_EQ(DecodeBase64("AQ"), "\x01");
    EXPECT_EQ(DecodeBase64(""), "");
    EXPECT_THROW(DecodeBase64("AAECA"), EXrpcError); // a lone sextet makes no byte
}

TEST(XrpcText, TrimAndCaseInsensitiveCompare)
{
    EXPECT_EQ(Trim(" \t\r\n12 \x01"), "12");
    EXPECT_EQ(Trim("\xCF "), "\xCF"); // bytes above 0x7F are text, not blanks
    EXPECT_TRUE(SameText("faultCode", "FAULTCODE"));
    EXPECT_TRUE(SameText("\xCF\xF0\xE8\xE2\xE5\xF2", "\xEF\xD0\xC8\xC2\xC5\xD2")); // Привет
    EXPECT_TRUE(SameText("\xA8", "\xB8"));                                       // Ё ё
    EXPECT_FALSE(SameText("a", "b"));
    EXPECT_FALSE(SameText("ab", "a"));
}

} // namespace
