// Qt asks its translators from whatever thread translates a text; the component that redirects
// Qt's texts lives in its window's thread and goes on switching languages meanwhile.

#include "tests/translation/lang/line_notation.h"
#include "tests/translation/lang/test_window.h"
#include "translation/lang/vx_comp.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace translation {
namespace {

using test::Cp;
using test::L;

TEST(ResourceStrings, QtMayAskFromAnyThreadWhileTheLanguageChanges)
{
    test::EnsureApplication();
    test::TFormTest form;
    TvxLang lang(&form);
    lang.SetLangNames({"English", "Russian"});
    const StringList strings{L("Yes|&Yes|" + Cp("&Да") + "|"), L("No|&No|" + Cp("&Нет") + "|")};
    lang.SetStrings(strings);
    lang.SetHandleResourceStrings(true);

    std::atomic<bool> stop{false};
    std::atomic<int> asked{0}, wrong{0};
    std::thread worker([&] {
        while (!stop.load()) {
            const QString yes = QCoreApplication::translate("QPlatformTheme", "&Yes");
            if (yes != "&Yes" && yes != QString::fromUtf8("&Да"))
                ++wrong;
            ++asked;
        }
    });
    // The worker is asked to have answered a good many times while the window switched and
    // rebuilt its strings; on a loaded machine that may take long, so the bound is generous.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int switches = 0;
    while ((switches < 200 || asked.load() < 2000) && std::chrono::steady_clock::now() < deadline) {
        lang.SetActiveLanguage(lang.ActiveLanguage() == 1 ? 2 : 1);
        lang.SetStrings(strings);
        ++switches;
    }
    stop = true;
    worker.join();
    EXPECT_GE(asked.load(), 2000);
    EXPECT_EQ(wrong.load(), 0);
    lang.SetActiveLanguage(2);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), QString::fromUtf8("&Да"));
    lang.SetHandleResourceStrings(false);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), "&Yes");
}

} // namespace
} // namespace translation
