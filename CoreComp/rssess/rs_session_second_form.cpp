// The console line's exchange (frame mode 2): one request and its answer through the
// transport, the message numbers, the queued-record ring, the pending requests and the
// polling pass of the mode.  Every exchange holds the session lock, so the polling thread and
// a synchronous command never share the line.

#include "CoreComp/rssess/rs_session_console_line.h"
#include "CoreComp/rssess/second_form.h"
#include "CoreComp/rssess/session_log.h"

#include "CoreComp/rssess/bus_frame.h"

using namespace corecomp;

namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFF;
constexpr uint32_t kDrainReadMs = 30;

// The transport as the reader sees it: each read waits up to the answer time for the first
// byte and returns with whatever has come then.
class TransportLine : public SecondFormLine
{
public:
    TransportLine(TCommZemraAbstract& t, platform::Clock& clock, uint32_t answerMs)
        : t_(t), clock_(clock), answerMs_(answerMs)
    {
    }
    int Read(std::span<uint8_t> buffer, bool drain) override
    {
        const uint32_t wait = drain ? kDrainReadMs : answerMs_;
        if (wait != current_) {
            platform::CommTimeouts to{};
            t_.GetCommTimeouts(to);
            to.ReadIntervalTimeout = kMaxDword;
            to.ReadTotalTimeoutMultiplier = kMaxDword;
            to.ReadTotalTimeoutConstant = wait;
            t_.SetCommTimeouts(to);
            current_ = wait;
        }
        uint32_t got = 0;
        if (!t_.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), got, nullptr))
            return t_.IsClosed() ? -1 : 0;
        return static_cast<int>(std::min<size_t>(got, buffer.size()));
    }
    uint64_t Millis() override { return clock_.TickCount(); }

private:
    TCommZemraAbstract& t_;
    platform::Clock& clock_;
    uint32_t answerMs_;
    uint32_t current_ = 0;
};

bool ValidConsole(int a)
{
    return a >= 1 && a <= 127;
}

} // namespace

void TRSSession::SetFrameMode(int mode)
{
    std::lock_guard guard(lock_);
    frameMode_ = mode == 2 ? 2 : 1;
}

bool TRSSession::IsRepeatedMessage(uint8_t console, uint8_t sequence)
{
    std::lock_guard guard(lock_);
    if (!ValidConsole(console))
        return false;
    uint8_t& last = consoles_->consoles.at(console).sequence;
    const bool same = last == sequence;
    last = sequence;
    return same;
}

std::vector<uint8_t> TRSSession::BuildSecondFormRequest(const std::vector<uint8_t>& record)
{
    if (record.size() < 2 || record[1] < 1)
        return {};
    std::vector<uint8_t> frame{record[0], static_cast<uint8_t>(record[1] - 1)};
    // The record's bytes from the second up to its length byte minus 3.
    const size_t end = std::min<size_t>(record.size(), record[1] >= 3 ? record[1] - 2u : 1u);
    for (size_t i = 1; i < end; ++i)
        frame.push_back(record[i]);
    frame.push_back(0xFF);
    return frame;
}

TRSSession::SecondFormResult TRSSession::ExchangeSecondForm(const std::vector<uint8_t>& request,
                                                            uint8_t tag)
{
    SecondFormResult result;
    if (request.size() < 2 || request.size() > 255) {
        result.code = kSecondFormShort;
        return result;
    }
    std::lock_guard guard(lock_);
    if (!LineOpen() && !ReopenPort()) {
        result.code = kSecondFormNoPort;
        return result;
    }
    const uint8_t a = request[0] & 0x7F;
    ConsoleRecord* console = ValidConsole(a) ? &consoles_->consoles.at(a) : nullptr;
    const uint8_t consoleKey = console ? console->key : 0;
    const bool coded = codeSession_ && console && consoleKey != 0;
    const uint8_t address = static_cast<uint8_t>(a | (coded ? 0x80 : 0));

    std::vector<uint8_t> frame;
    if (request.size() == 2) {
        const auto h = MakeSecondFormHead(address, coded ? RandomKey() : 0, request[1]);
        frame.assign(h.begin(), h.end());
    } else {
        uint8_t number = 1;
        if (console) {
            number = console->requestNumber ? console->requestNumber : 1;
            console->requestNumber = NextRequestNumber(number);
        }
        frame = MakeSecondFormLong(address, request[1], tag, number, std::span(request).subspan(2));
    }
    const uint8_t left = CodeSecondForm(frame, codeSession_, 0, consoleKey);
    const std::vector<uint8_t> wire = StuffFrame(frame);
    transport_->PurgeComm(platform::kPurgeRxAbort | platform::kPurgeRxClear);
    WriteToLine(wire, false, 0);

    TransportLine line(*transport_, clock_, static_cast<uint32_t>(settings_.CmdTimeoutConstant));
    SecondFormReader reader(line);
    const auto answer = ReadSecondFormAnswer(
        reader, a, left, consoleKey, [this, a](uint8_t n) { return IsRepeatedMessage(a, n); });
    result.code = answer.code;
    result.answer = answer.frame;
    result.repeated = answer.repeated;
    return result;
}

