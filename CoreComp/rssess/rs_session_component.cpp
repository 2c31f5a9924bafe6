// The component: construction and destruction, the properties, the transport choice, the line
// (open, close, reset), the per-address tables and the parked polling thread.

#include "CoreComp/rssess/rs_session.h"
#include "CoreComp/rssess/rs_session_console_line.h"

#include "CoreComp/com_zemra.h"
#include "CoreComp/ethernet_zemra.h"
#include "CoreComp/xr_zemra.h"

#include "platform/last_error.h"

namespace {

constexpr const char* kDriverDevice = "\\\\.\\ZEMRA485";
constexpr uint32_t kDriverSelectPort = 1;
constexpr uint32_t kDriverRelease = 2;

bool ValidAddress(int address)
{
    return address >= 1 && address <= 127;
}

std::unique_ptr<TCommZemraAbstract> BuiltInTransport(TRSSession& session,
                                                     TRSSession::TransportKind kind)
{
    switch (kind) {
    case TRSSession::TransportKind::Ethernet:
        return std::make_unique<TEthernetZemra>(&session);
    case TRSSession::TransportKind::XmlRpc:
        return std::make_unique<TXRZemra>(&session);
    case TRSSession::TransportKind::Serial:
        break;
    }
    return std::make_unique<TComZemra>(&session);
}

} // namespace

TRSSession::TRSSession() : TRSSession(Collaborators{}) {}

TRSSession::TRSSession(Collaborators c, platform::OwnerChannel* windowControl)
    : TRSSession(std::move(c), windowControl, true)
{
}

TRSSession::TRSSession(Collaborators c) : TRSSession(std::move(c), nullptr, false) {}

// Both constructors.  The second differs in what it presets before the registry is read, and
// with a window control it reports to that control's channel as it stands: the owner's own
// handler there takes the raw messages, and the session installs none.
TRSSession::TRSSession(Collaborators c, platform::OwnerChannel* windowControl, bool second)
    : clock_(c.clock ? *c.clock : platform::SystemClock()),
      registry_(c.registry ? *c.registry : platform::ProcessRegistry()),
      owner_(windowControl ? windowControl : c.owner), installsHandler_(windowControl == nullptr),
      runPasses_(c.runPasses),
      ownerHandler_(std::move(c.ownerHandler)),
      transportFactory_(c.transportFactory ? std::move(c.transportFactory) : BuiltInTransport),
      automation_(c.automation ? std::move(c.automation) : platform::CreateAutomationObject)
{
    random_.seed(static_cast<uint32_t>(clock_.Counter() ^ clock_.TickCount()));
    comPort_ = 1;
    CreateTransport();
    lastKeyRenewal_ = clock_.Now() - 3.0 / 86400.0;
    settings_.ContractNoAnswer = 15;
    retryCount_ = 5;
    secondRetryCount_ = static_cast<uint16_t>(3 * retryCount_);
    keySilence_ = 5;
    frameMode_ = 1;
    consoles_ = std::make_unique<ConsoleLine>();
    dcb_ = platform::Dcb{};
    settings_.SecLostDevice = second ? 15 : 0;
    if (second)
        settings_.ConfirmationTimeOut = 2;

    bool existed = false;
    driverMutex_ = platform::NamedMutex::Create("MutexZEMRA485", existed);
    if (!existed) {
        // Another process that holds the mutex owns the bus driver.
        busDriver_ = c.busDriver ? c.busDriver() : platform::OpenBusDriver(kDriverDevice);
    }

    settings_.DeviceTimeout = 15;
    ResetPort();

    rs485Mutex_ = platform::NamedMutex::Create("ZEMRA_RS485_MUTEX", existed);
    zemraMutex_ = platform::NamedMutex::Create("ZEMRA", existed);
    // The service's mutex alone proves nothing (any process may hold a mutex of that name):
    // only a service whose automation object can be made takes the exchanges over.
    serviceMode_ = platform::NamedMutex::Exists("DRAVON") && automation_("Dravon.Dravonstrator");
    if (serviceMode_)
        LogPort("Режим службы: обмен идёт через службу драйвера шины");

    SetWork(false);
    SetComPort(1);
    if (platform::OwnerChannel* owner = owner_; owner && installsHandler_)
        owner->SetHandler([this](const platform::OwnerMessage& m) { return SessionWindowProc(m); });

    thread_ = std::thread([this] { Execute(); });
}

