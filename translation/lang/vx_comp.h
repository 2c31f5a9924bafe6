#pragma once
// The translation component: for one window or data module (its owner) the texts of the owner's
// translatable properties in every language, applied to the properties when a language is
// chosen and collected back from them; look-ups of free string identifiers; the stored form of
// its lists and the translators' text files.
//
// One component per owner.  It lives in the owner's thread; nothing here is thread-safe.

#include "translation/lang/lines.h"
#include "translation/lang/rtti.h"
#include "translation/lang/string_collection.h"

#include <QObject>
#include <QPointer>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

Q_DECLARE_METATYPE(translation::StringList)

namespace translation {

class TVXBFileManager;
struct TTestModeInfo;

// The published properties of one object whose kinds lie in a set.
class TvxPropInfoList
{
public:
    TvxPropInfoList(const RttiObject& object, KindSet kinds);
    int Count() const { return static_cast<int>(props_.size()); }
    // Range-checked.
    const PropInfo& operator[](int index) const { return props_.at(static_cast<size_t>(index)); }
    // The first property of that name, ignoring case; none when absent.
    const PropInfo* Find(QStringView name) const;

private:
    std::vector<PropInfo> props_;
};

enum TTranslateType : int {
    ttNoChange,
    ttGetDefault, // an empty text falls back to language 1
};

enum TvxLangOption : int {
    loUseExtUDStrings = 1,
    loUseExtCommonStrings = 2,
};
using TvxLangOptions = int;

// The class library's format settings that the Locales list may set.
struct FormatSettings
{
    std::string currencyString;
    char thousandSeparator = ',';
    char decimalSeparator = '.';
    char dateSeparator = '/';
    std::string shortDateFormat, longDateFormat;
    char timeSeparator = ':';
    std::string timeAMString, timePMString, shortTimeFormat, longTimeFormat;
    std::array<std::string, 12> shortMonthNames, longMonthNames;
    std::array<std::string, 7> shortDayNames, longDayNames;
};

// The 15 locale setting names, in order.
extern const std::array<const char*, 15> kLocaleNames;
// The 19 character-set names with their codes.
struct CharsetName
{
    const char* name;
    int code;
};
extern const std::array<CharsetName, 19> kCharsets;
// Code page of a character set (the system's own for sets without one).
int CharsetCodePage(int charset);

// Limits of what a component accepts: the field index of a line is one byte.
constexpr int kMostLanguages = kMostFileLanguages;
// Deepest property path that is followed.
constexpr int kMostPathParts = 32;

class TvxCustomLang : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString Version READ VersionQ WRITE SetVersionQ)
    Q_PROPERTY(bool IsInheritedOwner READ IsInheritedOwner WRITE SetIsInheritedOwner)
    Q_PROPERTY(translation::StringList StringsTypes READ StringsTypes WRITE SetStringsTypes)
    Q_PROPERTY(
        translation::StringList SmartExcludeProps READ SmartExcludeProps WRITE SetSmartExcludeProps)
    Q_PROPERTY(bool HandleResourceStrings READ HandleResourceStrings WRITE SetHandleResourceStrings)
    Q_PROPERTY(int ResourceLanguageIndex READ ResourceLanguageIndex WRITE SetResourceLanguageIndex)
    Q_PROPERTY(
        bool TranslateExtendedFirst READ TranslateExtendedFirst WRITE SetTranslateExtendedFirst)
    Q_PROPERTY(bool UseDefaultLanguage READ UseDefaultLanguage WRITE SetUseDefaultLanguage)
    Q_PROPERTY(int DefaultLanguage READ DefaultLanguage WRITE SetDefaultLanguage)
    Q_PROPERTY(bool AutoSkipEmpties READ AutoSkipEmpties WRITE SetAutoSkipEmpties)

