#include "sim/run_commands.h"

#include "sim/analog_unit.h"
#include "sim/options.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr int kPollMs = 100;

std::string UnitAddress(const std::string& argument)
{
    return argument.substr(0, argument.find(':'));
}

// A bus address 1..127 in decimal.
std::optional<uint8_t> UnitNumber(const std::string& text)
{
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < 1 || value > 127)
        return std::nullopt;
    return static_cast<uint8_t>(value);
}

} // namespace

std::string ApplyRunCommand(Bus& bus, const std::string& raw)
{
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#')
        return {};
    line.erase(0, first);
    const std::size_t blank = line.find_first_of(" \t");
    const std::string name = line.substr(0, blank);
    std::string argument;
    if (blank != std::string::npos)
        argument = line.substr(line.find_first_not_of(" \t", blank));
    const std::string bad = "bad value for " + name + ": \"" + argument + "\"";
    const std::string no_unit = name + " names no analog unit at address " + UnitAddress(argument);

    if (name == "channel") {
        const std::optional<ChannelSpec> spec = ParseChannelSpec(argument);
        if (!spec)
            return bad;
        return ApplyChannelSpec(bus, *spec) ? std::string() : no_unit;
    }
    if (name == "channel-event") {
        const std::optional<ChannelEventSpec> spec = ParseChannelEventSpec(argument);
        if (!spec)
            return bad;
        return QueueChannelEvent(bus, *spec) ? std::string() : no_unit;
    }
    if (name == "card-report") {
        const std::optional<CardReportSpec> spec = ParseCardReportSpec(argument);
        if (!spec || spec->delay_ms != 0)
            return bad;
        return bus.QueueEvent(spec->address, CardReportBody(spec->code, spec->reader, spec->key))
                   ? std::string()
                   : name + " names no unit at address " + UnitAddress(argument);
    }
    if (name == "silent") {
        const std::size_t colon = argument.find(':');
        const std::string how = colon == std::string::npos ? "" : argument.substr(colon + 1);
        const std::optional<uint8_t> address = UnitNumber(argument.substr(0, colon));
        if ((how != "on" && how != "off") || !address)
            return bad;
        return bus.SetSilent(*address, how == "on")
                   ? std::string()
                   : name + " names no unit at address " + UnitAddress(argument);
    }
    if (name == "answer") {
        AnswerSpec spec;
        const bool remove = !argument.empty() && argument.back() == ':';
        if (!ParseAnswerSpec(remove ? argument + "000000" : argument, spec))
            return bad;
        if (remove)
            spec.body.clear();
        return bus.SetAnswer(spec.address, spec.command, spec.body)
                   ? std::string()
                   : name + " names no unit at address " + UnitAddress(argument);
    }
    return "unknown command \"" + name + "\"";
}

RunCommandReader::RunCommandReader(Bus& bus, int fd) : bus_(bus), fd_(fd) {}

RunCommandReader::~RunCommandReader()
{
    Stop();
}

void RunCommandReader::Start()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { Run(); });
}

void RunCommandReader::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void RunCommandReader::Run()
{
    std::string pending;
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, kPollMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (ready > 0 && (p.revents & POLLNVAL)))
            return;
        if (ready == 0)
            continue;
        char buf[1024];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // end of input: the units stay as they are
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            const std::string error = ApplyRunCommand(bus_, pending.substr(0, nl));
            pending.erase(0, nl + 1);
            if (!error.empty())
                std::fprintf(stderr, "t4700-sim: %s\n", error.c_str());
        }
    }
}

} // namespace sim