TRSSession::~TRSSession()
{
    if (shutDown_)
        return;
    destroying_ = true; // nothing more reaches the owner
    Shutdown();
}

void TRSSession::Shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    if (work_)
        SetWork(false);
    platform::OwnerChannel* owner = owner_;
    StopThread();
    destroying_ = true;
    ClosePort();
    {
        std::lock_guard guard(lock_);
        if (busDriver_) {
            DriverRelease();
            busDriver_.reset();
        }
        pending_.clear();
        deferred_.clear();
    }
    if (owner && installsHandler_)
        owner->SetHandler(ownerHandler_);
    owner_ = nullptr;
}

// --- properties

void TRSSession::SetComPort(int port)
{
    if (port == comPort_)
        return;
    if (port < 1 || port > 127) {
        comPort_ = 1;
        return;
    }
    const bool wasWork = work_;
    SetWork(false);
    ClosePort();
    comPort_ = port;
    CreateTransport();
    SetWork(wasWork);
    if (OnPortChanged)
        OnPortChanged(port);
}

void TRSSession::SetSearchPriority(uint8_t priority)
{
    std::lock_guard guard(lock_);
    if (priority == searchPriority_)
        return;
    searchPriority_ = priority;
    pollWeight_.at(128) = priority;
}

void TRSSession::SetWork(bool on)
{
    bool parked;
    {
        // Decided under the thread mutex, as the port-failure sweep parks the thread under it.
        std::lock_guard guard(threadMutex_);
        if (on == work_)
            return;
        work_ = on;
        closeRequest_ = !on;
        if (on)
            fullRound_ = true;
        parked = !threadResumed_;
    }
    if (!thread_.joinable())
        return;
    if (!on || threadFinished_) {
        if (!LineOpen()) {
            ReopenPort();
            if (!LineOpen())
                work_ = false;
        }
        // Whether or not the port opened, the thread has given up the line on return.
        WaitUntilThreadIdle();
        return;
    }
    if (parked) {
        if (!ReopenPort()) {
            work_ = false;
            return;
        }
        std::lock_guard guard(threadMutex_);
        threadResumed_ = true;
    }
    threadCv_.notify_all();
}

// --- transport

void TRSSession::CreateTransport()
{
    std::lock_guard guard(lock_);
    transport_.reset();
    TransportKind kind = TransportKind::Serial;
    try {
        using platform::Hive;
        if (!registry_.KeyExists(Hive::LocalMachine, kBusKey))
            registry_.CreateKey(Hive::LocalMachine, kBusKey);
        const auto bus = registry_.ReadString(Hive::LocalMachine, kBusKey, "WORKTYPE");
        if (bus && *bus == "ObmenXMLRPC") {
            kind = TransportKind::XmlRpc;
        } else {
            const std::string portKey = std::string(kBusKey) + "\\PORT" + std::to_string(comPort_);
            if (!registry_.KeyExists(Hive::LocalMachine, portKey))
                registry_.CreateKey(Hive::LocalMachine, portKey);
            const auto port = registry_.ReadString(Hive::LocalMachine, portKey, "WORKTYPE");
            if (port && *port == "ObmenEthernet")
                kind = TransportKind::Ethernet;
        }
    } catch (...) {
        kind = TransportKind::Serial;
    }
    try {
        transport_ = transportFactory_(*this, kind);
    } catch (...) {
        transport_.reset();
    }
    // Whatever failed, the session keeps a transport.
    if (!transport_)
        transport_ = std::make_unique<TComZemra>(this);
    ethernet_ = transport_->CarriesDatagrams();
}

std::string TRSSession::PortName(int port)
{
    return (port >= 10 ? "\\\\.\\COM" : "COM") + std::to_string(port);
}

bool TRSSession::LineOpen()
{
    std::lock_guard guard(lock_);
    return UseDriver() ? driverPortOpen_.load() : !transport_->IsClosed();
}

