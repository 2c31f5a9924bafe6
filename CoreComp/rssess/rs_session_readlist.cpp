// The read list on the polling thread: the owner's queued operations, the pass that reads one
// channel at a time, the typing of new channels, channel states from events, and the reports of
// a lost or unexpected unit's channels.
//
// The list is touched under the session lock only, and the lock is never held while the owner
// hears of something.  Between two steps of the thread only the thread itself changes the list
// (the owner's operations come through the queue), but every step finds its channel again by
// address and number before it writes, so nothing relies on an index kept across an exchange.

#include "CoreComp/rssess/rs_session.h"

#include "CoreComp/rssess/bus_frame.h"
#include "CoreComp/rssess/command_record.h"

namespace {

constexpr uint32_t kOpRemoveItem = 666, kOpRemoveChannel = 667, kOpClear = 668, kOpAdd = 669;
// The session's own requests through the queue, told apart by these codes.
constexpr uint32_t kReqRead = 670, kReqDeviceType = 671, kReqChannelType = 672, kReqArm = 673;
// A type request that has not been answered in this long is taken as lost (a queued entry
// older than a minute counts as expired), so the unit's type is asked again.
constexpr uint32_t kTypeAnswerWaitMs = 60000;

std::vector<uint8_t> ReadRequest(uint8_t address, uint8_t channel, uint8_t command)
{
    if (command == 57)
        return {address, 6, 0, 57, channel, 4};
    return {address, 6, 0, 27, channel, 0};
}

bool IsUnitAddress(int a)
{
    return a >= 1 && a <= 127;
}

} // namespace

// --- settings and the owner's operations (any thread)

void TRSSession::SetReadInterval(uint32_t ms)
{
    readInterval_ = ms;
}

void TRSSession::SetChangeThreshold(int32_t threshold)
{
    changeThreshold_ = threshold;
}

corecomp::TReadList TRSSession::ReadList() const
{
    std::lock_guard guard(lock_);
    return readList_;
}

bool TRSSession::PostReadListOperation(uint32_t code, uint16_t key, uint8_t channel,
                                       const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> frame;
    frame.reserve(3 + data.size());
    frame.push_back(static_cast<uint8_t>(key));
    frame.push_back(static_cast<uint8_t>(key >> 8));
    frame.push_back(channel);
    for (uint8_t b : data)
        frame.push_back(b);
    // The operation's code is its number; the owner's sequence is left alone.
    TCommandRecord r;
    r.used = true;
    r.sessionOwn = true;
    r.message = kRecordReadListOperation;
    r.sequence = code;
    r.word = -1;
    r.frame = std::move(frame);
    std::lock_guard guard(lock_);
    return EnqueueRecord(std::move(r), nullptr);
}

bool TRSSession::AddReadChannel(uint16_t key, uint8_t channel, const std::vector<uint8_t>& data)
{
    return PostReadListOperation(kOpAdd, key, channel, data);
}

bool TRSSession::RemoveReadChannel(uint16_t key, uint8_t channel)
{
    return PostReadListOperation(kOpRemoveChannel, key, channel, {});
}

bool TRSSession::RemoveReadItem(uint16_t key)
{
    return PostReadListOperation(kOpRemoveItem, key, 0, {});
}

bool TRSSession::ClearReadList()
{
    return PostReadListOperation(kOpClear, 0, 0, {});
}

bool TRSSession::PostReadListRequest(uint32_t code, const std::vector<uint8_t>& frame)
{
    // The request's code travels in the GUID field; it takes no number of the owner's.
    TCommandRecord r;
    r.used = true;
    r.sessionOwn = true;
    r.message = kRecordReadListRequest;
    r.guid = static_cast<int32_t>(code);
    r.word = -1;
    r.frame = frame;
    std::lock_guard guard(lock_);
    return EnqueueRecord(std::move(r), nullptr);
}

// Runs f on the listed channel under the lock; false when the list does not hold it or the key
// names no unit.
bool TRSSession::WithListedChannel(
    uint16_t key, uint8_t channel,
    const std::function<void(corecomp::TReadItem&, corecomp::TReadChannel&)>& f)
{
    if (!IsUnitAddress(static_cast<uint8_t>(key)))
        return false;
    std::lock_guard guard(lock_);
    const int item = readList_.FindReadItem(key);
    corecomp::TReadChannel* ch = readList_.Channel(item, readList_.FindReadChannel(item, channel));
    if (!ch)
        return false;
    f(*readList_.Item(item), *ch);
    return true;
}

