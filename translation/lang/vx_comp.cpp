#include "translation/lang/vx_comp.h"
#include "translation/lang/vx_dispatch.h"

#include "translation/lang/vx_detail.h"

#include "platform/code_page.h"
#include "platform/text1251.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLocale>

#include <algorithm>

namespace translation {

using detail::FromKey;
using detail::KeyOf;
using detail::Narrow1251;

const std::array<const char*, 15> kLocaleNames = {
    "Currency String",   "Thousand Separator", "Decimal Separator", "Date Separator",
    "Short Date Format", "Long Date Format",   "Time Separator",    "Time AM String",
    "Time PM String",    "Short Time Format",  "Long Time Format",  "Short Month Names",
    "Long Month Names",  "Short Day Names",    "Long Day Names"};

const std::array<CharsetName, 19> kCharsets = {{{"ANSI_CHARSET", 0},
                                                {"DEFAULT_CHARSET", 1},
                                                {"SYMBOL_CHARSET", 2},
                                                {"MAC_CHARSET", 77},
                                                {"SHIFTJIS_CHARSET", 128},
                                                {"HANGEUL_CHARSET", 129},
                                                {"JOHAB_CHARSET", 130},
                                                {"GB2312_CHARSET", 134},
                                                {"CHINESEBIG5_CHARSET", 136},
                                                {"GREEK_CHARSET", 161},
                                                {"TURKISH_CHARSET", 162},
                                                {"VIETNAMESE_CHARSET", 163},
                                                {"HEBREW_CHARSET", 177},
                                                {"ARABIC_CHARSET", 178},
                                                {"BALTIC_CHARSET", 186},
                                                {"RUSSIAN_CHARSET", 204},
                                                {"THAI_CHARSET", 222},
                                                {"EASTEUROPE_CHARSET", 238},
                                                {"OEM_CHARSET", 255}}};

int CharsetCodePage(int charset)
{
    switch (charset) {
    case 0:
        return 1252;
    case 77:
        return 10000;
    case 128:
        return 932;
    case 129:
        return 949;
    case 130:
        return 1361;
    case 134:
        return 936;
    case 136:
        return 950;
    case 161:
        return 1253;
    case 162:
        return 1254;
    case 163:
        return 1258;
    case 177:
        return 1255;
    case 178:
        return 1256;
    case 186:
        return 1257;
    case 222:
        return 874;
    case 238:
        return 1250;
    case 255:
        return platform::kOemCodePage;
    default:
        return platform::kSystemCodePage; // DEFAULT, SYMBOL, RUSSIAN and unknown sets
    }
}

namespace {

// Every standard dialog element with a caption, in the stored order.
constexpr std::array kDialogEntries = {"Warning",
                                       "Error",
                                       "Information",
                                       "Confirm",
                                       "&Yes",
                                       "&No",
                                       "OK",
                                       "Cancel",
                                       "&Abort",
                                       "&Retry",
                                       "&Ignore",
                                       "&All",
                                       "N&o To All",
                                       "Y&es To All",
                                       "&Help",
                                       "&Open",
                                       "Look &in:",
                                       "File &name:",
                                       "Files of &type:",
                                       "&Read-only",
                                       "&Save",
                                       "&Drives:",
                                       "Save &in:",
                                       "Save as &type:",
                                       "&Basic colors:",
                                       "&Custom colors:",
                                       "&Define Custom Colors >>",
                                       "Color",
                                       "|S&olid",
                                       "Hu&e:",
                                       "&Sat:",
                                       "&Lum:",
                                       "&Red:",
                                       "&Green:",
                                       "Bl&ue:",
                                       "&Add to Custom Colors",
                                       "&Font:",
                                       "Font st&yle:",
                                       "Si&ze:",
                                       "&Color:",
                                       "&Apply",
                                       "Effects",
                                       "Stri&keout",
                                       "&Underline",
                                       "Sample",
                                       "Sc&ript:",
                                       "Printer",
                                       "&Name:",
                                       "&Properties",
                                       "Status:",
                                       "Type:",
                                       "Where:",
                                       "Comment:",
                                       "Paper",
                                       "&Source:",
                                       "Orientation",
                                       "P&ortrait",
                                       "L&andscape",
                                       "Print to f&ile",
                                       "Print",
                                       "Pa&ges",
                                       "&Selection",
                                       "&from:",
                                       "&to:",
                                       "Copies",
                                       "Number of &copies:",
                                       "C&ollate",
                                       "Fi&nd what:",
                                       "Match &whole words only",
                                       "Match &case",
                                       "Direction",
                                       "&Up",
                                       "&Down",
                                       "&Find Next",
                                       "&Replace",
                                       "Replace &All",
                                       "Re&place with:",
                                       "Picture:",
                                       "Preview",
                                       "New Folder",
                                       "Folder:",
                                       "(None)"};
constexpr std::size_t kFirstDialogs = 15;

std::string DialogKey(std::size_t i)
{
    std::string key = kDialogEntries[i];
    key.erase(std::remove(key.begin(), key.end(), '&'), key.end());
    return key;
}

std::string DialogText(std::size_t i)
{
    if (i >= kFirstDialogs)
        return kDialogEntries[i];
    // The message boxes' own texts, in whatever language the library has been given.
    return Narrow1251(QCoreApplication::translate("QMessageBox", kDialogEntries[i]));
}

std::string JoinNames(const QStringList& names)
{
    std::string out;
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += ',';
        out += Narrow1251(names[i]);
    }
    return out;
}

std::string LanguageError(long long value, const std::string& rule)
{
    return std::to_string(value) + " - is not a valid property value !\r" + rule;
}

} // namespace

