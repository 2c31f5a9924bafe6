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
std::string MutexPath(const std::string& name)
{
    std::string dir = "/tmp";
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run == '/') {
        struct stat st{};
        if (::stat(run, &st) == 0 && S_ISDIR(st.st_mode))
            dir = run;
    }
    std::string safe;
    for (char c : name)
        safe += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
    return dir + "/vendaxo-mutex-" + safe;
}

int OpenFile(const std::string& path)
{
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
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
    Guard guard(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
