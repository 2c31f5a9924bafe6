#pragma once
// TRSSession: the bus session of one RS-485 line.  It owns one transport, frames, codes and
// checks every request and answer, retries synchronous commands, keeps the bus layer's registry
// settings, writes the traffic logs and reports to its owner through an OwnerChannel.
//
// Threads: construct, destroy and call everything public from the owner's thread.  The polling
// thread is created parked and runs only while Work is on; the line and the settings are then
// shared under the session lock, the flags are atomics.  Event handlers (On...) run in the
// owner's thread: messages from the polling thread travel through the owner channel.
//
// Lifetime: the clock, the registry and the owner channel must outlive the session.  With an
// owner channel the session installs its own handler on it and hands it back to
// Collaborators::ownerHandler when it is destroyed; destruction joins the polling thread while
// serving the channel, so a delivery in flight cannot block it.
//
// Logs: "LogCommand<port>.txt" (and the other session logs) are written only while the registry
// value LogCommand exists, in the working folder, or in $VENDAXO_LOG_DIR when that is set.

#include "CoreComp/comm_zemra.h"

#include "CoreComp/rssess/command_record.h"
#include "CoreComp/rssess/console_table.h"
#include "CoreComp/rssess/read_list.h"
#include "CoreComp/rssess/zones.h"

#include "platform/bus_driver.h"
#include "platform/clock.h"
#include "platform/named_mutex.h"
#include "platform/owner_channel.h"
#include "platform/registry.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

// Messages the session sends to its owner, and the report codes of the first.
enum : uint32_t {
    kMsgSessionReport = 1035,
    kMsgAsyncAnswer = 1037,
    kMsgSearchProgress = 1064,
    kMsgStatistics = 1724,
};
enum : uintptr_t {
    kReportDeviceLost = 10,
    kReportDeviceFound = 11,
    kReportFalseDevice = 12,
    kReportEventAnswer = 14,
    kReportAnalogValue = 15,
    kReportAnalogEventType = 16,
    kReportBadLoop = 20,
    kReportZoneMark = 25,
    kReportDeviceFoundWithType = 26,
    kReportDeviceLostRecord = 27,
    kReportDeviceList = 40,
    kReportCodeCardRead = 50,
    kStatisticsAnswer = 123123,
};

// The bus layer's registry values (under \Software\KAVEX\ZEMRA\RS), as the session holds them.
struct TBusSettings
{
    int32_t IntervalTimeout = 0;
    bool SmartPI = false;
    bool AllPause = false;
    int32_t TimeoutMultiplier = 0;
    int32_t TimeoutConstant = 30;
    int32_t CmdIntervalTimeout = 0;
    int32_t CmdTimeoutMultiplier = 0;
    int32_t CmdTimeoutConstant = 600;
    int32_t DeviceTimeout = 15;
    int32_t SecLostDevice = 0;
    int32_t ContractNoAnswer = 15;
    int32_t ConfirmationTimeOut = 2;
    int32_t SpeedRSS = 9600;
    int32_t PauseFromSession = 0;
    int32_t TotalWriteConstant = 1000;
    int32_t CmdTotalWriteConstant = 1000;
    bool NoTime = false;
    int32_t IsOneWriteFile = 0;
    int32_t StartTimeout = 4;
    int32_t TailInUS = 400;
    int32_t StopBits = 0;
    int32_t PauseTotalCommand = 0;
    int32_t CmdChecked = 1;
    bool LogCommand = false;
    int32_t NoTranslateWalk = 0;
};

inline constexpr const char* kBusKey = "SOFTWARE\\KAVEX\\ZEMRA\\RS";
// The longest time or pause taken from the registry, in ms (TailInUS: in microseconds); also
// the longest wait of one try for its answer, however its per-byte part and constant add up.
inline constexpr int32_t kMaxRegistryMs = 60000;

using ConsoleRecordCopy = corecomp::ConsoleRecord;

class TRSSession
{
public:
    enum class TransportKind { Serial, Ethernet, XmlRpc };
    // Creates the transport that the registry chose.  May return nullptr for a kind that it
    // cannot make; the session then falls back to the serial transport.
    using TransportFactory =
        std::function<std::unique_ptr<TCommZemraAbstract>(TRSSession& session, TransportKind kind)>;
    using BusDriverOpener = std::function<std::unique_ptr<platform::BusDriverDevice>()>;
    // Creates the driver service's automation object by its programmatic identifier; nullptr
    // when there is no such service.
    using AutomationFactory =
        std::function<std::unique_ptr<platform::AutomationObject>(const std::string& progId)>;

