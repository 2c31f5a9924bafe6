// Applying a language, the look-ups, and the property values reached by a textual path.

#include "translation/lang/vx_comp.h"

#include "translation/lang/vx_detail.h"
#include "translation/lang/vx_dispatch.h"

#include "platform/code_page.h"
#include "platform/text1251.h"

#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include <algorithm>
#include <charconv>

namespace translation {

using detail::FromKey;
using detail::KeyOf;
using detail::Narrow1251;
namespace {

// A collection index: decimal digits only, within int.
std::optional<qint64> ParseIndex(std::string_view text)
{
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    qint64 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// "Items[2]" -> ("Items", 2); "Items" -> ("Items", none); a malformed index -> nullopt.
struct PathPart
{
    std::string name;
    std::optional<qint64> index;
};

std::optional<PathPart> ParsePart(std::string_view part)
{
    const std::size_t open = part.find('[');
    if (open == std::string_view::npos)
        return PathPart{std::string(part), std::nullopt};
    if (part.back() != ']')
        return std::nullopt;
    const std::optional<qint64> index = ParseIndex(part.substr(open + 1, part.size() - open - 2));
    if (!index)
        return std::nullopt;
    return PathPart{std::string(part.substr(0, open)), index};
}

// A component's name identifies it: no translation renames it, whatever the lists say.
bool IsComponentName(const RttiObject& object, std::string_view property)
{
    return object.type == RttiObject::Type::Component && SameText(property, "Name");
}

int CharsetByName(std::string_view name, bool ignoreCase)
{
    for (const CharsetName& c : kCharsets)
        if (ignoreCase ? SameText(name, c.name) : name == c.name)
            return c.code;
    return -1;
}

bool Contains(const StringList& list, std::string_view s)
{
    return std::any_of(list.begin(), list.end(),
                       [s](const std::string& e) { return SameText(e, s); });
}

// The cursor named by ChangingCursor (a Qt cursor shape; a number that names none shows the
// wait cursor), shown while a language is applied.
struct CursorGuard
{
    bool active = false;
    CursorGuard(bool on, int shape)
    {
        if (on && qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr &&
            QGuiApplication::overrideCursor() == nullptr) {
            const bool named = shape >= Qt::ArrowCursor && shape <= Qt::LastCursor;
            QGuiApplication::setOverrideCursor(
                QCursor(named ? static_cast<Qt::CursorShape>(shape) : Qt::WaitCursor));
            active = true;
        }
    }
    ~CursorGuard()
    {
        if (active)
            QGuiApplication::restoreOverrideCursor();
    }
};

} // namespace

// ---- helpers shared by applying and collecting

QObject* TvxCustomLang::FindComponent(std::string_view name) const
{
    if (name.empty() || parent() == nullptr)
        return nullptr;
    if (index_ != nullptr)
        return index_->Find(name);
    return ComponentIndex(parent()).Find(name);
}

QObject* TvxCustomLang::FindTarget(std::string_view name) const
{
    if (QObject* c = FindComponent(name))
        return c;
    if (parent() != nullptr && !name.empty() &&
        (SameText(name, OwnerClassName()) || SameText(name, OwnerName())))
        return parent();
    return nullptr;
}

bool TvxCustomLang::IsTranslationComponent(const QObject* object) const
{
    // Translation components and dispatchers hold the lists themselves: writing them from a
    // line would apply a language inside the walk.
    return qobject_cast<const TvxCustomLang*>(object) != nullptr ||
           rtti::IsClass(object, "TvxLangDispatcher");
}

bool TvxCustomLang::InDoNotTranslate(std::string_view name) const
{
    return Contains(doNotTranslate_, name);
}

bool TvxCustomLang::InSmartExclude(std::string_view entry) const
{
    return Contains(smartExclude_, entry);
}

std::optional<QString> detail::WideIn(std::string_view text, int charset)
{
    if (CharsetCodePage(charset) == platform::kSystemCodePage) {
        QString wide(static_cast<qsizetype>(text.size()), Qt::Uninitialized);
        QChar* out = wide.data();
        for (char c : text) {
            const char32_t cp = platform::Cp1251ToCodePoint(static_cast<unsigned char>(c));
            if (cp == 0 && c != '\0')
                return std::nullopt; // the one byte the code page leaves unassigned
            *out++ = QChar(static_cast<char16_t>(cp));
        }
        return wide;
    }
    const std::optional<std::string> utf8 =
        platform::CodePageToUtf8(text, CharsetCodePage(charset));
    if (!utf8)
        return std::nullopt;
    return QString::fromStdString(*utf8);
}

std::optional<std::string> detail::NarrowIn(const QString& text, int charset)
{
    return platform::Utf8ToCodePage(text.toStdString(), CharsetCodePage(charset));
}

std::optional<QString> TvxCustomLang::ToWide(std::string_view text) const
{
    return detail::WideIn(text, charset_);
}

std::optional<std::string> TvxCustomLang::ToNarrow(const QString& text) const
{
    return detail::NarrowIn(text, charset_);
}

bool TvxCustomLang::WriteStringProperty(const RttiObject& object, const PropInfo& prop,
                                        std::string_view text)
{
    const std::optional<QString> wide = ToWide(text);
    return wide && rtti::WriteText(object, prop, *wide);
}

bool TvxCustomLang::WriteIfDiffers(const RttiObject& object, const PropInfo& prop,
                                   std::string_view text)
{
    const std::optional<QString> wide = ToWide(text);
    if (!wide || rtti::ReadText(object, prop) == *wide)
        return false;
    return rtti::WriteText(object, prop, *wide);
}

std::optional<std::string> TvxCustomLang::ReadStringProperty(const RttiObject& object,
                                                             const PropInfo& prop) const
{
    const std::optional<QString> wide = rtti::ReadText(object, prop);
    if (!wide)
        return std::nullopt;
    return ToNarrow(*wide);
}

// ---- property paths and values

RttiObject TvxCustomLang::ResolvePropertyPath(std::string_view path) const
{
    const StringList parts = SplitBy(path, ".");
    if (parts.size() < 2 || parts.size() > static_cast<std::size_t>(kMostPathParts) ||
        parent() == nullptr)
        return RttiObject();
    QObject* first = parts[0] == OwnerClassName() ? parent() : FindComponent(parts[0]);
    if (first == nullptr || IsTranslationComponent(first))
        return RttiObject();
    RttiObject current = RttiObject::Of(first);
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        const std::optional<PathPart> part = ParsePart(parts[i]);
        if (!part)
            return RttiObject();
        const std::optional<PropInfo> prop =
            rtti::FindProperty(current, std::string_view(part->name), KindBit(TypeKind::Class));
        if (!prop)
            return RttiObject();
        current = rtti::ReadObject(current, *prop);
        if (part->index)
            current = rtti::CollectionItem(current, *part->index);
        if (!current)
            return RttiObject();
    }
    return current;
}

std::string TvxCustomLang::GetPropertyText(std::string_view path) const
{
    return ReadPathText(path).value_or(std::string());
}

std::optional<std::string> TvxCustomLang::ReadPathText(std::string_view path) const
{
    const RttiObject object = ResolvePropertyPath(path);
    const std::size_t dot = path.rfind('.');
    if (!object || dot == std::string_view::npos)
        return std::nullopt;
    const std::optional<PropInfo> prop = rtti::FindProperty(object, path.substr(dot + 1));
    if (!prop)
        return std::nullopt;
    switch (prop->kind) {
    case TypeKind::Integer:
    case TypeKind::Int64: {
        const std::optional<qint64> v = rtti::ReadOrdinal(object, *prop);
        if (!v)
            return std::nullopt;
        return std::to_string(*v);
    }
    case TypeKind::Char:
    case TypeKind::WChar: {
        const std::optional<qint64> v = rtti::ReadOrdinal(object, *prop);
        if (!v)
            return std::nullopt;
        return ToNarrow(QString(QChar(static_cast<char16_t>(*v))));
    }
    case TypeKind::String:
    case TypeKind::LString:
    case TypeKind::WString:
        return ReadStringProperty(object, *prop);
    case TypeKind::Enumeration:
    case TypeKind::Set: {
        const std::optional<QString> name = rtti::ReadEnumName(object, *prop);
        if (!name)
            return std::nullopt;
        return name->toStdString();
    }
    case TypeKind::Float: {
        const std::optional<double> v = rtti::ReadFloat(object, *prop);
        if (!v)
            return std::nullopt;
        return QString::number(*v, 'g', 15).toStdString();
    }
    case TypeKind::Class: {
        const RttiObject list = rtti::ReadObject(object, *prop);
        if (!rtti::IsStrings(list))
            return std::nullopt;
        StringList items;
        for (const QString& s : rtti::StringsGet(list)) {
            std::optional<std::string> narrow = ToNarrow(s);
            if (!narrow)
                return std::nullopt;
            items.push_back(std::move(*narrow));
        }
        return CommaText(items);
    }
    default:
        return std::nullopt;
    }
}

void TvxCustomLang::SetPropertyText(std::string_view path, std::string_view text)
{
    const RttiObject object = ResolvePropertyPath(path);
    const std::size_t dot = path.rfind('.');
    if (!object || dot == std::string_view::npos || IsComponentName(object, path.substr(dot + 1)))
        return;
    const std::optional<PropInfo> prop = rtti::FindProperty(object, path.substr(dot + 1));
    if (!prop)
        return;
    switch (prop->kind) {
    case TypeKind::Integer:
    case TypeKind::Int64: {
        qint64 v = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
        if (ec == std::errc() && end == text.data() + text.size())
            rtti::WriteOrdinal(object, *prop, v);
        return;
    }
    case TypeKind::Char:
    case TypeKind::WChar: {
        const std::optional<QString> wide = ToWide(text);
        if (wide && wide->size() == 1)
            rtti::WriteOrdinal(object, *prop, wide->at(0).unicode());
        return;
    }
    case TypeKind::String:
    case TypeKind::LString:
    case TypeKind::WString:
        WriteStringProperty(object, *prop, text);
        return;
    case TypeKind::Enumeration:
    case TypeKind::Set:
        rtti::WriteEnumName(object, *prop, FromKey(text));
        return;
    case TypeKind::Float: {
        bool ok = false;
        const double v = FromKey(text).toDouble(&ok);
        if (ok)
            rtti::WriteFloat(object, *prop, v);
        return;
    }
    case TypeKind::Class: {
        FillStrings(rtti::ReadObject(object, *prop), ParseCommaText(text));
        return;
    }
    default:
        return;
    }
}

void TvxCustomLang::FillStrings(const RttiObject& strings, const StringList& items)
{
    if (!rtti::IsStrings(strings))
        return;
    QStringList lines;
    for (const std::string& item : items) {
        const std::optional<QString> wide = ToWide(item);
        if (!wide)
            return; // a text the code page cannot read leaves the list as it is
        lines << *wide;
    }
    // Equal entries leave the control alone, its selection included.
    if (rtti::StringsGet(strings) != lines)
        rtti::StringsSet(strings, lines);
}

std::string TvxCustomLang::ValuesText(std::string_view values, int language) const
{
    // Values has no key: the text of language n follows the (n-1)-th delimiter.
    if (language < 1)
        return std::string();
    std::size_t from = 0;
    for (int n = 1; n < language; ++n) {
        const std::size_t at = values.find(delim_, from);
        if (at == std::string_view::npos)
            return std::string();
        from = at + 1;
    }
    const std::size_t end = values.find(delim_, from);
    return std::string(values.substr(from, end == std::string_view::npos ? end : end - from));
}

std::string TvxCustomLang::ReplaceValuesText(std::string_view values, int language,
                                             std::string_view text) const
{
    std::string out;
    for (int n = 1; n <= numLanguages_; ++n) {
        out += n == language ? std::string(text) : ValuesText(values, n);
        out += delim_;
    }
    return out;
}

std::string TvxCustomLang::FieldWithDefault(std::string_view text, char delim, int n) const
{
    std::string field = Field(text, delim, n);
    if (useDefaultLanguage_ && field.empty() && n != defaultLanguage_)
        field = Field(text, delim, defaultLanguage_);
    return field;
}

void TvxCustomLang::ApplyExtendedTranslations()
{
    for (std::size_t i = 0; i < extended_.size(); ++i) {
        const TvxExtendedItem item = extended_[i]; // a write may not change the collection
        std::string text = ValuesText(item.Values, activeLanguage_);
        if (text.empty() && useDefaultLanguage_ && activeLanguage_ != defaultLanguage_)
            text = ValuesText(item.Values, defaultLanguage_);
        if (const TTestModeInfo* test = text.empty() ? ActiveTestMode() : nullptr)
            text = test->Transform(ValuesText(item.Values, 1));
        if (text.empty() && translateType_ == ttGetDefault)
            text = ValuesText(item.Values, 1);
        if (!text.empty())
            SetPropertyText(item.Identifier, text);
    }
}

void TvxCustomLang::RebuildExtendedValues()
{
    for (std::size_t i = extended_.size(); i-- > 0;) {
        TvxExtendedItem& item = extended_[i];
        if (!ResolvePropertyPath(item.Identifier)) {
            extended_.erase(extended_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        // A value that cannot be read as text (one outside the code page, say) leaves the
        // stored texts as they are.
        const std::optional<std::string> current = ReadPathText(item.Identifier);
        if (current && *current != ValuesText(item.Values, activeLanguage_))
            item.Values = ReplaceValuesText(item.Values, activeLanguage_, *current);
    }
}

void TvxCustomLang::ReplaceExtendedDelimiter(char oldDelim, char newDelim)
{
    for (TvxExtendedItem& item : extended_)
        item.Values = ReplaceChar(item.Values, oldDelim, newDelim);
}

std::string TvxCustomLang::MakeValues(std::string_view text, int t) const
{
    return translation::MakeValues(text, t, numLanguages_, delim_);
}

void TvxCustomLang::PadLines(StringList& list) const
{
    translation::PadLines(list, delim_, numLanguages_);
}

void TvxCustomLang::UpdateCharset()
{
    charset_ = 1;
    std::string name = FindField(lists_[stCharSets], OwnerClassName(), activeLanguage_);
    if (name.empty() && fontHolder_ == nullptr) {
        // Another window's component of the same dispatcher supplies the character set; the
        // QPointer forgets it when it goes.
        if (auto* d = qobject_cast<TvxLangDispatcher*>(dispatcher_.data()))
            for (int i = 0; i < d->Count() && fontHolder_ == nullptr; ++i) {
                TvxCustomLang* other = d->Component(i);
                if (other != this && rtti::IsForm(other->parent()))
                    fontHolder_ = other;
            }
    }
    if (name.empty() && fontHolder_ != nullptr)
        name = fontHolder_->FindField(fontHolder_->lists_[stCharSets],
                                      fontHolder_->OwnerClassName(), activeLanguage_);
    const int code = CharsetByName(name, false);
    if (code >= 0)
        charset_ = code;
}

// ---- applying a language

void TvxCustomLang::SetActiveLanguage(int n)
{
    if (n == activeLanguage_)
        return;
    if (n < 1 || n > numLanguages_) {
        if (loading_)
            return;
        throw ELanguageError(std::to_string(n) + " - is not a valid property value!\r" +
                             "Value must be within [1.." + std::to_string(numLanguages_) + "]!");
    }
    changingProperty_ = -1;
    const CursorGuard cursor(changingCursor_ != -1 && !designing_, changingCursor_);
    if (designing_ && (dispatcher_ != nullptr || !loading_))
        CollectValues();
    activeLanguage_ = n;
    if (!loading_ && langNames_.size() >= static_cast<std::size_t>(n))
        language_ = langNames_[static_cast<std::size_t>(n) - 1];
    PublishResources();
    if (dispatcher_ != nullptr || !loading_)
        ChangeLanguage();
}

std::string TvxCustomLang::TextOfLanguage(std::string_view line, int language, bool fallback) const
{
    std::string text = Field(line, delim_, language);
    if (fallback && text.empty())
        text = Field(line, delim_, 1);
    return text;
}

std::string TvxCustomLang::LineText(std::string_view line, bool testText) const
{
    std::string text = Field(line, delim_, activeLanguage_);
    if (useDefaultLanguage_ && text.empty() && activeLanguage_ != defaultLanguage_)
        text = Field(line, delim_, defaultLanguage_);
    if (const TTestModeInfo* test = text.empty() && testText ? ActiveTestMode() : nullptr)
        text = test->Transform(Field(line, delim_, 1));
    if (text.empty() && translateType_ == ttGetDefault)
        text = Field(line, delim_, 1);
    return text;
}

TvxCustomLang::WalkScope::WalkScope(TvxCustomLang* self)
    : self_(self), outer_(self->index_), outerApplying_(self->applying_)
{
    if (outer_ == nullptr) {
        self_->walkIndex_.Rebuild(self_->parent());
        self_->index_ = &self_->walkIndex_;
        self_->WatchAll(self_->walkIndex_.All());
    } else {
        // A walk started inside a walk leaves the outer walk's index as it is.
        self_->index_ = &own_.emplace(self_->parent());
    }
    self_->applying_ = true;
}

TvxCustomLang::WalkScope::~WalkScope()
{
    self_->applying_ = outerApplying_;
    self_->index_ = outer_;
    if (outer_ == nullptr)
        self_->walkIndex_.Rebuild(nullptr); // keeps its storage, forgets the components
}

void TvxCustomLang::ChangeLanguage()
{
    // A line may name a component whose change applies a language again; such a nested
    // application is ignored, so the walk in progress completes over stable lists.
    if (twin_ || parent() == nullptr || applying_)
        return;
    {
        const WalkScope walk(this);
        const int changing = changingProperty_;
        auto wanted = [changing](int kind) { return changing == -1 || changing == kind; };
        UpdateCharset();
        if (translateExtendedFirst_ && changing == -1)
            ApplyExtendedTranslations();
        ApplyOwnerProperty(stCaptions, "Caption");
        ApplyOwnerProperty(stHints, "Hint");
        for (int kind : {stCaptions, stHints, stDisplayLabels})
            if (wanted(kind))
                TranslateList(lists_[static_cast<size_t>(kind)], kind);
        if ((wanted(stFonts) || changing == stCharSets) && !noFonts_)
            TranslateList(lists_[stFonts], stFonts);
        ApplyOwnerFont();
        for (int kind : {stMultiLines, stOtherStrings, stLocales, stCollections}) {
            if (!wanted(kind) || !has_[static_cast<size_t>(kind)])
                continue;
            if (kind == stLocales && !changeLocales_)
                continue;
            TranslateList(lists_[static_cast<size_t>(kind)], kind);
        }
        if (!translateExtendedFirst_ && changing == -1)
            ApplyExtendedTranslations();
    }
    PublishResources();
    if (OnChangeLanguage)
        OnChangeLanguage(this);
}

void TvxCustomLang::ApplyOwnerProperty(int kind, const char* property)
{
    const StringList& list = lists_[static_cast<size_t>(kind)];
    const std::string ownerClass = OwnerClassName();
    if (list.empty() || InDoNotTranslate(ownerClass) || InSmartExclude(ownerClass + "." + property))
        return;
    const RttiObject owner = RttiObject::Of(parent());
    const std::optional<PropInfo> prop =
        rtti::FindProperty(owner, QString::fromLatin1(property), kStringKinds);
    if (!prop || !SameText(KeyOf(list[0], delim_), ownerClass))
        return;
    const std::string text = LineText(list[0]);
    if (text.empty() || rtti::IsActionBound(parent()))
        return;
    WriteIfDiffers(owner, *prop, text);
}

void TvxCustomLang::ApplyOwnerFont()
{
    const StringList& list = lists_[stFonts];
    const std::string ownerClass = OwnerClassName();
    if (list.empty() || noFonts_ || OwnerExcluded() || InSmartExclude(ownerClass + ".Font"))
        return;
    const RttiObject owner = RttiObject::Of(parent());
    const std::optional<PropInfo> fontProp =
        rtti::FindProperty(owner, u"Font", KindBit(TypeKind::Class));
    if (!fontProp || fontProp->typeName != QLatin1String("TFont") ||
        !SameText(KeyOf(list[0], delim_), ownerClass))
        return;
    const RttiObject font = rtti::ReadObject(owner, *fontProp);
    std::string name = Field(list[0], delim_, activeLanguage_);
    if (name.empty() && translateType_ == ttGetDefault)
        name = Field(list[0], delim_, 1);
    if (!name.empty())
        if (const std::optional<PropInfo> p = rtti::FindProperty(font, u"Name"))
            WriteStringProperty(font, *p, name);
    const int code =
        CharsetByName(FindField(lists_[stCharSets], ownerClass, activeLanguage_), false);
    if (code >= 0)
        if (const std::optional<PropInfo> p = rtti::FindProperty(font, u"Charset"))
            rtti::WriteOrdinal(font, *p, code);
}

bool TvxCustomLang::OwnerExcluded() const
{
    return InDoNotTranslate(OwnerClassName());
}

void TvxCustomLang::ApplyLocale(std::string_view key, std::string_view text)
{
    const auto* it = std::find_if(kLocaleNames.begin(), kLocaleNames.end(),
                                  [key](const char* n) { return key == n; });
    if (it == kLocaleNames.end() || text.empty())
        return;
    FormatSettings& f = formats_;
    auto names = [text](auto& target) {
        const StringList items = ParseCommaText(text);
        for (std::size_t i = 0; i < items.size() && i < target.size(); ++i)
            target[i] = items[i];
    };
    switch (it - kLocaleNames.begin()) {
    case 0:
        f.currencyString = text;
        break;
    case 1:
        f.thousandSeparator = text[0];
        break;
    case 2:
        f.decimalSeparator = text[0];
        break;
    case 3:
        f.dateSeparator = text[0];
        break;
    case 4:
        f.shortDateFormat = text;
        break;
    case 5:
        f.longDateFormat = text;
        break;
    case 6:
        f.timeSeparator = text[0];
        break;
    case 7:
        f.timeAMString = text;
        break;
    case 8:
        f.timePMString = text;
        break;
    case 9:
        f.shortTimeFormat = text;
        break;
    case 10:
        f.longTimeFormat = text;
        break;
    case 11:
        names(f.shortMonthNames);
        break;
    case 12:
        names(f.longMonthNames);
        break;
    case 13:
        names(f.shortDayNames);
        break;
    default:
        names(f.longDayNames);
        break;
    }
}

void TvxCustomLang::MoveToScratch(StringList& list, std::size_t index)
{
    if (!scratch_)
        scratch_ = std::make_unique<StringList>();
    scratch_->push_back(std::move(list[index]));
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
}

namespace {

// A Collections key: Component.[Obj.]Collection[i].[ItemObj.]ItemProp
struct CollectionKey
{
    std::string component;
    std::string collectionPath; // one name, or object property "." collection property
    std::optional<qint64> index;
    bool indexValid = false;
    std::string itemPath;
};

std::optional<CollectionKey> ParseCollectionKey(std::string_view line, char delim)
{
    const std::string_view key = line.substr(0, line.find(delim));
    const std::size_t dot = key.find('.');
    const std::size_t open = key.find('[', dot == std::string_view::npos ? 0 : dot);
    const std::size_t close = key.find(']', open == std::string_view::npos ? 0 : open);
    if (dot == std::string_view::npos || open == std::string_view::npos ||
        close == std::string_view::npos)
        return std::nullopt;
    CollectionKey k;
    k.component = key.substr(0, dot);
    k.collectionPath = key.substr(dot + 1, open - dot - 1);
    k.index = ParseIndex(key.substr(open + 1, close - open - 1));
    k.indexValid = k.index.has_value();
    if (close + 1 < key.size() && key[close + 1] == '.')
        k.itemPath = key.substr(close + 2);
    return k;
}

} // namespace

void TvxCustomLang::TranslateList(StringList& list, int kind)
{
    CleanList(list, kind);
    if (list.empty())
        return;
    if (kind == stCollections) {
        for (std::size_t i = 0; i < list.size();)
            TranslateCollectionLine(list, i);
        return;
    }
    std::size_t i = 0;
    const std::string ownerClass = OwnerClassName();
    if ((kind == stCaptions || kind == stHints || kind == stFonts) && rtti::IsForm(parent()) &&
        !InDoNotTranslate(ownerClass) && list[0].find(ownerClass + delim_) != std::string::npos)
        i = 1;
    while (i < list.size())
        TranslateLine(list, i, kind);
}

void TvxCustomLang::TranslateCollectionLine(StringList& list, std::size_t& i)
{
    const std::optional<CollectionKey> key = ParseCollectionKey(list[i], delim_);
    if (!key || !key->indexValid) {
        // A key whose index is not a number cannot address an item; the walk goes on.
        MoveToScratch(list, i);
        return;
    }
    if (InDoNotTranslate(key->component)) {
        ++i;
        return;
    }
    if (IsExcludedProperty(key->component, key->collectionPath)) {
        ++i;
        return;
    }
    const std::string text = LineText(list[i]);
    QObject* component = FindComponent(key->component);
    if (component == nullptr || IsTranslationComponent(component)) {
        ++i;
        return;
    }
    auto drop = [&] { list.erase(list.begin() + static_cast<std::ptrdiff_t>(i)); };
    RttiObject holder = RttiObject::Of(component);
    const StringList collParts = SplitBy(key->collectionPath, ".");
    if (collParts.empty() || collParts.size() > 2) {
        drop();
        return;
    }
    if (collParts.size() == 2) {
        const std::optional<PropInfo> objProp =
            rtti::FindProperty(holder, std::string_view(collParts[0]), KindBit(TypeKind::Class));
        if (!objProp) {
            drop();
            return;
        }
        holder = rtti::ReadObject(holder, *objProp);
        if (!holder) {
            ++i;
            return;
        }
    }
    const std::optional<PropInfo> collProp =
        rtti::FindProperty(holder, std::string_view(collParts.back()));
    if (!collProp) {
        drop();
        return;
    }
    RttiObject item = rtti::CollectionItem(rtti::ReadObject(holder, *collProp), *key->index);
    if (!item) {
        ++i;
        return;
    }
    const StringList itemParts = SplitBy(key->itemPath, ".");
    if (itemParts.empty() || itemParts.size() > static_cast<std::size_t>(kMostPathParts)) {
        drop();
        return;
    }
    for (std::size_t p = 0; p + 1 < itemParts.size(); ++p) {
        const std::optional<PropInfo> prop =
            rtti::FindProperty(item, std::string_view(itemParts[p]), KindBit(TypeKind::Class));
        if (!prop || !prop->readable || !prop->writable) {
            drop();
            return;
        }
        item = rtti::ReadObject(item, *prop);
        if (!item) {
            drop();
            return;
        }
    }
    const std::optional<PropInfo> prop =
        rtti::FindProperty(item, std::string_view(itemParts.back()));
    if (!prop) {
        drop();
        return;
    }
    ++i;
    if (IsComponentName(item, itemParts.back()) ||
        IsExcludedProperty(key->component, itemParts.front()) ||
        IsExcludedProperty(key->component, itemParts.back()))
        return;
    if (prop->kind == TypeKind::Class) {
        const RttiObject strings = rtti::ReadObject(item, *prop);
        if (!text.empty())
            FillStrings(strings, SplitLines(text));
        return;
    }
    if (!(kStringKinds & KindBit(prop->kind)) || text.empty())
        return;
    WriteIfDiffers(item, *prop, text);
}

void TvxCustomLang::TranslateLine(StringList& list, std::size_t& i, int kind)
{
    const std::string& line = list[i++]; // nothing below changes the list
    const std::string key = KeyOf(line, delim_);
    std::string component;
    StringList path;
    if (kind == stMultiLines || kind == stOtherStrings) {
        const std::size_t dot = key.find('.');
        if (dot == std::string::npos)
            return;
        component = key.substr(0, dot);
        path = SplitBy(std::string_view(key).substr(dot + 1), ".");
        if (path.empty() || path.size() > 2)
            return;
    } else {
        component = key;
        static const char* const kProperty[] = {"Caption", "Hint", "DisplayLabel", "Font"};
        if (kind <= stFonts)
            path.push_back(kProperty[kind]);
    }
    if (InDoNotTranslate(component))
        return;
    // An excluded property stays as it is, whatever the lists still hold for it.
    if (kind != stLocales && !path.empty() &&
        (IsExcludedProperty(component, JoinList(path, ".", false)) ||
         (path.size() == 1 && SameText(path[0], "Name"))))
        return;
    // Font names and locale settings must stay usable: the test mode marks texts only.
    const std::string text = LineText(line, kind != stFonts && kind != stLocales);
    if (kind == stLocales) {
        ApplyLocale(key, text);
        return;
    }
    if (path.empty())
        return;
    QObject* target = FindTarget(component);
    if (target == nullptr || IsTranslationComponent(target))
        return;
    RttiObject object = RttiObject::Of(target);
    const std::optional<PropInfo> first = rtti::FindProperty(object, std::string_view(path[0]));
    if (!first || !first->readable || !first->writable) {
        // Read-only adapted properties (the font object) are still reached through their object.
        if (!(first && first->kind == TypeKind::Class && first->readable))
            return;
    }
    if (kind == stFonts) {
        const RttiObject font = rtti::ReadObject(object, *first);
        if (font.type != RttiObject::Type::Font)
            return;
        const std::optional<PropInfo> parentFont = rtti::FindProperty(object, u"ParentFont");
        if (parentFont && rtti::ReadOrdinal(object, *parentFont).value_or(0) != 0)
            return;
        const int code =
            CharsetByName(FindField(lists_[stCharSets], component, activeLanguage_), true);
        if (code >= 0)
            if (const std::optional<PropInfo> p = rtti::FindProperty(font, u"Charset"))
                rtti::WriteOrdinal(font, *p, code);
        if (!text.empty())
            if (const std::optional<PropInfo> p = rtti::FindProperty(font, u"Name"))
                WriteIfDiffers(font, *p, text);
        return;
    }
    if (kind == stMultiLines) {
        RttiObject strings = rtti::ReadObject(object, *first);
        if (path.size() == 2) {
            const std::optional<PropInfo> inner =
                rtti::FindProperty(strings, std::string_view(path[1]), KindBit(TypeKind::Class));
            strings = inner ? rtti::ReadObject(strings, *inner) : RttiObject();
        }
        if (!text.empty())
            FillStrings(strings, ParseCommaText(text));
        return;
    }
    // Captions, Hints, DisplayLabels, OtherStrings
    RttiObject holder = object;
    std::optional<PropInfo> prop = first;
    if (path.size() == 2) {
        holder = rtti::ReadObject(object, *first);
        if (IsComponentName(holder, path[1]))
            return;
        prop = rtti::FindProperty(holder, std::string_view(path[1]), kStringKinds);
    }
    if (!prop || !(kStringKinds & KindBit(prop->kind)) || !prop->writable || text.empty())
        return;
    const std::optional<QString> wide = ToWide(text);
    if (!wide)
        return; // a text the code page cannot read is left out alone
    const std::optional<QString> current = rtti::ReadText(holder, *prop);
    if (current == *wide)
        return;
    if ((kind == stDisplayLabels || kind == stOtherStrings) &&
        (text.find("..") != std::string::npos || text.find(".\\") != std::string::npos) &&
        current) {
        // Paths that name the same place are the same text.
        const QString a = QDir::cleanPath(QFileInfo(*wide).absoluteFilePath());
        const QString b = QDir::cleanPath(QFileInfo(*current).absoluteFilePath());
        if (a == b)
            return;
    }
    if ((kind == stCaptions || kind == stHints) && rtti::IsActionBound(target))
        return;
    rtti::WriteText(holder, *prop, *wide);
}

void TvxCustomLang::CleanList(StringList& list, int kind)
{
    if (kind == stDlgsCaptions || kind == stStrings || kind == stLocales || parent() == nullptr)
        return;
    std::optional<ComponentIndex> local;
    const ComponentIndex& index = detail::IndexFor(index_, local, parent());
    const std::string ownerClass = OwnerClassName();
    auto exists = [&](std::string_view name) { return index.Find(name) != nullptr; };
    if (kind == stCollections) {
        for (std::size_t i = 0; i < list.size();) {
            const std::string key = KeyOf(list[i], delim_);
            const std::string component = key.substr(0, key.find('.'));
            QObject* c = index.Find(component);
            if (c == nullptr) {
                MoveToScratch(list, i);
                continue;
            }
            const std::optional<CollectionKey> k = ParseCollectionKey(list[i], delim_);
            if (!k || !k->indexValid) {
                MoveToScratch(list, i);
                continue;
            }
            RttiObject holder = RttiObject::Of(c);
            std::string collection = k->collectionPath;
            if (StartsWithText(collection, "Properties.")) {
                const std::optional<PropInfo> p =
                    rtti::FindProperty(holder, u"Properties", KindBit(TypeKind::Class));
                holder = p ? rtti::ReadObject(holder, *p) : RttiObject();
                collection = collection.substr(11);
            }
            const std::optional<PropInfo> p =
                rtti::FindProperty(holder, std::string_view(collection));
            if (p && p->kind == TypeKind::Class) {
                VxCollection* coll = rtti::AsCollection(rtti::ReadObject(holder, *p));
                if (coll != nullptr && coll->Count() <= *k->index) {
                    MoveToScratch(list, i);
                    continue;
                }
            }
            ++i;
        }
    } else {
        const RttiObject owner = RttiObject::Of(parent());
        std::size_t start = 0;
        if (!list.empty()) {
            if ((kind == stCaptions && rtti::FindProperty(owner, u"Caption", kStringKinds)) ||
                (kind == stHints && rtti::FindProperty(owner, u"Hint", kStringKinds)) ||
                ((kind == stFonts || kind == stCharSets) && !noFonts_))
                start = 1;
        }
        for (std::size_t i = start; i < list.size();) {
            const std::string key = KeyOf(list[i], delim_);
            bool vanished = false;
            ComponentIndex::Found component;
            if (kind == stMultiLines || kind == stOtherStrings ||
                kind == stListView_TreeView_Items) {
                const std::string name = key.substr(0, key.find('.'));
                vanished = name != ownerClass && !exists(name);
            } else {
                component = index.Lookup(key);
                vanished = component.object == nullptr;
            }
            if (vanished) {
                MoveToScratch(list, i);
                continue;
            }
            // The class alone answers for most controls, without reaching the control itself.
            if ((kind == stCaptions || kind == stHints) && rtti::MayBeActionBound(component.meta) &&
                rtti::IsActionBound(component.object)) {
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            ++i;
        }
    }
    if (autoSkipEmpties_)
        list.erase(std::remove_if(
                       list.begin(), list.end(),
                       [this](const std::string& l) { return AllTextsEmpty(l, numLanguages_); }),
                   list.end());
}

// ---- look-ups

std::string TvxCustomLang::FindField(const StringList& list, std::string_view key,
                                     int language) const
{
    for (const std::string& line : list)
        if (SameText(KeyOf(line, delim_), key))
            return Field(line, delim_, language);
    return std::string();
}

const TvxCustomLang* TvxCustomLang::CommonSource(int kind) const
{
    // Under the options the dispatcher's first other component with lines of the kind answers.
    const bool common =
        (options_ & loUseExtCommonStrings) && (kind == stLocales || kind == stDlgsCaptions);
    const bool user = (options_ & loUseExtUDStrings) && kind == stStrings;
    if (!common && !user)
        return this;
    auto* d = qobject_cast<TvxLangDispatcher*>(dispatcher_.data());
    for (int i = 0; d != nullptr && i < d->Count(); ++i) {
        const TvxCustomLang* other = d->Component(i);
        const StringList* lines = other->GetStringsByIndex(kind);
        if (other != this && lines != nullptr && !lines->empty())
            return other;
    }
    return nullptr;
}

std::string TvxCustomLang::GetListText(int kind, int index, bool fallback) const
{
    const TvxCustomLang* source = CommonSource(kind);
    if (source == nullptr)
        return std::string();
    const StringList* list = source->GetStringsByIndex(kind);
    if (list == nullptr || index < 0 || static_cast<std::size_t>(index) >= list->size())
        return std::string();
    return source->TextOfLanguage((*list)[static_cast<std::size_t>(index)], source->activeLanguage_,
                                  fallback);
}

std::string TvxCustomLang::GetTextFromList(int kind, std::string_view key, bool fallback) const
{
    const TvxCustomLang* source = CommonSource(kind);
    if (source == nullptr)
        return std::string();
    return source->OwnTextFromList(kind, key, fallback);
}

std::string TvxCustomLang::OwnTextFromList(int kind, std::string_view key, bool fallback) const
{
    const StringList* list = GetStringsByIndex(kind);
    auto missing = [&]() -> std::string {
        if (doRaiseExceptions_)
            throw ELanguageError("String identifier \"" + std::string(key) + "\" not found!");
        return std::string();
    };
    if (list == nullptr)
        return missing();
    if (designing_ || kind != stStrings) {
        // Whole keys only: field 0 of each line, so a key never matches inside another text.
        for (const std::string& line : *list)
            if (SameText(KeyOf(line, delim_), key)) {
                std::string text = Field(line, delim_, activeLanguage_);
                if (const TTestModeInfo* test = text.empty() ? ActiveTestMode() : nullptr)
                    text = test->Transform(Field(line, delim_, 1));
                if (fallback && text.empty())
                    text = Field(line, delim_, 1);
                return text;
            }
        return missing();
    }
    std::optional<std::string> text = stringCache_.Find(key, activeLanguage_);
    if (!text)
        return missing();
    if (const TTestModeInfo* test = text->empty() ? ActiveTestMode() : nullptr)
        *text = test->Transform(stringCache_.TextById(key, 1));
    if (fallback && text->empty())
        return stringCache_.TextById(key, 1);
    return *text;
}

std::string TvxCustomLang::GetText(std::string_view key) const
{
    return GetTextFromList(stStrings, key, translateType_ == ttGetDefault);
}

std::string TvxCustomLang::GetTextWithFallback(std::string_view key)
{
    if (!useDefaultLanguage_)
        return GetTextFromList(stStrings, key, true);
    std::string text = GetText(key);
    if (!text.empty())
        return text;
    struct Restore
    {
        int& ref;
        int saved;
        ~Restore() { ref = saved; }
    } restore{activeLanguage_, activeLanguage_};
    activeLanguage_ = defaultLanguage_;
    text = GetText(key);
    if (text.empty())
        text = GetTextFromList(stStrings, key, true);
    return text;
}

std::optional<std::string> TvxCustomLang::GetTextOrDefault(std::string_view identifier)
{
    std::string text = GetTextWithFallback(identifier);
    if (text.empty())
        return std::nullopt;
    return text;
}

} // namespace translation
