// Collecting the owner's translatable properties into the lists, and the list maintenance that
// keeps the lists in step with the owner's components.

#include "translation/lang/vx_comp.h"

#include "translation/lang/vx_detail.h"

#include "platform/text1251.h"

#include <QAction>

#include <algorithm>

namespace translation {

using detail::FromKey;
using detail::KeyOf;
using detail::Narrow1251;
namespace {

std::string CharsetNameOf(qint64 code)
{
    for (const CharsetName& c : kCharsets)
        if (c.code == code)
            return c.name;
    return std::string();
}

bool ContainsText(const StringList& list, std::string_view s)
{
    return std::any_of(list.begin(), list.end(),
                       [s](const std::string& e) { return SameText(e, s); });
}

// Words of a key separated by "." and the delimiter (and "[" for collections).
StringList Words(std::string_view key, char delim, bool brackets)
{
    StringList words(1);
    for (char c : key) {
        if (c == '.' || c == delim || (brackets && c == '['))
            words.emplace_back();
        else
            words.back() += c;
    }
    return words;
}

} // namespace

bool TvxCustomLang::IsExcludedProperty(std::string_view component, std::string_view property) const
{
    return SameText(property, "Name") || ContainsText(excluded_, property) ||
           (!smartExclude_.empty() &&
            ContainsText(smartExclude_, std::string(component) + "." + std::string(property)));
}

bool TvxCustomLang::ComponentExcluded(QObject* component) const
{
    if (IsTranslationComponent(component))
        return true;
    if (InDoNotTranslate(Narrow1251(component->objectName())))
        return true;
    std::string byClass(1, '!');
    byClass += Narrow1251(rtti::ClassName(component));
    return InDoNotTranslate(byClass);
}

bool TvxCustomLang::HasOwnerFont() const
{
    return !noFonts_;
}

void TvxCustomLang::SharedLineRule(StringList& list, const std::string& key,
                                   const std::string& value)
{
    const std::string prefix = key + delim_;
    for (const std::string& line : list) {
        if (!StartsWithText(line, prefix))
            continue;
        if (designing_) {
            const std::string current = Field(line, delim_, activeLanguage_);
            if (current != value && (!current.empty() || activeLanguage_ == 1))
                ReplaceTranslation(list, value, activeLanguage_, key);
        }
        return;
    }
    if (scratch_) {
        for (const std::string& old : *scratch_) {
            std::string text = Field(old, delim_, activeLanguage_);
            if (text.empty())
                text = Field(old, delim_, 1);
            const std::size_t at = old.find(delim_);
            if (text == value && at != std::string::npos) {
                list.push_back(key + old.substr(at));
                return;
            }
        }
    }
    if (autoSkipEmpties_ && value.empty())
        return;
    list.push_back(key + delim_ + value +
                   std::string(static_cast<std::size_t>(numLanguages_), delim_));
}

void TvxCustomLang::CollectValues()
{
    if (twin_ || parent() == nullptr || applying_)
        return;
    const WalkScope walk(this); // a read may not start an application
    struct Restore
    {
        TvxCustomLang* self;
        bool raise;
        ~Restore()
        {
            self->doRaiseExceptions_ = raise;
            self->scratch_.reset();
        }
    } restore{this, doRaiseExceptions_};
    doRaiseExceptions_ = false;
    try {
        CollectOwner(stCaptions, "Caption");
        CollectOwner(stHints, "Hint");
        CollectOwner(stFonts, "Font");
        scratch_ = std::make_unique<StringList>();
        auto step = [this](int kind, const char* property) {
            if (ContainsText(excluded_, property))
                return;
            CleanList(lists_[static_cast<size_t>(kind)], kind);
            CollectList(lists_[static_cast<size_t>(kind)], kind);
            scratch_->clear();
        };
        step(stCaptions, "Caption");
        step(stHints, "Hint");
        step(stDisplayLabels, "DisplayLabel");
        if (!noFonts_ && !ContainsText(excluded_, "Font")) {
            CleanList(lists_[stFonts], stFonts);
            CleanList(lists_[stCharSets], stCharSets);
            CollectList(lists_[stFonts], stFonts);
            scratch_->clear();
        }
        CleanList(lists_[stMultiLines], stMultiLines);
        CollectList(lists_[stMultiLines], stMultiLines);
        CollectStringLists();
        scratch_->clear();
        for (int kind : {stOtherStrings, stCollections}) {
            CleanList(lists_[static_cast<size_t>(kind)], kind);
            CollectList(lists_[static_cast<size_t>(kind)], kind);
            scratch_->clear();
        }
        RemoveInvalidLines();
        RebuildExtendedValues();
    } catch (const std::exception&) {
        // A failing collection leaves what it gathered so far.
    }
}

void TvxCustomLang::CollectOwner(int kind, const char* property)
{
    const RttiObject owner = RttiObject::Of(parent());
    const std::string ownerClass = OwnerClassName();
    const std::string ownerName = OwnerName();
    const bool font = kind == stFonts;
    const std::optional<PropInfo> prop = rtti::FindProperty(
        owner, QString::fromLatin1(property), font ? KindBit(TypeKind::Class) : kStringKinds);
    if (!prop || (font && prop->typeName != QLatin1String("TFont")))
        return;
    if (InSmartExclude(ownerClass + "." + property)) {
        DeletePropertyLines(lists_[static_cast<size_t>(kind)], ownerClass, kind, property);
        if (font)
            DeletePropertyLines(lists_[stCharSets], ownerClass, stCharSets, "Charset");
        return;
    }
    if (ContainsText(excluded_, property) || OwnerExcluded())
        return;
    auto collect = [&](StringList& list, const std::string& value) {
        if (autoSkipEmpties_ && value.empty())
            return;
        const std::string newLine =
            ownerClass + delim_ + value + delim_ +
            std::string(static_cast<std::size_t>(numLanguages_ - 1), delim_);
        if (!list.empty()) {
            const std::string key0 = KeyOf(list[0], delim_);
            const std::size_t at = list[0].find(delim_);
            const std::string rest =
                at == std::string::npos ? std::string(1, delim_) : list[0].substr(at);
            if ((!SameText(key0, ownerClass) && !SameText(key0, ownerName) && !value.empty() &&
                 Field(list[0], delim_, 1) == value) ||
                (!ownerName.empty() && SameText(key0, ownerName)))
                list[0] = ownerClass + rest;
        }
        if (list.empty() || (list[0].find(ownerClass) == std::string::npos &&
                             (ownerName.empty() || list[0].find(ownerName) == std::string::npos)))
            list.insert(list.begin(), newLine);
        if (Field(list[0], delim_, activeLanguage_) != value)
            ReplaceTranslation(list, value, activeLanguage_, ownerClass);
    };
    if (!font) {
        const std::optional<std::string> value = ReadStringProperty(owner, *prop);
        if (value)
            collect(lists_[static_cast<size_t>(kind)], *value);
        return;
    }
    const RttiObject fontObject = rtti::ReadObject(owner, *prop);
    const std::optional<PropInfo> name = rtti::FindProperty(fontObject, u"Name", kStringKinds);
    const std::optional<std::string> value =
        name ? ReadStringProperty(fontObject, *name) : std::nullopt;
    if (value)
        collect(lists_[stFonts], *value);
    if (InSmartExclude(ownerClass + ".Charset")) {
        DeletePropertyLines(lists_[stCharSets], ownerClass, stCharSets, "Charset");
        return;
    }
    if (ContainsText(excluded_, "Charset"))
        return;
    const std::optional<PropInfo> charset = rtti::FindProperty(fontObject, u"Charset");
    if (charset)
        collect(lists_[stCharSets],
                CharsetNameOf(rtti::ReadOrdinal(fontObject, *charset).value_or(1)));
}

void TvxCustomLang::CollectList(StringList& list, int kind)
{
    std::optional<ComponentIndex> local;
    const ComponentIndex& index = detail::IndexFor(index_, local, parent());
    std::vector<QObject*> components;
    if (kind == stOtherStrings && !OwnerExcluded())
        components.push_back(parent());
    for (QObject* c : index.All())
        if (!ComponentExcluded(c))
            components.push_back(c);
    const std::string ownerClass = OwnerClassName();
    for (QObject* c : components) {
        const std::string name = c == parent() ? ownerClass : Narrow1251(c->objectName());
        const RttiObject object = RttiObject::Of(c);
        switch (kind) {
        case stCaptions:
        case stHints:
        case stDisplayLabels: {
            static const char* const kProperty[] = {"Caption", "Hint", "DisplayLabel"};
            const char* property = kProperty[kind];
            const std::optional<PropInfo> prop =
                rtti::FindProperty(object, QString::fromLatin1(property), kStringKinds);
            if (!prop || !prop->readable || !prop->writable)
                break;
            if (IsExcludedProperty(name, property)) {
                DeletePropertyLines(list, name, kind, property);
                break;
            }
            if (kind != stDisplayLabels && rtti::IsActionBound(c))
                break;
            const std::optional<std::string> value = ReadStringProperty(object, *prop);
            if (!value)
                break; // a text the language's code page cannot hold is left out alone
            auto* action = qobject_cast<QAction*>(c);
            if (kind == stCaptions && action != nullptr && action->isSeparator())
                break;
            SharedLineRule(list, name, *value);
            break;
        }
        case stFonts: {
            const std::optional<PropInfo> prop =
                rtti::FindProperty(object, u"Font", KindBit(TypeKind::Class));
            if (!prop || prop->typeName != QLatin1String("TFont"))
                break;
            const std::optional<PropInfo> parentFont = rtti::FindProperty(object, u"ParentFont");
            if (IsExcludedProperty(name, "Font") ||
                (parentFont && rtti::ReadOrdinal(object, *parentFont).value_or(0) != 0)) {
                DeletePropertyLines(list, name, stFonts, "Font");
                DeletePropertyLines(lists_[stCharSets], name, stCharSets, "Charset");
                break;
            }
            const RttiObject font = rtti::ReadObject(object, *prop);
            const std::optional<PropInfo> fontName =
                rtti::FindProperty(font, u"Name", kStringKinds);
            const std::optional<std::string> value =
                fontName ? ReadStringProperty(font, *fontName) : std::nullopt;
            if (!value)
                break;
            SharedLineRule(list, name, *value);
            if (IsExcludedProperty(name, "Charset"))
                DeletePropertyLines(lists_[stCharSets], name, stCharSets, "Charset");
            else if (const std::optional<PropInfo> cs = rtti::FindProperty(font, u"Charset"))
                SharedLineRule(lists_[stCharSets], name,
                               CharsetNameOf(rtti::ReadOrdinal(font, *cs).value_or(-1)));
            break;
        }
        case stMultiLines: {
            if (rtti::ClassName(c) == QLatin1String("TFormStorage"))
                break;
            for (const PropInfo& p : rtti::Properties(object, KindBit(TypeKind::Class))) {
                const RttiObject value = rtti::ReadObject(object, p);
                if (!rtti::IsStrings(value) && !IsStringsType(Narrow1251(p.typeName)))
                    continue;
                const std::string property = Narrow1251(p.name);
                if (IsExcludedProperty(name, property)) {
                    DeletePropertyLines(list, name, kind, property);
                    continue;
                }
                StringList items;
                bool ok = true;
                for (const QString& s : rtti::StringsGet(value)) {
                    std::optional<std::string> narrow = ToNarrow(s);
                    ok = ok && narrow.has_value();
                    if (narrow)
                        items.push_back(std::move(*narrow));
                }
                if (ok)
                    SharedLineRule(list, name + "." + property, CommaText(items));
            }
            break;
        }
        case stOtherStrings: {
            auto strings = [&](const RttiObject& holder, const std::string& prefix) {
                for (const PropInfo& p : rtti::Properties(holder, kStringKinds)) {
                    if (!p.readable || !p.writable)
                        continue;
                    const std::string property = Narrow1251(p.name);
                    if (SameText(property, "Name") ||
                        (prefix.empty() &&
                         (SameText(property, "Caption") || SameText(property, "Hint") ||
                          SameText(property, "DisplayLabel"))))
                        continue;
                    if (IsExcludedProperty(name, prefix + property)) {
                        DeletePropertyLines(list, name, kind, prefix + property);
                        continue;
                    }
                    const std::optional<std::string> value = ReadStringProperty(holder, p);
                    if (value)
                        SharedLineRule(list, name + "." + prefix + property, *value);
                }
            };
            strings(object, "");
            if (const std::optional<PropInfo> props =
                    rtti::FindProperty(object, u"Properties", KindBit(TypeKind::Class))) {
                const RttiObject holder = rtti::ReadObject(object, *props);
                if (holder && holder.type == RttiObject::Type::Component)
                    strings(holder, "Properties.");
            }
            break;
        }
        case stCollections: {
            for (const PropInfo& p : rtti::Properties(object, KindBit(TypeKind::Class))) {
                const RttiObject collection = rtti::ReadObject(object, p);
                VxCollection* coll = rtti::AsCollection(collection);
                if (coll == nullptr)
                    continue;
                const std::string property = Narrow1251(p.name);
                if (IsExcludedProperty(name, property)) {
                    DeletePropertyLines(list, name, kind, property);
                    continue;
                }
                for (int i = 0; i < coll->Count(); ++i) {
                    const RttiObject item = rtti::CollectionItem(collection, i);
                    const std::string prefix =
                        name + "." + property + "[" + std::to_string(i) + "].";
                    for (const PropInfo& ip : rtti::Properties(item)) {
                        if (!ip.readable || !ip.writable)
                            continue;
                        const std::string itemProperty = Narrow1251(ip.name);
                        if (IsExcludedProperty(name, itemProperty)) {
                            // "Name" included: an item's name is never a text to translate.
                            const std::string line = prefix + itemProperty + delim_;
                            list.erase(std::remove_if(list.begin(), list.end(),
                                                      [&line](const std::string& l) {
                                                          return StartsWithText(l, line);
                                                      }),
                                       list.end());
                            continue;
                        }
                        std::optional<std::string> value;
                        if (kStringKinds & KindBit(ip.kind)) {
                            value = ReadStringProperty(item, ip);
                        } else if (ip.kind == TypeKind::Class) {
                            const RttiObject sub = rtti::ReadObject(item, ip);
                            if (!rtti::IsStrings(sub))
                                continue;
                            StringList lines;
                            for (const QString& s : rtti::StringsGet(sub))
                                if (std::optional<std::string> n = ToNarrow(s))
                                    lines.push_back(std::move(*n));
                            value = JoinLines(lines);
                        } else {
                            continue;
                        }
                        if (value)
                            SharedLineRule(list, prefix + itemProperty, *value);
                    }
                }
            }
            break;
        }
        default:
            break;
        }
    }
}

void TvxCustomLang::CollectStringLists()
{
    if (ContainsText(excluded_, "Properties"))
        return;
    std::optional<ComponentIndex> local;
    const ComponentIndex& index = detail::IndexFor(index_, local, parent());
    for (QObject* c : index.All()) {
        if (ComponentExcluded(c))
            continue;
        const RttiObject object = RttiObject::Of(c);
        const std::optional<PropInfo> props =
            rtti::FindProperty(object, u"Properties", KindBit(TypeKind::Class));
        if (!props)
            continue;
        const RttiObject holder = rtti::ReadObject(object, *props);
        if (!holder)
            continue;
        const std::string name = Narrow1251(c->objectName());
        for (const PropInfo& p : rtti::Properties(holder, KindBit(TypeKind::Class))) {
            const RttiObject value = rtti::ReadObject(holder, p);
            if (!rtti::IsStrings(value))
                continue;
            const std::string property = Narrow1251(p.name);
            if (ContainsText(excluded_, "Properties." + property) ||
                InSmartExclude(name + ".Properties." + property))
                continue;
            StringList items;
            for (const QString& s : rtti::StringsGet(value))
                if (std::optional<std::string> n = ToNarrow(s))
                    items.push_back(std::move(*n));
            SharedLineRule(lists_[stMultiLines], name + ".Properties." + property,
                           CommaText(items));
        }
    }
}

void TvxCustomLang::RemoveComponentLines(StringList& list, QObject* component, int kind,
                                         Operation operation)
{
    if (operation != Operation::Remove || !designing_ || list.empty() || component == nullptr)
        return;
    std::string prefix =
        component == parent() ? OwnerClassName() : Narrow1251(component->objectName());
    if (prefix.empty())
        return;
    prefix +=
        (kind == stMultiLines || kind == stOtherStrings || kind == stCollections) ? '.' : delim_;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&prefix](const std::string& l) {
                                  return l.compare(0, prefix.size(), prefix) == 0;
                              }),
               list.end());
}

