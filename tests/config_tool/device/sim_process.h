#pragma once
// t4700-sim as a child process: started with the given switches, waited for until it prints
// "ready <port>", stopped with SIGTERM (so --dump runs) and reaped.  Header-only, shared by the
// end-to-end tests and the benchmarks.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace device::testing {

// $VENDAXO_BUILD_DIR/sim/t4700-sim, else the simulator of the build this was compiled in
// (VENDAXO_SIM_PATH), whichever exists.
inline std::optional<std::string> SimulatorPath()
{
    std::vector<std::string> candidates;
    if (const char* dir = std::getenv("VENDAXO_BUILD_DIR"))
        candidates.push_back(std::string(dir) + "/sim/t4700-sim");
#ifdef VENDAXO_SIM_PATH
    candidates.push_back(VENDAXO_SIM_PATH);
#endif
    for (const std::string& path : candidates)
        if (access(path.c_str(), X_OK) == 0)
            return path;
    return std::nullopt;
}

class SimProcess
{
public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() { Stop(); }

    // False when it could not be started or did not report ready.
    bool Start(const std::string& program, const std::vector<std::string>& args)
    {
        int out[2];
        if (pipe(out) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            pid_ = -1;
            return false;
        }
        out_ = fdopen(out[0], "r");
        char line[512];
        while (out_ && std::fgets(line, sizeof line, out_)) {
            std::string text(line);
            if (text.rfind("ready ", 0) == 0) {
                port_ = text.substr(6, text.find_last_not_of("\r\n") - 5);
                return true;
            }
        }
        Stop();
        return false;
    }

    // Stops answering without closing the line.
    void Pause() { Signal(SIGSTOP); }
    // Ends it at once: its side of the pty closes, as a pulled USB adapter's does.
    void Kill() { Signal(SIGKILL); }
    void Resume() { Signal(SIGCONT); }

    // SIGTERM and wait; returns the exit status (-1 when it did not exit normally).
    int Stop()
    {
        if (pid_ <= 0)
            return status_;
        kill(pid_, SIGCONT);
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        if (out_)
            std::fclose(out_);
        out_ = nullptr;
        return status_;
    }

    const std::string& Port() const { return port_; }

private:
    void Signal(int sig)
    {
        if (pid_ > 0)
            kill(pid_, sig);
    }

    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    std::string port_;
    int status_ = -1;
};

} // namespace device::testing