bool TRSSession::PostChannelTyping(uint16_t key, uint8_t channel)
{
    const auto address = static_cast<uint8_t>(key);
    bool askType = false;
    const uint32_t now = clock_.TickCount();
    // One type request at a time: the flag stays until its answer (or its failure) is in, or
    // until it is too old to come.
    if (!WithListedChannel(key, channel, [&](corecomp::TReadItem& it, corecomp::TReadChannel&) {
            askType = it.type == -1 &&
                      (!it.requestPending || now - it.requestTick >= kTypeAnswerWaitMs);
            if (askType) {
                it.requestPending = true;
                it.requestTick = now;
            }
        }))
        return false;
    if (askType && !PostReadListRequest(kReqDeviceType, {address, 6, 0, 13, 0, 0})) {
        std::lock_guard guard(lock_);
        if (corecomp::TReadItem* it = readList_.Item(readList_.FindReadItem(key)))
            it->requestPending = false;
        return false;
    }
    return PostReadListRequest(kReqChannelType, {address, 6, 0, 57, channel, 1});
}

bool TRSSession::PostChannelRead(uint16_t key, uint8_t channel)
{
    uint8_t command = 27;
    return WithListedChannel(
               key, channel,
               [&](corecomp::TReadItem&, corecomp::TReadChannel& ch) { command = ch.command; }) &&
           PostReadListRequest(kReqRead, ReadRequest(static_cast<uint8_t>(key), channel, command));
}

// The polling thread, for the answer (empty: none came) to one of the session's own requests.
void TRSSession::HandleReadListAnswer(uint32_t code, const std::vector<uint8_t>& request,
                                      const std::vector<uint8_t>& answer)
{
    if (request.size() < corecomp::kMinRequest || !IsUnitAddress(request[0] & 0x7F))
        return;
    const auto address = static_cast<uint8_t>(request[0] & 0x7F);
    const uint8_t channel = request[4];
    // Only the unit asked may answer for its channels.
    const bool heard = answer.size() >= corecomp::kMinAnswer && answer[0] == address;
    switch (code) {
    case kReqRead:
        if (heard)
            HandleChannelValue(address, channel, answer);
        return;
    case kReqDeviceType: {
        std::lock_guard guard(lock_);
        corecomp::TReadItem* it = readList_.Item(readList_.FindReadItem(address));
        if (!it)
            return;
        it->requestPending = false;
        if (heard && answer[2] == 0) {
            it->type = answer[3];
            it->gone = false;
        }
        return;
    }
    case kReqChannelType: {
        if (!heard || answer[2] != 58 || answer[4] == 0 || answer[4] == 255)
            return;
        int32_t type = -1;
        std::optional<corecomp::ChannelTyping> typing;
        WithListedChannel(address, channel,
                          [&](corecomp::TReadItem& it, corecomp::TReadChannel& ch) {
                              type = it.type;
                              typing = corecomp::TypeFromAnswer(type, answer[4]);
                              if (!typing)
                                  return; // type 9 answering 1: the channel stays as it is
                              ch.state = typing->state;
                              ch.command = typing->command;
                              ch.lastValue = -1;
                          });
        if (!typing)
            return;
        if (Deliver(kMsgSessionReport, kReportAnalogEventType,
                    corecomp::AnalogTypeRecord(address, channel, type, typing->state)))
            PostReadListRequest(kReqArm, {address, 6, 0, 25, channel, 0});
        return;
    }
    case kReqArm:
        if (!heard)
            return;
        RelayEventAnswer(answer);
        if (Deliver(kMsgSessionReport, kReportEventAnswer, answer))
            ReadListEvent(answer, true); // with the list on: the channel's state, and a read
        return;
    default:
        return;
    }
}

void TRSSession::ApplyQueuedReadListOperations()
{
    if (work_ || !threadIdle_)
        return;
    std::vector<TCommandRecord> operations;
    {
        std::lock_guard guard(lock_);
        auto isOperation = [](const TCommandRecord& r) {
            return r.sessionOwn && r.message == kRecordReadListOperation;
        };
        for (TCommandRecord& r : pendingQueue_)
            if (isOperation(r))
                operations.push_back(std::move(r));
        std::erase_if(pendingQueue_, isOperation);
    }
    for (const TCommandRecord& r : operations)
        ApplyReadListOperation(r.sequence, r.frame);
}

// The polling thread, from its queue step.
void TRSSession::ApplyReadListOperation(uint32_t code, const std::vector<uint8_t>& d)
{
    if (d.size() < 3)
        return;
    const uint16_t key = static_cast<uint16_t>(d[0] | d[1] << 8);
    std::lock_guard guard(lock_);
    switch (code) {
    case kOpAdd:
        readList_.AddReadChannel(key, d[2], std::span<const uint8_t>(d).subspan(3));
        break;
    case kOpRemoveChannel:
        readList_.RemoveReadChannel(key, d[2]);
        break;
    case kOpRemoveItem:
        readList_.RemoveReadItem(key);
        break;
    case kOpClear:
        readList_.ClearReadList();
        break;
    default:
        break;
    }
}