TvxPropInfoList::TvxPropInfoList(const RttiObject& object, KindSet kinds)
    : props_(rtti::Properties(object, kinds))
{
}

const PropInfo* TvxPropInfoList::Find(QStringView name) const
{
    for (const PropInfo& p : props_)
        if (name.compare(p.name, Qt::CaseInsensitive) == 0)
            return &p;
    return nullptr;
}

QObject* TvxCustomLang::CheckOwner(QObject* owner)
{
    if (owner != nullptr &&
        !owner->findChildren<TvxCustomLang*>(Qt::FindDirectChildrenOnly).isEmpty())
        throw std::runtime_error("Only one TvxCustomLang component per Form/DataModule allowed!");
    return owner;
}

TvxCustomLang::TvxCustomLang(QObject* owner, const KindMask& kinds)
    : QObject(CheckOwner(owner)), has_(kinds)
{
    langNames_.push_back("Language N1");
    language_ = "Language N1";
    for (std::size_t i = 0; i < kFirstDialogs; ++i)
        lists_[stDlgsCaptions].push_back(DialogKey(i) + delim_ + DialogText(i) + delim_);

    const QLocale locale;
    const QString shortDate = locale.dateFormat(QLocale::ShortFormat);
    const auto sep =
        std::find_if(shortDate.begin(), shortDate.end(), [](QChar c) { return !c.isLetter(); });
    const QString shortTime = locale.timeFormat(QLocale::ShortFormat);
    const auto tsep =
        std::find_if(shortTime.begin(), shortTime.end(), [](QChar c) { return !c.isLetter(); });
    QStringList shortMonths, longMonths, shortDays, longDays;
    for (int m = 1; m <= 12; ++m) {
        shortMonths << locale.monthName(m, QLocale::ShortFormat);
        longMonths << locale.monthName(m, QLocale::LongFormat);
    }
    for (int d : {7, 1, 2, 3, 4, 5, 6}) { // the week starts on Sunday in these lists
        shortDays << locale.dayName(d, QLocale::ShortFormat);
        longDays << locale.dayName(d, QLocale::LongFormat);
    }
    localeValues_ = {Narrow1251(locale.currencySymbol()),
                     Narrow1251(locale.groupSeparator()),
                     Narrow1251(locale.decimalPoint()),
                     sep == shortDate.end() ? std::string("/") : Narrow1251(QString(*sep)),
                     Narrow1251(shortDate),
                     Narrow1251(locale.dateFormat(QLocale::LongFormat)),
                     tsep == shortTime.end() ? std::string(":") : Narrow1251(QString(*tsep)),
                     Narrow1251(locale.amText()),
                     Narrow1251(locale.pmText()),
                     Narrow1251(shortTime),
                     Narrow1251(locale.timeFormat(QLocale::LongFormat)),
                     JoinNames(shortMonths),
                     JoinNames(longMonths),
                     JoinNames(shortDays),
                     JoinNames(longDays)};

    stringsTypes_ = {"TIB_STRINGLIST", "TSTRINGLIST"};
    noFonts_ = owner != nullptr &&
               !rtti::FindProperty(RttiObject::Of(owner), u"Font", KindBit(TypeKind::Class));
    excluded_ = {"Category",
                 "SecondaryShortCuts",
                 "HelpKeyword",
                 "InitialDir",
                 "HelpKeyword",
                 "ActivePage",
                 "ImeName",
                 "DefaultExt",
                 "FileName",
                 "FieldName",
                 "PickList",
                 "DisplayFormat",
                 "EditMask",
                 "KeyList",
                 "LookupDisplayFields",
                 "DropDownSpecRow",
                 "TableName",
                 "DatabaseName",
                 "IndexName",
                 "MasterFields"};
    if (owner != nullptr) {
        owner->installEventFilter(this);
        for (QObject* c : owner->findChildren<QObject*>())
            Watch(c);
    }
}

