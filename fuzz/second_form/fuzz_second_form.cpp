// What a console line may send: the first byte picks the request's address (low seven bits)
// and whether the request went coded (bit 7; the key then comes from the second byte); the rest
// arrives in reads whose sizes the third byte sets.  The reader must never take more than 600
// bytes after a marker, a good answer must check out, and a failed one must carry no bytes.

#include "CoreComp/rssess/second_form.h"

#include <algorithm>
#include <cstdlib>
#include <span>

namespace {

using namespace corecomp;

struct Line : SecondFormLine
{
    std::span<const uint8_t> data;
    size_t chunk = 1;
    uint64_t now = 0;
    int Read(std::span<uint8_t> buffer, bool) override
    {
        now += 5;
        const size_t n = std::min({chunk, buffer.size(), data.size()});
        std::copy_n(data.begin(), n, buffer.begin());
        data = data.subspan(n);
        return static_cast<int>(n);
    }
    uint64_t Millis() override { return now; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t address = bytes[0] & 0x7F;
    const uint8_t key = (bytes[0] & 0x80) ? bytes[1] : 0;
    Line line;
    line.chunk = 1 + bytes[2] % 64;
    line.data = std::span(bytes + 3, size - 3);
    SecondFormReader reader(line);
    uint8_t last = 0;
    const auto a = ReadSecondFormAnswer(reader, address, key, bytes[1], [&last](uint8_t n) {
        const bool same = n == last;
        last = n;
        return same;
    });
    if (reader.StuffedCount() > kMaxStuffedFrame)
        std::abort();
    if (a.code != kSecondFormOk) {
        if (!a.frame.empty())
            std::abort();
        return 0;
    }
    if (a.frame.size() < kSecondFormHead || (a.frame[0] & 0x7F) != address ||
        SecondFormCrc8(std::span(a.frame).first(3)) != a.frame[3])
        std::abort();
    if (a.frame.size() > kSecondFormHead) {
        if (a.frame.size() != a.frame[kLengthPosition] + 7u || SecondFormCrc16(a.frame) != 0)
            std::abort();
    }
    return 0;
}