    struct Collaborators
    {
        platform::Clock* clock = nullptr;           // nullptr: platform::SystemClock()
        platform::RegistryFile* registry = nullptr; // nullptr: platform::ProcessRegistry()
        platform::OwnerChannel* owner = nullptr;    // the owner window; nullptr: none
        // The owner's own handler, which gets every message that is not the session's.
        platform::OwnerChannel::Handler ownerHandler;
        TransportFactory transportFactory; // empty: the built-in factory
        BusDriverOpener busDriver;         // empty: platform::OpenBusDriver
        // Creates the driver service's automation objects; empty: platform::CreateAutomationObject.
        AutomationFactory automation;
        // false: the polling thread stays parked even while Work is on, for tests that drive
        // the thread's exchanges themselves.
        bool runPasses = true;
    };

    TRSSession();
    explicit TRSSession(Collaborators collaborators);
    // The second constructor: SecLostDevice and ConfirmationTimeOut are preset (15 and 2)
    // before the registry is read.  With a window control its channel gets the session's
    // messages unchanged (1035, 1037, 1064, 1724 with their payloads) and keeps its handler;
    // the published events are then the control's to raise (DispatchSessionMessage).
    TRSSession(Collaborators collaborators, platform::OwnerChannel* windowControl);
    // Ends polling (joining the thread while serving the owner channel), releases the line and
    // the owner channel; a report the thread is making meanwhile still reaches the owner.
    // The destructor does the same without that last report; after Shutdown it does nothing.
    void Shutdown();
    ~TRSSession();
    TRSSession(const TRSSession&) = delete;
    TRSSession& operator=(const TRSSession&) = delete;

    // --- published properties
    int ComPort() const { return comPort_; }
    void SetComPort(int port);
    bool Work() const { return work_; }
    void SetWork(bool on);
    uint8_t SearchPriority() const { return searchPriority_; }
    void SetSearchPriority(uint8_t priority);
    bool CodeSession() const { return codeSession_; }
    void SetCodeSession(bool on) { codeSession_ = on; }

    // --- published events, in their published order; an unassigned event is skipped
    std::function<void(const std::vector<uint8_t>& event)> OnNewEvent;
    std::function<void(uint8_t addr)> OnLostDevice;
    std::function<void(uint8_t addr)> OnNewDevice;
    std::function<void(uint8_t addr)> OnFalseDevice;
    // Data: the channel's own bytes, as the owner gave them with AddReadChannel.
    std::function<void(const std::vector<uint8_t>& event, uint8_t numEvent, uint8_t numShl,
                       int32_t typeEvent, const std::vector<uint8_t>& data, int32_t lData)>
        OnNewADC;
    std::function<void(uint8_t addrDevice, uint8_t addrShl, int32_t typeDevice,
                       int32_t typeEventShl)>
        OnNewTypeEventADC;
    // answer: the record's message part: msg its message, wparam its number, payload the
    // answer frame (empty when none came).
    std::function<void(uint32_t postHandle, int32_t fast, int32_t guid, int64_t fullAddress,
                       const platform::OwnerMessage& answer)>
        OnAsynchAnswer;
    std::function<void(uint8_t addrDev, uint8_t typeLoop, const std::vector<uint8_t>& pku)>
        OnRSDeviceBadLoopProc;
    std::function<void(int32_t address, const std::array<uint8_t, 8>& codes, int64_t rpcCommandId)>
        OnReadCodeCards;
    std::function<void(const std::vector<int32_t>& zoneIndexes, int32_t size)> OnStatisticAnswer;
    std::function<void(int64_t addressDev, int32_t devType, int32_t version, int32_t state,
                       int32_t position)>
        OnProgressSearchDevice;
    // Not published: the records of report codes 26, 27, 40 and 25.
    std::function<void(const std::vector<uint8_t>&record)> OnDeviceFoundRecord, OnDeviceLostRecord,
        OnDeviceListRecord, OnZoneMarkRecord;
    // Not published: called with the new port after SetComPort changed it.
    std::function<void(int port)> OnPortChanged;

