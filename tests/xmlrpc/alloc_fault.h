#pragma once
// An allocation failure on demand, for the tests that show what a failed allocation leaves
// behind: after FailAllocationFrom(n), the next allocation of at least n bytes made by the same
// thread raises std::bad_alloc.  0 turns it off.  Replaces the global operator new of the
// binary it is linked into.

#include <cstddef>

namespace xrpc::test {

void FailAllocationFrom(std::size_t bytes);

} // namespace xrpc::test
