#pragma once
// Translation lines and the list forms that carry them; no Qt here, so the parsers of outside
// text (the stored TranslationData, the translators' text files) run in the fuzz targets as they
// run in the program.
//
// A translation line is a key, then for each language 1..N the delimiter and that language's
// text; lines the component writes end with one more delimiter.  Texts are 8-bit, in the code
// page of their language's character set.

#include "translation/settings/mem_ini_file.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace translation {

using StringList = std::vector<std::string>;

// Property kinds; the names ("tkUnknown", ...) are those the translation files store.
enum class TypeKind {
    Unknown,
    Integer,
    Char,
    Enumeration,
    Float,
    String,
    Set,
    Class,
    Method,
    WChar,
    LString,
    WString,
    Variant,
    Array,
    Record,
    Interface,
    Int64,
    DynArray
};
const char* TypeKindName(TypeKind kind);
// Unknown names give TypeKind::Unknown.
TypeKind TypeKindFromName(std::string_view name);

struct TvxExtendedItem
{
    std::string Identifier; // property path
    TypeKind PropertyType = TypeKind::Unknown;
    std::string Values; // the texts of all languages, each followed by the delimiter
};

// The twelve kinds of translation list, in their stored order.
enum TStringsType : int {
    stCaptions,
    stHints,
    stDisplayLabels,
    stFonts,
    stMultiLines,
    stDlgsCaptions,
    stStrings,
    stOtherStrings,
    stLocales,
    stCollections,
    stCharSets,
    stListView_TreeView_Items,
};
constexpr int kListKinds = 12;
// Languages a component holds: the field index of a line is one byte.
constexpr int kMostFileLanguages = 255;

// "stCaptions", ...; the list's property name is this without "st".
const char* StringsTypeName(int kind);
// "Captions", "Hints", ..., "Multilines", "Dialogs", "Other", ...: the text files' sections.
const char* SectionName(int kind);

// Field n of a line (ExtractField): field 0 is the key, field n the text of language n.
inline std::string Field(std::string_view line, char delim, int n)
{
    return ExtractField(line, delim, n);
}
std::size_t CountOf(std::string_view text, char c);

// Letter case of the system's code page: Latin and Cyrillic letters of Windows-1251.
char UpperChar(char c);
char LowerChar(char c);
bool IsUpperLetter(char c);
bool SameText(std::string_view a, std::string_view b);
bool StartsWithText(std::string_view text, std::string_view prefix);
std::string UpperText(std::string_view text);
// Position of needle in text ignoring case, or npos.
std::size_t FindText(std::string_view text, std::string_view needle);

// `text` becomes language `language` of the line: copied up to the language-th delimiter, the
// old text dropped, copying goes on at the next delimiter; a line that ends inside the column
// gets the delimiter and the text appended.  A line with fewer than language - 1 delimiters
// cannot reach the column and is left as it is (false).
bool ReplaceLanguage(std::string& line, char delim, int language, std::string_view text);
// The line cut just before language column n + 1; unchanged when it has no such column.
std::string CutLanguages(const std::string& line, char delim, int n);
// Every line with k <= n delimiters gets n - k + 1 more, so each text ends with one.
void PadLines(StringList& list, char delim, int numLanguages);
// text at language t, empty elsewhere, each followed by the delimiter.
std::string MakeValues(std::string_view text, int t, int numLanguages, char delim);
// A line whose texts are all empty (only the key and delimiters).
bool AllTextsEmpty(std::string_view line, int numLanguages);

// Text helpers of the text files.
StringList SplitBy(std::string_view text, std::string_view separator);
std::string JoinList(const StringList& list, std::string_view separator, bool skipEmpty);
int KeyIndex(const StringList& list, std::string_view line, std::string_view separator);
std::string MergeLines(std::string_view oldLine, std::string_view newLine,
                       std::string_view separator);
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);
std::string ReplaceChar(std::string_view text, char from, char to);

// A string list as comma text: items holding a blank, a control character, a comma or a quote
// are quoted with '"' (inner quotes doubled).
std::string CommaText(const StringList& list);
StringList ParseCommaText(std::string_view text);
std::string JoinLines(const StringList& list);

// Test-mode transforms: upper-case letters become lower case, everything else upper case; and
// the text stretched to `percent` of its length with the padding character spread evenly.
std::string FlipCase(std::string_view text);
std::string ExpandChars(std::string_view text, char padding, int percent);

// The stored form of the twelve lists: each list the component has as its type name and CR LF,
// then its lines with CR as character 25 and LF as 26, each followed by CR LF.
using ListSet = std::array<StringList, kListKinds>;
using KindMask = std::array<bool, kListKinds>;
std::string EncodeTranslationData(const ListSet& lists, const KindMask& has);
// Lines before the first type name and the lines of a list the component lacks are ignored; a
// line keyed by the owner's class name goes to the top of its list.  A list named in the data
// is emptied first; the others are kept.
void DecodeTranslationData(std::string_view data, ListSet& lists, const KindMask& has,
                           std::string_view ownerClass, char delim);

} // namespace translation