    // --- settings, transport and line
    void ReadRegistrySettings();
    // The owner's thread only (the polling thread reads the settings under the lock).
    const TBusSettings& Settings() const { return settings_; }
    // Whether the registry value LogCommand exists; any thread.
    bool LogCommandOn() const { return logCommand_; }
    void SetRetryCount(uint16_t n) { retryCount_ = n; }
    void SetSecondRetryCount(uint16_t n) { secondRetryCount_ = n; }
    uint16_t RetryCount() const { return retryCount_; }
    uint16_t SecondRetryCount() const { return secondRetryCount_; }
    void CreateTransport();
    TCommZemraAbstract& Transport() { return *transport_; }
    platform::RegistryFile& Registry() { return registry_; }
    bool IsEthernet() const { return ethernet_; }
    bool ServiceMode() const { return serviceMode_; }
    // The clock and the registry the session was given; its transports use these too.
    platform::Clock& SessionClock() const { return clock_; }
    platform::RegistryFile& SessionRegistry() const { return registry_; }
    // A transport's note for the port log (written only while LogCommand is set); called from
    // inside an exchange, under the lock.
    void LogTransportNote(const std::string& utf8Line) { LogPort(utf8Line); }
    bool ReopenPort();
    void ClosePort();
    void ResetPort();
    // The line can be used: the transport is open, or the bus driver has the port.
    bool LineOpen();
    // "COM9", "\\.\COM10".
    static std::string PortName(int port);

    // --- per-address state (addresses 1..127; others read 0 and are not stored)
    uint16_t GetDeviceType(int address) const;
    void SetDeviceType(int address, uint16_t type);
    uint16_t KeyWord(int address) const;
    void SetKeyWord(int address, uint16_t word);
    uint32_t FirmwareVersion(int address) const;
    void SetFirmwareVersion(int address, uint32_t version);
    uint8_t PollWeight(int slot) const; // slots 1..128
    bool IsAbsent(int address) const;
    void SetAbsent(int address, bool absent);
    uint32_t NoAnswerCount(int bank, int address) const; // bank 0 or 1, address 0..127
    double LastAnswerTime(int address) const;            // address 0..127

    // --- frames (the frame layer)
    std::vector<uint8_t> PrepareFrame(const std::vector<uint8_t>& request);
    bool ExchangeFrame(const std::vector<uint8_t>& request, bool waitAnswer, int keepTimeout,
                       uint32_t readTimeout, bool noAcknowledge);
    static bool CheckAnswerCommand(int requestCommand, int answerCommand);
    std::vector<uint8_t> LastFrameAnswer() const;
    bool KeysExpired();
    int ReadDeviceType(uint8_t address);
    uint8_t ReadState57(const std::vector<uint8_t>& frame);

    // --- command exchanges
    bool SendCommand(const std::vector<uint8_t>& request, bool waitAnswer, bool noAcknowledge,
                     int extra1, int extra2);
    const std::vector<uint8_t>& Answer() const { return answer_; }
    // answer, when given, gets the accepted answer (empty when none came).
    bool ThreadExchange(const std::vector<uint8_t>& request, bool waitAnswer,
                        std::vector<uint8_t>* answer = nullptr);
    bool ThreadCommand(const std::vector<uint8_t>& request, bool waitAnswer, int keepTimeout);
    void AddPendingFrame(std::vector<uint8_t> frame);
    size_t PendingCount() const;
    void DrainCommandQueue();

    struct Counters
    {
        uint32_t commands = 0, frames = 0, failedTries = 0, failedCommands = 0, events = 0;
    };
    Counters ExchangeCounters() const;

    // The hand-off points to the polling pass and the command queue.  Until they are set, a
    // queued command is kept in DeferredCommands() and nothing is polled.
    struct QueuedCommand
    {
        uint32_t sequence = 0;
        std::vector<uint8_t> frame;
    };
    std::function<void(uint8_t address)> PollDeviceEventsHook;
    // Called on the polling thread between two tries of one command, without the session
    // lock (which the thread takes per try, so posts and getters never wait out a retry run).
    std::function<void()> BetweenTriesHook;
    std::function<void(QueuedCommand command)> QueueCommandHook;
    // Called by the key renewal before each of its exchanges, holding no lock.
    std::function<void(uint8_t address)> RenewKeysStepHook;
    std::vector<QueuedCommand> DeferredCommands() const;
    static constexpr size_t kMaxDeferredCommands = 300;
    // One process-wide sequence, wrapping from 20,000,000 to 0.
    static uint32_t NextSequenceNumber();
    // Makes number the current value of the sequence and returns it.
    static uint32_t SetSequenceNumber(uint32_t number);

