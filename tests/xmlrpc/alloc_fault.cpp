#include "tests/xmlrpc/alloc_fault.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t g_failFrom = 0;
}

namespace xrpc::test {

void FailAllocationFrom(std::size_t bytes)
{
    g_failFrom = bytes;
}

} // namespace xrpc::test

// Out of line, in a file of their own, so that no caller sees the pair as mismatched.
void* operator new(std::size_t n)
{
    if (g_failFrom != 0 && n >= g_failFrom) {
        g_failFrom = 0;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n != 0 ? n : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
