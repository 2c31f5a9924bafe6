#include "sim/options.h"

#include "config_tool/model/codecs.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <functional>
#include <map>

namespace sim {

namespace {

const char* const kServiceFaultSwitches[kServiceFaultKinds] = {
    "--svc-no-callback", "--svc-bad-digest", "--svc-late", "--svc-early", "--svc-foreign",
};

const char* const kFaultSwitches[kFaultKinds] = {
    "--no-answer",   "--bad-crc",     "--wrong-address", "--wrong-command", "--short-answer",
    "--wrong-length", "--late-answer", "--split-answer",  "--echo",
};

template <typename T>
bool Number(const std::string& text, T low, T high, T& out)
{
    long long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < static_cast<long long>(low) ||
        value > static_cast<long long>(high))
        return false;
    out = static_cast<T>(value);
    return true;
}

std::vector<std::string> Split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

// "3" -> the next three answers; "0.25", "1.0" or "25%" -> a probability.
bool ParseFault(const std::string& text, FaultRule& rule)
{
    rule = {};
    if (text.find('.') == std::string::npos && text.find('%') == std::string::npos)
        return Number(text, 0, 1000000000, rule.count);
    std::string digits = text;
    double scale = 1.0;
    if (!digits.empty() && digits.back() == '%') {
        digits.pop_back();
        scale = 100.0;
    }
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(),
                                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == '.'; }) ||
        std::count(digits.begin(), digits.end(), '.') > 1 || digits == ".")
        return false;
    const double p = std::strtod(digits.c_str(), nullptr) / scale;
    if (p < 0.0 || p > 1.0)
        return false;
    rule.probability = p;
    return true;
}

// ADDR:FROM_MS[:TO_MS]
bool ParseSilence(const std::string& text, SilenceSpec& spec)
{
    const std::vector<std::string> parts = Split(text, ':');
    if (parts.size() < 2 || parts.size() > 3)
        return false;
    uint32_t to = 0;
    if (!Number<uint8_t>(parts[0], 1, 127, spec.address) || !Number(parts[1], 0u, 86400000u, spec.from_ms))
        return false;
    if (parts.size() == 3) {
        if (!Number(parts[2], spec.from_ms, 86400000u, to))
            return false;
        spec.to_ms = to;
    }
    return true;
}

