#include "platform/file_util.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::detail {

std::optional<std::string> ReadWholeFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string out;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            errno = err;
            return std::nullopt;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

bool MakeDirectories(const std::string& dir)
{
    if (dir.empty())
        return true;
    struct stat st{};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash)))
        return false;
    return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

bool ReplaceFile(const std::string& path, const std::string& contents)
{
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash)))
        return false;
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    // Keep the old file's permissions where there is one.
    struct stat st{};
    ::fchmod(fd, ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
    size_t done = 0;
    bool ok = true;
    while (done < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (ok && ::fsync(fd) != 0)
        ok = false;
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
    }
    return ok;
}

} // namespace platform::detail
