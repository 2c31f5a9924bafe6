#pragma once
// The frame form of console lines, without the session: stuffing, the two checksums, the
// running-key coding, the unstuffing reader and the answer path of one exchange.  Nothing here
// reads past its input, and the reader never takes more than kMaxStuffedFrame bytes after a
// marker.
//
// Wire: 0xFF starts every frame; after it 0xFF travels as FE 01 and 0xFE as FE 02.
// Head, 4 bytes: [address, bit 7 when coded] [key byte] [status / request kind] [CRC-8 of 0..2].
// Long frame: head, [n] [n bytes] [CRC-16 low] [CRC-16 high]; the CRC-16 covers all before it.

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace corecomp {

inline constexpr uint8_t kSecondFormMarker = 0xFF;
inline constexpr uint8_t kSecondFormEscape = 0xFE;
inline constexpr size_t kMaxStuffedFrame = 600;
inline constexpr size_t kSecondFormHead = 4;
inline constexpr size_t kLengthPosition = 4;

// Exchange result codes.
enum : uint8_t {
    kSecondFormOk = 0,
    kSecondFormForeignAddress = 101,
    kSecondFormShort = 102,
    kSecondFormBadCrc = 103,
    kSecondFormBadEscape = 111,
    kSecondFormNoPort = 112,
};

// Answer kinds (low four bits of the status byte).
inline constexpr uint8_t kAnswerHeadOnly = 2;
inline constexpr uint8_t kAnswerLong = 4;

// The published 1-Wire CRC-8 (initial 0) and CRC-16/ARC (initial 0, bit by bit); -1 for an
// empty buffer.
int SecondFormCrc8(std::span<const uint8_t> bytes);
int SecondFormCrc16(std::span<const uint8_t> bytes);

// The marker followed by the frame with 0xFF and 0xFE escaped.
std::vector<uint8_t> StuffFrame(std::span<const uint8_t> frame);

// The running key over bytes from position `from` on, position 4 left plain and not advancing
// the key.  Returns the key that follows the last coded byte.
uint8_t RunKey(std::span<uint8_t> bytes, size_t from, uint8_t k);

// Codes a frame to be sent when coding is on, it has at least 4 bytes and bit 7 of its address
// is set; key 0 takes consoleKey.  Returns the key left for the answer (0 when sent plain).
uint8_t CodeSecondForm(std::span<uint8_t> frame, bool coding, uint8_t key, uint8_t consoleKey);

// Decoding kinds: 0 an answer head, 3 the long part after the head (its first byte, the length,
// plain); 1, 2 and 4 decode nothing.
struct DecodeState
{
    uint8_t key = 0;     // in: what the request's coding left; out: the key for what follows
    uint8_t keyByte = 0; // out: byte 1 of a coded head
};
void DecodeSecondForm(std::span<uint8_t> bytes, int kind, DecodeState& state, uint8_t consoleKey);

// A head [address] [key byte] [kind] with its CRC-8, and a long request
// [head] [n] [tag] [number] [data] [CRC-16], both plain.  The number also stands in byte 1.
std::array<uint8_t, 4> MakeSecondFormHead(uint8_t address, uint8_t keyByte, uint8_t status);
std::vector<uint8_t> MakeSecondFormLong(uint8_t address, uint8_t status, uint8_t tag,
                                        uint8_t number, std::span<const uint8_t> data);
// A long frame whose n bytes are given as they stand (answers).  Empty when n > 255.
std::vector<uint8_t> MakeSecondFormFrame(std::array<uint8_t, 3> head,
                                         std::span<const uint8_t> body);
// The next request number after n: 255 is followed by 1.
constexpr uint8_t NextRequestNumber(uint8_t n)
{
    return n >= 255 ? 1 : static_cast<uint8_t>(n + 1);
}

// The line as the reader sees it.  Read fills up to buffer.size() bytes and returns how many
// (0: nothing came in the read time-out), or -1 when the port cannot be read.  Drain reads
// take up to 301 bytes with a short time-out.  Millis is a monotonic clock.
class SecondFormLine
{
public:
    virtual ~SecondFormLine() = default;
    virtual int Read(std::span<uint8_t> buffer, bool drain) = 0;
    virtual uint64_t Millis() = 0;
};

// Takes unstuffed bytes of one frame from the line: skips to the marker, then restores escapes.
// A marker inside a frame cuts it (102); the reader then stands at the new frame.
class SecondFormReader
{
public:
    explicit SecondFormReader(SecondFormLine& line) : line_(line) {}
    // Appends n unstuffed bytes to out.  0, or 102 when the line fell silent or the frame would
    // pass kMaxStuffedFrame, 111 on a bad escape, 112 when the port cannot be read.
    uint8_t Take(size_t n, std::vector<uint8_t>& out);
    // The frame taken so far is whole: what follows belongs to the next marker.
    void NextFrame()
    {
        inFrame_ = false;
        stuffed_ = 0;
    }
    // Reads until the line is quiet, for at most maxMs.
    void Drain(uint64_t maxMs);
    size_t StuffedCount() const { return stuffed_; }

private:
    int NextRaw(); // -1 nothing, -2 port error
    SecondFormLine& line_;
    std::array<uint8_t, 64> buffer_{};
    size_t have_ = 0, at_ = 0;
    bool inFrame_ = false;
    size_t stuffed_ = 0;
};

inline constexpr uint64_t kDrainLimitMs = 500;

// One answer as the exchange takes it.
struct SecondFormAnswer
{
    uint8_t code = kSecondFormOk;
    std::vector<uint8_t> frame; // decoded: the head, or the whole long frame
    uint8_t keyByte = 0;
    bool repeated = false; // a long answer whose number was already taken
};

// Positions in a long answer, whose n bytes are [tag] [message number] [kind] [payload]; the
// tag is the command answered, 0 for a message fetched by a poll.
inline constexpr size_t kAnswerTagPosition = 5;
inline constexpr size_t kAnswerNumberPosition = 6;
inline constexpr size_t kAnswerKindPosition = 7;
inline constexpr size_t kAnswerPayloadPosition = 8;
// Message kinds: a sub-device event, an answer to a general command.
inline constexpr uint8_t kMessageEvent = 2;
inline constexpr uint8_t kMessageList = 8;

// Whether a decoded answer is the console's answer to the command sent with that tag: a long
// answer with a message, carrying the command's tag, and not a sub-device event.
bool AnswersCommand(std::span<const uint8_t> answer, uint8_t command);

// Reads and checks the answer to a request sent to requestAddress.  startKey is what the
// request's coding left.  isRepeated gets the number of a long answer (null: never repeated).
SecondFormAnswer ReadSecondFormAnswer(SecondFormReader& reader, uint8_t requestAddress,
                                      uint8_t startKey, uint8_t consoleKey,
                                      const std::function<bool(uint8_t number)>& isRepeated);

// The request brought into the shape [address] [command] [data]: a first-form request of 5
// bytes or more loses its length and key bytes.
std::vector<uint8_t> SecondFormShape(std::span<const uint8_t> request);

// A device time stamp (year - 2000, month, day, hour, minute, second) is usable: a real date
// and time, not more than 10 minutes after now (seconds since the epoch, local time fields).
bool StampUsable(std::span<const uint8_t, 6> stamp, int64_t nowEpochSeconds);

// The time of an event as a date value (days since 30 December 1899): the device's stamp, the
// six bytes at the front of stamp, when they are usable, else now.
double EventTime(std::span<const uint8_t> stamp, double now);

} // namespace corecomp
