#pragma once
// A session for the fuzz targets: on the fake line of the session tests, with its registry and
// logs in a scratch folder of its own (removed at the end), the fake clock, and no retries, so
// every input costs one exchange.  The fake unit answers every request with `answer`.

#include "fake_transport.h"

#include "CoreComp/rssess/rs_session.h"

#include "platform/clock.h"
#include "platform/registry.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

namespace fuzzing {

struct SessionHarness
{
    SessionHarness()
    {
        std::string templ =
            (std::filesystem::temp_directory_path() / "vendaxo-fuzz-XXXXXX").string();
        if (!mkdtemp(templ.data()))
            std::abort();
        dir = templ;
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        setenv("VENDAXO_LOG_DIR", dir.c_str(), 1);
        registry = std::make_unique<platform::RegistryFile>(dir + "/registry.reg");
        line->responder = [this](const Bytes&) { return answer; };
        TRSSession::Collaborators c;
        c.clock = &clock;
        c.registry = registry.get();
        c.transportFactory = [this](TRSSession& s, TRSSession::TransportKind) {
            return std::make_unique<FakeTransport>(&s, line);
        };
        session = std::make_unique<TRSSession>(std::move(c));
        session->SetRetryCount(0);
        session->SetSecondRetryCount(0);
    }
    ~SessionHarness()
    {
        session.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    SessionHarness(const SessionHarness&) = delete;
    SessionHarness& operator=(const SessionHarness&) = delete;

    // Forgets what the line and the clock kept of the last input (the fake clock keeps every
    // sleep, and a long run would otherwise grow without bound).
    void ForgetLastInput()
    {
        line->ClearCalls();
        line->input.clear();
        line->pendingOut.clear();
        clock.ClearSleeps();
    }

    std::string dir;
    platform::FakeClock clock;
    std::unique_ptr<platform::RegistryFile> registry;
    std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
    Bytes answer;
    std::unique_ptr<TRSSession> session;
};

} // namespace fuzzing