// Hexadecimal digits, two a byte, min to max bytes.
bool ParseHex(const std::string& hex, std::size_t min, std::size_t max, Bytes& out)
{
    if (hex.size() % 2 != 0 || hex.size() < 2 * min || hex.size() > 2 * max ||
        !std::all_of(hex.begin(), hex.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
        return false;
    out.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return true;
}

// ADDR:CMD:HEX, CMD in decimal, HEX the answer from its command on (3 to 253 bytes).
bool ParseAnswer(const std::string& text, AnswerSpec& spec)
{
    const std::vector<std::string> parts = Split(text, ':');
    return parts.size() == 3 && Number<uint8_t>(parts[0], 1, 127, spec.address) &&
           Number<uint8_t>(parts[1], 0, 255, spec.command) && ParseHex(parts[2], 3, 253, spec.body);
}

// --walk ADDR:EVENT[:DELAY_MS], --forward ADDR:DEST:HEX[:DELAY_MS], --event ADDR:HEX[:DELAY_MS]:
// the fields before the delay are one more for --forward.
bool ParseTimedEvent(const std::string& text, TimedEventSpec::Kind kind, TimedEventSpec& spec)
{
    using Kind = TimedEventSpec::Kind;
    const std::vector<std::string> parts = Split(text, ':');
    const std::size_t fields = kind == Kind::Forward ? 3 : 2;
    spec.kind = kind;
    spec.delay_ms = 0;
    if (parts.size() < fields || parts.size() > fields + 1 ||
        !Number<uint8_t>(parts[0], 1, 127, spec.address) ||
        (parts.size() > fields && !Number(parts[fields], 0u, 86400000u, spec.delay_ms)))
        return false;
    switch (kind) {
    case Kind::Walk:
        return Number<uint8_t>(parts[1], 0, 255, spec.event);
    case Kind::Forward:
        // The carried request fills the event answer up to its 253 bytes.
        return Number<uint8_t>(parts[1], 1, 127, spec.destination) &&
               ParseHex(parts[2], 1, 249, spec.bytes);
    case Kind::Body:
        return ParseHex(parts[1], 3, 253, spec.bytes);
    }
    return false;
}

// The switch that makes an event of this kind.
const char* TimedEventSwitch(TimedEventSpec::Kind kind)
{
    switch (kind) {
    case TimedEventSpec::Kind::Walk:
        return "--walk";
    case TimedEventSpec::Kind::Forward:
        return "--forward";
    case TimedEventSpec::Kind::Body:
        break;
    }
    return "--event";
}

// ADDR:N, N events a second (up to 1000, a decimal point allowed).
bool ParseEventRate(const std::string& text, EventRateSpec& spec)
{
    const std::vector<std::string> parts = Split(text, ':');
    if (parts.size() != 2 || !Number<uint8_t>(parts[0], 1, 127, spec.address) || parts[1].empty() ||
        !std::all_of(parts[1].begin(), parts[1].end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == '.'; }) ||
        std::count(parts[1].begin(), parts[1].end(), '.') > 1 || parts[1] == ".")
        return false;
    spec.per_second = std::strtod(parts[1].c_str(), nullptr);
    return spec.per_second > 0 && spec.per_second <= 1000;
}

bool ParseUnit(const std::string& text, UnitSpec& unit)
{
    const std::vector<std::string> parts = Split(text, ':');
    if (parts.size() < 3)
        return false;
    unit.file.clear();
    if (parts.size() > 3) {
        // The file name may itself hold colons.
        const std::size_t at = parts[0].size() + parts[1].size() + parts[2].size() + 3;
        unit.file = text.substr(at);
        if (unit.file.empty())
            return false;
    }
    return Number(parts[0], uint8_t{1}, uint8_t{127}, unit.address) &&
           Number(parts[1], uint8_t{0}, uint8_t{255}, unit.type) &&
           Number(parts[2], uint16_t{0}, uint16_t{65535}, unit.version);
}

bool ParsePresentKey(const std::string& text, PresentKeySpec& key)
{
    const std::vector<std::string> parts = Split(text, ':');
    if (parts.size() < 2 || parts.size() > 3)
        return false;
    const auto code = KeyCodeFromText(parts[1]);
    if (!code || !Number(parts[0], uint8_t{1}, uint8_t{127}, key.address))
        return false;
    key.code = *code;
    key.delay_ms = 0;
    return parts.size() == 2 || Number(parts[2], 0u, 86400000u, key.delay_ms);
}

// "a.b.c.d:port", the port 0..65535 (0: any free one).  The session binds the port on every
// address and sends from 127.0.0.1, so a converter there would get its own answers.
bool ParseConverter(const std::string& text, ConverterAddress& out)
{
    const std::vector<std::string> parts = Split(text, ':');
    if (parts.size() != 2)
        return false;
    const std::vector<std::string> octets = Split(parts[0], '.');
    uint8_t octet = 0;
    if (octets.size() != 4 ||
        !std::all_of(octets.begin(), octets.end(), [&](const std::string& o) { return Number(o, uint8_t{0}, uint8_t{255}, octet); }))
        return false;
    if (parts[0] == "127.0.0.1" || parts[0] == "0.0.0.0")
        return false;
    out.address = parts[0];
    return Number(parts[1], uint16_t{0}, uint16_t{65535}, out.port);
}

const char* const kConverterFaultSwitches[kConverterFaultKinds] = {
    "--udp-notice", "--udp-foreign", "--udp-oversized", "--udp-short", "--udp-late", "--udp-drop",
};

} // namespace

