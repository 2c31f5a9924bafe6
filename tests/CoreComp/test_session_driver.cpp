// The bus driver and the driver-service mode, which take the line away from the transport.

#include "session_fixture.h"

#include "CoreComp/com_zemra.h"
#include "CoreComp/rssess/bus_crc.h"

#include "platform/named_mutex.h"
#include "platform/text1251.h"

#include <filesystem>
#include <fstream>
#include <iterator>

using platform::Hive;

namespace {

const std::string kPnp = "Enum\\BIOS\\*PNP0501";

struct DriverLog
{
    std::vector<std::string> controls; // "code: input bytes"
    Bytes answer;                      // served by the two reads of an exchange
    int reads = 0;
};

class FakeDriver : public platform::BusDriverDevice
{
public:
    explicit FakeDriver(std::shared_ptr<DriverLog> log) : log_(std::move(log)) {}
    bool Control(uint32_t code, const std::vector<uint8_t>& in, std::vector<uint8_t>& out) override
    {
        log_->controls.push_back(std::to_string(code) + ":" + (in.empty() ? "" : " " + Hex(in)));
        if (code == 4) {
            // First the address and length, then the whole answer.
            const Bytes& a = log_->answer;
            const size_t n = std::min(out.size(), a.size());
            out.assign(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n));
        }
        return true;
    }

private:
    std::shared_ptr<DriverLog> log_;
};

} // namespace

class DriverTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        registry_->WriteString(Hive::LocalMachine, kPnp + "\\00", "PortName", "COM1");
        registry_->WriteBinary(Hive::LocalMachine, kPnp + "\\00", "Settings", {1, 2, 3, 4});
        registry_->WriteString(Hive::LocalMachine, kPnp + "\\01", "PortName", "COM2");
        registry_->WriteBinary(Hive::LocalMachine, kPnp + "\\01", "Settings", {9, 9, 9, 9});
    }
    TRSSession& MakeDriverSession()
    {
        return MakeSession(true, [this] { return std::make_unique<FakeDriver>(driver_); });
    }
    std::optional<Bytes> Settings(const char* sub)
    {
        return registry_->ReadBinary(Hive::LocalMachine, kPnp + "\\" + sub, "Settings");
    }
    std::shared_ptr<DriverLog> driver_ = std::make_shared<DriverLog>();
};

TEST_F(DriverTest, DriverExchangesTheFrameAndGivesThePortSettingsBack)
{
    TRSSession& s = MakeDriverSession();
    EXPECT_EQ(driver_->controls, std::vector<std::string>{"1: 01 00 00 00"})
        << "the port reset tells the port";
    driver_->answer = MakeAnswer({1, 0, 44, 0x17, 0x02});
    driver_->controls.clear();
    ASSERT_TRUE(s.SendCommand({1, 6, 0, 13, 0, 0}, true, false, 0, 0));
    EXPECT_EQ(Hex(s.Answer()), Hex(driver_->answer));
    EXPECT_EQ(Settings("00"), (Bytes{0, 0, 0, 0})) << "the driver owns the port meanwhile";
    EXPECT_EQ(Settings("01"), (Bytes{9, 9, 9, 9}));
    const std::vector<std::string> expected = {
        "1: 01 00 00 00",
        "6:",
        "3: 01 06 00 0D 00 00 " + Hex({corecomp::BusCrc8(Bytes{1, 6, 0, 13, 0, 0})}),
        "4:",
        "4:",
        "7:",
    };
    EXPECT_EQ(driver_->controls, expected);
    EXPECT_TRUE(line_->frames.empty()) << "nothing went through the transport";

    s.ClosePort();
    EXPECT_EQ(driver_->controls.back(), "2:");
    EXPECT_EQ(Settings("00"), (Bytes{1, 2, 3, 4}));
    s.ClosePort();
    EXPECT_EQ(Settings("00"), (Bytes{1, 2, 3, 4}))
        << "a second release keeps the port's own settings";
}

TEST_F(DriverTest, PortNeverSelectedKeepsItsSettings)
{
    MakeDriverSession();
    session_.reset();
    EXPECT_EQ(Settings("00"), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(driver_->controls.back(), "2:");
}

namespace {

// The service's automation object: answers every call with a fixed text.
struct ServiceCalls
{
    std::vector<std::string> made; // "method: argument"
    std::string reply;
};

class FakeServiceObject : public platform::AutomationObject
{
public:
    explicit FakeServiceObject(std::shared_ptr<ServiceCalls> calls) : calls_(std::move(calls)) {}
    bool Call(const std::string& method, const std::string& argument, std::string& result) override
    {
        calls_->made.push_back(method + ": " + argument);
        result = calls_->reply;
        return true;
    }

private:
    std::shared_ptr<ServiceCalls> calls_;
};

} // namespace

TEST_F(SessionTest, ServiceModeNeedsTheMutexAndTheServiceObject)
{
    SetDword("LogCommand", 1);
    struct Case
    {
        bool mutexHeld;
        bool serviceInstalled;
        bool serviceMode;
    };
    const Case cases[] = {
        {false, true, false},
        {true, false, false}, // a mutex of that name alone proves no service
        {true, true, true},
    };
    for (const Case& c : cases) {
        const std::string what = std::string("mutex ") + (c.mutexHeld ? "held" : "free") +
                                 ", service " + (c.serviceInstalled ? "installed" : "missing");
        std::filesystem::remove(LogFile("LogCommand1.txt"));
        bool existed = false;
        auto mutex = c.mutexHeld ? platform::NamedMutex::Create("DRAVON", existed) : nullptr;
        auto calls = std::make_shared<ServiceCalls>();
        for (uint8_t b : MakeAnswer({1, 0, 44, 0x17, 0x02}))
            calls->reply += (calls->reply.empty() ? "" : " ") + std::to_string(b);
        std::vector<std::string> created;
        TRSSession::Collaborators collaborators = Collaborators(nullptr);
        collaborators.automation =
            [&](const std::string& progId) -> std::unique_ptr<platform::AutomationObject> {
            created.push_back(progId);
            if (!c.serviceInstalled)
                return nullptr;
            return std::make_unique<FakeServiceObject>(calls);
        };
        line_->ClearCalls();
        TRSSession s(std::move(collaborators));
        ASSERT_EQ(s.ServiceMode(), c.serviceMode) << what;

        // "Режим службы: обмен идёт через службу драйвера шины"
        std::ifstream log(LogFile("LogCommand1.txt"), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(log)),
                               std::istreambuf_iterator<char>());
        const std::string line =
            platform::Utf8ToCp1251("Режим службы: обмен идёт через службу драйвера шины\r\n");
        EXPECT_EQ(text.find(line) != std::string::npos, c.serviceMode) << what;
        if (c.serviceMode) {
            EXPECT_EQ(text.find(line), text.rfind(line)) << "one line";
        }

        // Calls from the decimal text: 1 6 0 13 0 0 and its checksum.
        const bool answered = s.SendCommand({1, 6, 0, 13, 0, 0}, true, false, 0, 0);
        if (c.serviceMode) {
            EXPECT_TRUE(answered) << what;
            ASSERT_FALSE(calls->made.empty());
            EXPECT_EQ(calls->made[0].rfind("Transceiving: 1 6 0 13 0 0 ", 0), 0u) << what;
            EXPECT_TRUE(line_->frames.empty()) << what << ": the port is not used";
        } else {
            EXPECT_TRUE(calls->made.empty()) << what;
            EXPECT_EQ(line_->frames.size(), 6u) << what << ": its own port carries every try";
        }
    }
}