TvxCustomLang::~TvxCustomLang()
{
    ReleaseResourceTranslator();
    if (auto* d = qobject_cast<TvxLangDispatcher*>(dispatcher_.data()))
        d->Unlink(this);
    if (QObject* owner = parent())
        owner->removeEventFilter(this);
}

bool TvxCustomLang::eventFilter(QObject* watched, QEvent* event)
{
    // A child that gets another parent (a layout, a tab page, setParent) stays a component
    // while it stays inside the owner: only its destruction removes it.
    if (watched == parent() && event->type() == QEvent::ChildAdded)
        Watch(static_cast<QChildEvent*>(event)->child());
    return false;
}

void TvxCustomLang::Watch(QObject* object)
{
    if (object == nullptr || object == this || !watched_.insert(object).second)
        return;
    connect(object, &QObject::destroyed, this, [this](QObject* gone) { Destroyed(gone); });
}

void TvxCustomLang::WatchAll(const std::vector<QObject*>& objects)
{
    for (QObject* o : objects)
        Watch(o);
}

void TvxCustomLang::Destroyed(QObject* gone)
{
    watched_.erase(gone);
    // Its parents are still in place while it goes: a component of the owner at any depth.
    for (QObject* p = gone->parent(); p != nullptr; p = p->parent())
        if (p == parent()) {
            Notification(gone, Operation::Remove);
            return;
        }
}

TvxLang::TvxLang(QObject* owner)
    : TvxCustomLang(owner,
                    {true, true, true, true, true, true, true, true, true, true, true, false})
{
}

TvxLangLinked::TvxLangLinked(QObject* owner)
    : TvxCustomLang(owner,
                    {true, true, true, true, true, false, true, true, false, true, true, false})
{
}

void TvxLangLinked::SetCommonContainer(QObject* c)
{
    if (c == commonContainer_.data() || c == this)
        return;
    commonContainer_ = c;
    if (!IsLoading())
        Loaded();
}

void TvxLangLinked::Loaded()
{
    TvxCustomLang::Loaded();
    if (IsDesigning()) {
        ReplaceListLines(stDlgsCaptions, {});
        ReplaceListLines(stLocales, {});
        return;
    }
    const auto* container = qobject_cast<const TvxCustomLang*>(commonContainer_.data());
    if (container == nullptr)
        return;
    for (int kind : {stDlgsCaptions, stLocales}) {
        StringList lines = container->ListLines(kind);
        for (std::string& line : lines)
            line = ReplaceChar(line, container->Delim(), Delim());
        ReplaceListLines(kind, std::move(lines));
    }
}

std::string TvxCustomLang::OwnerClassName() const
{
    return parent() == nullptr ? std::string() : Narrow1251(rtti::ClassName(parent()));
}

std::string TvxCustomLang::OwnerName() const
{
    return parent() == nullptr ? std::string() : Narrow1251(parent()->objectName());
}

