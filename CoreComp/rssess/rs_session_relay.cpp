// The relay of event answers to the units that must hear them (the rules are in
// event_relay.cpp): the session's side, with the relay sequence and counter.  The polling
// thread alone calls these, so the sequence and the counter need no lock.

#include "CoreComp/rssess/rs_session.h"

#include "CoreComp/rssess/event_relay.h"

uint8_t TRSSession::NextRelaySequence()
{
    if (relayRestart_) {
        relayRestart_ = false;
        relaySequence_ = 0;
        return 0;
    }
    relaySequence_ = relaySequence_ == 255 ? 1 : static_cast<uint8_t>(relaySequence_ + 1);
    return relaySequence_;
}

bool TRSSession::RelayEventAnswer(const std::vector<uint8_t>& answer)
{
    corecomp::RelayContext c;
    c.typeOf = [this](int a) { return GetDeviceType(a); };
    c.versionOf = [this](int a) { return FirmwareVersion(a); };
    {
        std::lock_guard guard(lock_);
        c.noTranslateWalk = settings_.NoTranslateWalk != 0;
    }
    c.now = corecomp::SplitDate(clock_.Now());
    c.nextSequence = [this] { return NextRelaySequence(); };
    c.relayCounter = &relayCounter_;
    const corecomp::RelayResult r = corecomp::BuildRelayFrames(answer, c);
    for (const std::vector<uint8_t>& f : r.frames)
        PostFrame(f);
    return r.forwarded;
}
