#include "platform/log_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

int OpenLogFile(const std::string& path)
{
    int fd;
    do {
        fd = ::open(path.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                    0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    // A file without any write permission is read-only for every user, the superuser included
    // (whom the open does not stop), as it is for the program's other files.
    if ((st.st_mode & 0222) == 0) {
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

void AppendLogLine(const std::string& path, std::string_view line, std::uintmax_t restartAbove)
{
    const int fd = OpenLogFile(path);
    if (fd < 0)
        return;
    if (restartAbove != kLogNoRestart) {
        struct stat st{};
        if (::fstat(fd, &st) == 0 && static_cast<std::uintmax_t>(st.st_size) > restartAbove &&
            ::ftruncate(fd, 0) != 0) {
            ::close(fd);
            return;
        }
    }
    // One write() per line, so lines from several writers never interleave.
    std::string buffer;
    buffer.reserve(line.size() + 2);
    buffer.append(line);
    buffer.append("\r\n");
    ssize_t r;
    do {
        r = ::write(fd, buffer.data(), buffer.size());
    } while (r < 0 && errno == EINTR);
    ::close(fd);
}

std::string LogFilePath(const std::string& name)
{
    if (name.empty() || name.front() == '/')
        return name;
    const char* dir = std::getenv("VENDAXO_LOG_DIR");
    if (!dir || !*dir)
        return name;
    std::string path = dir;
    if (path.back() != '/')
        path += '/';
    return path + name;
}

} // namespace platform