bool TRSSession::ReopenPort()
{
    std::lock_guard guard(lock_);
    if (serviceMode_)
        return true;
    LogPort("Переоткрытие порта");
    transport_->Close();
    // A late answer may still come on the new descriptor of the same port; another port has
    // nothing on its way.
    if (PortName(comPort_) != owedOnPort_) {
        answerOwed_.fill(false);
        owedOnPort_ = PortName(comPort_);
    }
    if (UseDriver()) {
        // Saved once per selection: a second save would keep the zeros written below.
        if (!driverPortOpen_)
            SaveDriverPortSettings();
        DriverSelectPort();
        driverPortOpen_ = true;
        return true;
    }
    transport_->Open(PortName(comPort_), kGenericRead | kGenericWrite, 0, nullptr, kOpenExisting,
                     kFileFlagNoBuffering, 0);
    if (transport_->IsClosed()) {
        LogPort("Ошибка открытия:" + std::to_string(platform::LastError()));
        return false;
    }
    if (!ethernet_) {
        platform::Dcb state{};
        transport_->GetCommState(state);
        platform::Dcb line = dcb_;
        line.BaudRate = static_cast<uint32_t>(settings_.SpeedRSS);
        transport_->SetCommState(line);
        transport_->GetCommState(state);
        transport_->SetupComm(300, 0);
        platform::CommTimeouts t{};
        t.ReadIntervalTimeout = static_cast<uint32_t>(settings_.CmdIntervalTimeout);
        t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(settings_.CmdTimeoutMultiplier);
        t.ReadTotalTimeoutConstant = static_cast<uint32_t>(settings_.CmdTimeoutConstant);
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = static_cast<uint32_t>(settings_.TotalWriteConstant);
        transport_->SetCommTimeouts(t);
    }
    LogPort("Порт открыт");
    return true;
}

void TRSSession::ClosePort()
{
    if (work_)
        SetWork(false);
    std::lock_guard guard(lock_);
    if (UseDriver()) {
        DriverRelease();
    } else if (!serviceMode_) {
        transport_->Close();
    }
}

void TRSSession::ResetPort()
{
    std::lock_guard guard(lock_);
    if (!serviceMode_)
        transport_->Close();
    if (UseDriver())
        DriverSelectPort();
    pollWeight_.fill(128);
    deviceType_.fill(128);
    firmware_.fill(0);
    keyWord_.fill(0);
    ReadRegistrySettings();
    if (settings_.SpeedRSS >= 0) {
        dcb_.BaudRate = static_cast<uint32_t>(settings_.SpeedRSS);
        dcb_.StopBits = static_cast<uint8_t>(settings_.StopBits);
        scheduleLength_ = 15;
        // The device records start over with the addresses: none is known to be away, none
        // has poll statistics, and no console of a console line is known.
        absent_.fill(false);
        pollStats_.fill(PollStatistics{});
        consoles_->consoles.fill(corecomp::ConsoleRecord{});
        consoles_->stats.fill(corecomp::ConsoleStatistics{});
    }
}

// --- the bus driver

bool TRSSession::UseDriver() const
{
    // A datagram transport reads no answer through the driver; it keeps its own way.
    return busDriver_ != nullptr && !ethernet_;
}

void TRSSession::DriverSelectPort()
{
    const uint32_t port = static_cast<uint32_t>(comPort_);
    std::vector<uint8_t> in(4), out(4);
    for (int i = 0; i < 4; ++i)
        in[static_cast<size_t>(i)] = static_cast<uint8_t>(port >> (8 * i));
    busDriver_->Control(kDriverSelectPort, in, out);
}

void TRSSession::DriverRelease()
{
    std::vector<uint8_t> out;
    busDriver_->Control(kDriverRelease, {}, out);
    // Only settings this session replaced are put back; a port it never selected keeps its own.
    if (driverPortOpen_)
        RestoreDriverPortSettings();
    driverPortOpen_ = false;
}

namespace {
constexpr const char* kPnpPorts = "Enum\\BIOS\\*PNP0501";
}

void TRSSession::SaveDriverPortSettings()
{
    using platform::Hive;
    settingsSaved_ = false;
    const std::string name = "COM" + std::to_string(comPort_);
    for (const std::string& sub : registry_.SubKeys(Hive::LocalMachine, kPnpPorts)) {
        const std::string key = std::string(kPnpPorts) + "\\" + sub;
        if (registry_.ReadString(Hive::LocalMachine, key, "PortName") != name)
            continue;
        if (auto saved = registry_.ReadBinary(Hive::LocalMachine, key, "Settings")) {
            savedSettings_ = *saved;
            settingsSaved_ = true;
        }
        registry_.WriteBinary(Hive::LocalMachine, key, "Settings", {0, 0, 0, 0});
    }
}