    // --- the polling thread, its schedule and the search (rs_session_thread.cpp,
    // rs_session_poll.cpp).  All of it runs on the polling thread while Work is on; the
    // accessors below may be called from any thread.
    void BuildPollSchedule();
    void PollDeviceEvents(uint8_t address); // 0: the next address of the schedule
    bool RequestDeviceType(uint8_t address);
    void SearchNextDevice();
    // The long form of a short event answer with its time stamp; the answer itself when it
    // has none, or when the long form would not fit an event text.
    std::vector<uint8_t> ExpandShortEvent(const std::vector<uint8_t>& answer);
    void MarkAllAbsent();
    uint8_t NextScheduledAddress();  // driver-service mode
    void HandleServiceEventAnswer(); // driver-service mode
    bool ServiceExchange(const std::vector<uint8_t>& request, bool waitAnswer);
    bool AnyDevicePresent() const;
    void SetPollWeight(int slot, uint8_t weight); // slots 1..128; 128 is SearchPriority's
    std::vector<uint8_t> PollSchedule() const;    // the slots in use, 0 = empty
    void SetEventExpansion(bool on) { eventExpansion_ = on; }
    void SetSearchEnabled(bool on) { searchEnabled_ = on; }
    void SetBadLineThreshold(int percent) { badLineThreshold_ = percent; }
    void SetKeySilence(int32_t seconds);
    struct PollStatistics
    {
        uint32_t requests = 0, noAnswers = 0;
        double ratio = 0;
        bool reported = false;
        uint32_t reportTick = 0; // monotonic ms of the last bad-line report
    };
    PollStatistics Statistics(int address) const;
    struct ThreadCounters
    {
        uint32_t polls = 0, missingAnswers = 0, reopenFailures = 0;
    };
    ThreadCounters PollCounters() const { return {pollCount_, missingAnswers_, reopenFailures_}; }
    // Called with every event answer the thread takes, before the owner gets it; the read
    // lists' operations 666..669 are handed to the second hook with their data.
    std::function<void(const std::vector<uint8_t>& answer)> RelayEventAnswerHook;
    std::function<void(uint32_t code, const std::vector<uint8_t>& data)> ReadListOperationHook;

    // --- the relay of event answers (rs_session_relay.cpp); the polling thread only
    bool RelayEventAnswer(const std::vector<uint8_t>& answer);
    uint8_t NextRelaySequence();
    uint8_t RelayCounter() const { return relayCounter_; }

    // --- the read list (rs_session_readlist.cpp).  The operations are queued (any thread) and
    // take effect on the polling thread; false when the queue refused them.
    bool AddReadChannel(uint16_t key, uint8_t channel, const std::vector<uint8_t>& data);
    bool RemoveReadChannel(uint16_t key, uint8_t channel);
    bool RemoveReadItem(uint16_t key);
    bool ClearReadList();
    corecomp::TReadList ReadList() const; // a copy
    // While Work is off and the thread is parked: takes the queued operations now, in order.
    void ApplyQueuedReadListOperations();
    // Posted through the queue (request codes 671/672, then 673 for the arming, and 670 for a
    // read): the channel's type, and its value.  False when the list holds no such channel or
    // the queue refused.
    bool PostChannelTyping(uint16_t key, uint8_t channel);
    bool PostChannelRead(uint16_t key, uint8_t channel);
    void SetReadInterval(uint32_t ms); // 0: no read-list pass
    void SetChangeThreshold(int32_t threshold);
    bool IsReadDue(uint32_t startTick) const;
    // --- zones and credential readers (rs_session_zones.cpp); the owner's thread
    void AddZone(int line, int address, int channel, int32_t threshold, int32_t kind);
    std::vector<corecomp::TADCZone> Zones() const; // a copy
    void SetZoneInterval(uint32_t ms);             // 0: no zone poll; else lets it run
    int AddCodeCardReader(uint8_t address, uint8_t reader, int32_t kind, int64_t id);
    std::optional<corecomp::TReadingEntry> CodeCardReader(int index) const;

    // The polling thread only.
    void ReadListStep();
    int CheckReadItem(int index, int channelIndex);
    std::vector<uint8_t> ReadAnswerInto(const std::vector<uint8_t>& frame);

