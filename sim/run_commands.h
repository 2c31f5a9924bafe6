#pragma once
// Lines that change the simulated units while the program runs, read from its standard input
// (one command a line; empty lines and lines starting with '#' are skipped):
//
//   channel ADDR:CH:VALUE[:KIND[:ARM]]    add a channel to an analog unit or change it
//   channel-event ADDR:CODE:CH            queue the channel event 04 CODE CH e at ADDR
//   card-report ADDR:CODE:READER:KEY16    queue a credential report at ADDR
//   silent ADDR:on|off                    unit ADDR stops or resumes answering
//   answer ADDR:CMD:HEX                   as --answer; an empty HEX removes the answer
//
// A bad line is reported on standard error and changes nothing; the lines after it still count.

#include "sim/bus.h"

#include <atomic>
#include <string>
#include <thread>

namespace sim {

// Empty when the line was applied (or skipped), else why not.
std::string ApplyRunCommand(Bus& bus, const std::string& line);

// Reads the lines from a descriptor on a thread of its own until Stop() or end of input.
class RunCommandReader
{
public:
    RunCommandReader(Bus& bus, int fd);
    ~RunCommandReader(); // stops
    RunCommandReader(const RunCommandReader&) = delete;
    RunCommandReader& operator=(const RunCommandReader&) = delete;

    void Start();
    void Stop();

private:
    void Run();

    Bus& bus_;
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace sim