public:
    ~TvxCustomLang() override;

    // Form-data reading: while it runs the setters only store; EndLoading runs Loaded.
    void BeginLoading() { loading_ = true; }
    void EndLoading();
    bool IsLoading() const { return loading_; }
    // The owner is being designed: collecting keeps the active language's texts up to date.
    void SetDesigning(bool on) { designing_ = on; }
    bool IsDesigning() const { return designing_; }
    // A twin only holds lists (file readers make them, without an owner).
    void SetTwin(bool on) { twin_ = on; }
    bool IsTwin() const { return twin_; }

    virtual void Loaded();
    enum class Operation { Insert, Remove };
    virtual void Notification(QObject* component, Operation operation);

    // --- component (lists and setters)
    StringList* GetStringsByIndex(int kind);
    const StringList* GetStringsByIndex(int kind) const;
    StringList* GetStringsByName(std::string_view name);
    virtual bool IsStringsType(std::string_view className) const;
    virtual void ReplaceTranslation(StringList& list, std::string_view text, int language,
                                    std::string_view key);
    void FillDialogCaptions();

    std::string Version() const { return "6.2.2"; }
    QString VersionQ() const { return QStringLiteral("6.2.2"); }
    void SetVersionQ(const QString&) {}
    bool IsInheritedOwner() const { return isInheritedOwner_; }
    void SetIsInheritedOwner(bool v) { isInheritedOwner_ = v; }
    StringList StringsTypes() const { return stringsTypes_; }
    void SetStringsTypes(const StringList& v);
    StringList SmartExcludeProps() const { return smartExclude_; }
    void SetSmartExcludeProps(const StringList& v);
    bool HandleResourceStrings() const { return handleResourceStrings_; }
    void SetHandleResourceStrings(bool v);
    int ResourceLanguageIndex() const { return resourceLanguageIndex_; }
    void SetResourceLanguageIndex(int v);
    bool TranslateExtendedFirst() const { return translateExtendedFirst_; }
    void SetTranslateExtendedFirst(bool v) { translateExtendedFirst_ = v; }
    bool UseDefaultLanguage() const { return useDefaultLanguage_; }
    void SetUseDefaultLanguage(bool v) { useDefaultLanguage_ = v; }
    int DefaultLanguage() const { return defaultLanguage_; }
    void SetDefaultLanguage(int v);
    bool AutoSkipEmpties() const { return autoSkipEmpties_; }
    void SetAutoSkipEmpties(bool v);

    // The properties TvxLang publishes.
    StringList Captions() const { return lists_[stCaptions]; }
    void SetCaptions(const StringList& v) { SetList(stCaptions, v); }
    StringList Hints() const { return lists_[stHints]; }
    void SetHints(const StringList& v) { SetList(stHints, v); }
    StringList DisplayLabels() const { return lists_[stDisplayLabels]; }
    void SetDisplayLabels(const StringList& v) { SetList(stDisplayLabels, v); }
    StringList Strings() const { return lists_[stStrings]; }
    void SetStrings(const StringList& v) { SetList(stStrings, v); }
    StringList Fonts() const { return lists_[stFonts]; }
    void SetFonts(const StringList& v) { SetList(stFonts, v); }
    StringList MultiLines() const { return lists_[stMultiLines]; }
    void SetMultiLines(const StringList& v) { SetList(stMultiLines, v); }
    StringList DlgsCaptions() const { return lists_[stDlgsCaptions]; }
    void SetDlgsCaptions(const StringList& v) { SetList(stDlgsCaptions, v); }
    StringList OtherStrings() const { return lists_[stOtherStrings]; }
    void SetOtherStrings(const StringList& v) { SetList(stOtherStrings, v); }
    StringList Locales() const { return lists_[stLocales]; }
    void SetLocales(const StringList& v) { SetList(stLocales, v); }
    StringList CharSets() const { return lists_[stCharSets]; }
    void SetCharSets(const StringList& v) { SetList(stCharSets, v); }
    StringList Collections() const { return lists_[stCollections]; }
    void SetCollections(const StringList& v) { SetList(stCollections, v); }

    int NumOfLanguages() const { return numLanguages_; }
    void SetNumOfLanguages(int n);
    int ActiveLanguage() const { return activeLanguage_; }
    void SetActiveLanguage(int n);
    bool ChangeLocales() const { return changeLocales_; }
    void SetChangeLocales(bool on);
    QObject* LangDispatcher() const { return dispatcher_.data(); }
    void SetLangDispatcher(QObject* dispatcher);
    int LangDelim() const { return static_cast<unsigned char>(delim_); }
    void SetLangDelim(int d);
    char Delim() const { return delim_; }
    StringList DoNotTranslate() const { return doNotTranslate_; }
    void SetDoNotTranslate(const StringList& v);
    StringList LangNames() const { return langNames_; }
    void SetLangNames(const StringList& v);
    std::string Language() const { return language_; }
    void SetLanguage(const std::string& name);
    QString LanguageQ() const;
    void SetLanguageQ(const QString& name);
    int TranslateType() const { return translateType_; }
    void SetTranslateType(int t) { translateType_ = t == ttGetDefault ? ttGetDefault : ttNoChange; }
    int Options() const { return options_; }
    void SetOptions(int options);
    bool NeedAllDlgs() const { return needAllDlgs_; }
    void SetNeedAllDlgs(bool on);
    int ChangingCursor() const { return changingCursor_; }
    void SetChangingCursor(int c) { changingCursor_ = c; }
    StringList ExcludedProperties() const { return excluded_; }
    void SetExcludedProperties(const StringList& v);
    bool DoRaiseExceptions() const { return doRaiseExceptions_; }
    void SetDoRaiseExceptions(bool on) { doRaiseExceptions_ = on; }
    std::vector<TvxExtendedItem>& ExtendedTranslations() { return extended_; }
    const std::vector<TvxExtendedItem>& ExtendedTranslations() const { return extended_; }
    void SetExtendedTranslations(const std::vector<TvxExtendedItem>& items);
    const StringList& FixedLanguages() const { return fixedLanguages_; }
    const FormatSettings& Formats() const { return formats_; }
    int CurrentCharset() const { return charset_; }

    std::function<void(TvxCustomLang*)> OnChangeLanguage;

    // --- applying a language and the look-ups
    virtual void ChangeLanguage();
    void TranslateList(StringList& list, int kind);
    void CleanList(StringList& list, int kind);
    std::string FindField(const StringList& list, std::string_view key, int language) const;
    std::string GetListText(int kind, int index, bool fallback) const;
    std::string GetTextFromList(int kind, std::string_view key, bool fallback) const;
    std::string GetText(std::string_view key) const;
    std::string GetTextWithFallback(std::string_view key);
    // None when the text is empty.
    std::optional<std::string> GetTextOrDefault(std::string_view identifier);
    const StringList* Scratch() const { return scratch_.get(); }

    // --- property values, extended translations, character sets
    RttiObject ResolvePropertyPath(std::string_view path) const;
    std::string GetPropertyText(std::string_view path) const;
    void SetPropertyText(std::string_view path, std::string_view text);
    void ApplyExtendedTranslations();
    void RebuildExtendedValues();
    void ReplaceExtendedDelimiter(char oldDelim, char newDelim);
    std::string FieldWithDefault(std::string_view text, char delim, int n) const;
    std::string MakeValues(std::string_view text, int t) const;
    void PadLines(StringList& list) const;
    void UpdateCharset();
    // Texts of wide-string properties in the current character set's code page; nullopt when the
    // text does not convert.
    std::optional<QString> ToWide(std::string_view text) const;
    std::optional<std::string> ToNarrow(const QString& text) const;

    // --- collecting
    virtual void CollectValues();
    void CollectList(StringList& list, int kind);
    void CollectStringLists();
    virtual void RemoveComponentLines(StringList& list, QObject* component, int kind,
                                      Operation operation);
    virtual void RenameComponentKeys(const std::string& oldName, const std::string& newName);
    void ApplyExcludedProperties();
    void ApplyDoNotTranslate();
    void RemoveInvalidLines();
    void DeletePropertyLines(StringList& list, std::string_view component, int kind,
                             std::string_view property);
    bool IsExcludedProperty(std::string_view component, std::string_view property) const;

    // --- stored data and text files
    std::string TranslationData() const;
    void SetTranslationData(std::string_view data);
    void RefreshStrings();
    // The stream is changed only on success (-1 or false otherwise, see text_files.h).
    int ExportList(int kind, std::string& stream, const std::string& delimiter) const;
    bool ExportExtended(std::string& stream, const std::string& delimiter) const;
    bool ExportAll(std::string& stream, const std::string& delimiter) const;
    int ImportList(int kind, std::string_view stream, bool clearFirst);
    bool ImportExtended(std::string_view stream, bool clearFirst);
    bool ImportAll(std::string_view stream, bool clearFirst);
    bool MergeList(int kind, std::string_view stream);
    bool MergeAll(std::string_view stream);
    bool MergeAllAndApply(std::string_view stream);
    // Nothing happens when the file cannot be read or no language is named.
    void ImportLanguageList(int kind, const std::string& fileName, const std::string& language);
    void ImportLanguageExtended(const std::string& fileName, const std::string& language);
    void ImportLanguage(const std::string& fileName, const std::string& language);

    // --- translation files of many owners
    // The file's entry for the owner's class replaces the lists, LangNames and the extended
    // translations, then the strings are rebuilt and the active language applied.  Nothing
    // without an owner.  ELanguageError on any failure, and then nothing has changed.
    void LoadFromVXB(const std::string& fileName);
    void LoadListFromVXB(int listIndex, const std::string& fileName);
    // What a file's twin carries, taken over: every list both have (or only `onlyKind`), with
    // the twin's delimiter converted to this one's and the owner's line of the captions, hints,
    // fonts and character sets moved first; LangNames and the extended translations with it
    // unless only one list is taken.  Cannot fail: the twin was checked when it was read.
    void AdoptTwin(const TvxCustomLang& twin, int onlyKind = -1);

    // --- file operations and merging
    // Text files of the translators (text_files.h); -1, nothing or false when the file is
    // missing.  Saving reads the file first so that other sections survive.  LoadAllFromFile,
    // SaveAllToFile and ReloadAllFromFile raise ELanguageError naming the file when it cannot
    // be read or written, or an import or export fails; a reload applies the language.
    int LoadListFromFile(int kind, const std::string& fileName, bool clearFirst);
    int SaveListToFile(int kind, const std::string& fileName, const std::string& delimiter);
    void LoadAllFromFile(const std::string& fileName, bool clearFirst);
    void SaveAllToFile(const std::string& fileName, const std::string& delimiter);
    int LoadStringsFromFile(const std::string& fileName, bool clearFirst);
    int SaveStringsToFile(const std::string& fileName, const std::string& delimiter);
    // The kind's lines of a translation file (".vxb" in any letter case) or a text file take
    // the place of the list's lines of the same key, their language columns placed by the
    // languages' names; lines the file lacks stay.  False when the file is missing or cannot be
    // read, and then the list is as it was.
    bool MergeListFromFile(int kind, const std::string& fileName);
    // The extended translations alone from and to a translator's text file; loading is false
    // when the file is missing or cannot be read (and then nothing has changed), saving keeps
    // the file's other sections and raises ELanguageError when the file cannot be written.
    bool LoadExtendedFromFile(const std::string& fileName, bool clearFirst);
    void SaveExtendedToFile(const std::string& fileName, const std::string& delimiter);
    // The language names that a translation file (".vxb") gives this owner, or that a text
    // file gives; "Language N1" alone when it names none.  False when the file is missing or
    // damaged, and then `names` is as it was.  Nothing of the component changes.
    bool ReadLanguageNames(const std::string& fileName, StringList& names) const;
    bool MergeAllFromFileAndApply(const std::string& fileName);
    void ReloadAllFromFile(const std::string& fileName, bool clearFirst);
    bool MergeAllFromFile(const std::string& fileName);
    // The texts that Qt's translate() looks up are translated from language
    // ResourceLanguageIndex into the active language while HandleResourceStrings is on (one
    // translator per process, owned by the first component that asks).  Qt may ask from any
    // thread: it is answered from what the owning component published when it last applied a
    // language or changed these settings.
    QString TranslateResourceText(const QString& text) const;

    // A list's lines whether or not this class publishes it.
    const StringList& ListLines(int kind) const { return lists_.at(static_cast<size_t>(kind)); }
    QObject* Owner() const { return parent(); }
    std::string OwnerClassName() const;
    std::string OwnerName() const;

