#pragma once
// Lowers the process's limit of open descriptors for one test, so that only the given number
// of new ones can be made, and restores it when it goes out of scope.  Nothing else may open
// or close descriptors meanwhile.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform::test {

class DescriptorLimit
{
public:
    explicit DescriptorLimit(int spare)
    {
        ok_ = ::getrlimit(RLIMIT_NOFILE, &saved_) == 0;
        // The lowest free descriptor: every one below it is taken.
        const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (!ok_ || lowest < 0)
            return;
        ::close(lowest);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(lowest + spare);
        ok_ = ::setrlimit(RLIMIT_NOFILE, &low) == 0;
    }
    ~DescriptorLimit()
    {
        if (ok_)
            ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    bool Ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

} // namespace platform::test
