// t4700-sim: simulated units on a pseudo-terminal (see --help and sim/README.md).

#include "sim/bus.h"
#include "sim/options.h"
#include "sim/pty_server.h"
#include "sim/relay_peer.h"
#include "sim/run_commands.h"
#include "sim/udp_converter.h"
#include "sim/service.h"
#include "sim/unit_file.h"

#include "platform/clock.h"

#include <algorithm>
#include <memory>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

int Fail(const std::string& why, int status)
{
    std::fprintf(stderr, "t4700-sim: %s\n", why.c_str());
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    const sim::ParsedCommandLine parsed = sim::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::fputs(sim::HelpText().c_str(), stdout);
        return 0;
    }
    if (!parsed.options)
        return Fail(parsed.error, 2);
    const sim::SimOptions& options = *parsed.options;

    // The signals are taken by sigtimedwait below; blocked before any thread starts, so the
    // server thread never sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    sim::Bus bus(options.timing, options.seed);
    for (const sim::UnitSpec& unit : options.units) {
        bus.AddUnit(unit.address, unit.type, unit.version);
        std::string error;
        if (!unit.file.empty() && !sim::LoadUnitFile(bus, unit.address, unit.file, &error))
            return Fail(error, 1);
    }
    for (const sim::ChannelSpec& spec : options.channels)
        if (!sim::EnsureAnalogPeer(bus, spec.address) || !sim::ApplyChannelSpec(bus, spec))
            return Fail("unit " + std::to_string(spec.address) + " cannot carry channels", 1);
    sim::AttachRelayPeers(bus);
    for (std::size_t i = 0; i < options.faults.size(); ++i)
        bus.SetFault(static_cast<sim::Fault>(i), options.faults[i]);

    std::string error;
    sim::PtyServer server(bus, {options.link, options.service ? "" : options.registry, options.com,
                                options.log});
    std::unique_ptr<sim::ServiceServer> service;
    std::optional<sim::UdpConverter> converter;
    // The switches that change the units at run time count from here.
    const int64_t start_us = server.NowUs();
    for (const sim::SilenceSpec& spec : options.silences)
        bus.AddSilence(spec.address, start_us + int64_t{spec.from_ms} * 1000,
                       spec.to_ms < 0 ? -1 : start_us + spec.to_ms * 1000);
    for (const sim::AnswerSpec& spec : options.answers)
        bus.SetAnswer(spec.address, spec.command, spec.body);
    for (const sim::EventRateSpec& spec : options.event_rates)
        bus.SetEventRate(spec.address, spec.per_second, start_us);
    for (uint8_t address : options.endless_events)
        bus.SetEndlessEvents(address, true);
    // What the units do after a delay, in the order of the delays and, for equal ones, of the
    // command line.
    std::vector<std::pair<uint32_t, std::function<void()>>> actions;
    for (const sim::PresentKeySpec& key : options.present_keys)
        actions.emplace_back(key.delay_ms, [&bus, key] { bus.PresentKey(key.address, key.code); });
    for (const sim::CardReportSpec& r : options.card_reports)
        actions.emplace_back(r.delay_ms, [&bus, r] {
            bus.QueueEvent(r.address, sim::CardReportBody(r.code, r.reader, r.key));
        });
    for (const sim::TimedEventSpec& spec : options.timed_events)
        actions.emplace_back(spec.delay_ms, [&bus, spec] {
            if (!sim::QueueTimedEvent(bus, spec))
                std::fprintf(stderr, "t4700-sim: unit %d could not queue its event\n",
                             spec.address);
        });
    std::stable_sort(actions.begin(), actions.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // Those without a delay are in place before the line is ready.
    std::size_t next_action = 0;
    for (; next_action < actions.size() && actions[next_action].first == 0; ++next_action)
        actions[next_action].second();
    if (options.service) {
        sim::ServiceOptions so;
        so.host = options.service_host;
        so.port = options.service_port;
        so.mac = options.mac;
        so.late_ms = options.service_late_ms;
        so.seed = options.seed;
        so.faults = options.service_faults;
        so.comPort = options.service_com;
        service = std::make_unique<sim::ServiceServer>(bus, so);
        if (!service->Start(&error))
            return Fail(error, 1);
        if (!options.registry.empty() && !service->WriteRegistry(options.registry))
            return Fail("cannot write the registry file " + options.registry, 1);
        std::printf("ready %s\n", service->Address().c_str());
    } else {
        if (!server.Start(&error))
            return Fail(error, 1);
        if (!options.udp.empty()) {
            sim::UdpConverterOptions udp{options.udp,         options.registry,
                                         options.com,         options.eth_wait_ms,
                                         options.log,         options.udp_faults,
                                         options.udp_late_ms * 1000, options.seed};
            udp.fixed_sequence = options.udp_fixed_sequence;
            converter.emplace(bus, std::move(udp));
            if (!converter->Start(&error))
                return Fail(error, 1);
            for (const sim::ConverterAddress& c : converter->Converters())
                std::printf("udp %s:%u\n", c.address.c_str(), static_cast<unsigned>(c.port));
        }
        std::printf("ready %s\n", server.PortPath().c_str());
    }
    std::fflush(stdout);
    sim::RunCommandReader commands(bus, 0);
    commands.Start();

    platform::Clock& clock = platform::SystemClock();
    const uint32_t start = clock.TickCount();
    const uint64_t stop_ms = uint64_t{options.max_seconds} * 1000;

    for (;;) {
        const uint64_t elapsed = clock.TickCount() - start;
        while (next_action < actions.size() && actions[next_action].first <= elapsed) {
            actions[next_action].second();
            ++next_action;
        }
        if (elapsed >= stop_ms)
            break;
        uint64_t wait_ms = stop_ms - elapsed;
        if (next_action < actions.size())
            wait_ms = std::min<uint64_t>(wait_ms, actions[next_action].first - elapsed);
        const timespec timeout{static_cast<time_t>(wait_ms / 1000), static_cast<long>(wait_ms % 1000) * 1000000};
        if (sigtimedwait(&signals, nullptr, &timeout) > 0)
            break;
    }

    commands.Stop();
    if (converter)
        converter->Stop();
    server.Stop();
    if (service)
        service->Stop();
    int status = 0;
    if (!options.dump.empty() && !sim::DumpUnits(bus, options.dump, &error))
        status = Fail("cannot write " + error, 1);
    // A call the service had to refuse is the tool's fault: the run fails.
    if (service)
        for (const std::string& refused : service->ProtocolFaults())
            status = Fail("refused a call: " + refused, 3);
    return status;
}
