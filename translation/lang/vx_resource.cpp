// The translation of Qt's own looked-up texts (its resource strings) into the active language.
//
// Qt asks its translators from whatever thread calls QCoreApplication::translate.  The component
// lives in its owner's thread, so the translator never reads it: the component publishes a
// snapshot of what the answers need whenever that changes (a language applied, the strings
// rebuilt, the resource language set), and the translator answers from the latest snapshot.

#include "translation/lang/vx_comp.h"

#include "translation/lang/vx_detail.h"
#include "translation/lang/vx_dispatch.h"

#include <QCoreApplication>
#include <QTranslator>

#include <memory>
#include <mutex>

namespace translation {

namespace {

// What an answer needs, frozen when it was published.
struct ResourceView
{
    TvxStringsCollection cache; // sorted by the text of the resource language
    int activeLanguage = 1;
    int charset = 1;
    std::optional<TTestModeInfo> test; // while the dispatcher's test mode marks missing texts
};

QString TranslateWith(const TvxStringsCollection& cache, int activeLanguage, int charset,
                      const TTestModeInfo* test, const QString& text)
{
    const std::optional<std::string> narrow = detail::NarrowIn(text, charset);
    if (!narrow)
        return text;
    std::string found = cache.TextByText(*narrow, activeLanguage);
    if (found.empty() && test != nullptr)
        found = test->Transform(cache.TextByText(*narrow, 1));
    if (found.empty() || found == *narrow)
        return text;
    const std::optional<QString> wide = detail::WideIn(found, charset);
    return wide ? *wide : text;
}

class ResourceTranslator : public QTranslator
{
public:
    QString translate(const char* context, const char* sourceText, const char* disambiguation,
                      int n) const override
    {
        (void)context;
        (void)disambiguation;
        (void)n;
        if (sourceText == nullptr)
            return QString();
        std::shared_ptr<const ResourceView> view;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            view = view_;
        }
        if (!view)
            return QString();
        const QString source = QString::fromUtf8(sourceText);
        const QString translated = TranslateWith(view->cache, view->activeLanguage, view->charset,
                                                 view->test ? &*view->test : nullptr, source);
        return translated == source ? QString() : translated;
    }
    bool isEmpty() const override { return false; }

    void Publish(std::shared_ptr<const ResourceView> view)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        view_ = std::move(view);
    }

    // Read and written in the components' thread only.
    const TvxCustomLang* owner = nullptr;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const ResourceView> view_; // none: every text stays as it is
};

// One per process, never removed; made and given an owner in the components' thread.
ResourceTranslator* g_translator = nullptr;

} // namespace

void TvxCustomLang::SetHandleResourceStrings(bool v)
{
    handleResourceStrings_ = v;
    if (loading_)
        return; // Loaded installs it
    if (v)
        InstallResourceTranslator();
    PublishResources();
}

void TvxCustomLang::InstallResourceTranslator()
{
    if (!handleResourceStrings_ || parent() == nullptr || QCoreApplication::instance() == nullptr)
        return;
    if (g_translator == nullptr) {
        g_translator = new ResourceTranslator;
        g_translator->setParent(QCoreApplication::instance());
        QCoreApplication::installTranslator(g_translator);
    }
    if (g_translator->owner == nullptr)
        g_translator->owner = this;
    RefreshStrings();
}

void TvxCustomLang::PublishResources()
{
    if (g_translator == nullptr || g_translator->owner != this)
        return;
    if (!handleResourceStrings_ || resourceLanguageIndex_ == activeLanguage_ ||
        parent() == nullptr) {
        g_translator->Publish(nullptr);
        return;
    }
    auto view = std::make_shared<ResourceView>();
    view->cache = resourceCache_;
    view->activeLanguage = activeLanguage_;
    view->charset = charset_;
    if (const TTestModeInfo* test = ActiveTestMode())
        view->test = *test;
    g_translator->Publish(std::move(view));
}

void TvxCustomLang::ReleaseResourceTranslator()
{
    if (g_translator == nullptr || g_translator->owner != this)
        return;
    g_translator->Publish(nullptr);
    g_translator->owner = nullptr;
}

QString TvxCustomLang::TranslateResourceText(const QString& text) const
{
    if (!handleResourceStrings_ || resourceLanguageIndex_ == activeLanguage_ || parent() == nullptr)
        return text;
    return TranslateWith(resourceCache_, activeLanguage_, charset_, ActiveTestMode(), text);
}

} // namespace translation
