#include "platform/pty.h"

#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

PseudoTerminal::~PseudoTerminal()
{
    Close();
}

bool PseudoTerminal::Open()
{
    Close();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0)
        return false;
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return false;
    }
    termios tio{};
    if (::tcgetattr(master, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
    }
    const int keeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (keeper < 0) {
        ::close(master);
        return false;
    }
    // The line discipline is the slave's; raw there too, before any port opens it.
    if (::tcgetattr(keeper, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(keeper, TCSANOW, &tio);
    }
    master_ = master;
    keeper_ = keeper;
    slave_path_ = name;
    return true;
}

void PseudoTerminal::CloseKeeper()
{
    if (keeper_ >= 0) {
        ::close(keeper_);
        keeper_ = -1;
    }
}

void PseudoTerminal::Close()
{
    CloseKeeper();
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    slave_path_.clear();
}

} // namespace platform
