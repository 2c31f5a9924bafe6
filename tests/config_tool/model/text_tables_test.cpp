#include "config_tool/model/text_tables.h"

#include "platform/text1251.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace model {
namespace {

const TextTables& Ru()
{
    return ConstantTables(Language::Russian);
}
const TextTables& En()
{
    return ConstantTables(Language::English);
}

std::size_t CodePoints(std::string_view utf8)
{
    std::size_t n = 0;
    for (unsigned char c : utf8)
        n += (c & 0xC0) != 0x80;
    return n;
}

// Every text of one language's tables, with a label for the failure message.
std::vector<std::pair<std::string, std::string_view>> AllTexts(const TextTables& t)
{
    std::vector<std::pair<std::string, std::string_view>> all;
    auto add = [&](const char* table, const auto& rows) {
        for (std::size_t k = 0; k < rows.size(); ++k)
            all.emplace_back(std::string(table) + " " + std::to_string(k), rows[k]);
    };
    add("device", t.deviceTypes);
    for (std::size_t k = 0; k < t.eventClasses.size(); ++k)
        all.emplace_back("event " + std::to_string(k + 1), t.eventClasses[k].name);
    add("message", t.messages);
    add("caption", t.captions);
    add("partition", t.partitionTypes);
    add("button", t.buttonModes);
    add("led", t.systemLedTypes);
    add("indication", t.indicationTypes);
    add("colour", t.colours);
    add("sound", t.sounds);
    add("length", t.previewLengths);
    return all;
}

class BothLanguages : public testing::TestWithParam<Language>
{
};

TEST_P(BothLanguages, TablesAreFilledWhereTextIsExpected)
{
    const TextTables& t = ConstantTables(GetParam());
    for (const auto& [label, text] : AllTexts(t)) {
        if (label.rfind("caption", 0) == 0)
            continue;
        EXPECT_FALSE(text.empty()) << label;
    }
    // Captions 0-40, 59-60, 64-67, 69-72, 74-75 and 79-84 label something; the rest stay empty.
    const std::set<std::size_t> filled = [] {
        std::set<std::size_t> s;
        for (auto [a, b] : {std::pair{0, 40}, {59, 60}, {64, 67}, {69, 72}, {74, 75}, {79, 84}})
            for (int k = a; k <= b; ++k)
                s.insert(static_cast<std::size_t>(k));
        return s;
    }();
    for (std::size_t k = 0; k < kCaptionCount; ++k)
        EXPECT_EQ(!t.captions[k].empty(), filled.count(k) == 1) << "caption " << k;
}

TEST_P(BothLanguages, EveryTextConvertsToWindows1251WithoutLoss)
{
    for (const auto& [label, text] : AllTexts(ConstantTables(GetParam()))) {
        bool lossless = false;
        const std::string cp = platform::Utf8ToCp1251(text, &lossless);
        EXPECT_TRUE(lossless) << label;
        EXPECT_EQ(cp.size(), CodePoints(text)) << label;
    }
}

TEST_P(BothLanguages, EventClassesAddressDistinctBitsAndRepeatTwoNames)
{
    const TextTables& t = ConstantTables(GetParam());
    std::set<std::pair<int, int>> bits;
    for (const EventClass& e : t.eventClasses) {
        EXPECT_GE(e.group, 1);
        EXPECT_LE(e.group, 6);
        EXPECT_GE(e.bit, 1);
        EXPECT_LE(e.bit, 8);
        EXPECT_TRUE(bits.insert({e.group, e.bit}).second) << e.group << "," << e.bit;
    }
    EXPECT_EQ(EventClassRow(t, 19).name, EventClassRow(t, 29).name);
    EXPECT_EQ(EventClassRow(t, 40).name, EventClassRow(t, 41).name);
    std::set<std::string_view> names;
    for (const EventClass& e : t.eventClasses)
        names.insert(e.name);
    EXPECT_EQ(names.size(), 40u);
}

TEST_P(BothLanguages, EventClassIndexFindsEveryNameAtItsLastRow)
{
    const TextTables& t = ConstantTables(GetParam());
    for (int row = 1; row <= 42; ++row) {
        const int expected = row == 19 ? 29 : row == 40 ? 41 : row;
        EXPECT_EQ(EventClassIndex(t, EventClassRow(t, row).name), expected) << row;
    }
}

TEST_P(BothLanguages, DeviceTypeNamesFitAndMatchTheOtherLanguageInLength)
{
    const TextTables& t = ConstantTables(GetParam());
    for (std::size_t code = 0; code < kDeviceTypeCount; ++code) {
        EXPECT_LE(CodePoints(t.deviceTypes[code]), kDeviceTypeNameMax) << code;
        EXPECT_EQ(CodePoints(Ru().deviceTypes[code]), CodePoints(En().deviceTypes[code])) << code;
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, BothLanguages,
                         testing::Values(Language::Russian, Language::English),
                         [](const auto& info) {
                             return info.param == Language::Russian ? "Russian" : "English";
                         });

TEST(TextTables, LanguageFlagZeroIsRussianAnyOtherEnglish)
{
    EXPECT_EQ(LanguageFromFlag(0), Language::Russian);
    EXPECT_EQ(LanguageFromFlag(1), Language::English);
    EXPECT_EQ(LanguageFromFlag(255), Language::English);
    EXPECT_EQ(&ConstantTables(LanguageFromFlag(0)), &Ru());
}

// Texts whose exact code points are easy to get wrong.
TEST(TextTables, TextsKeepTheirExactCodePoints)
{
    const std::string_view cyrillicT = "\xD0\xA2"; // U+0422
    struct Case
    {
        const char* what;
        std::string_view actual;
        std::string_view expected;
    };
    const Case cases[] = {
        {"caption 0 Cyrillic", Ru().captions[0].substr(0, 2), cyrillicT},
        {"caption 81 Latin", Ru().captions[81], "T4700-\xD0\x9A\xD0\x9B\xD0\x92"},
        {"caption 82 Latin", Ru().captions[82], "T4700-\xD0\x92\xD0\x94"},
        {"device 10", Ru().deviceTypes[10],
         "\xD0\xA2"
         "4700-\xD0\x92\xD0\x94"},
        {"device 44", Ru().deviceTypes[44],
         "\xD0\xA2"
         "4700-\xD0\x9A\xD0\x9B\xD0\x92"},
        {"device 10 en", En().deviceTypes[10], "T4700-VD"},
        {"device 44 en", En().deviceTypes[44], "T4700-KLV"},
        {"message 11", Ru().messages[11], "ошибка контрольной суммы!"},
        {"message 13", Ru().messages[13], "идентичен коду идентификатора №"},
        {"message 15", Ru().messages[15], "не 16-ти значный!"},
        {"message 17", Ru().messages[17], "присутствуют некорректные символы!"},
        {"message 13 en", En().messages[13], " is the same as the code of the credential №"},
        {"message 15 en", En().messages[15], " must consist of 16 characters!"},
        {"message 3", Ru().messages[3], "Т4700-КЛВ 2.22-2.23, Т4700-ВД 2.23 :  Адрес"},
        {"message 3 en", En().messages[3], "T4700-KLV 2.22-2.23, T4700-VD 2.23 :  Address"},
        {"message 16 en", En().messages[16],
         "The operation will NOT be done: the  code of the credential №"},
        {"caption 70", Ru().captions[70], "Старт \\ останов поиска"},
        {"button 3", Ru().buttonModes[3], "Взятие\\Снятие"},
        {"button 3 en", En().buttonModes[3], "Arming\\Disarming"},
        {"caption 69", Ru().captions[69], "Search Devices"},
        {"length 0", Ru().previewLengths[0], "4 \xD1\x81"}, // Cyrillic es
        {"length 3 en", En().previewLengths[3], "32 s"},
        {"indication 12", Ru().indicationTypes[12], "СИСТЕМНАЯ индикация типа \"12 Пожар\""},
        {"partition 12", En().partitionTypes[12], "19"},
        {"sound 30", En().sounds[30], "30"},
        {"device 0", Ru().deviceTypes[0], "Прибор 00"},
        {"device 46 en", En().deviceTypes[46], "Device 46"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.actual, c.expected) << c.what;
    // Only captions 81 and 82 use the Latin letter.
    for (const auto& [label, text] : AllTexts(Ru()))
        if (text.substr(0, 1) == "T") {
            EXPECT_TRUE(label == "caption 81" || label == "caption 82") << label;
        }
}

TEST(TextTables, EventClassIndexMatchesWholeNamesOfTheGivenTablesOnly)
{
    struct Case
    {
        const TextTables& tables;
        std::string_view name;
        int row;
    };
    const TextTables empty{}; // the current tables before the language switch
    const Case cases[] = {
        {En(), "Arming Delay", 29},
        {Ru(), "Задержка взятия", 29},
        {En(), "Waiting for a response from the controller...", 41},
        {Ru(), "Вскрытие корпуса", 42},
        {Ru(), "Arming Delay", 0},
        {En(), "Задержка взятия", 0},
        {En(), "arming delay", 0},
        {En(), "Arming Delay ", 0},
        {En(), "Arming", 0},
        {En(), "", 0},
        {empty, "", 0},
        {empty, "Arming Delay", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EventClassIndex(c.tables, c.name), c.row) << c.name;
}

TEST(TextTables, DeviceTypeNameOfKnownAndUnknownCodes)
{
    EXPECT_EQ(DeviceTypeName(En(), 10), "T4700-VD");
    EXPECT_EQ(DeviceTypeName(Ru(), 44), "Т4700-КЛВ");
    EXPECT_EQ(DeviceTypeName(En(), 46), En().deviceTypes[46]);
    EXPECT_EQ(DeviceTypeName(En(), 47), "???");
    EXPECT_EQ(DeviceTypeName(Ru(), 255), "???");
}

TEST(TextTables, NumberedLookupsAreRangeChecked)
{
    EXPECT_EQ(Message(En(), 0), "COM1 (not found)");
    EXPECT_EQ(Message(Ru(), 34), "Прибор не отвечает!");
    EXPECT_THROW(Message(En(), 35), std::out_of_range);
    EXPECT_THROW(Message(En(), -1), std::out_of_range);
    EXPECT_THROW(EventClassRow(En(), 0), std::out_of_range);
    EXPECT_THROW(EventClassRow(En(), 43), std::out_of_range);
}

TEST(TextTables, SwitchingCopiesTheChosenLanguage)
{
    TextTables current{};
    EXPECT_TRUE(current.messages[9].empty());
    current = ConstantTables(LanguageFromFlag(1));
    EXPECT_EQ(current.messages[9],
              "An error occurred while reading the configuration from the file!");
    EXPECT_EQ(EventClassIndex(current, "Arming Delay"), 29);
}

} // namespace
} // namespace model
