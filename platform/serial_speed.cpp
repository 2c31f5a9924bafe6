#include "platform/serial_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace platform::detail {

bool SetLineSpeed(int fd, uint32_t baud)
{
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ::ioctl(fd, TCSETS2, &tio) == 0;
}

uint32_t GetLineSpeed(int fd)
{
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}

} // namespace platform::detail
