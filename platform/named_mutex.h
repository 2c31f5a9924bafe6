#pragma once
// Named mutexes shared between the processes of one user, through flock on files in a folder
// that only the user may write to: $XDG_RUNTIME_DIR, else /tmp/vendaxo-<uid> (0700, checked
// for its owner).  The files are opened without following links.  A mutex exists while some
// process holds an object of that name.

#include <memory>
#include <string>

namespace platform {

class NamedMutex
{
public:
    // Creates the mutex; already_existed tells whether another holder had it first.
    static std::unique_ptr<NamedMutex> Create(const std::string& name, bool& already_existed);
    // True when some process (this one included) holds a mutex of that name.
    static bool Exists(const std::string& name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

private:
    NamedMutex(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    std::string path_;
    int fd_;
};

} // namespace platform
