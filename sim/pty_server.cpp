#include "sim/pty_server.h"

#include "sim/line_log.h"

#include "platform/clock.h"
#include "platform/log_file.h"
#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

std::string ComName(int n)
{
    return "COM" + std::to_string(n);
}

bool PointsTo(const std::string& link, const std::string& target)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == target;
}

} // namespace

PtyServer::PtyServer(LineHandler& bus, PtyServerOptions options, platform::Clock* clock)
    : bus_(bus), options_(std::move(options)), clock_(clock ? *clock : platform::SystemClock())
{
}

PtyServer::~PtyServer()
{
    Stop();
}

std::string PtyServer::PortPath() const
{
    return options_.link_path.empty() ? pty_.SlavePath() : options_.link_path;
}

int64_t PtyServer::NowUs()
{
    return ClockMicroseconds(clock_);
}

bool PtyServer::Start(std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        Undo();
        return false;
    };
    if (Running())
        return fail("already running");
    if (!options_.registry_path.empty() && (options_.com_number < 1 || options_.com_number > 255))
        return fail("COM number must be 1..255");
    if (!pty_.Open())
        return fail(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
    if (!wake_.Open())
        return fail(std::string("cannot make a pipe: ") + std::strerror(errno));

    if (!options_.link_path.empty()) {
        struct stat st{};
        if (::lstat(options_.link_path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                return fail(options_.link_path + " exists and is not a symbolic link");
            ::unlink(options_.link_path.c_str());
        }
        if (::symlink(pty_.SlavePath().c_str(), options_.link_path.c_str()) != 0)
            return fail("cannot link " + options_.link_path + ": " + std::strerror(errno));
        link_made_ = true;
    }
    if (!options_.registry_path.empty()) {
        platform::RegistryFile registry(options_.registry_path);
        RemoveStaleEntries(registry);
        if (!registry.WriteString(platform::Hive::LocalMachine, platform::kSerialCommKey, PortPath(),
                                  ComName(options_.com_number)))
            return fail("cannot write the registry file " + options_.registry_path);
        registry_made_ = true;
    }
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

// An earlier server that was killed leaves its entry behind; a second path for the same COM
// number would make the port's resolution depend on the order of the entries.
void PtyServer::RemoveStaleEntries(platform::RegistryFile& registry)
{
    const std::string com = ComName(options_.com_number);
    for (const std::string& name : registry.ValueNames(platform::Hive::LocalMachine, platform::kSerialCommKey)) {
        struct stat st{};
        if (name == PortPath() || ::lstat(name.c_str(), &st) == 0)
            continue;
        if (registry.ReadString(platform::Hive::LocalMachine, platform::kSerialCommKey, name) == com)
            registry.DeleteValue(platform::Hive::LocalMachine, platform::kSerialCommKey, name);
    }
}

void PtyServer::Stop()
{
    if (thread_.joinable()) {
        stop_ = true;
        wake_.Wake();
        thread_.join();
    }
    Undo();
}

void PtyServer::Undo()
{
    if (registry_made_) {
        platform::RegistryFile registry(options_.registry_path);
        const auto value =
            registry.ReadString(platform::Hive::LocalMachine, platform::kSerialCommKey, PortPath());
        if (value && *value == ComName(options_.com_number))
            registry.DeleteValue(platform::Hive::LocalMachine, platform::kSerialCommKey, PortPath());
        registry_made_ = false;
    }
    if (link_made_) {
        if (PointsTo(options_.link_path, pty_.SlavePath()))
            ::unlink(options_.link_path.c_str());
        link_made_ = false;
    }
    wake_.Close();
    pty_.Close();
}

void PtyServer::Log(const char* direction, const Bytes& bytes)
{
    if (!options_.log_path.empty())
        AppendLineLog(options_.log_path, clock_, direction + HexBytes(bytes));
}

void PtyServer::LogActivity(const LineActivity& activity)
{
    for (const Bytes& d : activity.dropped)
        Log("drop", d);
    for (const Bytes& f : activity.frames)
        Log("in", f);
}

void PtyServer::Run()
{
    const int master = pty_.MasterFd();
    std::deque<Transmission> queue; // ordered by due time
    bool hung_up = false;
    uint8_t buf[512];

    while (!stop_) {
        const int64_t now = NowUs();
        int64_t wake = INT64_MAX;
        if (!queue.empty())
            wake = queue.front().due_us;
        if (const auto expiry = bus_.ExpiryDue())
            wake = std::min(wake, *expiry);
        int timeout = -1;
        if (wake != INT64_MAX)
            timeout = static_cast<int>(std::clamp<int64_t>((wake - now + 999) / 1000, 0, INT_MAX));
        // After a hang-up the master keeps reporting it; look again later instead of spinning.
        if (hung_up && (timeout < 0 || timeout > 50))
            timeout = 50;

        pollfd fds[2] = {{master, static_cast<short>(hung_up ? 0 : POLLIN), 0}, {wake_.ReadFd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR)
            break;
        hung_up = false;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            for (;;) {
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n <= 0)
                    break;
                LineActivity activity = bus_.Receive(std::span(buf, static_cast<std::size_t>(n)), NowUs());
                LogActivity(activity);
                for (Transmission& t : activity.answers) {
                    auto at = std::upper_bound(queue.begin(), queue.end(), t.due_us,
                                               [](int64_t due, const Transmission& x) { return due < x.due_us; });
                    queue.insert(at, std::move(t));
                }
            }
        } else if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
            hung_up = true;
        }

        const int64_t after = NowUs();
        while (!queue.empty() && queue.front().due_us <= after) {
            const Bytes& bytes = queue.front().bytes;
            const ssize_t n = ::write(master, bytes.data(), bytes.size());
            Log(n == static_cast<ssize_t>(bytes.size()) ? "out" : "lost", bytes);
            queue.pop_front();
        }
        // A partial frame expires only when nothing more is waiting to be read: after this
        // thread was held up, the rest of the frame may be in the pty already.
        pollfd pending{master, POLLIN, 0};
        if (hung_up || ::poll(&pending, 1, 0) <= 0 || !(pending.revents & POLLIN))
            LogActivity(bus_.Expire(after));
    }
}

} // namespace sim
