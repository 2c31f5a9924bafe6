#pragma once
// A session on a fake transport, a fake clock and a registry file of its own.

#include "fake_transport.h"

#include "CoreComp/rssess/rs_session.h"

#include "platform/clock.h"
#include "platform/owner_channel.h"
#include "platform/registry.h"

#include "sim/console_bus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

class TempDir
{
public:
    TempDir()
    {
        std::string templ =
            (std::filesystem::temp_directory_path() / "vendaxo-session-XXXXXX").string();
        path_ = mkdtemp(templ.data()) ? templ : std::string();
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

class SessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("VENDAXO_LOG_DIR", dir_.Path().c_str(), 1);
        // Named mutexes are machine-wide: keep this test's apart from every other session.
        if (const char* run = std::getenv("XDG_RUNTIME_DIR"))
            savedRuntimeDir_ = run;
        setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1);
        registry_ = std::make_unique<platform::RegistryFile>(dir_.Path() + "/registry.reg");
        line_ = std::make_shared<FakeLine>();
    }
    void TearDown() override
    {
        session_.reset();
        unsetenv("VENDAXO_LOG_DIR");
        if (savedRuntimeDir_.empty())
            unsetenv("XDG_RUNTIME_DIR");
        else
            setenv("XDG_RUNTIME_DIR", savedRuntimeDir_.c_str(), 1);
    }

    // The fake clock, the test registry, the given owner and transports on the fake line.
    TRSSession::Collaborators Collaborators(platform::OwnerChannel* owner)
    {
        TRSSession::Collaborators c;
        c.clock = &clock_;
        c.registry = registry_.get();
        c.owner = owner;
        c.runPasses = runPasses_;
        c.transportFactory = [this](TRSSession& s, TRSSession::TransportKind kind) {
            kinds_.push_back(kind);
            return std::make_unique<FakeTransport>(&s, line_);
        };
        return c;
    }
    // A factory that makes nothing: the session falls back to its serial transport.
    static std::unique_ptr<TCommZemraAbstract> NoTransport(TRSSession&, TRSSession::TransportKind)
    {
        return nullptr;
    }

    TRSSession& MakeSession(bool withOwner = true, TRSSession::BusDriverOpener driver = {})
    {
        session_.reset(); // the old one hands the owner channel back first
        TRSSession::Collaborators c = Collaborators(withOwner ? &owner_ : nullptr);
        c.busDriver = std::move(driver);
        session_ = std::make_unique<TRSSession>(std::move(c));
        return *session_;
    }

    // Ends the session when it goes out of scope.  A test whose polling thread uses the test's
    // own locals (a clock, a responder's state, an automation object) takes one after them, so
    // the thread is gone before they are, however the test ends.
    struct SessionEnd
    {
        explicit SessionEnd(std::unique_ptr<TRSSession>& s) : session(s) {}
        SessionEnd(const SessionEnd&) = delete;
        SessionEnd& operator=(const SessionEnd&) = delete;
        ~SessionEnd() { session.reset(); }
        std::unique_ptr<TRSSession>& session;
    };
    [[nodiscard]] SessionEnd EndSessionFirst() { return SessionEnd{session_}; }

    void SetDword(const std::string& name, int32_t value)
    {
        registry_->WriteDword(platform::Hive::LocalMachine, kBusKey, name, value);
    }
    void SetString(const std::string& key, const std::string& name, const std::string& value)
    {
        registry_->WriteString(platform::Hive::LocalMachine, key, name, value);
    }
    std::string LogFile(const std::string& name) const { return dir_.Path() + "/" + name; }

    // Consoles on the fake line, for a session in frame mode 2: they hear what the session
    // writes and answer at once (on the line's clock, when it has one).
    sim::ConsoleBus& Consoles()
    {
        if (!consoles_) {
            consoles_ = std::make_shared<sim::ConsoleBus>();
            line_->consoleLine = consoles_;
        }
        return *consoles_;
    }

    TempDir dir_;
    platform::FakeClock clock_;
    platform::OwnerChannel owner_;
    std::unique_ptr<platform::RegistryFile> registry_;
    std::shared_ptr<FakeLine> line_;
    std::shared_ptr<sim::ConsoleBus> consoles_;
    std::vector<TRSSession::TransportKind> kinds_;
    std::unique_ptr<TRSSession> session_;
    std::string savedRuntimeDir_;
    // The polling thread's passes; off, tests drive the thread's exchanges by hand.
    bool runPasses_ = false;
};
