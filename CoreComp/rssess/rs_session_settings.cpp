// The bus layer's registry settings.

#include "CoreComp/rssess/rs_session.h"

#include "CoreComp/rssess/bus_frame.h"

#include "platform/serial_port.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace {

using platform::Hive;
constexpr const char* kSettingsKey = "\\Software\\KAVEX\\ZEMRA\\RS";

} // namespace

void TRSSession::ReadRegistrySettings()
{
    std::lock_guard guard(lock_);
    TBusSettings& s = settings_;
    // Presets; the values without one keep what they had.
    s.IntervalTimeout = 0;
    s.TimeoutMultiplier = 0;
    s.TimeoutConstant = 30;
    s.CmdIntervalTimeout = 0;
    s.CmdTimeoutMultiplier = 0;
    s.CmdTimeoutConstant = 600;
    s.DeviceTimeout = 15;
    s.ConfirmationTimeOut = 2;
    s.PauseFromSession = 0;
    s.TotalWriteConstant = 1000;
    s.CmdTotalWriteConstant = 1000;
    s.StartTimeout = 4;
    s.TailInUS = 400;

    if (!registry_.KeyExists(Hive::LocalMachine, kSettingsKey) &&
        !registry_.CreateKey(Hive::LocalMachine, kSettingsKey)) {
        logCommand_ = s.LogCommand;
        return;
    }

    auto dword = [&](const char* name) {
        return registry_.ReadDword(Hive::LocalMachine, kSettingsKey, name);
    };
    auto value = [&](const char* name, int32_t def) { return dword(name).value_or(def); };
    // A time or pause below zero means nothing sensible on the line: it counts as missing.
    // One above a minute would hold the window that long on each silent unit or broadcast:
    // it is cut to a minute (in the value's own unit), and the cut is logged once, as is a
    // value refused for another reason (once there is a log to write it to).
    struct Cut
    {
        const char* name;
        int64_t value;
        int64_t taken;
        bool tooSmall;
    };
    std::vector<Cut> cut;
    auto ceiling = [&](const char* name, int32_t v, int32_t most) {
        if (v <= most)
            return v;
        cut.push_back({name, v, most, false});
        return most;
    };
    auto duration = [&](const char* name, int32_t def) {
        const auto v = dword(name);
        return ceiling(name, v && *v >= 0 ? *v : def, kMaxRegistryMs);
    };
    auto present = [&](const char* name) {
        return registry_.ValueExists(Hive::LocalMachine, kSettingsKey, name);
    };

    s.IntervalTimeout = duration("IntervalTimeout", 0);
    s.SmartPI = present("SmartPI");
    s.AllPause = present("AllPause");
    s.TimeoutMultiplier = duration("TimeoutMultiplier", 0);
    s.TimeoutConstant = duration("TimeoutConstant", 50);
    s.CmdIntervalTimeout = duration("CmdIntervalTimeout", 0);
    s.CmdTimeoutMultiplier = duration("CmdTimeoutMultiplier", 0);
    s.CmdTimeoutConstant = duration("CmdTimeoutConstant", 600);
    // Seconds of silence before a unit counts as lost: no wait, so no ceiling.
    s.DeviceTimeout = value("DeviceTimeout", 15);
    if (s.DeviceTimeout < 0)
        s.DeviceTimeout = 15;
    s.SecLostDevice = value("SecLostDevice", 15);
    if (s.SecLostDevice < 0)
        s.SecLostDevice = 15;
    s.ContractNoAnswer = value("ContractNoAnswer", 5);
    s.ConfirmationTimeOut = std::max(duration("ConfirmationTimeOut", 2), 2);
    // A speed that no port takes leaves the line unusable, and one of a few bit/s would make
    // the quiet gap after a silent unit last for hours: the default stands instead.
    s.SpeedRSS = value("SpeedRSS", 9600);
    if (s.SpeedRSS < platform::kSlowestLineSpeed || s.SpeedRSS > platform::kFastestLineSpeed) {
        cut.push_back({"SpeedRSS", s.SpeedRSS, 9600, s.SpeedRSS < platform::kSlowestLineSpeed});
        s.SpeedRSS = 9600;
    }
    s.PauseFromSession = duration("PauseFromSession", 5);
    s.TotalWriteConstant = duration("TotalWriteConstant", 1000);
    s.CmdTotalWriteConstant = duration("CmdTotalWriteConstant", 1000);
    s.NoTime = present("NoTime");
    s.IsOneWriteFile = value("IsOneWriteFile", 0);
    // The start time-out stays 4 while the one held is below 5, which the preset always is; a
    // missing value is written for the service staff to find.
    if (const auto v = dword("StartTimeout")) {
        if (s.StartTimeout >= 5 && *v >= 0)
            s.StartTimeout = ceiling("StartTimeout", *v, kMaxRegistryMs);
    } else {
        s.StartTimeout = 4;
        if (!present("StartTimeout")) // one of another type is left as the staff wrote it
            registry_.WriteDword(Hive::LocalMachine, kSettingsKey, "StartTimeout", 4);
    }
    if (const auto v = dword("TailInUS")) {
        s.TailInUS = ceiling("TailInUS", *v >= 0 ? *v : 400, kMaxRegistryMs * 1000);
    } else {
        s.TailInUS = 400;
        if (!present("TailInUS"))
            registry_.WriteDword(Hive::LocalMachine, kSettingsKey, "TailInUS", 400);
    }
    // A total read time-out of zero (no per-byte part and no constant) would wait for ever on
    // a silent unit, and with it the window: it counts as missing.  So does a write time-out
    // of zero, which would wait for ever on a port that takes nothing.
    if (s.TimeoutMultiplier == 0 && s.TimeoutConstant == 0)
        s.TimeoutConstant = 50;
    if (s.CmdTimeoutMultiplier == 0 && s.CmdTimeoutConstant == 0)
        s.CmdTimeoutConstant = 600;
    if (s.TotalWriteConstant == 0)
        s.TotalWriteConstant = 1000;
    if (s.CmdTotalWriteConstant == 0)
        s.CmdTotalWriteConstant = 1000;
    // However the per-byte part and the constant add up, one try waits a minute at most for
    // its answer (the exchange cuts it); values that ask more for the longest answer are noted.
    auto tryWait = [&](const char* name, int32_t multiplier, int32_t constant) {
        const int64_t ms = int64_t{multiplier} * int64_t{corecomp::kMaxAnswer} + constant;
        if (ms > kMaxRegistryMs)
            cut.push_back({name, ms, kMaxRegistryMs, false});
    };
    tryWait("TimeoutMultiplier*256+TimeoutConstant", s.TimeoutMultiplier, s.TimeoutConstant);
    tryWait("CmdTimeoutMultiplier*256+CmdTimeoutConstant", s.CmdTimeoutMultiplier,
            s.CmdTimeoutConstant);
    s.StopBits = value("StopBits", 0);
    if (s.StopBits < 0 || s.StopBits > 2)
        s.StopBits = 0;
    s.PauseTotalCommand =
        ceiling("PauseTotalCommand", value("PauseTotalCommand", 0), kMaxRegistryMs);
    s.CmdChecked = value("CmdChecked", 1);
    s.LogCommand = present("LogCommand");
    logCommand_ = s.LogCommand;
    s.NoTranslateWalk = value("NoTranslateWalk", 0);
    for (const Cut& c : cut) {
        if (std::find(clampsLogged_.begin(), clampsLogged_.end(), c.name) != clampsLogged_.end())
            continue;
        if (!s.LogCommand)
            continue; // logged once there is a log to write it to
        clampsLogged_.emplace_back(c.name);
        LogPort(std::string("Значение ") + c.name + "=" + std::to_string(c.value) +
                (c.tooSmall ? " слишком мало" : " слишком велико") + ", взято " +
                std::to_string(c.taken));
    }
}
