#pragma once
// Reading the code of a presented credential from a unit's event log.  First the log is
// drained: every event read is acknowledged by the session, so each read removes one event.
// Then one event read per poll step, until an event that carries a credential code arrives.
//
// An event here is an answer the session acknowledges (4, 12 or 14): only those leave the log
// on a read.  The drain ends on the empty log or on an answer that is no event (the unit would
// never drop it; polling deals with it).  It fails when the unit stops making progress: a read
// that gets no answer, or the same event (its code, number and time) kDrainSameAnswers times
// in a row, as the acknowledgement does not remove it.  The unit keeps at most kUnitLogEvents
// events; with one repetition for each of them after a lost acknowledgement, and the read that
// finds the log empty, kMaxDrainReads reads are enough for any log, so a unit that hands out
// events without end fails there.
//
// Threads: the user-interface thread only.  The drain's observer runs between reads (the
// dialog serves its event queue there) and may stop the drain.

#include "config_tool/device/command_channel.h"
#include "config_tool/model/config_image.h"

#include <array>
#include <cstdint>

namespace device {

inline constexpr int kUnitLogEvents = 1024;
// Every event of a full log once more after a lost acknowledgement, and the empty-log read.
inline constexpr int kMaxDrainReads = 2 * kUnitLogEvents + 1;
// Not two: an acknowledgement the unit missed brings the same event once more, and a log may
// hold like events one after another.
inline constexpr int kDrainSameAnswers = 16;
inline constexpr int kKeyReadRetries = 6;

using KeyCode = model::KeyCode; // k0 .. k7, in answer order

enum class KeyStartResult {
    Polling,       // the log is empty; polling has started
    NoAnswer,      // show the no-answer message
    LogNotEmptied, // the unit answers but its log does not end: show that, not "no answer"
    Stopped,       // the observer stopped the drain; nothing to show
};

class DrainObserver
{
public:
    virtual ~DrainObserver() = default;
    // After every read that did not end the drain; reads counts them from 1.  False stops the
    // drain.
    virtual bool EventRead(int reads) = 0;
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
// The same event: the same code (byte 3), number (byte 4) and, for the answers 12 and 14, the
// same six-byte time stamp that ends them.  Other bytes may differ.
bool SameEvent(const Frame& a, const Frame& b);

Frame EventReadRequest(uint8_t address);
Frame EventConfirmRequest(uint8_t address, uint8_t event_byte4);

class KeyCodeReader
{
public:
    explicit KeyCodeReader(CommandChannel& channel) : channel_(channel) {}

    // Sets up the channel and drains the log; polling is active only on Polling.  observer
    // (may be null) runs between the reads.
    KeyStartResult Start(uint8_t address, int port, DrainObserver* observer = nullptr);
    // One poll.  Every result but KeepPolling ends polling before it returns, so a message box
    // shown for it cannot start a second poll behind it.
    KeyPollResult PollStep();
    void Stop() { active_ = false; }
    bool Active() const { return active_; }
    const KeyCode& Code() const { return code_; }
    // Event reads made by the last drain.
    int DrainReads() const { return drain_reads_; }

private:
    KeyStartResult Drain(DrainObserver* observer);

    CommandChannel& channel_;
    uint8_t address_ = 1;
    bool active_ = false;
    int drain_reads_ = 0;
    KeyCode code_{};
};

} // namespace device