void TvxCustomLang::RenameComponentKeys(const std::string& oldName, const std::string& newName)
{
    if (newName.empty() || oldName.empty())
        return;
    std::string from = oldName;
    std::string to = newName;
    if (SameText(oldName, OwnerName())) {
        from = "T" + from;
        to = "T" + to;
    }
    auto rename = [&](StringList& list) {
        for (std::string& line : list) {
            const StringList words = Words(line, delim_, false);
            if (words.empty() || words[0] != from)
                continue;
            line.replace(line.find(from), from.size(), to);
        }
    };
    for (StringList& list : lists_)
        rename(list);
    rename(doNotTranslate_);
    rename(smartExclude_);
    const std::string prefix = oldName + ".";
    for (TvxExtendedItem& item : extended_)
        if (item.Identifier.compare(0, prefix.size(), prefix) == 0)
            item.Identifier = newName + item.Identifier.substr(oldName.size());
}

void TvxCustomLang::ApplyExcludedProperties()
{
    if (ContainsText(excluded_, "Caption"))
        lists_[stCaptions].clear();
    if (ContainsText(excluded_, "Hint"))
        lists_[stHints].clear();
    if (ContainsText(excluded_, "DisplayLabel"))
        lists_[stDisplayLabels].clear();
    if (ContainsText(excluded_, "Font")) {
        lists_[stFonts].clear();
        lists_[stCharSets].clear();
    }
    if (ContainsText(excluded_, "Charset"))
        lists_[stCharSets].clear();
    for (int kind : {stMultiLines, stOtherStrings, stCollections}) {
        StringList& list = lists_[static_cast<size_t>(kind)];
        for (std::size_t i = list.size(); i-- > 0;) {
            const StringList words = Words(KeyOf(list[i], delim_), delim_, kind == stCollections);
            bool excluded = words.size() > 1 && IsExcludedProperty(words[0], words[1]);
            if (kind == stCollections && words.size() > 3)
                excluded = excluded || IsExcludedProperty(words[0], words[3]);
            if (excluded)
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

void TvxCustomLang::ApplyDoNotTranslate()
{
    if (parent() == nullptr)
        return;
    const ComponentIndex index(parent());
    const std::string ownerClass = OwnerClassName();
    for (const std::string& entry : doNotTranslate_) {
        std::vector<QObject*> targets;
        if (SameText(entry, ownerClass)) {
            targets.push_back(parent());
        } else if (entry.size() > 1 && entry[0] == '!') {
            const QString className = FromKey(std::string_view(entry).substr(1));
            for (QObject* c : index.All())
                if (rtti::ClassName(c).compare(className, Qt::CaseInsensitive) == 0)
                    targets.push_back(c);
        } else if (QObject* c = index.Find(entry)) {
            targets.push_back(c);
        }
        for (QObject* target : targets)
            for (int kind : {stCaptions, stHints, stDisplayLabels, stFonts, stMultiLines,
                             stOtherStrings, stCharSets, stCollections})
                RemoveComponentLines(lists_[static_cast<size_t>(kind)], target, kind,
                                     Operation::Remove);
    }
}

void TvxCustomLang::RemoveInvalidLines()
{
    if (parent() == nullptr)
        return;
    std::optional<ComponentIndex> local;
    const ComponentIndex& index = detail::IndexFor(index_, local, parent());
    const std::string ownerClass = OwnerClassName();
    const std::string ownerName = OwnerName();
    for (int kind : {stCaptions, stHints, stDisplayLabels, stFonts, stCharSets, stMultiLines,
                     stOtherStrings, stCollections}) {
        StringList& list = lists_[static_cast<size_t>(kind)];
        for (std::size_t i = list.size(); i-- > 0;) {
            const std::string key = KeyOf(list[i], delim_);
            std::string component;
            StringList path;
            if (kind == stMultiLines || kind == stOtherStrings || kind == stCollections) {
                const std::size_t dot = key.find('.');
                component = key.substr(0, dot);
                std::string rest = dot == std::string::npos ? std::string() : key.substr(dot + 1);
                if (kind == stCollections)
                    rest = rest.substr(0, rest.find('['));
                path = SplitBy(rest, ".");
            } else {
                component = key;
                static const char* const kProperty[] = {"Caption", "Hint", "DisplayLabel", "Font"};
                path.push_back(kind == stCharSets ? "Font" : kProperty[kind]);
            }
            QObject* object = nullptr;
            if (!component.empty()) {
                if (SameText(component, ownerClass) || SameText(component, ownerName))
                    object = parent();
                else
                    object = index.Find(component);
            }
            bool valid = object != nullptr && !path.empty() && path.size() <= 2;
            if (valid) {
                RttiObject holder = RttiObject::Of(object);
                std::optional<PropInfo> prop =
                    rtti::FindProperty(holder, std::string_view(path[0]));
                if (prop && path.size() == 2) {
                    holder = rtti::ReadObject(holder, *prop);
                    prop = rtti::FindProperty(holder, std::string_view(path[1]));
                }
                valid = prop.has_value();
                if (valid && kind != stCollections) {
                    const bool classKind =
                        kind == stFonts || kind == stCharSets || kind == stMultiLines;
                    valid = classKind ? prop->kind == TypeKind::Class
                                      : (kStringKinds & KindBit(prop->kind)) != 0;
                }
            }
            if (!valid)
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

void TvxCustomLang::DeletePropertyLines(StringList& list, std::string_view component, int kind,
                                        std::string_view property)
{
    std::string prefix(component);
    // Built by appending: GCC 12 at -O3 warns about the temporaries of "+".
    if (kind == stMultiLines || kind == stOtherStrings || kind == stCollections) {
        prefix += '.';
        prefix += property;
    }
    if (kind != stCollections)
        prefix += delim_;
    for (std::size_t i = list.size(); i-- > 0;) {
        if (list[i].compare(0, prefix.size(), prefix) != 0)
            continue;
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        if (kind != stCollections)
            return;
    }
}

} // namespace translation
