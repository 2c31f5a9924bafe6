#include "platform/bus_driver.h"
#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace platform {
namespace {

TEST(LastError, ErrnoMapsToTheCodesTheBusLayerTests)
{
    struct Case
    {
        int err;
        uint32_t code;
    } cases[] = {
        {0, kErrorSuccess},          {ENOENT, kErrorFileNotFound},         {EACCES, kErrorAccessDenied},
        {EBUSY, kErrorAccessDenied}, {EWOULDBLOCK, kErrorAccessDenied},    {EBADF, kErrorInvalidHandle},
        {ENOMEM, kErrorNotEnoughMemory}, {EINVAL, kErrorInvalidParameter}, {EEXIST, kErrorAlreadyExists},
        {EIO, kErrorDeviceNotConnected}, {ENXIO, kErrorDeviceNotConnected}, {ENODEV, kErrorDeviceNotConnected},
        {ENOTTY, kErrorNotSupported},    {EMLINK, kErrorGenFailure},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SetLastErrorFromErrno(c.err), c.code) << c.err;
        EXPECT_EQ(LastError(), c.code) << c.err;
    }
}

TEST(LastError, EachThreadHasItsOwn)
{
    SetLastError(kErrorAccessDenied);
    uint32_t seen = 1;
    std::thread t([&] {
        seen = LastError();
        SetLastError(kErrorDeviceNotConnected);
    });
    t.join();
    EXPECT_EQ(seen, kErrorSuccess);
    EXPECT_EQ(LastError(), kErrorAccessDenied);
}

TEST(BusDriver, IsNeverInstalled)
{
    SetLastError(0);
    EXPECT_EQ(OpenBusDriver("\\\\.\\ZEMRA485"), nullptr);
    EXPECT_EQ(LastError(), kErrorFileNotFound);
    EXPECT_EQ(CreateAutomationObject("Dravon.Dravon2"), nullptr);
}

} // namespace
} // namespace platform
