#pragma once
// The session's console-line state (frame mode 2), kept under the session lock.

#include "CoreComp/rssess/rs_session.h"

#include <deque>

struct TRSSession::ConsoleLine
{
    static constexpr size_t kMaxPending = 300;
    static constexpr size_t kRingSize = 256;
    static constexpr size_t kMaxCommands = 300;
    // A console that keeps announcing more (status 4) is polled again this many times in a row.
    static constexpr int kMaxRepeats = 10;
    // Draining a console that reported pending events ends after this many polls.
    static constexpr int kMaxDrainPolls = 32;

    std::array<corecomp::ConsoleRecord, 128> consoles{};
    std::array<corecomp::ConsoleStatistics, 128> stats{};
    struct Pending
    {
        uint8_t console = 0, kind = 0;
        std::vector<uint8_t> data;
    };
    std::vector<Pending> pending;
    std::array<std::vector<uint8_t>, kRingSize> ring{};
    size_t ringRead = 0, ringWrite = 0, ringCount = 0;
    struct Command
    {
        uint8_t console = 0, command = 0;
        std::vector<uint8_t> data;
        bool again = false; // asked again after it got no answer
    };
    std::deque<Command> commands;
    uint32_t searchCalls = 0;
    uint8_t searchCursor = 1;
    int repeats = 0;
};