const char* FaultSwitch(Fault fault)
{
    return kFaultSwitches[static_cast<std::size_t>(fault)];
}

bool ParseAnswerSpec(const std::string& text, AnswerSpec& spec)
{
    return ParseAnswer(text, spec);
}

bool ParseTimedEventSpec(const std::string& text, TimedEventSpec::Kind kind, TimedEventSpec& spec)
{
    return ParseTimedEvent(text, kind, spec);
}

std::optional<model::KeyCode> KeyCodeFromText(const std::string& text)
{
    if (text.size() != 16 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    return model::KeyTextToBytes(text);
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args)
{
    ParsedCommandLine result;
    SimOptions options;
    uint32_t turnaround_ms = 2;
    uint32_t late_ms = 700;
    uint32_t late_spread_ms = 0;
    uint32_t split_gap_ms = 20;
    bool com_given = false;

    auto fail = [&](std::string why) {
        result.error = std::move(why);
        return result;
    };

    auto take_event = [&](const std::string& v, TimedEventSpec::Kind kind) {
        TimedEventSpec spec;
        if (!ParseTimedEvent(v, kind, spec))
            return false;
        options.timed_events.push_back(std::move(spec));
        return true;
    };

    using Handler = std::function<bool(const std::string&)>;
    const std::map<std::string, Handler> switches = {
        {"--link", [&](const std::string& v) { options.link = v; return !v.empty(); }},
        {"--registry", [&](const std::string& v) { options.registry = v; return !v.empty(); }},
        {"--com", [&](const std::string& v) { com_given = true; return Number(v, 1, 255, options.com); }},
        {"--unit",
         [&](const std::string& v) {
             UnitSpec unit;
             if (!ParseUnit(v, unit))
                 return false;
             options.units.push_back(unit);
             return true;
         }},
        {"--baud", [&](const std::string& v) { return Number(v, 50u, 4000000u, options.timing.baud); }},
        {"--turnaround", [&](const std::string& v) { return Number(v, 0u, 10000u, turnaround_ms); }},
        {"--late-ms", [&](const std::string& v) { return Number(v, 0u, 60000u, late_ms); }},
        {"--late-spread-ms", [&](const std::string& v) { return Number(v, 0u, 60000u, late_spread_ms); }},
        {"--split-gap-ms", [&](const std::string& v) { return Number(v, 0u, 60000u, split_gap_ms); }},
        {"--seed", [&](const std::string& v) { return Number(v, 0u, 0xFFFFFFFFu, options.seed); }},
        {"--present-key",
         [&](const std::string& v) {
             PresentKeySpec key;
             if (!ParsePresentKey(v, key))
                 return false;
             options.present_keys.push_back(key);
             return true;
         }},
        {"--silent",
         [&](const std::string& v) {
             SilenceSpec spec;
             if (!ParseSilence(v, spec))
                 return false;
             options.silences.push_back(spec);
             return true;
         }},
        {"--answer",
         [&](const std::string& v) {
             AnswerSpec spec;
             if (!ParseAnswer(v, spec))
                 return false;
             options.answers.push_back(spec);
             return true;
         }},
        {"--event-rate",
         [&](const std::string& v) {
             EventRateSpec spec;
             if (!ParseEventRate(v, spec))
                 return false;
             options.event_rates.push_back(spec);
             return true;
         }},
        {"--endless-events",
         [&](const std::string& v) {
             uint8_t address = 0;
             if (!Number<uint8_t>(v, 1, 127, address))
                 return false;
             options.endless_events.push_back(address);
             return true;
         }},
        {"--channel",
         [&](const std::string& v) {
             const std::optional<ChannelSpec> spec = ParseChannelSpec(v);
             if (spec)
                 options.channels.push_back(*spec);
             return spec.has_value();
         }},
        {"--card-report",
         [&](const std::string& v) {
             const std::optional<CardReportSpec> spec = ParseCardReportSpec(v);
             if (spec)
                 options.card_reports.push_back(*spec);
             return spec.has_value();
         }},
        {"--walk", [&](const std::string& v) { return take_event(v, TimedEventSpec::Kind::Walk); }},
        {"--forward", [&](const std::string& v) { return take_event(v, TimedEventSpec::Kind::Forward); }},
        {"--event", [&](const std::string& v) { return take_event(v, TimedEventSpec::Kind::Body); }},
        {"--log", [&](const std::string& v) { options.log = v; return !v.empty(); }},
        {"--dump", [&](const std::string& v) { options.dump = v; return !v.empty(); }},
        {"--max-seconds", [&](const std::string& v) { return Number(v, 1u, 31536000u, options.max_seconds); }},
        {"--udp",
         [&](const std::string& v) {
             ConverterAddress converter;
             if (!ParseConverter(v, converter))
                 return false;
             options.udp.push_back(converter);
             return true;
         }},
        {"--eth-wait", [&](const std::string& v) { return Number(v, 0, 60000, options.eth_wait_ms); }},
        {"--udp-late-ms", [&](const std::string& v) { return Number(v, 0u, 60000u, options.udp_late_ms); }},
        {"--udp-fixed-seq",
         [&](const std::string& v) {
             uint32_t n = 0;
             if (!Number(v, 0u, 65535u, n))
                 return false;
             options.udp_fixed_sequence = static_cast<int32_t>(n);
             return true;
         }},
        {"--service",
         [&](const std::string& v) {
             const std::size_t colon = v.rfind(':');
             options.service = true;
             options.service_host = v.substr(0, colon);
             return colon != std::string::npos && !options.service_host.empty() &&
                    Number(v.substr(colon + 1), uint16_t{0}, uint16_t{65535}, options.service_port);
         }},
        {"--mac",
         [&](const std::string& v) {
             options.mac = v;
             return v.size() == 12 && std::all_of(v.begin(), v.end(), [](char c) {
                        return std::isxdigit(static_cast<unsigned char>(c));
                    });
         }},
        {"--svc-late-ms", [&](const std::string& v) { return Number(v, 0u, 60000u, options.service_late_ms); }},
        {"--svc-com", [&](const std::string& v) { return Number(v, 1, 255, options.service_com); }},
    };
    std::map<std::string, Handler> all_switches = switches;
    for (int i = 0; i < kConverterFaultKinds; ++i)
        all_switches.emplace(kConverterFaultSwitches[i], [&options, i](const std::string& v) {
            return ParseFault(v, options.udp_faults.at(static_cast<std::size_t>(i)));
        });

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const std::size_t eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" || name == "-h") {
            result.help = true;
            return result;
        }
        const auto fault_at = std::find_if(std::begin(kFaultSwitches), std::end(kFaultSwitches),
                                           [&](const char* s) { return name == s; });
        const auto handler = all_switches.find(name);
        const auto service_fault_at =
            std::find_if(std::begin(kServiceFaultSwitches), std::end(kServiceFaultSwitches),
                         [&](const char* s) { return name == s; });
        if (fault_at == std::end(kFaultSwitches) && handler == all_switches.end() &&
            service_fault_at == std::end(kServiceFaultSwitches))
            return fail("unknown option " + name + " (see --help)");
        if (!value) {
            if (i + 1 >= args.size())
                return fail(name + " needs a value");
            value = args[++i];
        }
        bool ok = false;
        if (service_fault_at != std::end(kServiceFaultSwitches))
            ok = ParseFault(*value, options.service_faults.at(static_cast<std::size_t>(
                                        service_fault_at - std::begin(kServiceFaultSwitches))));
        else if (fault_at != std::end(kFaultSwitches))
            ok = ParseFault(*value, options.faults.at(static_cast<std::size_t>(fault_at - std::begin(kFaultSwitches))));
        else
            ok = handler->second(*value);
        if (!ok)
            return fail("bad value for " + name + ": \"" + *value + "\"");
    }

    if (options.service) {
        if (com_given || !options.link.empty())
            return fail("--service serves no pty: --link and --com do not go with it");
    } else if (options.registry.empty() != !com_given) {
        return fail("--registry and --com go together");
    }
    if (options.units.empty())
        options.units.push_back(UnitSpec{});
    for (std::size_t i = 0; i < options.units.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (options.units[i].address == options.units[j].address)
                return fail("two units at address " + std::to_string(options.units[i].address));
    auto names_unit = [&](uint8_t address) {
        return std::any_of(options.units.begin(), options.units.end(),
                           [&](const UnitSpec& u) { return u.address == address; });
    };
    for (const SilenceSpec& spec : options.silences)
        if (!names_unit(spec.address))
            return fail("--silent names no unit at address " + std::to_string(spec.address));
    for (const AnswerSpec& spec : options.answers)
        if (!names_unit(spec.address))
            return fail("--answer names no unit at address " + std::to_string(spec.address));
    for (const EventRateSpec& spec : options.event_rates)
        if (!names_unit(spec.address))
            return fail("--event-rate names no unit at address " + std::to_string(spec.address));
    for (uint8_t address : options.endless_events)
        if (!names_unit(address))
            return fail("--endless-events names no unit at address " + std::to_string(address));
    for (const ChannelSpec& spec : options.channels) {
        const auto unit = std::find_if(options.units.begin(), options.units.end(),
                                       [&](const UnitSpec& u) { return u.address == spec.address; });
        if (unit == options.units.end() || !IsAnalogType(unit->type))
            return fail("--channel names no unit of type 1, 2, 4, 9, 11 or 12 at address " +
                        std::to_string(spec.address));
    }
    for (const CardReportSpec& spec : options.card_reports)
        if (!names_unit(spec.address))
            return fail("--card-report names no unit at address " + std::to_string(spec.address));
    for (const TimedEventSpec& spec : options.timed_events) {
        const auto unit = std::find_if(options.units.begin(), options.units.end(),
                                       [&](const UnitSpec& u) { return u.address == spec.address; });
        const std::string at = " at address " + std::to_string(spec.address);
        if (unit == options.units.end())
            return fail(std::string(TimedEventSwitch(spec.kind)) + " names no unit" + at);
        if (spec.kind != TimedEventSpec::Kind::Body && !IsRelayType(unit->type))
            return fail(std::string(TimedEventSwitch(spec.kind)) +
                        " needs a unit of type 4, 14, 15 or 16" + at);
    }
    for (const PresentKeySpec& key : options.present_keys)
        if (std::none_of(options.units.begin(), options.units.end(),
                         [&](const UnitSpec& u) { return u.address == key.address; }))
            return fail("--present-key names no unit at address " + std::to_string(key.address));

    options.timing.turnaround_us = turnaround_ms * 1000;
    options.timing.late_us = late_ms * 1000;
    options.timing.late_spread_us = late_spread_ms * 1000;
    options.timing.split_gap_us = split_gap_ms * 1000;
    result.options = std::move(options);
    return result;
}

