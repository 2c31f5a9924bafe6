// Answers from the line as they come: the first three bytes choose the coding mask (or key), the
// expected address (0xFF = any) and the request command; the rest is what the unit sent.  Each
// input goes through the frame checks alone and through a whole SendCommand on a fake line.

#include "fuzz/session_harness.h"

#include "CoreComp/rssess/bus_crc.h"
#include "CoreComp/rssess/bus_frame.h"
#include "CoreComp/rssess/rs_session.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using Harness = fuzzing::SessionHarness;

void ThroughTheSession(uint8_t key, uint8_t address, uint8_t command, std::span<const uint8_t> raw)
{
    static Harness h;
    h.ForgetLastInput();
    h.answer.assign(raw.begin(), raw.end());
    h.session->SetKeyWord(address, key);
    const bool ok =
        h.session->SendCommand({address, 6, 0, command, 0, 0}, true, (key & 1) != 0, 0, 0);
    const Bytes& a = h.session->Answer();
    if (!ok) {
        if (!a.empty())
            std::abort();
        return;
    }
    if (address == 0) {
        if (!a.empty())
            std::abort();
        return;
    }
    if (a.size() < 6 || a.size() > 256 || static_cast<size_t>(a[1]) + 1 != a.size())
        std::abort();
    if ((command != 15 && a[0] != address) || !corecomp::CheckAnswerCommand(command, a[2]))
        std::abort();
    if (h.session->DeferredCommands().size() > TRSSession::kMaxDeferredCommands)
        std::abort();
}

} // namespace

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
    ThroughTheSession(mask, data[1] & 0x7F, static_cast<uint8_t>(command), raw);
    return 0;
}