protected:
    TvxCustomLang(QObject* owner, const KindMask& kinds);
    // A list replaced whether or not this class publishes it.
    void ReplaceListLines(int kind, StringList lines)
    {
        lists_.at(static_cast<size_t>(kind)) = std::move(lines);
    }

private:
    friend class LangWalk;
    static QObject* CheckOwner(QObject* owner);
    void InstallResourceTranslator();
    void RegisterWithDispatcher();
    // What Qt's translator answers from, taken now (nothing unless this component owns it).
    void PublishResources();
    void ReleaseResourceTranslator();
    // The dispatcher's manager when the dispatcher reads this very file, else none.
    TVXBFileManager* SharedVxbManager(const std::string& fileName) const;
    void SetList(int kind, const StringList& v);
    void PostProcess(int kind);
    void ReplaceDelimiterEverywhere(char oldDelim, char newDelim);
    bool ComponentExcluded(QObject* component) const;
    bool OwnerExcluded() const;
    bool HasOwnerFont() const;
    // The line's text for the active language; `testText` lets an empty text show the test
    // mode's alteration of language 1 while the dispatcher's test mode is on.
    std::string LineText(std::string_view line, bool testText = true) const;
    // The dispatcher's test mode while it is on and the active language is above 1, else none:
    // then an empty text is shown as the altered text of language 1.
    const TTestModeInfo* ActiveTestMode() const;
    std::string TextOfLanguage(std::string_view line, int language, bool fallback) const;
    // The component whose lines of the kind answer look-ups: this one, or under the options
    // the dispatcher's first other component that has such lines (none when there is none).
    const TvxCustomLang* CommonSource(int kind) const;
    std::string OwnTextFromList(int kind, std::string_view key, bool fallback) const;
    void ApplyOwnerProperty(int kind, const char* property);
    void ApplyOwnerFont();
    void ApplyLocale(std::string_view key, std::string_view text);
    void CollectOwner(int kind, const char* property);
    void SharedLineRule(StringList& list, const std::string& key, const std::string& value);
    void MoveToScratch(StringList& list, std::size_t index);
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Components are watched for their destruction: found at construction, as children of the
    // owner arrive, and by every walk over the owner.
    void Watch(QObject* object);
    void WatchAll(const std::vector<QObject*>& objects);
    void Destroyed(QObject* gone);
    QObject* FindComponent(std::string_view name) const;
    // The target of a line: a component of the owner, or the owner under its class or own name.
    QObject* FindTarget(std::string_view name) const;
    bool IsTranslationComponent(const QObject* object) const;
    // The property's value as text; none when the path or the property is not there, or the
    // value has no text form in the current character set.
    std::optional<std::string> ReadPathText(std::string_view path) const;
    bool WriteStringProperty(const RttiObject& object, const PropInfo& prop, std::string_view text);
    // Written only when the property holds another text (no change signal otherwise).
    bool WriteIfDiffers(const RttiObject& object, const PropInfo& prop, std::string_view text);
    std::optional<std::string> ReadStringProperty(const RttiObject& object,
                                                  const PropInfo& prop) const;
    bool InDoNotTranslate(std::string_view name) const;
    bool InSmartExclude(std::string_view entry) const;
    void FillStrings(const RttiObject& strings, const StringList& items);
    std::string ValuesText(std::string_view values, int language) const;
    std::string ReplaceValuesText(std::string_view values, int language,
                                  std::string_view text) const;
    void TranslateCollectionLine(StringList& list, std::size_t& i);
    void TranslateLine(StringList& list, std::size_t& i, int kind);

    // While a walk over the owner runs: no nested application, one index of its components.
    class WalkScope
    {
    public:
        explicit WalkScope(TvxCustomLang* self);
        ~WalkScope();
        WalkScope(const WalkScope&) = delete;
        WalkScope& operator=(const WalkScope&) = delete;

    private:
        TvxCustomLang* self_;
        const ComponentIndex* outer_;
        bool outerApplying_;
        std::optional<ComponentIndex> own_;
    };
    struct LanguageFile;
    // The file's delimiter, the language's place in the file and in this component (added when
    // new); none when the file cannot be read or does not name the language.
    std::unique_ptr<LanguageFile> OpenLanguageFile(const std::string& fileName,
                                                   const std::string& language);

    std::unordered_set<const QObject*> watched_;
    const ComponentIndex* index_ = nullptr; // while a walk runs
    ComponentIndex walkIndex_;              // the outermost walk's, kept for its storage

    ListSet lists_;
    KindMask has_{};
    int numLanguages_ = 1;
    int activeLanguage_ = 1;
    int changingProperty_ = -1;
    bool merging_ = false;
    bool hold_ = false;
    bool applying_ = false;
    bool loading_ = false;
    bool designing_ = false;
    bool twin_ = false;
    std::unique_ptr<StringList> scratch_;
    std::array<std::string, 15> localeValues_;
    StringList fixedLanguages_;
    bool noFonts_ = false;
    QPointer<TvxCustomLang> fontHolder_;
    TvxStringsCollection resourceCache_;
    TvxStringsCollection stringCache_;
    int charset_ = 1;
    bool isInheritedOwner_ = false;
    StringList stringsTypes_;
    StringList smartExclude_;
    bool handleResourceStrings_ = false;
    int resourceLanguageIndex_ = 1;
    bool translateExtendedFirst_ = false;
    bool useDefaultLanguage_ = false;
    int defaultLanguage_ = 1;
    bool autoSkipEmpties_ = false;
    bool changeLocales_ = false;
    QPointer<QObject> dispatcher_;
    char delim_ = '\x01';
    StringList doNotTranslate_;
    StringList langNames_;
    std::string language_;
    int translateType_ = ttNoChange;
    int options_ = 0;
    bool needAllDlgs_ = false;
    int changingCursor_ = -1;
    StringList excluded_;
    bool doRaiseExceptions_ = false;
    std::vector<TvxExtendedItem> extended_;
    FormatSettings formats_;
};

