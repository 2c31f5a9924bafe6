#include "CoreComp/rssess/bus_frame.h"

#include "CoreComp/rssess/bus_crc.h"

#include <sstream>

namespace corecomp {

// Three pairs a row, in the order of the protocol's table.
// clang-format off
const std::array<CommandPair, 72> kCommandPairs = {{
    {0, kAnyAnswer}, {1, 2},          {1, 4},
    {1, 12},         {1, 14},         {2, kAnyAnswer},
    {3, kAnyAnswer}, {4, 3},          {5, 6},
    {6, kAnyAnswer}, {7, 8},          {8, kAnyAnswer},
    {9, 6},          {10, kAnyAnswer}, {11, 8},
    {12, 3},         {13, 0},         {14, 3},
    {15, 16},        {16, kAnyAnswer}, {17, 18},
    {17, kAnyAnswer}, {18, kAnyAnswer}, {19, 20},
    {20, kAnyAnswer}, {21, 22},       {22, kAnyAnswer},
    {23, 24},        {24, kAnyAnswer}, {25, 26},
    {26, kAnyAnswer}, {27, 28},       {28, kAnyAnswer},
    {29, 30},        {30, kAnyAnswer}, {31, 32},
    {32, kAnyAnswer}, {33, 34},       {34, kAnyAnswer},
    {35, 36},        {36, kAnyAnswer}, {37, 38},
    {38, kAnyAnswer}, {39, 40},       {40, kAnyAnswer},
    {41, 42},        {42, kAnyAnswer}, {43, 44},
    {44, kAnyAnswer}, {45, 46},       {46, kAnyAnswer},
    {47, 48},        {48, kAnyAnswer}, {49, 50},
    {50, kAnyAnswer}, {51, 52},       {52, kAnyAnswer},
    {53, 54},        {54, kAnyAnswer}, {55, 54},
    {56, kAnyAnswer}, {57, 58},       {58, kAnyAnswer},
    {59, kAnyAnswer}, {60, kAnyAnswer}, {61, 62},
    {62, kAnyAnswer}, {63, 62},       {65, 66},
    {66, kAnyAnswer}, {67, 68},       {68, kAnyAnswer},
}};
// clang-format on

bool CheckAnswerCommand(int requestCommand, int answerCommand)
{
    if (answerCommand == 10)
        return true;
    bool listed = false;
    for (const CommandPair& p : kCommandPairs) {
        if (p.request != requestCommand)
            continue;
        listed = true;
        if (p.answer == kAnyAnswer || p.answer == answerCommand)
            return true;
    }
    return !listed;
}

uint8_t FrameMask(uint8_t addressByte, uint8_t keyByte, uint16_t keyWord)
{
    if (keyByte == 0 || (addressByte & 0x80) == 0)
        return 0;
    return static_cast<uint8_t>((keyWord & 0xFF) ^ keyByte);
}

bool LengthFits(std::span<const uint8_t> request)
{
    return request.size() >= kMinRequest && request[1] >= kMinRequest &&
           request[1] <= request.size();
}

std::vector<uint8_t> EncodeRequest(std::span<const uint8_t> request, uint8_t mask)
{
    if (!LengthFits(request))
        return {};
    const size_t length = request[1];
    std::vector<uint8_t> out(request.begin(),
                             request.begin() + static_cast<std::ptrdiff_t>(length));
    for (size_t i = 3; i < length; ++i)
        out[i] ^= mask;
    out.push_back(BusCrc8(out));
    return out;
}

bool IsWellFormedAnswer(std::span<const uint8_t> raw)
{
    if (raw.size() < kMinAnswer || raw.size() > kMaxAnswer)
        return false;
    if (static_cast<size_t>(raw[1]) + 1 != raw.size())
        return false;
    return BusCrc8(raw.first(raw.size() - 1)) == raw.back();
}

std::vector<uint8_t> DecodeAnswer(std::span<const uint8_t> raw, uint8_t mask)
{
    std::vector<uint8_t> out(raw.begin(), raw.end());
    if (!out.empty())
        out[0] &= 0x7F;
    for (size_t i = 2; i < out.size(); ++i)
        out[i] ^= mask;
    return out;
}

bool AnswerFitsRequest(std::span<const uint8_t> decoded, int expectedAddress, int requestCommand)
{
    if (decoded.size() < kMinAnswer)
        return false;
    if (expectedAddress != kAnyAddress && decoded[0] != expectedAddress)
        return false;
    return CheckAnswerCommand(requestCommand, decoded[2]);
}

std::vector<uint8_t> AcceptAnswer(std::span<const uint8_t> raw, uint8_t mask, int expectedAddress,
                                  int requestCommand)
{
    if (!IsWellFormedAnswer(raw))
        return {};
    std::vector<uint8_t> decoded = DecodeAnswer(raw, mask);
    if (!AnswerFitsRequest(decoded, expectedAddress, requestCommand))
        return {};
    return decoded;
}

} // namespace corecomp

namespace corecomp {

std::string FrameText(std::span<const uint8_t> bytes, char separator)
{
    std::string text;
    for (uint8_t b : bytes) {
        if (!text.empty())
            text += separator;
        text += std::to_string(b);
    }
    return text;
}

std::vector<uint8_t> ParseFrameText(const std::string& text)
{
    std::vector<uint8_t> out;
    std::istringstream in(text);
    std::string token;
    while (in >> token) {
        if (token.size() > 3 || token.find_first_not_of("0123456789") != std::string::npos)
            return {};
        const int v = std::stoi(token);
        if (v > 255)
            return {};
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

} // namespace corecomp
