#pragma once
// A real session with Work on against simulated units on an in-process pty, its owner channel
// served by the test's thread: the fixture the polling end-to-end tests share.

#include "sim/pty_server.h"

#include "CoreComp/rssess/rs_session.h"
#include "platform/owner_channel.h"
#include "scratch_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace simtest {

class SessionOnSim : public ::testing::Test
{
protected:
    // Serves bus_ (made and filled by the caller) on a pty registered as COM<com> and makes
    // the session for it; found, lost and unexpected units go to log_ as "new 1", "lost 1",
    // "false 1".
    void StartLine(int com)
    {
        server_ = std::make_unique<sim::PtyServer>(
            *bus_, sim::PtyServerOptions{"", Scratch().File("registry.reg"), com, ""});
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
        TRSSession::Collaborators c;
        c.owner = &owner_;
        session_ = std::make_unique<TRSSession>(std::move(c));
        S().SetComPort(com);
        S().OnNewDevice = [this](uint8_t a) { log_.push_back("new " + std::to_string(a)); };
        S().OnLostDevice = [this](uint8_t a) { log_.push_back("lost " + std::to_string(a)); };
        S().OnFalseDevice = [this](uint8_t a) { log_.push_back("false " + std::to_string(a)); };
    }
    void TearDown() override
    {
        session_.reset();
        if (server_)
            server_->Stop();
    }
    TRSSession& S() { return *session_; }
    bool Await(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        return owner_.WaitServing(done, limit);
    }
    size_t Count(const std::string& entry) const
    {
        return static_cast<size_t>(std::count(log_.begin(), log_.end(), entry));
    }

    std::unique_ptr<sim::Bus> bus_;
    std::unique_ptr<sim::PtyServer> server_;
    platform::OwnerChannel owner_;
    std::unique_ptr<TRSSession> session_;
    std::vector<std::string> log_;
};

} // namespace simtest
