#include "platform/named_mutex.h"

#include "platform/last_error.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Every holder keeps a shared flock on the mutex's file; a probe for an exclusive one fails
// exactly while some holder exists.  A second file serialises the probe with taking the lock,
// since flock cannot turn an exclusive lock into a shared one atomically.
//
// The files live in a folder that only this user can write to, so no other user can plant a
// mutex (and make a session believe a service runs) or a link that a create would follow:
// $XDG_RUNTIME_DIR, else /tmp/vendaxo-<uid>, made 0700 and checked for its owner and mode.

// A folder (not a link to one, unless followLink) of this user's with none of the mode bits
// in closed.
bool Private(const std::string& dir, bool followLink, mode_t closed)
{
    struct stat st{};
    const int r = followLink ? ::stat(dir.c_str(), &st) : ::lstat(dir.c_str(), &st);
    return r == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & closed) == 0;
}

// Empty when no safe folder exists (last error set).
std::string MutexDir()
{
    if (const char* run = std::getenv("XDG_RUNTIME_DIR");
        run && *run == '/' && Private(run, true, S_IWGRP | S_IWOTH))
        return run;
    const std::string dir = "/tmp/vendaxo-" + std::to_string(::geteuid());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        SetLastErrorFromErrno(errno);
        return {};
    }
    if (!Private(dir, false, 077)) {
        SetLastError(kErrorAccessDenied);
        return {};
    }
    return dir;
}

std::string MutexPath(const std::string& name)
{
    const std::string dir = MutexDir();
    if (dir.empty())
        return {};
    std::string safe;
    for (char c : name)
        safe += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
    return dir + "/vendaxo-mutex-" + safe;
}

int OpenFile(const std::string& path)
{
    if (path.empty())
        return -1;
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

int Flock(int fd, int op)
{
    int r;
    do {
        r = ::flock(fd, op);
    } while (r < 0 && errno == EINTR);
    return r;
}

class Guard
{
public:
    explicit Guard(const std::string& path) : fd_(OpenFile(path + ".guard"))
    {
        if (fd_ >= 0)
            Flock(fd_, LOCK_EX);
    }
    ~Guard()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    bool Ok() const { return fd_ >= 0; }

private:
    int fd_;
};

// Under the guard: true when some holder has the file locked.
bool Held(int fd)
{
    if (Flock(fd, LOCK_EX | LOCK_NB) != 0)
        return true;
    Flock(fd, LOCK_UN);
    return false;
}

} // namespace

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name, bool& already_existed)
{
    already_existed = false;
    std::string path = MutexPath(name);
    if (path.empty())
        return nullptr;
    Guard guard(path);
    if (!guard.Ok()) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    const int fd = OpenFile(path);
    if (fd < 0) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    already_existed = Held(fd);
    if (Flock(fd, LOCK_SH) != 0) {
        SetLastErrorFromErrno(errno);
        ::close(fd);
        return nullptr;
    }
    SetLastError(already_existed ? kErrorAlreadyExists : kErrorSuccess);
    return std::unique_ptr<NamedMutex>(new NamedMutex(std::move(path), fd));
}

bool NamedMutex::Exists(const std::string& name)
{
    const std::string path = MutexPath(name);
    if (path.empty())
        return false;
    Guard guard(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    const bool held = Held(fd);
    ::close(fd);
    if (!held)
        SetLastError(kErrorFileNotFound);
    return held;
}

NamedMutex::~NamedMutex()
{
    // The file stays: removing it could split a later holder and a prober onto two files.
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace platform
