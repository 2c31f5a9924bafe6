#pragma once
// Reading the code of a presented credential from a unit's event log.  First the log is
// drained: every event read is acknowledged by the session, so each read removes one event.
// Then one event read per poll step, until an event that carries a credential code arrives.
//
// The drain reads on for as long as the unit hands out events: a unit keeps more of them
// (1,024 and more) than any fixed small count.  It ends on the empty log or on an answer that
// is no event (the unit would never drop it; polling deals with it), and fails when the unit
// stops making progress: a read that gets no answer, or the same event answered
// kDrainSameAnswers times in a row (the acknowledgement does not remove it).  A unit that
// hands out new events without end fails after kMaxDrainReads reads, so it cannot hold the
// tool for good.
//
// Threads: the user-interface thread only.

#include "config_tool/device/command_channel.h"
#include "config_tool/model/config_image.h"

#include <array>
#include <cstdint>

namespace device {

inline constexpr int kMaxDrainReads = 65536;
// Not two: an acknowledgement the unit missed brings the same event once more, and a log may
// hold like events one after another.
inline constexpr int kDrainSameAnswers = 16;
inline constexpr int kKeyReadRetries = 6;

using KeyCode = model::KeyCode; // k0 .. k7, in answer order

enum class KeyStartResult {
    Polling,       // the log is empty; polling has started
    NoAnswer,      // show the no-answer message
    LogNotEmptied, // the unit answers but its log does not end: show that, not "no answer"
};

enum class KeyPollResult {
    KeepPolling,
    CodeFound,  // Code() holds it; the event has been confirmed
    EndNoCode,  // the unit ended the poll without a code
    NoAnswer,   // show the no-answer message
    Stopped,    // polling was not active
};

// Decodes an event answer that carries a credential code.
bool CodeFromEvent(const Frame& answer, KeyCode& code);

Frame EventReadRequest(uint8_t address);
Frame EventConfirmRequest(uint8_t address, uint8_t event_byte4);

class KeyCodeReader
{
public:
    explicit KeyCodeReader(CommandChannel& channel) : channel_(channel) {}

    // Sets up the channel and drains the log; polling is active only on Polling.
    KeyStartResult Start(uint8_t address, int port);
    // One poll.  Every result but KeepPolling ends polling before it returns, so a message box
    // shown for it cannot start a second poll behind it.
    KeyPollResult PollStep();
    void Stop() { active_ = false; }
    bool Active() const { return active_; }
    const KeyCode& Code() const { return code_; }
    // Event reads made by the last drain.
    int DrainReads() const { return drain_reads_; }

private:
    KeyStartResult Drain();

    CommandChannel& channel_;
    uint8_t address_ = 1;
    bool active_ = false;
    int drain_reads_ = 0;
    KeyCode code_{};
};

} // namespace device
