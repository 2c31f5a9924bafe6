#pragma once
// A pseudo-terminal pair in raw mode, for the simulated units and the serial tests: the
// master side is the "unit", the slave path is the "port" the tool opens.

#include <string>

namespace platform {

class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal(); // closes the master
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Opens a master in raw mode (O_NONBLOCK|O_CLOEXEC) and unlocks its slave.  The slave is
    // kept open by a second descriptor, so the master never sees a hang-up while no port has it
    // open; CloseKeeper() drops that descriptor (to test hang-ups).
    bool Open();
    void CloseKeeper();
    void Close();
    int MasterFd() const { return master_; }
    const std::string& SlavePath() const { return slave_path_; }

private:
    int master_ = -1;
    int keeper_ = -1;
    std::string slave_path_;
};

} // namespace platform