bool TRSSession::QueueSecondFormRecord(std::vector<uint8_t> request)
{
    std::lock_guard guard(lock_);
    ConsoleLine& l = *consoles_;
    // A full ring refuses: overwriting would make it look empty and lose every record.
    if (request.size() < 2 || l.ringCount == ConsoleLine::kRingSize)
        return false;
    l.ring.at(l.ringWrite) = std::move(request);
    l.ringWrite = (l.ringWrite + 1) % ConsoleLine::kRingSize;
    ++l.ringCount;
    return true;
}

bool TRSSession::AddPendingRequest(uint8_t console, uint8_t kind, std::vector<uint8_t> data)
{
    std::lock_guard guard(lock_);
    if (!ValidConsole(console) || consoles_->pending.size() >= ConsoleLine::kMaxPending)
        return false;
    consoles_->pending.push_back({console, kind, std::move(data)});
    return true;
}

size_t TRSSession::PendingRequestCount() const
{
    std::lock_guard guard(lock_);
    return consoles_->pending.size();
}

size_t TRSSession::ConsoleCommandCount() const
{
    std::lock_guard guard(lock_);
    return consoles_->commands.size();
}

void TRSSession::QueueConsoleCommand(uint8_t console, uint8_t command, std::vector<uint8_t> data)
{
    std::lock_guard guard(lock_);
    if (!ValidConsole(console) || consoles_->commands.size() >= ConsoleLine::kMaxCommands)
        return;
    consoles_->commands.push_back({console, command, std::move(data)});
}

// General commands travel as long requests of kind 3 whose tag is the command.
void TRSSession::SendConsoleCommands()
{
    for (size_t sent = 0; sent < 8 && work_; ++sent) {
        ConsoleLine::Command c;
        {
            std::lock_guard guard(lock_);
            if (consoles_->commands.empty())
                return;
            c = std::move(consoles_->commands.front());
            consoles_->commands.pop_front();
        }
        if (logCommand_) {
            const double now = clock_.Now();
            // Built by appending: GCC 12 at -O3 warns falsely on chains of string operator+.
            std::string text = FormatLogDate(now);
            text += ", ";
            text += FormatLogTime(now);
            text += " Общая команда:";
            text += std::to_string(comPort_);
            text += '.';
            text += std::to_string(c.console);
            text += ".0Данные:";
            text += '!';
            text += std::to_string(c.command);
            for (uint8_t b : c.data) {
                text += '!';
                text += std::to_string(b);
            }
            TLogFileLine("comport" + std::to_string(comPort_) + ".txt", text);
        }
        std::vector<uint8_t> request;
        request.reserve(2 + c.data.size());
        request.push_back(c.console);
        request.push_back(3);
        for (uint8_t b : c.data)
            request.push_back(b);
        if (request.size() == 2)
            request.push_back(0);
        const auto r = ExchangeSecondForm(request, c.command);
        if (r.code == kSecondFormOk) {
            ConsoleAnswered(c.console, r);
        } else {
            std::lock_guard guard(lock_);
            consoles_->stats.at(c.console).Count(r.code);
        }
    }
}

void TRSSession::SendQueuedRecords()
{
    for (;;) {
        std::vector<uint8_t> request;
        {
            std::lock_guard guard(lock_);
            ConsoleLine& l = *consoles_;
            if (l.ringCount == 0 || !work_)
                return;
            request = std::move(l.ring.at(l.ringRead));
            l.ringRead = (l.ringRead + 1) % ConsoleLine::kRingSize;
            --l.ringCount;
        }
        const uint8_t a = request[0] & 0x7F;
        if (logCommand_) {
            std::string line = LogStamp();
            line += "  ЗАПРОС!!! Адрес:";
            line += std::to_string(a);
            line += "  Номер:";
            line += std::to_string(NextConsoleNumber(a));
            line += " Тип:";
            line += std::to_string(request[1]);
            line += " -";
            for (uint8_t b : request) {
                line += ' ';
                line += std::to_string(b);
            }
            LogPort(line);
        }
        // [address] [kind] [command] [data] goes as the long body [command] [number] [data].
        const uint8_t command = request.size() > 2 ? request[2] : 0;
        std::vector<uint8_t> body = request;
        if (body.size() > 2)
            body.erase(body.begin() + 2); // the command travels as the tag
        if (body.size() == 2)
            body.push_back(0); // a long request carries at least one byte of its own
        const auto r = ExchangeSecondForm(body, command);
        if (r.code != kSecondFormOk) {
            if (logCommand_)
                LogPort(LogStamp() + " ОТВЕТ!!!! Ошибка:" + std::to_string(r.code) +
                        " Адрес:" + std::to_string(a) + " Тип:" + std::to_string(request[1]));
            if (ValidConsole(a)) {
                std::lock_guard guard(lock_);
                consoles_->stats.at(a).Count(r.code);
            }
        } else if (ValidConsole(a)) {
            ConsoleAnswered(a, r);
        }
    }
}