    // --- queued and general commands (rs_session_queue.cpp); any thread
    // The bound of the pending queue and the thread's batch together; a post past it is
    // refused with -1.
    static constexpr size_t kMaxPendingCommands = 1050; // three growths of 350 entries
    struct PostOptions
    {
        uint8_t extraLength = 0;
        std::optional<std::array<uint8_t, 2>> routing; // nullopt: this line, no routing
        int64_t fullAddress = 0;
        uint32_t deviceWord = 0;       // the target of a general command
        uint32_t sequenceOverride = 0; // 0: the next number
        int32_t guid = 0;
        uint8_t fast = 0;
        std::vector<uint8_t> extra; // empty: none
    };
    int32_t PostCommand(uint32_t postHandle, uint32_t message, const std::vector<uint8_t>& frame,
                        const PostOptions& options);
    bool PostFrame(const std::vector<uint8_t>& request);
    void GeneralCommand(uint8_t address, uint8_t command, const std::vector<uint8_t>& data);
    int FindBatchRecord(uint32_t sequence) const; // the polling thread only
    size_t QueuedCommandCount() const;
    TCommandRecord PendingCommand(size_t index) const; // a copy of a queued record
    int AsyncOutstanding() const { return asyncOutstanding_; }
    size_t BatchCount() const { return batchCount_; } // what the thread's batch holds

    // --- owner messages
    intptr_t SessionWindowProc(const platform::OwnerMessage& message);
    void DispatchSessionMessage(const platform::OwnerMessage& message);

    // --- the console line (frame mode 2; rs_session_second_form.cpp, rs_session_consoles.cpp).
    // This system always runs mode 1; SetFrameMode(2) exists for tests and is called while the
    // polling thread is parked.
    void SetFrameMode(int mode);
    int FrameMode() const { return frameMode_; }
    struct SecondFormResult
    {
        uint8_t code = 0;
        std::vector<uint8_t> answer; // decoded; empty on failure
        bool repeated = false;
        // Messages the console sent before the answer that were not the answer and not taken
        // before (a poll's message, a late answer): still the console's news.
        std::vector<std::vector<uint8_t>> passed;
    };
    // Whether a decoded answer, repeated (its message number already taken) or not, is the one
    // the request waits for.
    using AnswerFilter = std::function<bool(const std::vector<uint8_t>& answer, bool repeated)>;
    // One request [address] [kind] [data]: a head when data is empty, else a long request with
    // the tag given; the answer with its result code.  With a filter, an answer that it refuses
    // is passed over and the next one read, within the answer time of each and at most
    // kMaxPassedAnswers times; no answer of its own ends the exchange with 102.
    static constexpr int kMaxPassedAnswers = 4;
    SecondFormResult ExchangeSecondForm(const std::vector<uint8_t>& request, uint8_t tag = 0,
                                        const AnswerFilter& accept = {});
    bool IsRepeatedMessage(uint8_t console, uint8_t sequence);
    static std::vector<uint8_t> BuildSecondFormRequest(const std::vector<uint8_t>& record);
    bool QueueSecondFormRecord(std::vector<uint8_t> request); // false: the ring is full
    bool AddPendingRequest(uint8_t console, uint8_t kind, std::vector<uint8_t> data);
    size_t PendingRequestCount() const;
    void ProbeConsole(uint8_t address);
    void PollConsoles(uint8_t filter);
    void ResetConsole(uint8_t address);
    void SearchConsoles();
    void DrainConsole(uint8_t address);
    void HandleConsoleEvent(uint8_t console, const std::vector<uint8_t>& event);
    void HandleConsoleList(uint8_t console, const std::vector<uint8_t>& answer);
    std::optional<ConsoleRecordCopy> FindSubDevice(uint8_t subAddress) const;
    ConsoleRecordCopy Console(uint8_t address) const;
    corecomp::ConsoleStatistics ConsoleStats(uint8_t address) const;
    void MarkConsoleForProbe(uint8_t address);
    size_t ConsoleCommandCount() const;
    // Unpublished report handlers (26, 27, 40); nothing in the program assigns them.
    using ConsoleReportHandler =
        std::function<void(uint8_t subIndex, const corecomp::ConsoleRecord& console, double time)>;
    ConsoleReportHandler OnConsoleFound;
    ConsoleReportHandler OnConsoleLost;
    std::function<void(const corecomp::ConsoleRecord& console, uint8_t subIndex)> OnConsoleList;

