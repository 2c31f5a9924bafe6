#include "CoreComp/com_zemra.h"

#include "CoreComp/rssess/rs_session.h"

#include "platform/last_error.h"
#include "platform/registry.h"

TComZemra::~TComZemra()
{
    Close();
}

void TComZemra::Close()
{
    if (handle_ == kInvalidHandle)
        return;
    port_.Close();
    handle_ = kInvalidHandle;
}

bool TComZemra::IsClosed()
{
    // In driver-service mode the session uses no port of its own and must not reopen one.
    if (owner_ && owner_->ServiceMode())
        return false;
    return handle_ == kInvalidHandle;
}

intptr_t TComZemra::Open(const std::string& fileName, uint32_t, uint32_t, void*, uint32_t, uint32_t,
                         intptr_t)
{
    Close();
    // "COM5" is looked up in the session's own registry, so a session given a registry of its
    // own finds its ports there.
    const auto path = platform::ResolveComPort(
        owner_ ? owner_->SessionRegistry() : platform::ProcessRegistry(), fileName);
    if (!path) {
        platform::SetLastError(platform::kErrorFileNotFound);
        return handle_;
    }
    if (port_.Open(*path))
        handle_ = port_.Handle();
    return handle_;
}

int32_t TComZemra::GetCommState(platform::Dcb& dcb)
{
    return port_.GetCommState(dcb) ? 1 : 0;
}

int32_t TComZemra::SetCommState(const platform::Dcb& dcb)
{
    return port_.SetCommState(dcb) ? 1 : 0;
}

int32_t TComZemra::GetCommTimeouts(platform::CommTimeouts& timeouts)
{
    return port_.GetCommTimeouts(timeouts) ? 1 : 0;
}

int32_t TComZemra::SetCommTimeouts(const platform::CommTimeouts& timeouts)
{
    return port_.SetCommTimeouts(timeouts) ? 1 : 0;
}

int32_t TComZemra::SetupComm(uint32_t inQueue, uint32_t outQueue)
{
    return port_.SetupComm(inQueue, outQueue) ? 1 : 0;
}

int32_t TComZemra::EscapeCommFunction(uint32_t func)
{
    return port_.EscapeCommFunction(func) ? 1 : 0;
}

int32_t TComZemra::PurgeComm(uint32_t flags)
{
    return port_.PurgeComm(flags) ? 1 : 0;
}

bool TComZemra::Write(const void* buffer, uint32_t count, uint32_t& written, void*)
{
    return port_.Write(buffer, count, written);
}

bool TComZemra::Read(void* buffer, uint32_t count, uint32_t& read, void*)
{
    return port_.Read(buffer, count, read);
}

int32_t TComZemra::ClearCommError(uint32_t& errors, platform::ComStat* stat)
{
    return port_.ClearCommError(errors, stat) ? 1 : 0;
}
