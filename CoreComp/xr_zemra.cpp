#include "CoreComp/xr_zemra.h"

#include "CoreComp/rssess/bus_crc.h"
#include "CoreComp/rssess/bus_frame.h"
#include "CoreComp/rssess/rs_session.h"

#include "xmlrpc/fr_rpc.h"

#include <algorithm>
#include <cstring>

TXRZemra::TXRZemra(TRSSession* owner)
    : TXRZemra(owner, std::make_unique<xrpc::TfrRPC>(owner ? owner->Registry()
                                                           : platform::ProcessRegistry()))
{
}

TXRZemra::TXRZemra(TRSSession* owner, std::unique_ptr<xrpc::TBusLink> link, KeyLookup keys)
    : TCommZemraAbstract(owner), link_(std::move(link)), keys_(std::move(keys))
{
    if (!keys_ && owner)
        keys_ = [owner](int address) { return owner->KeyWord(address); };
}

TXRZemra::~TXRZemra() = default;

void TXRZemra::Close()
{
    if (!link_)
        return;
    try {
        link_->Disconnect();
    } catch (const std::exception&) {
        // A link that cannot say goodbye is closed all the same.
    }
}

bool TXRZemra::IsClosed()
{
    try {
        return !link_->IsConnected();
    } catch (const std::exception&) {
        return false;
    }
}

intptr_t TXRZemra::Open(const std::string&, uint32_t, uint32_t, void*, uint32_t, uint32_t, intptr_t)
{
    pending_.clear();
    mask_ = 0;
    return link_->Connect() ? 1 : 0;
}

bool TXRZemra::Write(const void* buffer, uint32_t count, uint32_t& written, void*)
{
    if (link_->IsBusy()) {
        written = 0;
        return false;
    }
    // The session writes the CRC and its filler byte on their own: nothing to send.
    if (count <= 4) {
        written = count;
        return true;
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    std::vector<uint8_t> frame(bytes, bytes + count);
    const uint8_t L = frame[1];
    if (L > count)
        return true;
    const bool coded = (frame[0] & 0x80) != 0;
    const int address = frame[0] & 0x7F;
    mask_ = coded && frame[2] != 0 && keys_
                ? static_cast<uint8_t>((keys_(address) & 0xFF) ^ frame[2])
                : 0;
    if (coded) {
        frame[0] &= 0x7F;
        for (size_t i = 3; i < L; ++i)
            frame[i] ^= mask_;
    }
    frame.resize(L);
    // Whatever the last exchange left unread is no answer to this one.
    pending_.clear();
    link_->ClearReply();
    written = link_->SendFrame(frame) ? count : 0;
    return true;
}

bool TXRZemra::Read(void* buffer, uint32_t count, uint32_t& read, void*)
{
    if (pending_.empty()) {
        if (!link_->HasReply()) {
            read = 0;
            return false;
        }
        std::vector<uint8_t> reply = link_->GetReply();
        link_->ClearReply();
        // A reply that cannot carry its CRC in a bus frame is no answer.
        if (reply.empty() || reply.size() >= corecomp::kMaxAnswer) {
            read = 0;
            return false;
        }
        if (reply.size() > 2)
            for (size_t i = 2; i < reply.size(); ++i)
                reply[i] ^= mask_;
        reply.push_back(corecomp::BusCrc8(reply));
        pending_ = std::move(reply);
    }
    const size_t n = std::min<size_t>(count, pending_.size());
    std::memcpy(buffer, pending_.data(), n);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    read = static_cast<uint32_t>(n);
    return true;
}

int32_t TXRZemra::ClearCommError(uint32_t& errors, platform::ComStat*)
{
    errors = 0;
    return -1;
}