    // True while the polling thread does not hold the line.
    bool ThreadIdle() const { return threadIdle_; }
    bool ThreadStarted() const;

private:
    TRSSession(Collaborators collaborators, platform::OwnerChannel* windowControl, bool second);
    struct ConsoleLine;
    void RunSecondFormPass();
    void SendConsoleCommands();
    void SendQueuedRecords();
    void SendPendingRequest();
    void QueueConsoleCommand(uint8_t console, uint8_t command, std::vector<uint8_t> data);
    // The general commands 3, 4 (unless NoTime) and 1 for a console just found.
    void QueueConsoleGreeting(uint8_t console);
    // [4, hour, minute, second, day, month, year - 2000] for the given moment.
    static std::vector<uint8_t> ClockCommand(double date);
    void SendBatchSecondForm();
    static AnswerFilter CommandAnswer(uint8_t command);
    uint8_t NextConsoleNumber(uint8_t console); // the number the console's next request takes
    // Ends the owner's queued commands for a console with an error answer of this code.
    void FailConsoleRecords(uint8_t console, uint8_t code);
    void EndConsoleRecord(TCommandRecord& record, uint8_t console, uint8_t code);
    void ConsoleAnswered(uint8_t a, const SecondFormResult& r);
    void ConsoleFailed(uint8_t a, uint8_t code);
    bool ConsoleLostNow(uint8_t a);
    void ReportConsoleLost(uint8_t a);
    void HandleConsoleMessage(uint8_t a, const std::vector<uint8_t>& answer);
    void ForgetConsoleWork(uint8_t a);
    bool SendSecondFormCommand(const std::vector<uint8_t>& request, int tag, int kind);
    bool PostSecondFormFrame(const std::vector<uint8_t>& request);
    bool ReportToOwner(uintptr_t wparam, std::vector<uint8_t> payload);
    struct Tries;
    void SendToOwner(uint32_t msg, uintptr_t wparam, std::vector<uint8_t> payload);
    void LogPort(const std::string& utf8Line);
    void LogFrame(const std::vector<uint8_t>& bytes);
    void LogNoAnswer();
    std::string LogStamp();
    std::string LogTime(); // the stamp without its closing ':'
    void TLogFileLine(const std::string& file, const std::string& utf8Line);
    void QueueCommand(std::vector<uint8_t> frame);
    bool ServiceTransceive(const std::vector<uint8_t>& request, bool waitAnswer);
    bool ExchangeThroughDriver(const std::vector<uint8_t>& frame, bool waitAnswer, int command,
                               std::vector<uint8_t>& raw);
    void ApplyTimeouts(int command, int address, int keepTimeout, uint32_t readTimeout);
    void WaitLineTime(int64_t start, uint32_t bytes);
    bool WriteToLine(const std::vector<uint8_t>& frame, bool broadcast, int command);
    void LineToSending();
    void LineToReceiving();
    bool ReadAnswer(std::vector<uint8_t>& raw);
    // Waits for the answers owed that a request to address could meet (0: any answer, -1:
    // every owed answer); false when the line was lost meanwhile.
    bool WaitForQuietLine(int address);
    bool LineLost();
    void DriverSelectPort();
    void DriverRelease();
    void RenewKeys();
    void RunDueRenewal(); // the polling thread, holding no lock
    void RestoreDriverPortSettings();
    void SaveDriverPortSettings();
    uint8_t RandomKey();
    enum class TryMode { Synchronous, ThreadExchange, ThreadCommand };
    bool RunTries(const std::vector<uint8_t>& request, bool waitAnswer, bool noAcknowledge,
                  TryMode mode, int keepTimeout, std::vector<uint8_t>* answer = nullptr);
    void StopThread();
    bool WaitUntilThreadIdle();
    bool UseDriver() const;

