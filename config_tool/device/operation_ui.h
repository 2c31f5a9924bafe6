#pragma once
// What a device operation shows while it runs: the main window's operation progress bar, its
// toolbar and the message boxes an operation raises itself.  The main window implements OperationUi; the guards below restore both on every
// exit path of an operation, exceptions included.
//
// Threads: the user-interface thread only.

namespace device {

class OperationUi
{
public:
    virtual ~OperationUi() = default;

    // Range 0..maximum, position 0, shown.
    virtual void ShowProgress(int maximum) = 0;
    virtual void AdvanceProgress(int step) = 0;
    virtual void HideProgress() = 0;
    // The seven toolbar buttons (not the menu items).
    virtual void DisableToolbar() = 0;
    virtual void EnableToolbar() = 0;
    // Message boxes by message number: a Confirmation with Yes and Cancel (true on Yes), and an
    // Error with OK.
    virtual bool Confirm(int message) = 0;
    virtual void ShowError(int message) = 0;
};

class ProgressGuard
{
public:
    ProgressGuard(OperationUi& ui, int maximum) : ui_(ui) { ui_.ShowProgress(maximum); }
    ~ProgressGuard() { ui_.HideProgress(); }
    ProgressGuard(const ProgressGuard&) = delete;
    ProgressGuard& operator=(const ProgressGuard&) = delete;
    void Advance(int step) { ui_.AdvanceProgress(step); }

private:
    OperationUi& ui_;
};

class ToolbarGuard
{
public:
    explicit ToolbarGuard(OperationUi& ui) : ui_(ui) { ui_.DisableToolbar(); }
    ~ToolbarGuard() { ui_.EnableToolbar(); }
    ToolbarGuard(const ToolbarGuard&) = delete;
    ToolbarGuard& operator=(const ToolbarGuard&) = delete;

private:
    OperationUi& ui_;
};

// For callers that show nothing (tools, benchmarks).
class NoOperationUi : public OperationUi
{
public:
    void ShowProgress(int) override {}
    void AdvanceProgress(int) override {}
    void HideProgress() override {}
    void DisableToolbar() override {}
    void EnableToolbar() override {}
    bool Confirm(int) override { return true; }
    void ShowError(int) override {}
};

} // namespace device
