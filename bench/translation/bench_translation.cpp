// Applying a language to a window of translated controls: labels, buttons and combo boxes with
// a caption, a hint or items in two languages, switched back and forth.  The time per control
// is compared between windows of 1,000 and of 10,000 controls with as many controls in memory
// in both cases: ten small windows, or one large one.

#include "platform/text1251.h"
#include "translation/lang/text_files.h"
#include "translation/lang/vx_comp.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace translation;

struct Window
{
    std::unique_ptr<QWidget> form;
    TvxLang* lang = nullptr;
};

Window Build(int controls)
{
    Window w;
    w.form = std::make_unique<QWidget>();
    w.form->setObjectName("FormBench");
    const char d = '\x01';
    StringList captions, hints, multi;
    const std::string russian = platform::Utf8ToCp1251("Текст");
    for (int i = 0; i < controls; ++i) {
        const std::string n = std::to_string(i);
        switch (i % 3) {
        case 0: {
            auto* l = new QLabel(QString::fromStdString("Text " + n), w.form.get());
            l->setObjectName(QString::fromStdString("Label" + n));
            captions.push_back("Label" + n + d + "Text " + n + d + russian + " " + n + d);
            break;
        }
        case 1: {
            auto* b = new QPushButton(QString::fromStdString("Text " + n), w.form.get());
            b->setObjectName(QString::fromStdString("Button" + n));
            b->setToolTip("Hint");
            captions.push_back("Button" + n + d + "Text " + n + d + russian + " " + n + d);
            hints.push_back("Button" + n + d + "Hint" + d + russian + d);
            break;
        }
        default: {
            auto* c = new QComboBox(w.form.get());
            c->setObjectName(QString::fromStdString("Combo" + n));
            c->addItems({"One", "Two"});
            multi.push_back("Combo" + n + ".Items" + d + "One,Two" + d + russian + "1," + russian +
                            "2" + d);
            break;
        }
        }
    }
    w.lang = new TvxLang(w.form.get());
    w.lang->setObjectName("vxLang");
    w.lang->BeginLoading();
    w.lang->SetLangNames({"English", "Russian"});
    w.lang->SetCaptions(captions);
    w.lang->SetHints(hints);
    w.lang->SetMultiLines(multi);
    w.lang->EndLoading();
    return w;
}

// Milliseconds a language switch takes per window, one figure a run, sorted.  Each run switches
// every window in turn, as a program with several windows does: what one window leaves in the
// processor's caches is gone by the time it switches again.  A small window alone would stay in
// the cache from one switch to the next while a large one cannot, and the ratio of the two would
// measure the cache size, not the apply.
std::vector<double> Switches(int controls, int windows, int runs)
{
    std::vector<Window> w;
    for (int i = 0; i < windows; ++i)
        w.push_back(Build(controls));
    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
        double total = 0;
        for (Window& one : w) {
            // A language is chosen from the event loop, which has dealt with what the window
            // posted.
            QCoreApplication::sendPostedEvents();
            const auto start = std::chrono::steady_clock::now();
            one.lang->SetActiveLanguage(one.lang->ActiveLanguage() == 1 ? 2 : 1);
            total +=
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
        }
        ms.push_back(total / windows);
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

// Seconds an import of one list takes from a 16 MiB translators' file whose every line is the
// owner's own (each goes to the top of the list), the fastest of three.
double OwnerLinesImportSeconds()
{
    std::string text = "[OPTIONS]\r\nDELIMITER=~!@#\r\n[Captions]\r\n";
    const std::string byClass =
        "TFormMain.TFormMain=Main window~!@#" + platform::Utf8ToCp1251("Главное окно") + "\r\n";
    const std::string byName =
        "TFormMain.FormMain=Main~!@#" + platform::Utf8ToCp1251("Окно") + "\r\n";
    for (int i = 0;; ++i) {
        const std::string& line = i % 2 == 0 ? byClass : byName;
        if (text.size() + line.size() > kMaxTextFileBytes)
            break;
        text += line;
    }
    KindMask has{};
    has.fill(true);
    const std::string ownerClass = "TFormMain", ownerName = "FormMain";
    const StringList none;
    const ImportTarget target{has, '\x01', ownerClass, ownerName, none};
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const std::optional<ImportedList> list = ImportListText(text, target, stCaptions, {});
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!list || list->lines.empty())
            return -1;
        best = std::min(best, s);
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc > 1) { // one size alone, for a profiler: controls [switches [windows]]
        const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
        const int windows = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
        const std::vector<double> ms = Switches(std::atoi(argv[1]), windows, runs);
        std::printf("%.3f ms, fastest %.3f ms\n", ms[ms.size() / 2], ms.front());
        return 0;
    }
    // Ten small windows hold as many controls as the large one; as many runs of each, so the
    // fastest of each is as likely to be undisturbed by other work on the machine.
    const std::vector<double> small = Switches(1000, 10, 21);
    const std::vector<double> large = Switches(10000, 1, 21);
    std::printf("translation.apply_1000: %.3f ms\n", small[small.size() / 2]);
    std::printf("translation.apply_1000.target: 20 ms\n");
    std::printf("translation.apply_10000: %.3f ms\n", large[large.size() / 2]);
    // The fastest switch of each size: the one least disturbed by other work on the machine.
    std::printf("translation.apply_scaling: %.2f ratio\n", large.front() / small.front());
    std::printf("translation.apply_scaling.target: 12 ratio\n");
    // For comparison, one small window switched again and again while it stays in the cache.
    const std::vector<double> warm = Switches(1000, 1, 21);
    std::printf("translation.apply_1000_warm: %.3f ms\n", warm[warm.size() / 2]);
    std::printf("translation.apply_scaling_warm: %.2f ratio\n", large.front() / warm.front());
    std::printf("translation.import_owner_lines_16mib: %.3f s\n", OwnerLinesImportSeconds());
    std::printf("translation.import_owner_lines_16mib.target: 2 s\n");
    return 0;
}
