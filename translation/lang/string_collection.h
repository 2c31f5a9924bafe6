#pragma once
// The sorted collection through which texts are looked up by identifier (the component's cache
// of its Strings list), or by the text of one language.

#include "translation/lang/lines.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace translation {

class TvxStringsCollection
{
public:
    struct Item
    {
        std::string identifier;
        StringList texts; // texts[n - 1] is language n
    };

    // One item per line of `strings`: field 0 the identifier, fields 1..numLanguages the texts;
    // sorted by identifier (sortLanguage 0) or by the text of language sortLanguage.
    void Rebuild(const StringList& strings, char delim, int numLanguages, int sortLanguage);
    void Clear() { items_.clear(); }
    void Sort(int sortLanguage);
    int SortLanguage() const { return sortLanguage_; }
    const std::vector<Item>& Items() const { return items_; }

    // Present or absent: an empty text and a missing identifier are told apart.
    std::optional<std::string> Find(std::string_view identifier, int language) const;
    std::string TextById(std::string_view identifier, int language) const;
    // By the text of the sort language (case-sensitive); the text itself when none matches.
    std::string TextByText(std::string_view text, int language) const;
    int IndexOfIdentifier(std::string_view identifier) const;
    // The identifier's text of one language becomes `text`, the order kept; false when absent.
    bool Update(std::string_view identifier, int language, std::string_view text);

private:
    const Item* FindItem(std::string_view identifier) const;
    std::vector<Item> items_;
    int sortLanguage_ = 0;
};

} // namespace translation
