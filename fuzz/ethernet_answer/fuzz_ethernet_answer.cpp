// Answer datagrams as converters might send them.  Byte 0 sets the wait (4 ms steps); then each
// datagram is a delay byte (ms after the previous one), a two-byte length (up to 1023) and
// that many bytes.  The link must take exactly the first datagram that is an answer, no more of
// it than arrived, and give up within the wait and one round.

#include "CoreComp/ethernet_zemra.h"

#include "platform/clock.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <span>
#include <vector>

namespace {

struct Arrival
{
    int64_t atUs;
    std::vector<uint8_t> bytes;
};

class ScriptedNet : public TDatagramNet
{
public:
    ScriptedNet(platform::FakeClock& clock, std::deque<Arrival>& arrivals)
        : clock_(clock), arrivals_(arrivals)
    {
    }
    int OpenSocket() override { return 3; }
    bool Bind(int, uint16_t) override { return true; }
    void CloseSocket(int) override {}
    bool SendTo(int, const std::string&, uint16_t, std::span<const uint8_t>) override
    {
        return true;
    }
    int WaitReadable(std::span<const int>, uint32_t timeoutMs) override
    {
        const int64_t now = clock_.NowMicroseconds();
        if (!arrivals_.empty() && arrivals_.front().atUs <= now + int64_t{timeoutMs} * 1000) {
            if (arrivals_.front().atUs > now)
                clock_.AdvanceMicroseconds(arrivals_.front().atUs - now);
            return 0;
        }
        clock_.AdvanceMilliseconds(timeoutMs);
        return -1;
    }
    std::optional<Received> Receive(int, std::span<uint8_t> buffer) override
    {
        if (arrivals_.empty() || arrivals_.front().atUs > clock_.NowMicroseconds())
            return std::nullopt;
        const std::vector<uint8_t> d = std::move(arrivals_.front().bytes);
        arrivals_.pop_front();
        const std::size_t n = std::min(buffer.size(), d.size());
        std::copy_n(d.begin(), n, buffer.begin());
        return Received{n, d.size() > buffer.size(), "127.0.0.2"};
    }

private:
    platform::FakeClock& clock_;
    std::deque<Arrival>& arrivals_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const int32_t wait = data[0] * 4;
    std::deque<Arrival> arrivals;
    int64_t at = 0;
    for (size_t i = 1; i + 3 <= size;) {
        at += int64_t{data[i]} * 1000;
        const size_t length =
            std::min<size_t>((data[i + 1] << 8 | data[i + 2]) & 0x3FF, size - i - 3);
        arrivals.push_back({at, std::vector<uint8_t>(data + i + 3, data + i + 3 + length)});
        i += 3 + length;
    }

    // What the link must return: the first datagram that arrives in time and is an answer,
    // read as the reader reads it.
    std::vector<uint8_t> expected;
    for (const Arrival& a : arrivals) {
        const bool cut = a.bytes.size() > TEthernet_COM_Simulator::kReceiveBuffer;
        const std::span<const uint8_t> seen(
            a.bytes.data(), std::min(a.bytes.size(), TEthernet_COM_Simulator::kReceiveBuffer));
        if (auto p = AnswerPayload(seen, cut)) {
            if (p->size() > seen.size() - 5 || p->size() > 255)
                std::abort();
            expected = std::move(*p);
            break;
        }
    }

    platform::FakeClock clock;
    std::deque<Arrival> pending = arrivals;
    TEthernet_COM_Simulator link(clock, std::make_unique<ScriptedNet>(clock, pending));
    if (!link.AddTargetText("127.0.0.2:4001"))
        std::abort();
    link.OpenSockets();
    link.SetTimeout(wait);
    const std::vector<uint8_t> got = link.Receive();
    const int64_t tookUs = clock.NowMicroseconds();
    if (tookUs > (int64_t{wait} + 15) * 1000 + 1000)
        std::abort(); // past the wait and one round
    if (!got.empty() && got != expected)
        std::abort(); // an answer that was not the first one, or not as it arrived
    return 0;
}
