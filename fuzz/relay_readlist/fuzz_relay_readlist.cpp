// Event answers and read-list answers as they come, with tables drawn from the input: the relay
// never builds a frame that cannot be sent or that names an address outside the line, the read
// list's walk stays inside the list, and the read-list exchanges take whatever a unit answers.
//
// Input: byte 2 holds the switches, bytes 3..18 the tables (types, versions, read-list keys and
// channels); the rest is the answer, and it is also what the fake unit says to every read-list
// request (wrapped in a well-formed frame when byte 2 says so).

#include "fuzz/session_harness.h"

#include "CoreComp/rssess/bus_crc.h"
#include "CoreComp/rssess/event_relay.h"
#include "CoreComp/rssess/read_list.h"
#include "CoreComp/rssess/rs_session.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

constexpr uint16_t kTypes[] = {4, 14, 15, 16, 1, 9, 12, 44};

using Harness = fuzzing::SessionHarness;

void CheckRelay(std::span<const uint8_t> tables, std::span<const uint8_t> answer)
{
    uint8_t sequence = 0, counter = 0;
    corecomp::RelayContext c;
    c.typeOf = [&](int a) {
        if (a < 1 || a > 127)
            std::abort(); // the rules only ask about unit addresses
        return kTypes[(tables[static_cast<size_t>(a) % tables.size()] >> (a % 3)) & 7];
    };
    c.versionOf = [&](int a) { return static_cast<uint32_t>(tables[0] + a); };
    c.noTranslateWalk = (tables[1] & 1) != 0;
    c.now = {2026, 12, 10, 23, 59, 59, 0};
    c.nextSequence = [&] { return sequence++; };
    c.relayCounter = &counter;
    const corecomp::RelayResult r = corecomp::BuildRelayFrames(answer, c);
    for (const std::vector<uint8_t>& f : r.frames) {
        if (f.size() < 4 || f.size() > corecomp::kMaxRelayFrame || f[1] != f.size() || f[0] > 127 ||
            f[2] != (f[0] == 0 ? f[2] : 0))
            std::abort();
    }
    if (r.forwarded && (r.frames.size() != 1 || r.frames[0][0] == 0))
        std::abort();
}

void CheckWalk(std::span<const uint8_t> ops)
{
    corecomp::TReadList list;
    for (uint8_t op : ops) {
        const auto key = static_cast<uint16_t>(op & 3);
        const auto channel = static_cast<uint8_t>((op >> 2) & 3);
        switch (op >> 6) {
        case 0:
            list.AddReadChannel(key, channel, {});
            break;
        case 1:
            list.RemoveReadChannel(key, channel);
            break;
        case 2:
            list.RemoveReadItem(key);
            break;
        default:
            break;
        }
        if (const auto t = list.NextChannel()) {
            if (t->item >= list.Items().size() ||
                t->channel >= list.Items()[t->item].channels.size())
                std::abort();
        }
    }
}

void ThroughTheSession(std::span<const uint8_t> tables, std::span<const uint8_t> raw, bool wrap)
{
    static Harness h;
    TRSSession& s = *h.session;
    h.ForgetLastInput();
    if (wrap && !raw.empty()) {
        // A well-formed answer from unit 5 with the input as command and data.
        Bytes body = {5};
        body.insert(body.end(), raw.begin(), raw.begin() + std::min<size_t>(raw.size(), 250));
        h.answer = MakeAnswer(body);
    } else {
        h.answer.assign(raw.begin(), raw.end());
    }
    s.SetDeviceType(5, kTypes[tables[2] & 7]);
    s.ClearReadList();
    s.AddReadChannel(5, tables[3], {tables[4]});
    s.AddReadChannel(5, tables[5], {});
    s.AddReadChannel(static_cast<uint16_t>(tables[6]), tables[7], {});
    s.ApplyQueuedReadListOperations();
    const Bytes a = s.ReadAnswerInto({5, 6, 0, 27, tables[3], 0});
    if (!a.empty() && (a.size() < 6 || a[0] != 5 || a[1] + 1u != a.size()))
        std::abort();
    for (int item = -1; item <= 2; ++item)
        for (int channel = -1; channel <= 2; ++channel)
            s.CheckReadItem(item, channel);
    const corecomp::TReadList list = s.ReadList();
    if (list.Items().size() > 2)
        std::abort();
    s.RelayEventAnswer(Bytes(raw.begin(), raw.end()));
    // Nothing the session posted may exceed the queue's bound.
    if (s.QueuedCommandCount() > TRSSession::kMaxPendingCommands)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 20)
        return 0;
    const std::span<const uint8_t> tables(data + 3, 16);
    const std::span<const uint8_t> answer(data + 19, size - 19);
    std::vector<uint8_t> full(answer.begin(), answer.end());
    if (!full.empty()) {
        full[0] = static_cast<uint8_t>(full[0] % 130); // mostly unit addresses, some not
    }
    CheckRelay(tables, full);
    CheckWalk(answer);
    ThroughTheSession(tables, answer, (data[2] & 2) != 0);
    return 0;
}
