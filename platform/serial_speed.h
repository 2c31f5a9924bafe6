#pragma once
// Line speed through termios2, so that any rate (250000, 31250, ...) can be set.  Kept apart
// from the rest of the serial layer: the kernel's termios2 header and the C library's
// <termios.h> cannot share a file.

#include <cstdint>

namespace platform::detail {

// false with errno set when the device refuses.
bool SetLineSpeed(int fd, uint32_t baud);
// 0 when the device does not tell.
uint32_t GetLineSpeed(int fd);

} // namespace platform::detail
