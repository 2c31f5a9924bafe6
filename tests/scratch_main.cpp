// The main of every test program: each run of a test program works in a scratch folder of its
// own.  Before any test starts, a fresh folder is made under $TMPDIR and becomes both the
// working folder and $VENDAXO_LOG_DIR, so that every log and every file that a test (or a
// program it starts) writes under a relative name stays out of the source and build trees, and
// away from the tests that ctest runs beside it.  The folder is removed when every test passed;
// after a failure it is kept and its path printed.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::error_code ec;
    std::string scratch = (std::filesystem::temp_directory_path(ec) / "vendaxo-run-XXXXXX").string();
    if (!::mkdtemp(scratch.data()) || ::chdir(scratch.c_str()) != 0) {
        std::perror("no scratch folder for the tests");
        return 1;
    }
    ::setenv("VENDAXO_LOG_DIR", scratch.c_str(), 1);
    const pid_t owner = ::getpid();
    const int result = RUN_ALL_TESTS();
    if (::getpid() != owner) // a forked child that came back here leaves the folder alone
        return result;
    if (result == 0) {
        std::filesystem::current_path("/", ec);
        std::filesystem::remove_all(scratch, ec);
    } else {
        std::fprintf(stderr, "the tests' scratch folder is kept: %s\n", scratch.c_str());
    }
    return result;
}