const std::string& HelpText()
{
    static const std::string text = R"(Usage: t4700-sim [OPTION]...
Serves simulated Т4700-КЛВ and Т4700-ВД units on a pseudo-terminal, as they answer on the
RS-485 bus, until SIGINT or SIGTERM or --max-seconds.  Options take their value as the next
argument or after "=".

Line:
  --link PATH              make PATH a symbolic link to the pty slave (removed on exit)
  --registry FILE --com N  add "PORT"="COMN" under hardware\devicemap\serialcomm of the
                           registry file FILE, PORT being the link, else the slave
                           (removed on exit); N is 1..255
  --baud N                 emulated line speed in bit/s (default 9600)
  --turnaround MS          pause between a request and its answer (default 2)
  --log FILE               append one line per frame in and out and per run of dropped
                           bytes: "HH:MM:SS.mmm in|out|drop|lost XX XX ..."

Units:
  --unit ADDR:TYPE:VERSION[:FILE.kconf]
                           a unit (repeatable): address 1..127, type code 0..255 and
                           version 0..65535 in decimal (223 = 2.23); FILE.kconf gives its
                           memory and credentials; default: one unit 1:44:223 holding the
                           factory image and no credentials; units of types 4, 14, 15
                           and 16 take part in the event relay: they keep the broadcasts
                           they hear, and a type-14 unit confirms a relayed report (31)
                           with 32
  --present-key ADDR:CODE16[:DELAY_MS]
                           DELAY_MS after the start (default 0), queue at unit ADDR the
                           credential-presentation event carrying CODE16 (16 hexadecimal
                           digits as the tool shows them, check byte first); repeatable
  --silent ADDR:FROM_MS[:TO_MS]
                           unit ADDR answers nothing from FROM_MS after the start until
                           TO_MS (default: to the end); repeatable
  --answer ADDR:CMD:HEX    unit ADDR answers command CMD (decimal) with HEX, the answer
                           from its command byte on (3 to 253 bytes); repeatable
  --event-rate ADDR:N      unit ADDR makes N numbered events a second (N up to 1000),
                           answered in turn with the commands 04, 0C and 0E; repeatable
  --endless-events ADDR    the event log of unit ADDR never empties: an event read that
                           finds it empty gets the next numbered event, as --event-rate
                           makes them; repeatable
  --channel ADDR:CH:VALUE[:KIND[:ARM]]
                           unit ADDR (of type 1, 2, 4, 9, 11 or 12) carries channel CH
                           (0..255) reading VALUE (0..255): 27 [ch 0] is answered 28 ch
                           VALUE, 57 [ch 1] 58 01 KIND, 57 [ch m] 58 m VALUE and the arming
                           command 25 [ch 0] 26 ch ARM (an event answer); KIND 1..254
                           (default 31 for type 12, else 3), ARM 0..255 (default 0), all
                           decimal; repeatable
  --card-report ADDR:CODE:READER:KEY16[:DELAY_MS]
                           DELAY_MS after the start (default 0), queue at unit ADDR the
                           event 04 CODE READER k0..k7 (a credential report, CODE e.g. 26,
                           28, 29, 32 or 34), KEY16 as for --present-key; repeatable
  --walk ADDR:EVENT[:DELAY_MS]
                           DELAY_MS after the start (default 0), unit ADDR (type 4, 14,
                           15 or 16) queues a walk event with the code EVENT (decimal;
                           32 a passage, 28 an extended one); repeatable
  --forward ADDR:DEST:HEX[:DELAY_MS]
                           the same for event 18 on answer command 0E, carrying the
                           request HEX (its command and data, 1 to 249 bytes) for unit
                           DEST (1..127); repeatable
  --event ADDR:HEX[:DELAY_MS]
                           the same for any event: HEX is the event answer from its
                           command byte on (3 to 253 bytes), e.g. 040F0100 for a report
                           of event 15 (a type-15 unit's events go to every type-14
                           unit); repeatable
  --dump DIR               on exit (signal or --max-seconds), write each unit's memory
                           and credentials to DIR/unit-ADDR.kconf (ADDR in decimal)

Faults, each answer at most one, in this order of precedence.  AMOUNT is a count N (the next
N answers) or a probability P written with a decimal point or as a percentage (0.25, 25%):
  --no-answer AMOUNT       the answer is not sent
  --bad-crc AMOUNT         its CRC-8 byte is wrong
  --wrong-address AMOUNT   it comes from the next address
  --wrong-command AMOUNT   its command has bit 7 flipped
  --short-answer AMOUNT    its last two bytes are missing
  --wrong-length AMOUNT    its length byte is one too large
  --late-answer AMOUNT     it comes --late-ms MS later (default 700), and with
                           --late-spread-ms MS up to MS more, drawn anew for each
  --split-answer AMOUNT    it comes in two halves --split-gap-ms MS apart (default 20)
  --echo AMOUNT            the request's bytes come back before it
  --seed N                 seed of the fault probabilities (default 1)

Ethernet-to-RS-485 converters:
  --udp ADDR:PORT          also serve the units through a converter on UDP at ADDR:PORT
                           (repeatable; every converter serves the same line); ADDR is a
                           dotted-decimal IPv4 address other than 127.0.0.1 and 0.0.0.0 (the
                           session binds PORT on every address and sends from 127.0.0.1), e.g.
                           127.0.0.2; PORT 0 takes a free port.  Prints "udp ADDR:PORT" per
                           converter before "ready".  With --registry and --com N, writes
                           WORKTYPE "ObmenEthernet", ETHWAITTIME and the converters'
                           IPETHERNET<i> values under SOFTWARE\KAVEX\ZEMRA\RS\PORT<N>
                           (removed on exit)
  --eth-wait MS            the ETHWAITTIME written (default 100)
  --udp-notice AMOUNT      a type-2 notice datagram comes before the answer
  --udp-foreign AMOUNT     a datagram whose first byte is not 1x comes before the answer
  --udp-oversized AMOUNT   a 300-byte datagram comes before the answer
  --udp-short AMOUNT       the answer datagram declares more bytes than it carries
  --udp-late AMOUNT        the answer datagram comes --udp-late-ms MS later (default 1000)
  --udp-drop AMOUNT        the answer datagram is not sent
  --udp-fixed-seq N        answer datagrams carry the sequence number N (0..65535) instead of
                           the request's, as a converter that does not echo it
                           (AMOUNT as for the faults above, drawn per answered request in
                           this order with the same --seed; the datagrams that come before
                           the answer carry a well-formed answer with other data)

Bus-driver service (instead of the pty):
  --service HOST:PORT      serve the units behind a simulated bus-driver service over
                           XML-RPC on HOST:PORT (loopback only; PORT 0: any free port);
                           "ready" then names HOST:PORT
  --mac HEX12              the unit's MAC at the service (default 001A2B3C4D5E)
  --svc-com N              COM-line mode: the service's line is its COM port N, each unit
                           is a device of its own (MAC 0000000000 and the address in hex)
  --registry FILE          with --service: write WORKTYPE "ObmenXMLRPC" and the link's
                           DriverIP, ClientIP, MAC and (with --svc-com) DriverCOMPort
                           into FILE
  --svc-no-callback AMOUNT an answer is never called back
  --svc-bad-digest AMOUNT  its callback carries a wrong Content-MD5
  --svc-late AMOUNT        its callback comes --svc-late-ms MS late (default 2500)
  --svc-early AMOUNT       its callback comes before the SendData response
  --svc-foreign AMOUNT     a callback with a foreign packet counter comes first

Run:
  --max-seconds N          stop by itself after N seconds (default 3600)
  --help                   print this text and exit

Run-time commands, one a line on standard input once "ready" is out (a bad line is
reported on standard error and changes nothing; end of input leaves the units as they are):
  channel ADDR:CH:VALUE[:KIND[:ARM]]   as --channel, for a unit given --channel at start
  channel-event ADDR:CODE:CH           queue the channel event 04 CODE CH e (e: the unit's
                                       next event number) at the analog unit ADDR
  card-report ADDR:CODE:READER:KEY16   as --card-report, at once
  silent ADDR:on|off                   unit ADDR stops or resumes answering
  answer ADDR:CMD:HEX                  as --answer; "answer ADDR:CMD:" removes it

Once the line is ready (link and registry entry made), prints one line "ready PORT" on
standard output and flushes it; PORT is the link, else the slave.  Exit status: 0 after a
signal or --max-seconds, 1 when the line or a unit file cannot be set up or a --dump file
cannot be written, 2 for a bad command line.
)";
    return text;
}

} // namespace sim