// --- the pass

bool TRSSession::IsReadDue(uint32_t startTick) const
{
    const uint32_t interval = readInterval_;
    return interval != 0 && clock_.TickCount() - startTick >= interval;
}

bool TRSSession::ReadListOn() const
{
    std::lock_guard guard(lock_);
    return readInterval_ != 0 && !readList_.Empty();
}

std::vector<uint8_t> TRSSession::ReadAnswerInto(const std::vector<uint8_t>& frame)
{
    std::lock_guard guard(lock_);
    if (frame.size() < corecomp::kMinRequest)
        return {};
    if (!ExchangeFrame(PrepareFrame(frame), true, 0, 0, false))
        return {};
    return lastFrameAnswer_.size() >= corecomp::kMinAnswer ? lastFrameAnswer_
                                                           : std::vector<uint8_t>{};
}

void TRSSession::ReadListStep()
{
    uint8_t address = 0, channel = 0, command = 27;
    bool typed = false;
    int item = -1, index = -1;
    {
        std::lock_guard guard(lock_);
        readStart_ = clock_.TickCount();
        const std::optional<corecomp::ReadTarget> t = readList_.NextChannel();
        if (!t)
            return;
        item = static_cast<int>(t->item);
        index = static_cast<int>(t->channel);
        const corecomp::TReadItem& it = readList_.Items()[t->item];
        const corecomp::TReadChannel& ch = it.channels[t->channel];
        address = static_cast<uint8_t>(it.key);
        channel = ch.channel;
        command = ch.command;
        typed = ch.state != 0 && it.type != -1;
        if (!IsUnitAddress(address) || absent_.at(address))
            return;
    }
    if (!typed) {
        if (CheckReadItem(item, index) != -1)
            return;
        // The unit refuses the channel: it leaves the list, with its item when it was the last.
        bool last;
        {
            std::lock_guard guard(lock_);
            const int i = readList_.FindReadItem(address);
            last = i >= 0 && readList_.Items()[static_cast<size_t>(i)].channels.size() <= 1;
        }
        if (last)
            RemoveReadItem(address);
        else
            RemoveReadChannel(address, channel);
        return;
    }
    const std::vector<uint8_t> answer = ReadAnswerInto(ReadRequest(address, channel, command));
    if (!answer.empty())
        HandleChannelValue(address, channel, answer);
}

void TRSSession::HandleChannelValue(uint8_t address, uint8_t channel,
                                    const std::vector<uint8_t>& answer)
{
    const std::optional<int32_t> value = corecomp::ChannelValueOf(answer);
    if (!value)
        return;
    std::vector<uint8_t> record;
    {
        std::lock_guard guard(lock_);
        const int item = readList_.FindReadItem(address);
        corecomp::TReadChannel* ch =
            readList_.Channel(item, readList_.FindReadChannel(item, channel));
        if (!ch)
            return;
        if (!corecomp::ApplyChannelValue(*ch, *value, changeThreshold_, clock_.TickCount()))
            return;
        record = corecomp::AnalogValueRecord(answer, channel, address, ch->state, ch->data);
    }
    Deliver(kMsgSessionReport, kReportAnalogValue, std::move(record));
}

// The typing of one channel: the unit's type when it is not known, the channel's state where
// the type needs it, the report, the arming command and its answer.  -1: the unit refuses the
// channel.
int TRSSession::CheckReadItem(int index, int channelIndex)
{
    uint8_t address, channel;
    int32_t type;
    {
        std::lock_guard guard(lock_);
        const corecomp::TReadChannel* ch = readList_.Channel(index, channelIndex);
        if (!ch)
            return 0;
        const corecomp::TReadItem& it = readList_.Items()[static_cast<size_t>(index)];
        address = static_cast<uint8_t>(it.key);
        channel = ch->channel;
        type = it.type;
    }
    if (!IsUnitAddress(address))
        return 0;
    if (type == -1) {
        type = ReadDeviceType(address);
        if (type < 0)
            return 0; // not heard: tried again on a later pass
        std::lock_guard guard(lock_);
        if (corecomp::TReadItem* it = readList_.Item(readList_.FindReadItem(address))) {
            it->type = type;
            it->gone = false;
        }
    }
    uint8_t s = 255;
    if (type != 1 && type != 2 && type != 4 && type != 11)
        s = ReadState57({address, 6, 0, 57, channel, 1});
    const std::optional<corecomp::ChannelTyping> typing = corecomp::TypeFromCheck(type, s);
    if (!typing)
        return -1;
    {
        std::lock_guard guard(lock_);
        const int item = readList_.FindReadItem(address);
        corecomp::TReadChannel* ch =
            readList_.Channel(item, readList_.FindReadChannel(item, channel));
        if (!ch)
            return 0;
        ch->state = typing->state;
        ch->command = typing->command;
        ch->lastValue = -1;
    }
    if (typing->state == 0)
        return 0; // no type yet: asked again on a later pass
    if (!Deliver(kMsgSessionReport, kReportAnalogEventType,
                 corecomp::AnalogTypeRecord(address, channel, type, typing->state)))
        return 0;
    const std::vector<uint8_t> armed = ReadAnswerInto({address, 6, 0, 25, channel, 0});
    if (armed.empty())
        return 0;
    RelayEventAnswer(armed);
    if (!Deliver(kMsgSessionReport, kReportEventAnswer, armed))
        return 0;
    ReadListEvent(armed, true);
    return 0;
}

