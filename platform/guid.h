#pragma once
// Globally unique identifiers: random (version 4, RFC 4122 variant) from the kernel's
// generator.

#include <array>
#include <cstdint>
#include <string>

namespace platform {

struct Guid
{
    std::array<uint8_t, 16> bytes{};
};

// Never fails: should the kernel's generator be unavailable, a seeded generator stands in.
Guid NewGuid();
// A random value drawn once per process (the first call reads the kernel's generator, later
// calls only return it): a seed for hash tables that must not be predictable from outside but
// need not change per use.  Any thread.
uint64_t ProcessRandomSalt();
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal, bytes in stored order.
std::string GuidText(const Guid& guid);

} // namespace platform
