#include "config_tool/device/bus_search.h"

#include "config_tool/device/transfer.h"

#include <exception>

namespace device {

std::vector<int> BusScan::ScanOrder()
{
    std::vector<int> order{127};
    for (int a = 1; a <= 125; ++a)
        order.push_back(a);
    return order;
}

void BusScan::Run(int port, ScanObserver& observer)
{
    units_.clear();
    scanning_ = PrepareChannel(channel_, port, 0);
    for (int a : ScanOrder()) {
        if (!scanning_)
            break;
        observer.AddressStarted(a);
        try {
            channel_.SetRetryCount(0);
            Visit(static_cast<uint8_t>(a), observer);
        } catch (const std::exception&) {
            // a unit whose exchange fails is simply not listed
        }
        if (units_.size() == 1)
            observer.SelectFirstLine();
        observer.Serve();
    }
    scanning_ = false;
}

void BusScan::Visit(uint8_t a, ScanObserver& observer)
{
    TypeAnswer t;
    if (!ParseTypeAnswer(channel_.Exchange(TypeQuery(a)), t))
        return;
    const Frame answer = channel_.Exchange(VersionQuery(a));
    if (answer.size() < 2)
        return;
    FoundUnit unit{a, t.type, t.version, 0, false};
    if (answer[1] == 0x08) {
        uint16_t version = 0;
        if (!ParseVersionAnswer(answer, version))
            return;
        unit.version_byte = static_cast<uint8_t>(version & 0xFF);
        unit.klv_line = t.type == 10 && t.version >= 220 && t.version <= 222;
    }
    units_.push_back(unit);
    observer.UnitListed(unit);
}

AcceptedUnit BusScan::Accept(int line) const
{
    if (line < 0 || static_cast<std::size_t>(line) >= units_.size())
        return {};
    const FoundUnit& u = units_.at(static_cast<std::size_t>(line));
    if (!IsSupportedUnit(u.type, u.version_byte))
        return {};
    return {true, u.address, (u.type == 10 && u.version_byte > 222) ? "ВД" : "КЛВ"};
}

std::string VersionText(uint16_t version)
{
    const int minor = version % 100;
    return std::to_string(version / 100) + "." + (minor < 10 ? "0" : "") + std::to_string(minor);
}

} // namespace device