// The component's own stored form: its published properties, TranslationData and the extended
// translations.  Loading runs the setters as form data does and then Loaded; damaged data
// raises ELanguageError.
std::string SaveComponentData(const TvxCustomLang& component);
void LoadComponentData(TvxCustomLang& component, std::string_view data);

class TvxLang : public TvxCustomLang
{
    Q_OBJECT
    Q_PROPERTY(translation::StringList Captions READ Captions WRITE SetCaptions)
    Q_PROPERTY(translation::StringList Hints READ Hints WRITE SetHints)
    Q_PROPERTY(translation::StringList DisplayLabels READ DisplayLabels WRITE SetDisplayLabels)
    Q_PROPERTY(translation::StringList Strings READ Strings WRITE SetStrings)
    Q_PROPERTY(translation::StringList Fonts READ Fonts WRITE SetFonts)
    Q_PROPERTY(translation::StringList MultiLines READ MultiLines WRITE SetMultiLines)
    Q_PROPERTY(translation::StringList DlgsCaptions READ DlgsCaptions WRITE SetDlgsCaptions)
    Q_PROPERTY(translation::StringList OtherStrings READ OtherStrings WRITE SetOtherStrings)
    Q_PROPERTY(translation::StringList Locales READ Locales WRITE SetLocales)
    Q_PROPERTY(translation::StringList CharSets READ CharSets WRITE SetCharSets)
    Q_PROPERTY(translation::StringList Collections READ Collections WRITE SetCollections)
    Q_PROPERTY(int NumOfLanguages READ NumOfLanguages WRITE SetNumOfLanguages)
    Q_PROPERTY(int ActiveLanguage READ ActiveLanguage WRITE SetActiveLanguage)
    Q_PROPERTY(bool ChangeLocales READ ChangeLocales WRITE SetChangeLocales)
    Q_PROPERTY(QObject* LangDispatcher READ LangDispatcher WRITE SetLangDispatcher)
    Q_PROPERTY(int LangDelim READ LangDelim WRITE SetLangDelim)
    Q_PROPERTY(translation::StringList DoNotTranslate READ DoNotTranslate WRITE SetDoNotTranslate)
    Q_PROPERTY(translation::StringList LangNames READ LangNames WRITE SetLangNames)
    Q_PROPERTY(QString Language READ LanguageQ WRITE SetLanguageQ)
    Q_PROPERTY(int TranslateType READ TranslateType WRITE SetTranslateType)
    Q_PROPERTY(int Options READ Options WRITE SetOptions)
    Q_PROPERTY(bool NeedAllDlgs READ NeedAllDlgs WRITE SetNeedAllDlgs)
    Q_PROPERTY(int ChangingCursor READ ChangingCursor WRITE SetChangingCursor)
    Q_PROPERTY(translation::StringList ExcludedProperties READ ExcludedProperties WRITE
                   SetExcludedProperties)
    Q_PROPERTY(bool DoRaiseExceptions READ DoRaiseExceptions WRITE SetDoRaiseExceptions)

public:
    explicit TvxLang(QObject* owner);
};