void TRSSession::RestoreDriverPortSettings()
{
    using platform::Hive;
    const std::string name = "COM" + std::to_string(comPort_);
    for (const std::string& sub : registry_.SubKeys(Hive::LocalMachine, kPnpPorts)) {
        const std::string key = std::string(kPnpPorts) + "\\" + sub;
        if (registry_.ReadString(Hive::LocalMachine, key, "PortName") != name)
            continue;
        if (settingsSaved_)
            registry_.WriteBinary(Hive::LocalMachine, key, "Settings", savedSettings_);
        else
            registry_.DeleteValue(Hive::LocalMachine, key, "Settings");
    }
}

// --- per-address tables

uint16_t TRSSession::GetDeviceType(int address) const
{
    std::lock_guard guard(lock_);
    return ValidAddress(address) ? deviceType_.at(static_cast<size_t>(address)) : 0;
}

void TRSSession::SetDeviceType(int address, uint16_t type)
{
    std::lock_guard guard(lock_);
    if (ValidAddress(address))
        deviceType_.at(static_cast<size_t>(address)) = type;
}

uint16_t TRSSession::KeyWord(int address) const
{
    std::lock_guard guard(lock_);
    return ValidAddress(address) ? keyWord_.at(static_cast<size_t>(address)) : 0;
}

void TRSSession::SetKeyWord(int address, uint16_t word)
{
    std::lock_guard guard(lock_);
    if (ValidAddress(address))
        keyWord_.at(static_cast<size_t>(address)) = word;
}

uint32_t TRSSession::FirmwareVersion(int address) const
{
    std::lock_guard guard(lock_);
    return address >= 0 && address <= 127 ? firmware_.at(static_cast<size_t>(address)) : 0;
}

void TRSSession::SetFirmwareVersion(int address, uint32_t version)
{
    std::lock_guard guard(lock_);
    if (address >= 0 && address <= 127)
        firmware_.at(static_cast<size_t>(address)) = version;
}

uint8_t TRSSession::PollWeight(int slot) const
{
    std::lock_guard guard(lock_);
    return slot >= 1 && slot <= 128 ? pollWeight_.at(static_cast<size_t>(slot)) : 0;
}

bool TRSSession::IsAbsent(int address) const
{
    std::lock_guard guard(lock_);
    return address >= 0 && address <= 127 && absent_.at(static_cast<size_t>(address));
}

void TRSSession::SetAbsent(int address, bool absent)
{
    std::lock_guard guard(lock_);
    if (address >= 0 && address <= 127)
        absent_.at(static_cast<size_t>(address)) = absent;
}

uint32_t TRSSession::NoAnswerCount(int bank, int address) const
{
    std::lock_guard guard(lock_);
    if (bank < 0 || bank > 1 || address < 0 || address > 127)
        return 0;
    return noAnswer_.at(static_cast<size_t>(bank)).at(static_cast<size_t>(address));
}

double TRSSession::LastAnswerTime(int address) const
{
    std::lock_guard guard(lock_);
    return address >= 0 && address <= 127 ? lastAnswer_.at(static_cast<size_t>(address)) : 0.0;
}

// --- the polling thread

bool TRSSession::ThreadStarted() const
{
    return threadRunning_;
}

void TRSSession::StopThread()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard guard(threadMutex_);
        threadTerminate_ = true;
    }
    threadCv_.notify_all();
    // A delivery the thread has in flight is served here, so joining cannot deadlock on it.
    platform::OwnerChannel* owner = owner_;
    if (owner && owner->IsOwnerThread()) {
        while (!threadFinished_)
            owner->WaitServing([this] { return threadFinished_.load(); },
                               std::chrono::milliseconds(100));
    }
    thread_.join();
}

bool TRSSession::WaitUntilThreadIdle()
{
    auto idle = [this] {
        std::lock_guard guard(threadMutex_);
        return threadIdle_ || !threadResumed_ || threadFinished_;
    };
    platform::OwnerChannel* owner = owner_;
    while (!idle()) {
        if (owner && owner->IsOwnerThread())
            owner->WaitServing(idle, std::chrono::milliseconds(5));
        else
            clock_.Sleep(5);
    }
    return true;
}
