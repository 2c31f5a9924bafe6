// Answers from the line as they come: the first three bytes choose the coding mask, the expected
// address (0xFF = any) and the request command; the rest is what the unit sent.

#include "CoreComp/rssess/bus_crc.h"
#include "CoreComp/rssess/bus_frame.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t mask = data[0];
    const int expected = data[1] == 0xFF ? corecomp::kAnyAddress : data[1] & 0x7F;
    const int command = data[2];
    const std::span<const uint8_t> raw(data + 3, size - 3);

    const bool wellFormed = corecomp::IsWellFormedAnswer(raw);
    const std::vector<uint8_t> accepted = corecomp::AcceptAnswer(raw, mask, expected, command);
    if (!accepted.empty()) {
        // What is accepted is whole, well formed, from the right unit and fits the request.
        if (!wellFormed || accepted.size() != raw.size() || accepted.size() < 6 ||
            accepted.size() > 256)
            std::abort();
        if (expected != corecomp::kAnyAddress && accepted[0] != expected)
            std::abort();
        if (!corecomp::CheckAnswerCommand(command, accepted[2]))
            std::abort();
        // Coding the decoded answer again gives back what came from the line.
        for (size_t i = 2; i < accepted.size(); ++i)
            if (static_cast<uint8_t>(accepted[i] ^ mask) != raw[i])
                std::abort();
    }
    if (wellFormed) {
        const std::vector<uint8_t> decoded = corecomp::DecodeAnswer(raw, mask);
        if (decoded.size() != raw.size() || (decoded[0] & 0x80) != 0)
            std::abort();
    }
    // The same bytes as a request: encoding never reads past them.
    const std::vector<uint8_t> encoded = corecomp::EncodeRequest(raw, mask);
    if (!encoded.empty() &&
        (encoded.size() != static_cast<size_t>(raw[1]) + 1 ||
         encoded.back() != corecomp::BusCrc8(std::span(encoded).first(encoded.size() - 1))))
        std::abort();
    return 0;
}