class TvxLangLinked : public TvxCustomLang
{
    Q_OBJECT
    Q_PROPERTY(translation::StringList Captions READ Captions WRITE SetCaptions)
    Q_PROPERTY(translation::StringList Hints READ Hints WRITE SetHints)
    Q_PROPERTY(translation::StringList DisplayLabels READ DisplayLabels WRITE SetDisplayLabels)
    Q_PROPERTY(translation::StringList Strings READ Strings WRITE SetStrings)
    Q_PROPERTY(translation::StringList Fonts READ Fonts WRITE SetFonts)
    Q_PROPERTY(translation::StringList MultiLines READ MultiLines WRITE SetMultiLines)
    Q_PROPERTY(translation::StringList OtherStrings READ OtherStrings WRITE SetOtherStrings)
    Q_PROPERTY(translation::StringList CharSets READ CharSets WRITE SetCharSets)
    Q_PROPERTY(translation::StringList Collections READ Collections WRITE SetCollections)
    Q_PROPERTY(int NumOfLanguages READ NumOfLanguages WRITE SetNumOfLanguages)
    Q_PROPERTY(int ActiveLanguage READ ActiveLanguage WRITE SetActiveLanguage)
    Q_PROPERTY(bool ChangeLocales READ ChangeLocales WRITE SetChangeLocales)
    Q_PROPERTY(QObject* LangDispatcher READ LangDispatcher WRITE SetLangDispatcher)
    Q_PROPERTY(int LangDelim READ LangDelim WRITE SetLangDelim)
    Q_PROPERTY(translation::StringList DoNotTranslate READ DoNotTranslate WRITE SetDoNotTranslate)
    Q_PROPERTY(translation::StringList LangNames READ LangNames WRITE SetLangNames)
    Q_PROPERTY(QString Language READ LanguageQ WRITE SetLanguageQ)
    Q_PROPERTY(int TranslateType READ TranslateType WRITE SetTranslateType)
    Q_PROPERTY(int Options READ Options WRITE SetOptions)
    Q_PROPERTY(int ChangingCursor READ ChangingCursor WRITE SetChangingCursor)
    Q_PROPERTY(translation::StringList ExcludedProperties READ ExcludedProperties WRITE
                   SetExcludedProperties)
    Q_PROPERTY(bool DoRaiseExceptions READ DoRaiseExceptions WRITE SetDoRaiseExceptions)
    Q_PROPERTY(QObject* CommonContainer READ CommonContainer WRITE SetCommonContainer)

public:
    explicit TvxLangLinked(QObject* owner);
    QObject* CommonContainer() const { return commonContainer_.data(); }
    // Neither the current container nor the component itself; a new one is taken over at once
    // unless the component is being loaded.
    void SetCommonContainer(QObject* c);
    // The dialog captions and locales come from the container, in this component's delimiter.
    void Loaded() override;

private:
    QPointer<QObject> commonContainer_;
};

} // namespace translation