StringList* TvxCustomLang::GetStringsByIndex(int kind)
{
    if (kind < 0 || kind >= kListKinds || !has_[static_cast<size_t>(kind)])
        return nullptr;
    return &lists_[static_cast<size_t>(kind)];
}

const StringList* TvxCustomLang::GetStringsByIndex(int kind) const
{
    return const_cast<TvxCustomLang*>(this)->GetStringsByIndex(kind);
}

StringList* TvxCustomLang::GetStringsByName(std::string_view name)
{
    for (int kind = 0; kind < kListKinds; ++kind)
        if (SameText(std::string_view(StringsTypeName(kind)).substr(2), name))
            return GetStringsByIndex(kind);
    return nullptr;
}

bool TvxCustomLang::IsStringsType(std::string_view className) const
{
    return std::any_of(stringsTypes_.begin(), stringsTypes_.end(),
                       [className](const std::string& s) { return SameText(s, className); });
}

void TvxCustomLang::ReplaceTranslation(StringList& list, std::string_view text, int language,
                                       std::string_view key)
{
    if (&list == &lists_[stStrings] && !designing_) {
        // The caches answer look-ups; they take the new text at once.
        stringCache_.Update(key, language, text);
        resourceCache_.Update(key, language, text);
    }
    for (std::string& line : list) {
        if (SameText(std::string_view(line).substr(0, line.find(delim_)), key)) {
            ReplaceLanguage(line, delim_, language, text);
            return;
        }
    }
}

