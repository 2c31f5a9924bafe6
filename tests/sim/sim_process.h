#pragma once
// t4700-sim as a child process: start it, wait for its "ready PORT" line, signal it and
// collect its exit status.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace simtest {

// The program in this build tree.
std::string SimProgram();

class SimProcess
{
public:
    explicit SimProcess(const std::vector<std::string>& args);
    ~SimProcess(); // SIGKILL when still running
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The port from the "ready PORT" line; empty when the program ended or said nothing else
    // within the limit.
    std::string WaitReady(std::chrono::milliseconds limit = std::chrono::seconds(10));
    void Signal(int sig);
    // Writes text to its standard input (a pipe that stays open until it ends).
    bool Input(const std::string& text);
    // The exit status, -1 on a time-out, 128 + n after signal n.
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Everything it printed on stdout and stderr so far (after Wait: all of it).
    std::string Stdout();
    std::string Stderr();

private:
    void Drain(int fd, std::string& into, int timeout_ms);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int in_ = -1;
    std::string out_text_;
    std::string err_text_;
};

// Runs it to the end: exit status, stdout, stderr.
struct SimRun
{
    int status = -1;
    std::string out;
    std::string err;
};
SimRun RunSim(const std::vector<std::string>& args);

} // namespace simtest