void TRSSession::SendPendingRequest()
{
    ConsoleLine::Pending entry;
    size_t index = 0;
    {
        std::lock_guard guard(lock_);
        auto& p = consoles_->pending;
        for (index = 0; index < p.size(); ++index) {
            const ConsoleRecord& c = consoles_->consoles.at(p[index].console);
            if (!p[index].data.empty() && c.address == p[index].console && c.state == 1)
                break;
        }
        if (index == p.size())
            return;
        entry = p[index];
    }
    PollConsoles(entry.console);
    std::vector<uint8_t> request{entry.console, entry.kind};
    request.insert(request.end(), entry.data.begin(), entry.data.end());
    const auto r = ExchangeSecondForm(request, 0);
    const bool keep =
        r.code != kSecondFormOk || (r.answer.size() > 2 && (r.answer[2] & 0x0F) == 10);
    if (r.code == kSecondFormOk) {
        ConsoleAnswered(entry.console, r);
    } else {
        std::lock_guard guard(lock_);
        consoles_->stats.at(entry.console).Count(r.code);
    }
    if (keep)
        return;
    std::lock_guard guard(lock_);
    auto& p = consoles_->pending;
    // The entry may have been dropped meanwhile (a reset); free it only when it is still there.
    for (auto it = p.begin(); it != p.end(); ++it) {
        if (it->console == entry.console && it->kind == entry.kind && it->data == entry.data) {
            p.erase(it);
            break;
        }
    }
}

void TRSSession::RunSecondFormPass()
{
    threadIdle_ = false;
    // At most two consoles marked for probing per pass.
    int probes = 0;
    for (uint8_t a = 1; a <= 127 && probes < 2; ++a) {
        bool marked;
        {
            std::lock_guard guard(lock_);
            marked = consoles_->stats.at(a).probe & 1;
        }
        if (marked) {
            ++probes;
            ProbeConsole(a);
        }
    }
    Checkpoint();
    PollConsoles(0);
    Checkpoint();
    SendPendingRequest();
    SendQueuedRecords();
    SendConsoleCommands();
    Checkpoint();
    // The owner's queue: posted and general commands, read-list operations.
    QueueStep();
    SendBatchSecondForm();
    for (uint8_t a = 1; a <= 127 && work_; ++a) {
        bool due;
        {
            std::lock_guard guard(lock_);
            const ConsoleRecord& c = consoles_->consoles.at(a);
            due = c.pendingEvents && c.state != 0 && c.address == a;
        }
        if (due)
            DrainConsole(a);
    }
    Checkpoint();
    if (work_ && searchEnabled_)
        SearchConsoles();
    threadIdle_ = true;
    ThreadSleep(20);
    Checkpoint();
}

namespace {

// The console an owner's record goes to: a general command carries it in its routing, a frame
// of this line in its address byte; 0 for a record of another line.
uint8_t RecordConsole(const TCommandRecord& r)
{
    if (r.routing[1] == 7)
        return r.routing[0];
    if (r.routing[0] == 0 && !r.frame.empty())
        return r.frame[0] & 0x7F;
    return 0;
}

} // namespace

uint8_t TRSSession::NextConsoleNumber(uint8_t console)
{
    std::lock_guard guard(lock_);
    if (!ValidConsole(console))
        return 1;
    const uint8_t n = consoles_->consoles.at(console).requestNumber;
    return n ? n : 1;
}

// An owner's record that ends without an answer of its console: the error answer
// [console, 0, line, 6, code] goes back with message 1037 (12: it could not be sent; 150: the
// console was reset or found anew; others: the exchange's result code).
void TRSSession::EndConsoleRecord(TCommandRecord& record, uint8_t console, uint8_t code)
{
    record.frame = {console, 0, record.routing[1] == 9 ? record.routing[0] : uint8_t{0}, 6, code};
    record.state = code;
    if (std::this_thread::get_id() == thread_.get_id())
        Deliver(kMsgAsyncAnswer, 0, record.ToPayload());
    else
        SendToOwner(kMsgAsyncAnswer, 0, record.ToPayload());
}

