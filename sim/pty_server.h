#pragma once
// Serves a Bus on a pseudo-terminal: the master side is the line of the simulated units, the
// slave path (or a symbolic link to it) is the serial port the tool opens.
//
// The server thread waits in poll() on the master and a wake-up pipe; it feeds whatever
// arrives to Bus::Receive(), writes each answer when it is due, and drops stale partial frames
// through Bus::Expire().  An answer that the pty cannot take at once (nobody reads the port)
// is dropped, as it would be lost on a bus.
//
// Optional:
// - a symbolic link to the slave, replaced when a link of that name exists, removed by Stop()
//   while it still points to this slave;
// - a registry entry "PATH"="COMn" under hardware\devicemap\serialcomm, PATH being the link or
//   the slave, removed by Stop() while it still holds this value.  Start() first removes the
//   entries for the same COM number whose path no longer exists (left by a killed server);
// - a traffic log, one line per frame in, frame out and run of dropped bytes:
//   "HH:MM:SS.mmm in|out|drop XX XX ..." (local time, CR LF); "lost" marks an answer that the
//   pty did not take whole.
//
// Threads: Start(), Stop() and the destructor belong to the thread that owns the server; the
// accessors may be called from any thread once Start() has returned.  The Bus is shared with
// the server thread through its own lock, so a test may queue events or inspect units while
// the server runs.

#include "sim/bus.h"
#include "sim/line_log.h"

#include "platform/pty.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace platform {
class Clock;
class RegistryFile;
}

namespace sim {

struct PtyServerOptions
{
    std::string link_path;     // empty: no link
    std::string registry_path; // empty: no registry entry
    int com_number = 0;        // with registry_path: 1..255
    std::string log_path;      // empty: no log
};

class PtyServer
{
public:
    // clock: the time base of the line; nullptr means platform::SystemClock().
    explicit PtyServer(Bus& bus, PtyServerOptions options = {}, platform::Clock* clock = nullptr);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the pty, makes the link and the registry entry and starts the thread.  On failure
    // everything made so far is undone and error (when given) says why.
    bool Start(std::string* error = nullptr);
    // Stops and joins the thread, then removes the registry entry and the link.  Idempotent.
    void Stop();
    bool Running() const { return thread_.joinable(); }

    const std::string& SlavePath() const { return pty_.SlavePath(); }
    // The path the tool opens: the link when there is one, else the slave.
    std::string PortPath() const;
    // The time base of the line in microseconds, as the bus is given it.
    int64_t NowUs();

private:
    void Run();
    void Undo();
    void RemoveStaleEntries(platform::RegistryFile& registry);
    void Log(const char* direction, const Bytes& bytes);
    void LogActivity(const LineActivity& activity);

    Bus& bus_;
    const PtyServerOptions options_;
    platform::Clock& clock_;
    platform::PseudoTerminal pty_;
    WakePipe wake_;
    bool link_made_ = false;
    bool registry_made_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace sim
