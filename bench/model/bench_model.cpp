// The model's share of filling the main window: ImageToForm and ShowIndicationType of the
// busiest indication type, into an editor that records every value.

#include "config_tool/model/editor.h"
#include "tests/config_tool/model/recording_editor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

int main()
{
    using Clock = std::chrono::steady_clock;
    const model::TextTables& tables = model::ConstantTables(model::Language::Russian);
    const model::KeyCodes codes{};
    constexpr int kRuns = 200;
    std::vector<double> ms;
    ms.reserve(kRuns);
    std::size_t calls = 0;
    for (int run = 0; run < kRuns; ++run) {
        model::Image image = model::FactoryImage();
        model::test::RecordingEditor editor;
        const auto start = Clock::now();
        model::ImageToForm(image, codes, editor);
        model::ShowIndicationType(image, tables, editor, 0);
        const auto end = Clock::now();
        calls += editor.calls.size();
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("model.fill_window.median: %.4f ms\n", ms[ms.size() / 2]);
    std::printf("model.fill_window.median.target: 2 ms\n");
    std::printf("model.fill_window.max: %.4f ms\n", ms.back());
    std::printf("model.fill_window.calls: %zu calls\n", calls / kRuns);
    return 0;
}
