#pragma once
// A unit behind the fake channel: memory, credential slots and identity, answering the
// commands of the transfer and search the way a unit does.  A test hook can drop or replace
// any answer.

#include "fake_channel.h"

#include "config_tool/model/config_image.h"

#include <array>
#include <functional>
#include <optional>

namespace device::testing {

struct FakeUnit
{
    uint8_t address = 5;
    uint8_t type = 44;
    uint16_t version = 223;
    std::array<uint8_t, model::kImageSize + 8> memory{};
    model::KeyCodes keys{};
    int closing_commands = 0;
    // Returning a value replaces the unit's answer (an empty frame = no answer).
    std::function<std::optional<Frame>(const Frame& request, int index)> hook;
    int index = 0;

    Frame Answer(const Frame& r)
    {
        const int i = index++;
        if (hook)
            if (auto replaced = hook(r, i))
                return *replaced;
        if (r.size() < 4 || r[0] != address)
            return {};
        const uint8_t a = address;
        switch (r[3]) {
        case 0x0D:
            return WithCrc({a, 0x07, 0x00, type, static_cast<uint8_t>(version & 0xFF),
                            static_cast<uint8_t>(version >> 8)});
        case 0x3F:
            return WithCrc({a, 0x08, 0x3E, 0x29, static_cast<uint8_t>(version & 0xFF),
                            static_cast<uint8_t>(version >> 8), 0x00});
        case 0x43: {
            const std::size_t o = r.at(4) + 256u * r.at(5);
            Frame f{a, 0x0C, 0x44, 0x08};
            for (std::size_t j = 0; j < 8; ++j)
                f.push_back(memory.at(o + j));
            return WithCrc(f);
        }
        case 0x41: {
            const std::size_t o = r.at(4) + 256u * r.at(5);
            for (std::size_t j = 7; j < r.size(); ++j)
                memory.at(o + j - 7) = r[j];
            return WithCrc({a, 0x05, 0x42, 0x00, 0x00});
        }
        case 0x1D: {
            const model::KeyCode& k = keys.at(r.at(5) - 1u);
            if (k == model::KeyCode{})
                return WithCrc({a, 0x05, 0x1E, 0x00, 0x00});
            Frame f{a, 0x0C, 0x1E, 0x0E};
            f.insert(f.end(), k.begin(), k.end());
            return WithCrc(f);
        }
        case 0x25: {
            std::copy(r.begin() + 7, r.begin() + 15, keys.at(r.at(5) - 1u).begin());
            return WithCrc({a, 0x06, 0x26, 0x01, r.at(5), 0x00});
        }
        case 0x17:
            ++closing_commands;
            return WithCrc({a, 0x05, 0x18, 0x00, 0x00});
        }
        return {};
    }

    FakeChannel::Responder Responder()
    {
        return [this](const Frame& r) { return Answer(r); };
    }
};

} // namespace device::testing