void TRSSession::FailConsoleRecords(uint8_t console, uint8_t code)
{
    if (!ValidConsole(console))
        return;
    std::vector<TCommandRecord> failed;
    {
        std::lock_guard guard(lock_);
        auto isConsoles = [console](const TCommandRecord& r) {
            return !r.sessionOwn && !r.HasProgressRecord() && RecordConsole(r) == console;
        };
        for (TCommandRecord& r : pendingQueue_)
            if (isConsoles(r))
                failed.push_back(std::move(r));
        std::erase_if(pendingQueue_, isConsoles);
        // The batch is the polling thread's own.
        if (std::this_thread::get_id() == thread_.get_id()) {
            for (TCommandRecord& r : batch_)
                if (isConsoles(r))
                    failed.push_back(std::move(r));
            std::erase_if(batch_, isConsoles);
            batchCount_ = batch_.size();
        }
    }
    for (TCommandRecord& r : failed)
        EndConsoleRecord(r, console, code);
}

// The owner's queued commands on the console line: each goes to its console as a long request
// of kind 3 whose tag is the command, [command] [number] [data]; the console's answer is the
// command's, and goes back with message 1037.
void TRSSession::SendBatchSecondForm()
{
    for (size_t handled = 0; handled < 8 && !batch_.empty() && work_; ++handled) {
        TCommandRecord r = std::move(batch_.front());
        TakeFromBatchFront();
        if (r.HasProgressRecord()) {
            Deliver(kMsgSearchProgress, 0, r.extra);
            continue;
        }
        if (r.sessionOwn) {
            // The read list's own requests are first-form requests: not on this line.
            if (r.message == kRecordReadListRequest)
                HandleReadListAnswer(static_cast<uint32_t>(r.guid), r.frame, {});
            continue;
        }
        const uint8_t console = RecordConsole(r);
        std::vector<uint8_t> body; // [command] [data]
        if (r.routing[1] == 7) {
            body = r.frame;
        } else if (console != 0) {
            const std::vector<uint8_t> shaped = SecondFormShape(r.frame);
            if (shaped.size() >= 2)
                body.assign(shaped.begin() + 1, shaped.end());
        }
        bool present = false;
        if (ValidConsole(console)) {
            std::lock_guard guard(lock_);
            const ConsoleRecord& c = consoles_->consoles.at(console);
            present = c.address == console && c.state != 0;
        }
        if (!present || body.empty()) {
            EndConsoleRecord(r, console, 12);
            continue;
        }
        std::vector<uint8_t> request{console, 3};
        request.insert(request.end(), body.begin() + 1, body.end());
        if (request.size() == 2)
            request.push_back(0);
        const uint8_t number = NextConsoleNumber(console);
        const auto result = ExchangeSecondForm(request, body[0]);
        if (result.code != kSecondFormOk) {
            {
                std::lock_guard guard(lock_);
                consoles_->stats.at(console).Count(result.code);
            }
            if (!work_) {
                // Polling stopped meanwhile: the command waits for the next start.
                batch_.push_front(std::move(r));
                batchCount_ = batch_.size();
                return;
            }
            EndConsoleRecord(r, console, result.code);
            continue;
        }
        ConsoleAnswered(console, result);
        if (logCommand_) {
            const uint8_t kind = result.answer.size() > 7 ? result.answer[7]
                                                          : static_cast<uint8_t>(result.answer[2] & 0x0F);
            LogPort(LogStamp() + " ОТВЕТ НА КОМАНДУ!!!! Адрес:" + std::to_string(console) +
                    " Тип:" + std::to_string(kind) + " Номер:" + std::to_string(number));
        }
        r.frame = result.answer;
        Deliver(kMsgAsyncAnswer, 0, r.ToPayload());
    }
}

// A synchronous command in the console form: Work is off for its duration, so the polling
// thread leaves the line alone; the request goes as [address] [kind] [command] [data].
bool TRSSession::SendSecondFormCommand(const std::vector<uint8_t>& request, int tag, int kind)
{
    const std::vector<uint8_t> shaped = SecondFormShape(request);
    if (shaped.size() < 2 || !ValidConsole(shaped[0]))
        return false;
    const bool was = work_;
    SetWork(false);
    std::vector<uint8_t> r{shaped[0], static_cast<uint8_t>(kind)};
    r.insert(r.end(), shaped.begin() + 1, shaped.end());
    const auto result = ExchangeSecondForm(r, static_cast<uint8_t>(tag));
    SetWork(was);
    if (result.code != kSecondFormOk)
        return false;
    answer_ = result.answer;
    return true;
}

// A posted frame goes into the ring of queued records as [address] [3] [command] [data].
bool TRSSession::PostSecondFormFrame(const std::vector<uint8_t>& request)
{
    const std::vector<uint8_t> shaped = SecondFormShape(request);
    if (shaped.size() < 2 || !ValidConsole(shaped[0]))
        return false;
    std::vector<uint8_t> r{shaped[0], 3};
    r.insert(r.end(), shaped.begin() + 1, shaped.end());
    return QueueSecondFormRecord(std::move(r));
}