void TvxCustomLang::FillDialogCaptions()
{
    StringList& dlgs = lists_[stDlgsCaptions];
    auto lineOf = [this](std::size_t i) { return DialogKey(i) + delim_ + DialogText(i) + delim_; };
    if (needAllDlgs_ && dlgs.size() < kDialogEntries.size()) {
        for (std::size_t i = dlgs.size(); i < kDialogEntries.size(); ++i)
            dlgs.push_back(lineOf(i));
    } else if (!needAllDlgs_ && dlgs.size() == kDialogEntries.size()) {
        for (std::size_t i = dlgs.size(); i-- > 0;) {
            const std::string key = dlgs[i].substr(0, dlgs[i].find(delim_));
            bool first = false;
            for (std::size_t k = 0; k < kFirstDialogs; ++k)
                first = first || key == DialogKey(k);
            if (!first)
                dlgs.erase(dlgs.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

void TvxCustomLang::EndLoading()
{
    loading_ = false;
    Loaded();
}

void TvxCustomLang::Loaded()
{
    if (parent() == nullptr || twin_)
        return;
    FillDialogCaptions();
    if (options_ & loUseExtCommonStrings) {
        lists_[stDlgsCaptions].clear();
        lists_[stLocales].clear();
    }
    if (delim_ == '\t') {
        ReplaceDelimiterEverywhere('\t', '\x01');
        delim_ = '\x01';
    }
    auto firstHasTab = [this](int kind) {
        const StringList& l = lists_[static_cast<size_t>(kind)];
        return !l.empty() && l[0].find('\t') != std::string::npos;
    };
    auto firstTabs = [this](int kind) {
        const StringList& l = lists_[static_cast<size_t>(kind)];
        return !l.empty() && CountOf(l[0], '\t') == static_cast<std::size_t>(numLanguages_) + 1;
    };
    if (firstHasTab(stDlgsCaptions) || firstHasTab(stLocales) || firstTabs(stCaptions) ||
        firstTabs(stHints)) {
        for (StringList& list : lists_)
            for (std::string& line : list)
                line = ReplaceChar(line, '\t', delim_);
    }
    if (has_[stLocales] && lists_[stLocales].size() == 11) {
        for (std::size_t i = 11; i < 15; ++i)
            lists_[stLocales].push_back(kLocaleNames[i] + std::string(1, delim_) +
                                        localeValues_[i] + delim_);
    }
    ApplyExcludedProperties();
    if (designing_) {
        PadLines(lists_[stStrings]);
        PadLines(lists_[stDlgsCaptions]);
        PadLines(lists_[stLocales]);
    } else {
        RefreshStrings();
    }
    RegisterWithDispatcher();
    if (isInheritedOwner_)
        ChangeLanguage();
    if (!designing_ && handleResourceStrings_) {
        InstallResourceTranslator();
        PublishResources();
    }
    if (designing_) {
        const std::string ownerClass = OwnerClassName();
        const ComponentIndex components(parent());
        for (std::size_t i = extended_.size(); i-- > 0;) {
            const std::string& id = extended_[i].Identifier;
            const std::string first = id.substr(0, id.find('.'));
            if (first == ownerClass)
                continue;
            if (components.Find(first) == nullptr)
                extended_.erase(extended_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

void TvxCustomLang::Notification(QObject* component, Operation operation)
{
    if (component == nullptr)
        return;
    if (operation == Operation::Remove && component == dispatcher_.data()) {
        dispatcher_.clear();
        return;
    }
    if (operation == Operation::Remove && component == fontHolder_.data()) {
        fontHolder_.clear();
        return;
    }
    if (qobject_cast<TvxCustomLang*>(component) != nullptr || operation != Operation::Remove)
        return;
    const std::string name = Narrow1251(component->objectName());
    if (name.empty())
        return;
    doNotTranslate_.erase(
        std::remove_if(doNotTranslate_.begin(), doNotTranslate_.end(),
                       [&name](const std::string& s) { return SameText(s, name); }),
        doNotTranslate_.end());
    for (int kind : {stCaptions, stHints, stDisplayLabels, stFonts, stMultiLines, stOtherStrings,
                     stCharSets, stCollections})
        if (StringList* list = GetStringsByIndex(kind))
            RemoveComponentLines(*list, component, kind, operation);
    RemoveComponentLines(smartExclude_, component, stOtherStrings, operation);
    const std::string prefix = name + ".";
    extended_.erase(std::remove_if(extended_.begin(), extended_.end(),
                                   [&prefix](const TvxExtendedItem& item) {
                                       return StartsWithText(item.Identifier, prefix);
                                   }),
                    extended_.end());
}

void TvxCustomLang::SetList(int kind, const StringList& v)
{
    StringList* list = GetStringsByIndex(kind);
    if (list == nullptr || list == &v)
        return;
    *list = v;
    if (kind == stDlgsCaptions || loading_)
        return;
    if (kind == stStrings)
        RefreshStrings(); // look-ups answer from the cache
    changingProperty_ = kind;
    ChangeLanguage();
}

void TvxCustomLang::SetNumOfLanguages(int n)
{
    if (n == numLanguages_)
        return;
    if (n < 1)
        throw ELanguageError(LanguageError(n, "Value must be more than ZERO !"));
    if (n > kMostLanguages)
        throw ELanguageError(LanguageError(n, "Value must not be more than " +
                                                  std::to_string(kMostLanguages) + " !"));
    if (n < numLanguages_)
        for (StringList& list : lists_)
            for (std::string& line : list)
                line = CutLanguages(line, delim_, n);
    numLanguages_ = n;
    if (designing_ && !loading_) {
        PadLines(lists_[stStrings]);
        PadLines(lists_[stDlgsCaptions]);
        PadLines(lists_[stLocales]);
    }
    while (langNames_.size() < static_cast<std::size_t>(n))
        langNames_.push_back("Language N" + std::to_string(langNames_.size() + 1));
    langNames_.resize(static_cast<std::size_t>(n));
    if (!designing_ && !loading_) {
        PadLines(lists_[stStrings]);
        PadLines(lists_[stDlgsCaptions]);
        PadLines(lists_[stLocales]);
        RefreshStrings();
    }
}

void TvxCustomLang::SetLangNames(const StringList& v)
{
    const auto count = static_cast<long long>(v.size());
    if (count < 1)
        throw ELanguageError(LanguageError(count, "Value must be more than ZERO !"));
    if (count > kMostLanguages)
        throw ELanguageError(LanguageError(count, "Value must not be more than " +
                                                      std::to_string(kMostLanguages) + " !"));
    langNames_ = v;
    if (langNames_.size() >= static_cast<std::size_t>(activeLanguage_))
        language_ = langNames_[static_cast<std::size_t>(activeLanguage_) - 1];
    numLanguages_ = static_cast<int>(count);
}

void TvxCustomLang::SetLanguage(const std::string& name)
{
    if (name == language_)
        return;
    auto it = std::find_if(langNames_.begin(), langNames_.end(),
                           [&name](const std::string& s) { return SameText(s, name); });
    if (it == langNames_.end()) {
        if (!loading_)
            throw ELanguageError("Language name shall be included in LangNames property!");
        if (langNames_.size() >= static_cast<std::size_t>(kMostLanguages))
            return;
        langNames_.push_back(name);
        it = langNames_.end() - 1;
    }
    const int position = static_cast<int>(it - langNames_.begin()) + 1;
    language_ = name;
    if (!loading_ && !twin_)
        SetActiveLanguage(position);
}

QString TvxCustomLang::LanguageQ() const
{
    return QString::fromStdString(platform::Cp1251ToUtf8(language_));
}

void TvxCustomLang::SetLanguageQ(const QString& name)
{
    SetLanguage(Narrow1251(name));
}

void TvxCustomLang::SetLangDelim(int d)
{
    if (d < 0 || d > 255)
        throw ELanguageError(LanguageError(d, "Value must be within [0..255]!"));
    const char c = static_cast<char>(d);
    if (c == delim_)
        return;
    if (!loading_)
        ReplaceDelimiterEverywhere(delim_, c);
    delim_ = c;
}

void TvxCustomLang::ReplaceDelimiterEverywhere(char oldDelim, char newDelim)
{
    for (StringList& list : lists_)
        for (std::string& line : list)
            line = ReplaceChar(line, oldDelim, newDelim);
    ReplaceExtendedDelimiter(oldDelim, newDelim);
}

void TvxCustomLang::SetDoNotTranslate(const StringList& v)
{
    doNotTranslate_ = v;
    if (!loading_)
        ApplyDoNotTranslate();
}

void TvxCustomLang::SetExcludedProperties(const StringList& v)
{
    excluded_ = v;
    if (!loading_) {
        ApplyExcludedProperties();
        CollectValues();
    }
}

void TvxCustomLang::SetStringsTypes(const StringList& v)
{
    stringsTypes_ = v;
    if (!loading_)
        CollectValues();
}

void TvxCustomLang::SetSmartExcludeProps(const StringList& v)
{
    smartExclude_ = v;
    if (!loading_)
        CollectValues();
}

void TvxCustomLang::SetOptions(int options)
{
    options_ = options & (loUseExtUDStrings | loUseExtCommonStrings);
    if ((options_ & loUseExtCommonStrings) && designing_) {
        lists_[stDlgsCaptions].clear();
        lists_[stLocales].clear();
    }
}

void TvxCustomLang::SetNeedAllDlgs(bool on)
{
    needAllDlgs_ = on;
    if (!loading_)
        FillDialogCaptions();
}

void TvxCustomLang::SetResourceLanguageIndex(int v)
{
    if (!loading_ && (v < 1 || v > numLanguages_))
        throw ELanguageError(std::to_string(v) + " - is not a valid property value!\r" +
                             "Value must be within [1.." + std::to_string(numLanguages_) + "]!");
    resourceLanguageIndex_ = v;
    if (!loading_) {
        resourceCache_.Sort(v);
        PublishResources();
    }
}

void TvxCustomLang::SetDefaultLanguage(int v)
{
    if (loading_ || (v >= 1 && v <= numLanguages_))
        defaultLanguage_ = v;
}

void TvxCustomLang::SetAutoSkipEmpties(bool v)
{
    const bool switchedOn = v && !autoSkipEmpties_;
    autoSkipEmpties_ = v;
    if (switchedOn && !loading_)
        CollectValues();
}

void TvxCustomLang::SetChangeLocales(bool on)
{
    changeLocales_ = on;
    if (on && has_[stLocales] && lists_[stLocales].empty())
        for (std::size_t i = 0; i < kLocaleNames.size(); ++i)
            lists_[stLocales].push_back(kLocaleNames[i] + std::string(1, delim_) +
                                        localeValues_[i] + delim_);
}

void TvxCustomLang::SetExtendedTranslations(const std::vector<TvxExtendedItem>& items)
{
    extended_ = items;
}

} // namespace translation
