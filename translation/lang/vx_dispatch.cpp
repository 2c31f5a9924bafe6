#include "translation/lang/vx_dispatch.h"

#include "platform/registry.h"
#include "platform/text1251.h"
#include "translation/lang/vxb_file.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <filesystem>

namespace translation {

// ---- test mode

std::string TTestModeInfo::Transform(std::string_view text,
                                     const std::function<int(std::string_view)>& width) const
{
    switch (Kind) {
    case tmkFlipCase:
        return FlipCase(text);
    case tmkExpandChars:
        return ExpandChars(text, PaddingChar, ExpandCharsPercent);
    case tmkExpandWidth:
        break;
    }
    if (width)
        return ExpandWidth(text, PaddingChar, ExpandWidthPercent, width);
    // Without a screen there are no fonts to measure: each character counts as one.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr)
        return ExpandWidth(text, PaddingChar, ExpandWidthPercent,
                           [](std::string_view t) { return static_cast<int>(t.size()); });
    const QFontMetrics metrics(QFont(QStringLiteral("Tahoma"), 8));
    return ExpandWidth(text, PaddingChar, ExpandWidthPercent, [&metrics](std::string_view t) {
        return metrics.horizontalAdvance(QString::fromStdString(platform::Cp1251ToUtf8(t)));
    });
}

// ---- dispatcher

TvxLangDispatcher::TvxLangDispatcher(QObject* owner) : QObject(owner) {}

TvxLangDispatcher::~TvxLangDispatcher()
{
    ForEachLinked([](TvxCustomLang* c) { c->SetLangDispatcher(nullptr); });
    links_.clear();
}

void TvxLangDispatcher::ForEachLinked(const std::function<void(TvxCustomLang*)>& action)
{
    // A component's change handler may delete a window (its component unlinks) or move the
    // component to another dispatcher: the walk goes over the components linked when it began
    // and skips those that have gone or left since.
    std::vector<QPointer<TvxCustomLang>> linked(links_.begin(), links_.end());
    for (const QPointer<TvxCustomLang>& c : linked)
        if (c != nullptr && std::find(links_.begin(), links_.end(), c.data()) != links_.end())
            action(c.data());
}

TVXBFileManager& TvxLangDispatcher::VxbManager()
{
    if (!vxb_)
        vxb_ = std::make_unique<TVXBFileManager>();
    return *vxb_;
}

void TvxLangDispatcher::Link(TvxCustomLang* c)
{
    if (c == nullptr || std::find(links_.begin(), links_.end(), c) != links_.end())
        return;
    links_.push_back(c);
    c->SetNumOfLanguages(numLanguages_);
    c->SetLangNames(langNames_);
    if (designing_) {
        c->SetActiveLanguage(activeLanguage_);
        return;
    }
    std::error_code ec;
    if (!fileName_.empty() && std::filesystem::is_regular_file(fileName_, ec)) {
        if (UpperText(std::filesystem::path(fileName_).extension().string()) == ".VXB")
            c->LoadFromVXB(fileName_);
        else
            c->LoadAllFromFile(fileName_, true);
        if (c->NumOfLanguages() >= activeLanguage_)
            c->SetActiveLanguage(activeLanguage_);
        langNames_ = c->LangNames();
        numLanguages_ = c->NumOfLanguages();
    } else {
        c->SetActiveLanguage(std::min(activeLanguage_, c->NumOfLanguages()));
    }
    if (OnLinkToDispatcher)
        OnLinkToDispatcher(this, c);
}

void TvxLangDispatcher::Unlink(TvxCustomLang* c)
{
    links_.erase(std::remove(links_.begin(), links_.end(), c), links_.end());
}

void TvxLangDispatcher::SetActiveLanguage(int n)
{
    if (n < 1 || n > numLanguages_)
        throw ELanguageError(std::to_string(n) + " - is not a valid property value!\r" +
                             "Value must be within [1.." + std::to_string(numLanguages_) + "]!");
    activeLanguage_ = n;
    if (static_cast<std::size_t>(n) <= langNames_.size())
        language_ = langNames_[static_cast<std::size_t>(n) - 1];
    ForEachLinked([n](TvxCustomLang* c) { c->SetActiveLanguage(n); });
}

void TvxLangDispatcher::SetNumOfLanguages(int n)
{
    if (n < 1 || n > kMostLanguages)
        throw ELanguageError(std::to_string(n) + " - is not a valid property value!");
    numLanguages_ = n;
    while (langNames_.size() < static_cast<std::size_t>(n))
        langNames_.push_back("Language N" + std::to_string(langNames_.size() + 1));
    langNames_.resize(static_cast<std::size_t>(n));
    ForEachLinked([n](TvxCustomLang* c) { c->SetNumOfLanguages(n); });
}

void TvxLangDispatcher::SetLangNames(const StringList& names)
{
    if (names.size() > static_cast<std::size_t>(kMostLanguages))
        throw ELanguageError("Value must not be more than " + std::to_string(kMostLanguages) +
                             " !");
    langNames_ = names.empty() ? StringList{"Language N1"} : names;
    if (static_cast<std::size_t>(activeLanguage_) <= langNames_.size())
        language_ = langNames_[static_cast<std::size_t>(activeLanguage_) - 1];
    const StringList copy = langNames_; // a component's handler may change them meanwhile
    ForEachLinked([&copy](TvxCustomLang* c) { c->SetLangNames(copy); });
    numLanguages_ = static_cast<int>(langNames_.size());
}

void TvxLangDispatcher::SetLanguage(const std::string& name)
{
    if (name == language_)
        return;
    // Names are told apart without regard to letter case, as the components do.
    const auto it = std::find_if(langNames_.begin(), langNames_.end(),
                                 [&name](const std::string& s) { return SameText(s, name); });
    if (it == langNames_.end())
        throw ELanguageError("Language name shall be included in LangNames property!");
    language_ = name;
    SetActiveLanguage(static_cast<int>(it - langNames_.begin()) + 1);
}

void TvxLangDispatcher::SetUseDefaultLanguage(bool on)
{
    useDefaultLanguage_ = on;
    ForEachLinked([on](TvxCustomLang* c) { c->SetUseDefaultLanguage(on); });
}

void TvxLangDispatcher::SetDefaultLanguage(int n)
{
    if (n < 1 || n > numLanguages_ || n == defaultLanguage_)
        return;
    defaultLanguage_ = n;
    ForEachLinked([n](TvxCustomLang* c) { c->SetDefaultLanguage(n); });
}

// ---- the component's side

void TvxCustomLang::SetLangDispatcher(QObject* dispatcher)
{
    if (dispatcher == dispatcher_.data())
        return;
    if (auto* old = qobject_cast<TvxLangDispatcher*>(dispatcher_.data()))
        old->Unlink(this);
    dispatcher_ = dispatcher;
    auto* d = qobject_cast<TvxLangDispatcher*>(dispatcher);
    if (d == nullptr)
        return;
    if (loading_) {
        // Loaded registers the component once its own data is read.
        SetNumOfLanguages(d->NumOfLanguages());
        defaultLanguage_ = d->DefaultLanguage();
        useDefaultLanguage_ = d->UseDefaultLanguage();
        return;
    }
    if (parent() != nullptr && !twin_)
        d->Link(this);
}

void TvxCustomLang::RegisterWithDispatcher()
{
    if (auto* d = qobject_cast<TvxLangDispatcher*>(dispatcher_.data()))
        d->Link(this);
}

const TTestModeInfo* TvxCustomLang::ActiveTestMode() const
{
    if (activeLanguage_ <= 1)
        return nullptr;
    auto* d = qobject_cast<TvxLangDispatcher*>(dispatcher_.data());
    return d != nullptr && d->TestMode().Active ? &d->TestMode() : nullptr;
}

TVXBFileManager* TvxCustomLang::SharedVxbManager(const std::string& fileName) const
{
    auto* d = qobject_cast<TvxLangDispatcher*>(dispatcher_.data());
    if (d == nullptr || !SameText(d->FileName(), fileName))
        return nullptr;
    return &d->VxbManager();
}

// ---- form storage

namespace {

platform::Hive HiveOf(TMyHKeyType root)
{
    return root == vxHKEY_LOCAL_MACHINE ? platform::Hive::LocalMachine
                                        : platform::Hive::CurrentUser;
}

} // namespace

void TvxFormStorage::SetRegRootKey(TMyHKeyType root)
{
    if (root != vxHKEY_CURRENT_USER && root != vxHKEY_LOCAL_MACHINE)
        throw ELanguageError("Registry root " + std::to_string(static_cast<int>(root)) +
                             " is not kept: use vxHKEY_CURRENT_USER or vxHKEY_LOCAL_MACHINE!");
    root_ = root;
}

TvxFormStorage::TvxFormStorage(QWidget* form, platform::RegistryFile* registry)
    : QObject(form), form_(form), registry_(registry)
{
}

TvxFormStorage::~TvxFormStorage()
{
    Save();
}

void TvxFormStorage::Restore()
{
    if (!Active || form_ == nullptr || registry_ == nullptr)
        return;
    const QRect bounds = form_->geometry();
    const Qt::WindowStates state = form_->windowState();
    const platform::Hive hive = HiveOf(root_);
    try {
        registry_->CreateKey(hive, SubKey);
        const std::string stored = registry_->ReadString(hive, SubKey, "State").value_or("");
        if (stored.empty())
            return;
        const auto top = registry_->ReadDword(hive, SubKey, "Top");
        const auto left = registry_->ReadDword(hive, SubKey, "Left");
        const auto height = registry_->ReadDword(hive, SubKey, "Height");
        const auto width = registry_->ReadDword(hive, SubKey, "Width");
        if (top && left && height && width) {
            QRect wanted(*left, *top, *width, *height);
            // Bounds off every screen go onto the primary one.
            bool seen = false;
            for (const QScreen* screen : QGuiApplication::screens())
                seen = seen || screen->availableGeometry().intersects(wanted);
            if (!seen && QGuiApplication::primaryScreen() != nullptr)
                wanted.moveTopLeft(QGuiApplication::primaryScreen()->availableGeometry().topLeft());
            form_->setGeometry(wanted);
        }
        // Whole words: a short or unknown value leaves the state alone.
        if (SameText(stored, "Minimized"))
            form_->setWindowState(Qt::WindowMinimized);
        else if (SameText(stored, "Maximized"))
            form_->setWindowState(Qt::WindowMaximized);
        else if (SameText(stored, "Normal"))
            form_->setWindowState(Qt::WindowNoState);
    } catch (const std::exception&) {
        form_->setGeometry(bounds);
        form_->setWindowState(state);
    }
}

void TvxFormStorage::Save()
{
    if (!Active || form_ == nullptr || registry_ == nullptr)
        return;
    const platform::Hive hive = HiveOf(root_);
    if (!registry_->CreateKey(hive, SubKey))
        return;
    const Qt::WindowStates state = form_->windowState();
    const char* word = state & Qt::WindowMinimized   ? "Minimized"
                       : state & Qt::WindowMaximized ? "Maximized"
                                                     : "Normal";
    registry_->WriteString(hive, SubKey, "State", word);
    if (std::string_view(word) != "Normal")
        return;
    const QRect g = form_->geometry();
    registry_->WriteDword(hive, SubKey, "Top", g.top());
    registry_->WriteDword(hive, SubKey, "Left", g.left());
    registry_->WriteDword(hive, SubKey, "Height", g.height());
    registry_->WriteDword(hive, SubKey, "Width", g.width());
}

} // namespace translation