    // The polling thread (rs_session_thread.cpp, rs_session_poll.cpp, rs_session_queue.cpp).
    struct StopPass
    {
    };
    void Execute();
    void RunPass();
    void Checkpoint() const; // throws StopPass when Work is off
    void ThreadSleep(uint32_t ms);
    void ParkUntilWorkOrEnd();
    bool Deliver(uint32_t msg, uintptr_t wparam, std::vector<uint8_t> payload);
    bool Terminating();
    void ZeroStatistics(size_t address);
    void NoteAnswer(size_t address);
    void HandleEventAnswer(const std::vector<uint8_t>& answer);
    void CountPollRequest(size_t address); // lock held
    void CountMissedPoll(size_t address);
    void PollMissed(size_t address);
    void PollAnswered(uint8_t address, const std::vector<uint8_t>& answer);
    uint8_t AdvanceScheduleCursor();
    void QueueStep();
    void SendBatch();
    void CloseRecord(TCommandRecord& record, bool withStatistics);
    void PollOneScheduled();
    void CountSentCommand();
    void AppendPending(TCommandRecord record);
    // Queues a record within the bound; false when the bound is reached.
    bool EnqueueRecord(TCommandRecord record, size_t* queued);
    bool QueueFull() const; // the lock is held
    void TakeFromBatchFront();
    void ZonePollStep();
    static std::vector<uint8_t> ZonePayload(uint8_t zone, const std::vector<uint8_t>& answer);
    bool ReportCodeCardEvent(const std::vector<uint8_t>& answer);
    void ZoneRead(int line, uint8_t address, uint8_t zone, bool notify);
    void DispatchZoneReport(uintptr_t code, const std::vector<uint8_t>& payload);
    void HandleZoneMark(const std::vector<uint8_t>& record);
    void HandleCodeCardRead(const corecomp::TReadingEntry& entry,
                            const std::vector<uint8_t>& report);
    void HandleStatisticsMessage(const platform::OwnerMessage& message);
    bool PostReadListOperation(uint32_t code, uint16_t key, uint8_t channel,
                               const std::vector<uint8_t>& data);
    void ApplyReadListOperation(uint32_t code, const std::vector<uint8_t>& data);
    bool ReadListOn() const;
    void HandleChannelValue(uint8_t address, uint8_t channel, const std::vector<uint8_t>& answer);
    void ReadListEvent(const std::vector<uint8_t>& answer, bool arming);
    // The owner's queued command and its answer as the read list sees them: an arming command
    // first types the listed channel it names; a value or event answer acts on its channel.
    void ReadListBeforeOwnersCommand(const std::vector<uint8_t>& request);
    void ReadListAfterOwnersCommand(const std::vector<uint8_t>& request,
                                    const std::vector<uint8_t>& answer);
    void ReadListDeviceGone(uint8_t address, int32_t state);
    bool PostReadListRequest(uint32_t code, const std::vector<uint8_t>& frame);
    bool WithListedChannel(uint16_t key, uint8_t channel,
                           const std::function<void(corecomp::TReadItem&, corecomp::TReadChannel&)>& f);
    void HandleReadListAnswer(uint32_t code, const std::vector<uint8_t>& request,
                              const std::vector<uint8_t>& answer);
    platform::AutomationObject* ExchangeObject();
    bool ServiceRoundTrip(platform::AutomationObject* object, const char* method, uint32_t pauseMs,
                          const std::vector<uint8_t>& request, bool waitAnswer);

    platform::Clock& clock_;
    platform::RegistryFile& registry_;
    std::atomic<platform::OwnerChannel*> owner_;
    bool installsHandler_ = true;
    bool runPasses_ = true;
    std::atomic<bool> destroying_{false};
    bool shutDown_ = false;
    std::atomic<int> asyncOutstanding_{0};
    std::atomic<bool> statisticsFlag_{false};
    platform::OwnerChannel::Handler ownerHandler_;
    TransportFactory transportFactory_;
    AutomationFactory automation_;

    mutable std::recursive_mutex lock_;
    std::unique_ptr<TCommZemraAbstract> transport_;
    std::unique_ptr<platform::BusDriverDevice> busDriver_;
    std::unique_ptr<platform::AutomationObject> serviceObject_;
    std::unique_ptr<platform::NamedMutex> driverMutex_, rs485Mutex_, zemraMutex_;

    std::atomic<int> comPort_{1};
    std::atomic<bool> work_{false};
    std::atomic<uint8_t> searchPriority_{0};
    std::atomic<bool> codeSession_{true};
    bool ethernet_ = false;
    bool serviceMode_ = false;
    std::atomic<bool> driverPortOpen_{false};
    bool settingsSaved_ = false;
    std::vector<uint8_t> savedSettings_;

    TBusSettings settings_;
    std::atomic<bool> logCommand_{false}; // settings_.LogCommand, for every thread
    platform::Dcb dcb_{};
    // Set by the owner, read by the polling thread's tries.
    std::atomic<uint16_t> retryCount_{5};
    std::atomic<uint16_t> secondRetryCount_{15};
    int32_t keySilence_ = 5;
    int renewalCountdown_ = 0;
    bool renewalDue_ = false; // under lock_
    uint16_t scheduleLength_ = 0;
    bool pollingPass_ = false;
    std::atomic<int> frameMode_{1};

