#pragma once
// The process registry of a test binary that runs real sessions against the simulator: a file
// of the binary's own, chosen before the registry's first use.

#include "CoreComp/rssess/rs_session.h"
#include "platform/registry.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace simtest {

inline const platform::test::TempDir& Scratch()
{
    static const platform::test::TempDir dir;
    static const bool set = setenv("VENDAXO_REGISTRY", dir.File("registry.reg").c_str(), 1) == 0;
    (void)set;
    return dir;
}

// A value of the bus layer's settings.
inline void SetBusValue(const char* name, int value)
{
    ASSERT_TRUE(
        platform::ProcessRegistry().WriteDword(platform::Hive::LocalMachine, kBusKey, name, value));
}

} // namespace simtest
