#pragma once
// The bus frame without the session: the request/answer command pairs, coding and the checks
// an answer must pass.  Pure functions over byte spans; nothing here reads past its input.
//
// Request: address (bit 7 set when coded), L, key byte, command, data, CRC-8 at position L.
// Answer: address, L = length - 1, answer command, data, CRC-8 last; 6 to 256 bytes.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace corecomp {

inline constexpr int kAnyAnswer = -1;
inline constexpr int kAnyAddress = -1;
inline constexpr size_t kMinRequest = 5;
inline constexpr size_t kMinAnswer = 6;
inline constexpr size_t kMaxAnswer = 256;

struct CommandPair
{
    int request;
    int answer; // kAnyAnswer: every answer command fits
};

extern const std::array<CommandPair, 72> kCommandPairs;

// Event answers (4, 12, 14), which the unit drops once they are acknowledged.
constexpr bool IsEventAnswer(int answerCommand)
{
    return answerCommand == 4 || answerCommand == 12 || answerCommand == 14;
}

// Answer 10 always fits; a request command outside the table accepts any answer.
bool CheckAnswerCommand(int requestCommand, int answerCommand);

// The coding mask of a frame: the address's key byte XOR the frame's key byte, when the frame
// is coded (bit 7 of the address set and a non-zero key byte); else 0.
uint8_t FrameMask(uint8_t addressByte, uint8_t keyByte, uint16_t keyWord);

// The request's length byte L is at least 5 and lies within the request: only then can it be
// sent.
bool LengthFits(std::span<const uint8_t> request);

// The bytes to send for a request whose length byte L is within the request: bytes 0..L-1 with
// command and data XORed with mask, then the bus CRC-8 over them.  Empty when L < 5 or L lies
// beyond the request.
std::vector<uint8_t> EncodeRequest(std::span<const uint8_t> request, uint8_t mask);

// Length 6..256, length byte + 1 = length, CRC-8 of all but the last byte = the last byte.
bool IsWellFormedAnswer(std::span<const uint8_t> raw);

// The answer as the caller sees it: bit 7 of the address cleared, bytes 2 to the end (checksum
// included) XORed with mask.  raw must be well formed.
std::vector<uint8_t> DecodeAnswer(std::span<const uint8_t> raw, uint8_t mask);

// A decoded answer fits its request: at least 6 bytes, from expectedAddress (kAnyAddress for
// any) and with an answer command that fits requestCommand.
bool AnswerFitsRequest(std::span<const uint8_t> decoded, int expectedAddress, int requestCommand);

// The whole check of a received answer; empty when it is refused.
std::vector<uint8_t> AcceptAnswer(std::span<const uint8_t> raw, uint8_t mask, int expectedAddress,
                                  int requestCommand);

} // namespace corecomp

namespace corecomp {

// The frame as the driver service's automation objects take it: decimal bytes, one blank
// apart (or the separator given, as the logs write them).
std::string FrameText(std::span<const uint8_t> bytes, char separator = ' ');
// Blank-separated decimal bytes; empty when any token is not a byte.
std::vector<uint8_t> ParseFrameText(const std::string& text);

} // namespace corecomp
