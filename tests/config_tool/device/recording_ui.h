#pragma once
// An OperationUi that records what an operation showed, in order.

#include "config_tool/device/operation_ui.h"

#include <string>
#include <vector>

namespace device::testing {

class RecordingUi : public OperationUi
{
public:
    void ShowProgress(int maximum) override
    {
        log.push_back("show " + std::to_string(maximum));
        advanced = 0;
        progress_visible = true;
    }
    void AdvanceProgress(int step) override { advanced += step; }
    void HideProgress() override
    {
        log.push_back("hide");
        progress_visible = false;
    }
    void DisableToolbar() override
    {
        log.push_back("toolbar off");
        toolbar_enabled = false;
    }
    void EnableToolbar() override
    {
        log.push_back("toolbar on");
        toolbar_enabled = true;
    }
    bool Confirm(int message) override
    {
        log.push_back("confirm " + std::to_string(message));
        return confirm_answer;
    }
    void ShowError(int message) override
    {
        log.push_back("error " + std::to_string(message) +
                      (progress_visible ? " over progress" : ""));
    }

    std::vector<std::string> log;
    int advanced = 0;
    bool progress_visible = false;
    bool toolbar_enabled = true;
    bool confirm_answer = true;
};

} // namespace device::testing
