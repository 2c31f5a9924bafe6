// The bus driver and the driver-service mode, which take the line away from the transport.

#include "session_fixture.h"

#include "CoreComp/com_zemra.h"
#include "CoreComp/rssess/bus_crc.h"

#include "platform/named_mutex.h"

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

TEST_F(SessionTest, ServiceModeUsesNoPortOfItsOwn)
{
    bool existed = false;
    auto service = platform::NamedMutex::Create("DRAVON", existed);
    TRSSession::Collaborators c = Collaborators(nullptr);
    c.transportFactory = NoTransport;
    TRSSession s(std::move(c));
    ASSERT_TRUE(s.ServiceMode());
    EXPECT_FALSE(s.Transport().IsClosed()) << "never reopened";
    EXPECT_TRUE(s.ReopenPort());
    EXPECT_EQ(s.Transport().Handle(), kInvalidHandle);
    // Without the service's automation object no answer comes.
    EXPECT_FALSE(s.SendCommand({1, 6, 0, 13, 0, 0}, true, false, 0, 0));
    EXPECT_TRUE(s.SendCommand({0, 6, 0, 13, 0, 0}, false, false, 0, 0)) << "a broadcast needs none";
}
