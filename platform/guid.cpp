// Random GUIDs from getrandom.

#include "platform/guid.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <random>

namespace platform {

namespace {

void Fill(std::array<uint8_t, 16>& out)
{
    size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = getrandom(out.data() + got, out.size() - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    if (got == out.size())
        return;
    static std::mutex mutex;
    static std::mt19937_64 fallback(
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::lock_guard guard(mutex);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(fallback());
}

} // namespace

Guid NewGuid()
{
    Guid g;
    Fill(g.bytes);
    g.bytes[6] = static_cast<uint8_t>((g.bytes[6] & 0x0F) | 0x40); // version 4
    g.bytes[8] = static_cast<uint8_t>((g.bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return g;
}

uint64_t ProcessRandomSalt()
{
    static const uint64_t salt = [] {
        std::array<uint8_t, 16> bytes{};
        Fill(bytes);
        uint64_t v = 0;
        for (size_t i = 0; i < sizeof v; ++i)
            v = (v << 8) | bytes[i];
        return v;
    }();
    return salt;
}

std::string GuidText(const Guid& guid)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "{";
    for (size_t i = 0; i < guid.bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += kHex[guid.bytes[i] >> 4];
        text += kHex[guid.bytes[i] & 0x0F];
    }
    text += '}';
    return text;
}

} // namespace platform
