#include "translation/lang/string_collection.h"

#include <algorithm>

namespace translation {
namespace {

int CompareText(std::string_view a, std::string_view b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(UpperChar(a[i]));
        const auto y = static_cast<unsigned char>(UpperChar(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string_view TextOf(const TvxStringsCollection::Item& item, int language)
{
    if (language < 1 || static_cast<std::size_t>(language) > item.texts.size())
        return {};
    return item.texts[static_cast<std::size_t>(language) - 1];
}

} // namespace

void TvxStringsCollection::Rebuild(const StringList& strings, char delim, int numLanguages,
                                   int sortLanguage)
{
    items_.clear();
    items_.reserve(strings.size());
    for (const std::string& line : strings) {
        Item item;
        item.identifier = Field(line, delim, 0);
        for (int n = 1; n <= numLanguages; ++n)
            item.texts.push_back(Field(line, delim, n));
        items_.push_back(std::move(item));
    }
    Sort(sortLanguage);
}

void TvxStringsCollection::Sort(int sortLanguage)
{
    sortLanguage_ = sortLanguage;
    if (sortLanguage == 0) {
        std::stable_sort(items_.begin(), items_.end(), [](const Item& a, const Item& b) {
            return CompareText(a.identifier, b.identifier) < 0;
        });
    } else {
        std::stable_sort(items_.begin(), items_.end(),
                         [sortLanguage](const Item& a, const Item& b) {
                             return TextOf(a, sortLanguage) < TextOf(b, sortLanguage);
                         });
    }
}

const TvxStringsCollection::Item* TvxStringsCollection::FindItem(std::string_view identifier) const
{
    if (sortLanguage_ != 0) {
        const int i = IndexOfIdentifier(identifier);
        return i < 0 ? nullptr : &items_[static_cast<std::size_t>(i)];
    }
    auto it = std::lower_bound(
        items_.begin(), items_.end(), identifier,
        [](const Item& item, std::string_view id) { return CompareText(item.identifier, id) < 0; });
    if (it == items_.end() || CompareText(it->identifier, identifier) != 0)
        return nullptr;
    return &*it;
}

std::optional<std::string> TvxStringsCollection::Find(std::string_view identifier,
                                                      int language) const
{
    const Item* item = FindItem(identifier);
    if (item == nullptr)
        return std::nullopt;
    return std::string(TextOf(*item, language));
}

std::string TvxStringsCollection::TextById(std::string_view identifier, int language) const
{
    return Find(identifier, language).value_or(std::string());
}

std::string TvxStringsCollection::TextByText(std::string_view text, int language) const
{
    if (sortLanguage_ < 1)
        return std::string(text);
    const int sortLanguage = sortLanguage_;
    auto it = std::lower_bound(items_.begin(), items_.end(), text,
                               [sortLanguage](const Item& item, std::string_view t) {
                                   return TextOf(item, sortLanguage) < t;
                               });
    if (it == items_.end() || TextOf(*it, sortLanguage) != text)
        return std::string(text);
    return std::string(TextOf(*it, language));
}

int TvxStringsCollection::IndexOfIdentifier(std::string_view identifier) const
{
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (SameText(items_[i].identifier, identifier))
            return static_cast<int>(i);
    return -1;
}

bool TvxStringsCollection::Update(std::string_view identifier, int language, std::string_view text)
{
    if (language < 1)
        return false;
    const Item* found = FindItem(identifier);
    if (found == nullptr)
        return false;
    Item& item = items_[static_cast<std::size_t>(found - items_.data())];
    if (item.texts.size() < static_cast<std::size_t>(language))
        item.texts.resize(static_cast<std::size_t>(language));
    item.texts[static_cast<std::size_t>(language) - 1] = std::string(text);
    if (sortLanguage_ == language)
        Sort(sortLanguage_);
    return true;
}

} // namespace translation