void TRSSession::ReadListBeforeOwnersCommand(const std::vector<uint8_t>& request)
{
    if (request.size() <= 5 || request[3] != 25 || !work_)
        return;
    int item = -1, index = -1;
    {
        std::lock_guard guard(lock_);
        item = readList_.FindReadItem(request[0] & 0x7F);
        index = readList_.FindReadChannel(item, request[4]);
    }
    if (item >= 0 && index >= 0)
        CheckReadItem(item, index);
}

// The read list sees the answers to the owner's commands too: a value read of a listed channel
// reports its value, and an event answer sets its channel's state as the unit's own events do.
void TRSSession::ReadListAfterOwnersCommand(const std::vector<uint8_t>& request,
                                            const std::vector<uint8_t>& answer)
{
    if (answer.empty() || request.size() <= 4 || answer[0] != (request[0] & 0x7F))
        return;
    if (request[3] == 27 || request[3] == 57)
        HandleChannelValue(answer[0], request[4], answer);
    else if (corecomp::ChannelEventOf(answer))
        ReadListEvent(answer, request[3] == 25);
}

// Step 5: an event answer sets the state of the channel it names.
void TRSSession::ReadListEvent(const std::vector<uint8_t>& answer, bool arming)
{
    const std::optional<corecomp::ChannelEvent> ev = corecomp::ChannelEventOf(answer);
    if (!ev || !work_ || !ReadListOn() || !IsUnitAddress(answer[0]))
        return;
    const uint8_t address = answer[0];
    const int32_t state = corecomp::EventChannelState(ev->code, answer[2], arming);
    int32_t saved = 0;
    uint8_t command = 27;
    bool listed = false;
    {
        std::lock_guard guard(lock_);
        const int item = readList_.FindReadItem(address);
        if (corecomp::TReadChannel* ch =
                readList_.Channel(item, readList_.FindReadChannel(item, ev->channel))) {
            listed = true;
            saved = ch->state;
            command = ch->command;
            ch->lastValue = -1;
            ch->state = state;
        }
    }
    if (listed) {
        const std::vector<uint8_t> read =
            ReadAnswerInto(ReadRequest(address, ev->channel, command));
        if (!read.empty())
            HandleChannelValue(address, ev->channel, read);
        std::lock_guard guard(lock_);
        const int item = readList_.FindReadItem(address);
        if (corecomp::TReadChannel* ch =
                readList_.Channel(item, readList_.FindReadChannel(item, ev->channel));
            ch && ch->state == state)
            ch->state = saved;
        return;
    }
    if (state == -8 || state == -9)
        return;
    // A channel the list does not hold has no record: the event's state goes with the value,
    // without a last value and without data.
    const std::vector<uint8_t> read = ReadAnswerInto(ReadRequest(address, ev->channel, 27));
    if (read.empty() || !corecomp::ChannelValueOf(read))
        return;
    Deliver(kMsgSessionReport, kReportAnalogValue,
            corecomp::AnalogValueRecord(read, ev->channel, address, state, {}));
}

// Step 6: every channel of a lost (-2) or unexpected (-3) unit is reported and must be typed
// again when the unit is back.
void TRSSession::ReadListDeviceGone(uint8_t address, int32_t state)
{
    std::vector<std::vector<uint8_t>> records;
    {
        std::lock_guard guard(lock_);
        corecomp::TReadItem* it = readList_.Item(readList_.FindReadItem(address));
        // A unit that keeps answering foreign is reported once, until it is typed again.
        if (!it || it->gone)
            return;
        it->gone = true;
        for (corecomp::TReadChannel& ch : it->channels) {
            records.push_back(corecomp::AnalogValueRecord({}, ch.channel, address, state, ch.data));
            ch.state = 0;
        }
        it->type = -1;
    }
    for (std::vector<uint8_t>& r : records)
        if (!Deliver(kMsgSessionReport, kReportAnalogValue, std::move(r)))
            return;
}
