#include "config_tool/device/transfer.h"

#include "fake_unit.h"
#include "recording_ui.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

namespace device {
namespace {

using testing::FakeChannel;
using testing::FakeUnit;
using testing::RecordingUi;
using testing::WithCrc;
using ::testing::ElementsAre;

constexpr uint8_t kAddr = 5;
constexpr int kPort = 3;

std::size_t OffsetOf(const Frame& r) { return r.at(4) + 256u * r.at(5); }

struct TransferTest : ::testing::Test
{
    TransferTest()
    {
        std::iota(unit.memory.begin(), unit.memory.end(), uint8_t{1});
        channel.SetResponder(unit.Responder());
    }

    std::vector<Frame> Requests(uint8_t command) const
    {
        std::vector<Frame> out;
        for (const Frame& r : channel.requests)
            if (r.at(3) == command)
                out.push_back(r);
        return out;
    }

    FakeUnit unit;
    FakeChannel channel;
    RecordingUi ui;
    Transfer transfer{channel, ui};
    const model::Image& mask = model::ReadMask();
};

TEST_F(TransferTest, ReadRequestsEveryStepAndKeepsOnlyMaskedBytes)
{
    model::Image image;
    image.fill(0xEE);
    ASSERT_TRUE(transfer.ReadImage(kAddr, kPort, image));

    ASSERT_EQ(channel.requests.size(), 960u);
    EXPECT_EQ(channel.requests.front(), (Frame{kAddr, 0x08, 0x00, 0x43, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(channel.requests.back(), (Frame{kAddr, 0x08, 0x00, 0x43, 0xF8, 0x1D, 0x00, 0x08}));
    for (std::size_t i = 0; i < model::kImageSize; ++i)
        ASSERT_EQ(image[i], mask[i] ? unit.memory[i] : 0xEE) << "byte " << i;
    EXPECT_THAT(channel.ports, ElementsAre(kPort));
    EXPECT_THAT(channel.retry_counts, ElementsAre(6));
    EXPECT_EQ(channel.registry_reads, 1);
    EXPECT_THAT(ui.log, ElementsAre("toolbar off", "show 7293", "hide", "toolbar on"));
    EXPECT_EQ(ui.advanced, 960 * 8);
}

TEST_F(TransferTest, UnansweredStepOutsideTheMaskDoesNotFailTheRead)
{
    ASSERT_EQ(std::count(mask.begin() + 384, mask.begin() + 392, 1), 0);
    unit.hook = [](const Frame& r, int) -> std::optional<Frame> {
        if (r.at(3) == 0x43 && OffsetOf(r) == 384)
            return Frame{};
        return std::nullopt;
    };
    model::Image image{};
    EXPECT_TRUE(transfer.ReadImage(kAddr, kPort, image));
    EXPECT_EQ(channel.requests.size(), 960u);
}

TEST_F(TransferTest, FailedReadStepStopsAndKeepsWhatCameBefore)
{
    struct Case
    {
        const char* name;
        std::function<Frame(const Frame&)> answer; // for the step at offset 1000
        bool throws;
    };
    const Case cases[] = {
        {"no answer", [](const Frame&) { return Frame{}; }, false},
        {"short data", [](const Frame&) { return WithCrc({kAddr, 0x0B, 0x44, 0x08, 1, 2, 3, 4, 5, 6, 7}); }, false},
        {"wrong command", [](const Frame&) { return WithCrc({kAddr, 0x0C, 0x45, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}); }, false},
        {"wrong count", [](const Frame&) { return WithCrc({kAddr, 0x0C, 0x44, 0x07, 1, 2, 3, 4, 5, 6, 7, 8}); }, false},
        {"wrong address", [](const Frame&) { return WithCrc({kAddr + 1, 0x0C, 0x44, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}); }, false},
        {"exception", nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUnit u = unit;
        u.hook = [&c](const Frame& r, int) -> std::optional<Frame> {
            if (c.answer && r.at(3) == 0x43 && OffsetOf(r) == 1000)
                return c.answer(r);
            return std::nullopt;
        };
        FakeChannel ch(u.Responder());
        if (c.throws)
            ch.throw_at = 125; // the step at offset 1000
        RecordingUi rui;
        Transfer t(ch, rui);
        model::Image image{};
        EXPECT_FALSE(t.ReadImage(kAddr, kPort, image));
        EXPECT_EQ(ch.requests.size(), 126u);
        EXPECT_EQ(image[992], unit.memory[992]); // the step before it was kept
        EXPECT_EQ(image[1000], 0);
        EXPECT_FALSE(rui.progress_visible);
        EXPECT_TRUE(rui.toolbar_enabled);
    }
}

TEST_F(TransferTest, IdentityCheck)
{
    struct Case
    {
        uint8_t type;
        uint16_t version;
        bool accepted;
    };
    const Case cases[] = {{10, 222, true}, {10, 223, true}, {44, 223, true}, {10, 221, false},
                          {44, 222, false}, {10, 224, false}, {43, 223, false}, {10, 222 + 256, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.type) << " at " << c.version);
        unit.type = c.type;
        unit.version = c.version;
        EXPECT_EQ(transfer.CheckDeviceModel(kAddr), c.accepted);
    }
    EXPECT_TRUE(channel.ports.empty()) << "the check leaves the set-up to its callers";
    EXPECT_TRUE(ui.log.empty());
}

TEST_F(TransferTest, IdentityCheckRefusesMissingOrMalformedAnswers)
{
    struct Case
    {
        const char* name;
        Frame type_answer, version_answer;
        int requests;
    };
    const Frame good_type = WithCrc({kAddr, 0x07, 0x00, 44, 223, 0});
    const Frame good_version = WithCrc({kAddr, 0x08, 0x3E, 0x29, 223, 0, 0});
    const Case cases[] = {
        {"no type answer", {}, good_version, 1},
        {"type answer with a command", WithCrc({kAddr, 0x07, 0x01, 44, 223, 0}), good_version, 1},
        {"no version answer", good_type, {}, 2},
        {"version answer with L 7", good_type, WithCrc({kAddr, 0x07, 0x3E, 0x29, 223, 0}), 2},
        {"version answer with another command", good_type, WithCrc({kAddr, 0x08, 0x3D, 0x29, 223, 0, 0}), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeChannel ch([&c](const Frame& r) { return r.at(3) == 0x0D ? c.type_answer : c.version_answer; });
        Transfer t(ch, ui);
        EXPECT_FALSE(t.CheckDeviceModel(kAddr));
        EXPECT_EQ(static_cast<int>(ch.requests.size()), c.requests);
    }
}

TEST_F(TransferTest, CredentialReadTakesCodesAndEmptySlots)
{
    unit.keys[0] = {0x01, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7, 0x88};
    unit.keys[7] = {0x01, 0, 0, 0, 0, 0, 0x10, 0x5E};
    model::KeyCodes codes;
    for (auto& k : codes)
        k.fill(0x77);
    ASSERT_TRUE(transfer.ReadKeyCodes(kAddr, kPort, codes));
    EXPECT_EQ(codes[0], unit.keys[0]);
    EXPECT_EQ(codes[3], model::KeyCode{}); // answered a 05 1E 00 00
    EXPECT_EQ(codes[7], unit.keys[7]);
    ASSERT_EQ(channel.requests.size(), 8u);
    EXPECT_EQ(channel.requests[2], (Frame{kAddr, 0x07, 0x00, 0x1D, 0x0E, 3, 0x00}));
    EXPECT_THAT(ui.log, ElementsAre("toolbar off", "show 64", "hide", "toolbar on"));
    EXPECT_EQ(ui.advanced, 64);
}

TEST_F(TransferTest, CredentialReadFailsOnAnyOtherAnswer)
{
    const Frame bad[] = {
        {},
        WithCrc({kAddr, 0x05, 0x1E, 0x00, 0x01}),
        WithCrc({kAddr, 0x0C, 0x1E, 0x0D, 1, 2, 3, 4, 5, 6, 7, 8}),
        WithCrc({kAddr, 0x0D, 0x1E, 0x0E, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
    };
    for (const Frame& answer : bad) {
        SCOPED_TRACE(::testing::PrintToString(answer));
        FakeChannel ch([&](const Frame& r) { return r.at(5) == 2 ? answer : unit.Answer(r); });
        RecordingUi rui;
        Transfer t(ch, rui);
        model::KeyCodes codes{};
        EXPECT_FALSE(t.ReadKeyCodes(kAddr, kPort, codes));
        EXPECT_EQ(ch.requests.size(), 2u);
        EXPECT_FALSE(rui.progress_visible);
    }
}

struct WriteTest : TransferTest
{
    WriteTest()
    {
        std::copy(unit.memory.begin(), unit.memory.begin() + model::kImageSize, copy.begin());
        image = copy;
    }
    WriteOutcome Write() { return transfer.WriteImage(kAddr, kPort, kPort, image, copy); }

    model::Image image, copy;
};

TEST_F(WriteTest, ChangedBytesGoOutInRunsOfAtMostEight)
{
    for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10})
        image[i] ^= 0x5A;
    ASSERT_EQ(Write(), WriteOutcome::Written);

    ASSERT_EQ(channel.requests.size(), 5u);
    EXPECT_EQ(channel.requests[0].at(3), 0x0D);
    EXPECT_EQ(channel.requests[1].at(3), 0x3F);
    Frame first{kAddr, 0x0F, 0x00, 0x41, 0, 0, 0};
    first.insert(first.end(), image.begin(), image.begin() + 8);
    EXPECT_EQ(channel.requests[2], first);
    EXPECT_EQ(channel.requests[3], (Frame{kAddr, 0x08, 0x00, 0x41, 8, 0, 0, image[8]}));
    EXPECT_EQ(channel.requests[4], (Frame{kAddr, 0x08, 0x00, 0x41, 10, 0, 0, image[10]}));
    EXPECT_EQ(ui.advanced, 24);
    EXPECT_THAT(ui.log, ElementsAre("toolbar off", "show 10", "hide", "toolbar on"));
    EXPECT_EQ(copy, image);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), unit.memory.begin()));
}

TEST_F(WriteTest, RunsStopAtTheMaskAndAtTheImageEnd)
{
    ASSERT_EQ(mask[400], 0);
    image[400] ^= 0xFF; // not transferred
    image[7675] ^= 0xFF;
    image[7670] ^= 0xFF;
    ASSERT_EQ(Write(), WriteOutcome::Written);
    ASSERT_EQ(channel.requests.size(), 4u);
    EXPECT_EQ(OffsetOf(channel.requests[2]), 7670u);
    EXPECT_EQ(channel.requests[2].size(), 8u);
    EXPECT_EQ(OffsetOf(channel.requests[3]), 7675u);
    EXPECT_EQ(copy, image) << "the copy takes the whole image, untransferred bytes included";
}

TEST_F(WriteTest, NothingChangedChecksIdentityThenClosesOnly)
{
    ASSERT_EQ(Write(), WriteOutcome::Written);
    model::KeyCodes codes{}, codes_copy{};
    ASSERT_TRUE(transfer.WriteKeyCodes(kAddr, kPort, codes, codes_copy));
    ASSERT_EQ(channel.requests.size(), 3u);
    EXPECT_EQ(channel.requests[0].at(3), 0x0D);
    EXPECT_EQ(channel.requests[1].at(3), 0x3F);
    EXPECT_EQ(channel.requests[2], (Frame{kAddr, 0x06, 0x00, 0x17, 0x00, 0x00}));
    EXPECT_THAT(channel.retry_counts, ElementsAre(6, 6));
}

TEST_F(WriteTest, RefusedUnitStopsWithItsMessageAndNoProgressLeft)
{
    unit.version = 222; // type 44 at 2.22
    image[0] ^= 1;
    EXPECT_EQ(Write(), WriteOutcome::Stopped);
    EXPECT_EQ(channel.requests.size(), 2u);
    EXPECT_THAT(ui.log, ElementsAre("toolbar off", "show 1", "hide", "error 30", "toolbar on"));
    EXPECT_NE(copy, image);
}

TEST_F(WriteTest, OtherPortAsksFirst)
{
    image[0] ^= 1;
    ui.confirm_answer = false;
    EXPECT_EQ(transfer.WriteImage(kAddr, 2, 1, image, copy), WriteOutcome::Stopped);
    EXPECT_TRUE(channel.requests.empty());
    EXPECT_THAT(ui.log, ElementsAre("toolbar off", "confirm 29", "toolbar on"));

    ui.confirm_answer = true;
    EXPECT_EQ(transfer.WriteImage(kAddr, 2, 1, image, copy), WriteOutcome::Written);
    EXPECT_THAT(channel.ports, ElementsAre(2));
}

TEST_F(WriteTest, FailureAfterSomeRunsKeepsTheCopySoTheNextWriteResends)
{
    for (int i : {0, 20, 40})
        image[i] ^= 1;
    const model::Image before = copy;
    unit.hook = [](const Frame& r, int) -> std::optional<Frame> {
        if (r.at(3) == 0x41 && OffsetOf(r) == 20)
            return Frame{};
        return std::nullopt;
    };
    EXPECT_EQ(Write(), WriteOutcome::Failed);
    EXPECT_EQ(copy, before);
    EXPECT_EQ(Requests(0x41).size(), 2u);
    EXPECT_FALSE(ui.progress_visible);
    EXPECT_TRUE(ui.toolbar_enabled);

    unit.hook = nullptr;
    channel.requests.clear();
    EXPECT_EQ(Write(), WriteOutcome::Written);
    const auto writes = Requests(0x41);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(OffsetOf(writes[0]), 0u);
    EXPECT_EQ(copy, image);
}

TEST_F(WriteTest, WriteAnswerMustBeExact)
{
    const Frame bad[] = {
        WithCrc({kAddr, 0x05, 0x42, 0x00, 0x01}),
        WithCrc({kAddr, 0x05, 0x42, 0x01, 0x00}),
        WithCrc({kAddr, 0x05, 0x43, 0x00, 0x00}),
        WithCrc({kAddr, 0x06, 0x42, 0x00, 0x00, 0x00}),
        WithCrc({kAddr + 1, 0x05, 0x42, 0x00, 0x00}),
    };
    image[100] ^= 1;
    for (const Frame& answer : bad) {
        SCOPED_TRACE(::testing::PrintToString(answer));
        unit.hook = [&](const Frame& r, int) -> std::optional<Frame> {
            if (r.at(3) == 0x41)
                return answer;
            return std::nullopt;
        };
        EXPECT_EQ(Write(), WriteOutcome::Failed);
        EXPECT_NE(copy, image);
    }
}

TEST_F(WriteTest, ExceptionDuringTheWriteFailsIt)
{
    image[0] ^= 1;
    channel.throw_at = 2; // the first write
    EXPECT_EQ(Write(), WriteOutcome::Failed);
    EXPECT_FALSE(ui.progress_visible);
    EXPECT_TRUE(ui.toolbar_enabled);
}

TEST_F(TransferTest, ChannelThatCannotBeSetUpFailsEveryOperation)
{
    channel.throw_on_setup = true;
    model::Image image{}, copy{};
    image[0] = 1;
    model::KeyCodes codes{}, codes_copy{};
    codes[0][0] = 1;
    EXPECT_FALSE(transfer.ReadImage(kAddr, kPort, image));
    EXPECT_FALSE(transfer.ReadKeyCodes(kAddr, kPort, codes));
    EXPECT_EQ(transfer.WriteImage(kAddr, kPort, kPort, image, copy), WriteOutcome::Failed);
    EXPECT_FALSE(transfer.WriteKeyCodes(kAddr, kPort, codes, codes_copy));
    EXPECT_TRUE(channel.requests.empty());
    EXPECT_EQ(copy, model::Image{});
    EXPECT_EQ(codes_copy, model::KeyCodes{});
    EXPECT_FALSE(ui.progress_visible);
    EXPECT_TRUE(ui.toolbar_enabled);
}

TEST_F(TransferTest, CredentialWriteSendsChangedSlotsThenCloses)
{
    model::KeyCodes codes{}, copy{};
    codes[2] = {0x01, 2, 3, 4, 5, 6, 7, 8};
    codes[6] = {0x01, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_TRUE(transfer.WriteKeyCodes(kAddr, kPort, codes, copy));
    ASSERT_EQ(channel.requests.size(), 3u);
    EXPECT_EQ(channel.requests[0],
              (Frame{kAddr, 0x0F, 0x00, 0x25, 0x0E, 3, 0x00, 0x01, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(channel.requests[1].at(5), 7);
    EXPECT_EQ(channel.requests[2].at(3), 0x17);
    EXPECT_EQ(copy, codes);
    EXPECT_EQ(unit.keys[2], codes[2]);
    EXPECT_EQ(ui.advanced, 2);
    EXPECT_THAT(ui.log, ElementsAre("toolbar off", "show 2", "hide", "toolbar on"));
}

TEST_F(TransferTest, FailedCredentialWriteSendsNoClosingCommand)
{
    model::KeyCodes codes{}, copy{};
    codes[0] = {0x01, 2, 3, 4, 5, 6, 7, 8};
    codes[1] = {0x01, 2, 3, 4, 5, 6, 7, 9};
    unit.hook = [](const Frame& r, int) -> std::optional<Frame> {
        if (r.at(3) == 0x25 && r.at(5) == 2) // answers for the wrong slot
            return WithCrc({r[0], 0x06, 0x26, 0x01, 0x01, 0x00});
        return std::nullopt;
    };
    EXPECT_FALSE(transfer.WriteKeyCodes(kAddr, kPort, codes, copy));
    EXPECT_EQ(channel.requests.size(), 2u);
    EXPECT_EQ(copy, model::KeyCodes{});
    EXPECT_EQ(unit.closing_commands, 0);
}

// A unit that refuses a credential must never be reported as written: every byte of the
// answer a 06 26 01 n 00 is looked at.
TEST_F(TransferTest, CredentialWriteAnswerMustBeExact)
{
    const struct
    {
        const char* name;
        Frame answer; // to the write of slot 4
    } cases[] = {
        {"status byte 5 not 0", WithCrc({kAddr, 0x06, 0x26, 0x01, 4, 0x01})},
        {"status byte 5 FF", WithCrc({kAddr, 0x06, 0x26, 0x01, 4, 0xFF})},
        {"byte 3 not 01", WithCrc({kAddr, 0x06, 0x26, 0x00, 4, 0x00})},
        {"byte 3 02", WithCrc({kAddr, 0x06, 0x26, 0x02, 4, 0x00})},
        {"another slot", WithCrc({kAddr, 0x06, 0x26, 0x01, 5, 0x00})},
        {"another command", WithCrc({kAddr, 0x06, 0x27, 0x01, 4, 0x00})},
        {"another L", WithCrc({kAddr, 0x07, 0x26, 0x01, 4, 0x00, 0x00})},
        {"another address", WithCrc({kAddr + 1, 0x06, 0x26, 0x01, 4, 0x00})},
        {"one byte short", WithCrc({kAddr, 0x06, 0x26, 0x01, 4})},
        {"no answer", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUnit u = unit;
        u.hook = [&c](const Frame& r, int) -> std::optional<Frame> {
            if (r.at(3) == 0x25 && r.at(5) == 4)
                return c.answer;
            return std::nullopt;
        };
        FakeChannel ch(u.Responder());
        RecordingUi rui;
        Transfer t(ch, rui);
        model::KeyCodes codes{}, copy{};
        codes[3] = {0x01, 2, 3, 4, 5, 6, 7, 8};
        codes[6] = {0x01, 9, 9, 9, 9, 9, 9, 9};
        EXPECT_FALSE(t.WriteKeyCodes(kAddr, kPort, codes, copy));
        EXPECT_EQ(copy, model::KeyCodes{}) << "a repeated write sends the codes again";
        EXPECT_EQ(ch.requests.size(), 1u) << "the first refusal stops the write";
        EXPECT_EQ(u.closing_commands, 0);
        EXPECT_FALSE(rui.progress_visible);
    }
}

} // namespace
} // namespace device