    std::array<uint16_t, 128> deviceType_{};
    std::array<uint16_t, 128> keyWord_{};
    std::array<uint32_t, 128> firmware_{};
    std::array<uint8_t, 129> pollWeight_{};
    std::array<bool, 128> absent_{};
    std::array<std::array<uint32_t, 128>, 2> noAnswer_{};
    std::array<double, 128> lastAnswer_{};
    bool exchanged_ = false;
    bool exchangeUnderWay_ = false; // under lock_: from an exchange's start to its end
    // A try's read ended without a whole answer from its unit: the rest, or the answer itself,
    // may still be on its way until answerOwedUntil_[a] (a tick), and the line must stay quiet
    // until then before that unit is asked anything else, in this command or the next.  Entry
    // 0 is an answer that may come from any address (command 15).  A request to another unit
    // need not wait: an answer from a unit it was not sent to fails its address check.
    std::array<bool, 128> answerOwed_{};
    std::array<uint32_t, 128> answerOwedUntil_{};
    void OweAnswer(int from, uint32_t until);
    // When the answer to a frame sent at sentTick is due at the latest, late answers aside.
    uint32_t AnswerDueTick(uint32_t sentTick) const;
    // How long the read of the last frame waits for the answer's head (ApplyTimeouts), within
    // the try's minute.
    uint32_t answerWaitMs_ = 0;
    // The port the owed answers are owed on: a reopen of the same one keeps them.
    std::string owedOnPort_;
    // The registry values whose cut to a minute, or refusal, has been logged.
    std::vector<std::string> clampsLogged_;
    // The read time-outs of the frame on the line (ApplyTimeouts), before any cut of the try's.
    platform::CommTimeouts frameTimeouts_{};
    // A read or write failed with a hang-up; the port has been closed.
    bool lineLost_ = false;
    uint32_t lastExchangeTick_ = 0;
    double lastKeyRenewal_ = 0;

    std::vector<uint8_t> lastFrameAnswer_;
    std::vector<uint8_t> answer_;
    std::vector<std::vector<uint8_t>> pending_;
    std::vector<QueuedCommand> deferred_;
    std::mutex randomMutex_; // RandomKey is called from any thread
    std::mt19937 random_;

    std::atomic<uint32_t> cmdCount_{0}, frameCount_{0}, failedTries_{0}, failedCommands_{0},
        eventCount_{0};

    // The polling thread: parked until Work is switched on, joined by the destructor.
    std::mutex threadMutex_;
    std::condition_variable threadCv_;
    bool threadResumed_ = false;
    bool threadTerminate_ = false;
    std::atomic<bool> threadIdle_{true};
    std::atomic<bool> threadRunning_{false};
    std::atomic<bool> threadFinished_{false};
    std::thread thread_;

    // Polling state; the tables are guarded by lock_, the flags are atomics.
    std::atomic<bool> fullRound_{false};
    std::atomic<bool> closeRequest_{true};
    std::atomic<bool> eventExpansion_{false};
    std::atomic<bool> searchEnabled_{true};
    std::atomic<int> badLineThreshold_{11};
    std::array<uint8_t, 2501> schedule_{}; // slots 1..2500
    uint32_t scheduleCursor_ = 0;
    uint8_t searchCursor_ = 1;
    std::array<PollStatistics, 128> pollStats_{};
    std::array<uint32_t, 128> lastAnswerTick_{}; // monotonic ms; valid where lastAnswer_ != 0
    std::atomic<uint32_t> pollCount_{0}, missingAnswers_{0}, reopenFailures_{0};
    std::unique_ptr<platform::AutomationObject> exchangeObject_;
    uint8_t serviceAddress_ = 0;

    // The command queue: pending entries (any thread, under lock_) and the thread's batch.
    std::vector<TCommandRecord> pendingQueue_;
    std::deque<TCommandRecord> batch_;
    std::atomic<size_t> batchCount_{0}; // batch_.size(), for PostCommand's bound
    uint32_t commandsSincePoll_ = 0;    // the thread's: commands sent since a scheduled poll

    std::unique_ptr<ConsoleLine> consoles_; // under lock_

    // The read list, guarded by lock_.
    corecomp::TReadList readList_;
    std::atomic<uint32_t> readInterval_{0};
    std::atomic<int32_t> changeThreshold_{2};
    uint32_t readStart_ = 0; // the polling thread's

    // Zones and the reading list, guarded by lock_; the zone poll's tick is the thread's.
    corecomp::TCollectZone zones_;
    corecomp::TDeviceListForReading readingList_;
    std::atomic<uint32_t> zoneInterval_{0};
    bool zonePolled_ = false;
    uint32_t zoneTick_ = 0;

    // The relay: a fresh session's first walk broadcast carries sequence 0.
    bool relayRestart_ = true;
    uint8_t relaySequence_ = 0;
    uint8_t relayCounter_ = 0;
};
