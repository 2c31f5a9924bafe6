#include "platform/file_util.h"

#include "platform/last_error.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string FolderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Follows a symbolic link at `path` to the file it names, so that the link survives a save.
// A dangling link yields the path it points to.
std::string ResolveLinks(const std::string& path)
{
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st{};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(current.c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            return current;
        std::string target(buf, static_cast<size_t>(n));
        current = target.front() == '/' ? target : FolderOf(current) + "/" + target;
    }
    return current;
}

bool WriteAll(int fd, std::string_view data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SyncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL; // some file systems cannot sync folders
    ::close(fd);
    return ok;
}

bool ReadOnlyStat(const std::string& path, const struct stat& st)
{
    return (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
}

} // namespace

bool IsReadOnlyFile(const std::string& path)
{
    const std::string target = ResolveLinks(path);
    struct stat st{};
    if (::stat(target.c_str(), &st) != 0)
        return false;
    return ReadOnlyStat(target, st);
}

bool ReplaceFile(const std::string& path, std::string_view contents, bool makeFolders)
{
    if (path.empty() || path.back() == '/') {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    const std::string target = ResolveLinks(path);
    const std::string folder = FolderOf(target);
    if (makeFolders && !detail::MakeDirectories(folder)) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    mode_t mode = 0;
    struct stat st{};
    if (::stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            SetLastError(kErrorAccessDenied);
            return false;
        }
        if (ReadOnlyStat(target, st)) {
            SetLastError(kErrorAccessDenied);
            return false;
        }
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0644 & ~mask;
    }

    // mkstemp's own open uses O_CREAT | O_EXCL; O_NOFOLLOW keeps a link planted at the
    // chosen name from being followed in any case.
    const auto slash = target.find_last_of('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = folder + "/." + base + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, contents) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        SetLastErrorFromErrno(err);
        return false;
    }
    SyncFolder(folder);
    SetLastError(kErrorSuccess);
    return true;
}

} // namespace platform

namespace platform::detail {

std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t limit)
{
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; the type is checked
    // before a single byte is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = err;
        return std::nullopt;
    }
    std::string out;
    char buf[8192];
    while (out.size() < limit) {
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit - out.size()));
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

} // namespace platform::detail
