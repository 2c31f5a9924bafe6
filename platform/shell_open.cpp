#include "platform/shell_open.h"

#include "platform/last_error.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>

extern char** environ;

namespace platform {

namespace {

// The file actions and attributes of one start, released on every path.
struct SpawnSetup
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool ok = false;

    SpawnSetup()
    {
        if (posix_spawn_file_actions_init(&actions) != 0)
            return;
        if (posix_spawnattr_init(&attr) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return;
        }
        ok = true;
        // The opener reads nothing from our terminal.
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        // Our own signal mask and ignored signals are no concern of the application it starts.
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGCHLD);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup()
    {
        if (!ok)
            return;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

} // namespace

bool ShellOpenWith(const std::string& opener, const std::string& path)
{
    struct stat info;
    if (path.empty() || ::stat(path.c_str(), &info) != 0) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    // The opener would take a name that starts with '-' for one of its options.
    std::string argument = path.front() == '-' ? "./" + path : path;
    SpawnSetup setup;
    if (!setup.ok) {
        SetLastError(kErrorNotEnoughMemory);
        return false;
    }
    std::string program = opener;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = -1;
    const int err =
        opener.find('/') == std::string::npos
            ? posix_spawnp(&pid, opener.c_str(), &setup.actions, &setup.attr, argv, environ)
            : posix_spawn(&pid, opener.c_str(), &setup.actions, &setup.attr, argv, environ);
    if (err != 0) {
        SetLastErrorFromErrno(err);
        return false;
    }
    // Some openers run the application in the foreground and end only with it.
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // Out of threads: the opener runs all the same and stays a zombie when it ends.
    }
    SetLastError(kErrorSuccess);
    return true;
}

bool ShellOpen(const std::string& path)
{
    return ShellOpenWith("xdg-open", path);
}

} // namespace platform
