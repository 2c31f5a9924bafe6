#include "platform/log_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace platform {

void AppendLogLine(const std::string& path, std::string_view line)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
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

} // namespace platform
