// The files that are read whole, each at the largest size its reader takes: the time a load
// takes and the memory it needs, and the time of many writes to the in-memory ini file.
//
// Each figure is measured in a child process of its own, so that its peak memory is its own:
// the peak above that of a child that only starts, the fastest of three runs.  The fixture
// files are written first, to a temporary folder, with the lines that cost a reader most: the
// shortest key lines the format has, all in one section, or as many sections as fit.

#include "platform/file_util.h"
#include "platform/profile_ini.h"
#include "platform/registry.h"
#include "translation/settings/config_file.h"
#include "translation/settings/mem_ini_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Figure
{
    double seconds = -1;
    double mib = -1; // peak memory above a bare child's
};

// Runs work in a child; its time (measured there, sent back through a pipe) and peak memory.
Figure InChild(const std::function<bool()>& work)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid < 0)
        return {};
    if (pid == 0) {
        ::close(fds[0]);
        const auto start = Clock::now();
        const bool ok = work();
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        const ssize_t n = ::write(fds[1], &s, sizeof s);
        ::_exit(ok && n == sizeof s ? 0 : 1);
    }
    ::close(fds[1]);
    double s = -1;
    if (::read(fds[0], &s, sizeof s) != sizeof s)
        s = -1;
    ::close(fds[0]);
    int status = 0;
    struct rusage usage
    {
    };
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return {s, static_cast<double>(usage.ru_maxrss) / 1024.0};
}

Figure Best(const std::function<bool()>& work)
{
    const Figure bare = InChild([] { return true; });
    Figure best{1e9, 1e9};
    for (int run = 0; run < 3; ++run) {
        const Figure f = InChild(work);
        if (f.seconds < 0)
            return {};
        best.seconds = std::min(best.seconds, f.seconds);
        best.mib = std::min(best.mib, f.mib - bare.mib);
    }
    return best;
}

void Print(const char* name, const Figure& f, double secondsTarget, double mibTarget)
{
    std::printf("settings_files.%s.time: %.3f s\n", name, f.seconds);
    std::printf("settings_files.%s.time.target: %.3f s\n", name, secondsTarget);
    std::printf("settings_files.%s.memory: %.1f MiB\n", name, f.mib);
    std::printf("settings_files.%s.memory.target: %.0f MiB\n", name, mibTarget);
}

// Lines made by line(i) after head, as many as fit in limit bytes.
std::string Fill(std::string head, std::size_t limit, const std::function<std::string(int)>& line)
{
    std::string text = std::move(head);
    for (int i = 0;; ++i) {
        const std::string l = line(i);
        if (text.size() + l.size() > limit)
            break;
        text += l;
    }
    return text;
}

bool Write(const std::string& path, const std::string& text)
{
    return platform::ReplaceFile(path, text);
}

} // namespace

int main(int argc, char** argv)
{
    // A name part as the argument measures only the figures whose names hold it.
    const std::string only = argc > 1 ? argv[1] : "";
    char folderName[] = "/tmp/bench_settings_files_XXXXXX";
    if (!::mkdtemp(folderName)) {
        std::perror("bench_settings_files");
        return 1;
    }
    const std::string folder = folderName;
    const auto file = [&](const char* name) { return folder + "/" + name; };
    // Texts are put together with append alone: GCC 12 warns falsely (-Wrestrict) when a
    // literal is added in front of a temporary string.
    const auto join = [](std::initializer_list<std::string_view> parts) {
        std::string out;
        for (std::string_view p : parts)
            out.append(p);
        return out;
    };
    const auto key = [&](int i) { return join({"k", std::to_string(i)}); };

    // The in-memory ini file (translators' text files): the shortest key lines, all in one
    // section, and a file of nothing but section headers.
    const std::size_t iniCap = translation::kMaxIniFileBytes;
    bool ok = Write(file("keys.ini"), Fill("[S]\r\n", iniCap,
                                           [&](int i) {
                                               return join({key(i), "\r\n"});
                                           })) &&
              Write(file("sections.ini"), Fill("", iniCap, [&](int i) {
                        return join({"[", key(i), "]\r\n"});
                    }));
    // zemra.ini and Settings.ini: the profile files' cap, a section for every 64 keys.
    const std::size_t profileCap = platform::kMaxProfileIniBytes;
    ok = ok && Write(file("zemra.ini"), Fill("", profileCap, [&](int i) {
                         const std::string head =
                             i % 64 == 0 ? join({"[P", std::to_string(i), "]\r\n"}) : "";
                         return join({head, key(i), "=v\r\n"});
                     }));
    // The registry: a key for every four values.
    ok = ok && Write(file("registry.reg"),
                     Fill("Windows Registry Editor Version 5.00\r\n",
                          platform::kMaxRegistryFileBytes, [&](int i) {
                              const std::string head =
                                  i % 4 == 0
                                      ? join({"[HKEY_LOCAL_MACHINE\\K", std::to_string(i), "]\r\n"})
                                      : "";
                              return join({head, "\"", key(i), "\"=\"v\"\r\n"});
                          }));
    if (!ok) {
        std::fprintf(stderr, "bench_settings_files: cannot write the fixtures in %s\n",
                     folder.c_str());
        return 1;
    }

    bool all = true;
    const auto measure = [&](const char* name, double secondsTarget, double mibTarget,
                             const std::function<bool()>& work) {
        if (std::string(name).find(only) == std::string::npos)
            return;
        const Figure f = Best(work);
        Print(name, f, secondsTarget, mibTarget);
        std::fflush(stdout);
        all = all && f.seconds >= 0;
    };
    measure("ini_load_keys_16mib", 2.0, 400, [&] {
        translation::TMemIniFile ini(file("keys.ini"));
        return ini.ReadValue("S", "k1", "?").empty();
    });
    measure("ini_load_sections_16mib", 2.0, 400, [&] {
        translation::TMemIniFile ini(file("sections.ini"));
        return ini.Section("k1") != nullptr;
    });
    // An export: as many keys written one by one, in an order unlike the sorted one.
    const int writes = 400000;
    measure("ini_write_400k_keys", 2.0, 160, [&] {
        translation::TMemIniFile ini;
        for (int i = 0; i < writes; ++i)
            ini.WriteValue("Captions", key(static_cast<int>((i * 7919LL) % writes)),
                           "Text~!@#Tekst");
        return ini.GetText().size() > static_cast<std::size_t>(writes) * 20;
    });
    measure("profile_read_1mib", 0.2, 32,
            [&] { return platform::ReadProfileString(file("zemra.ini"), "P0", "k1", "?") == "v"; });
    // The first-run copy: every entry read, then written in one replace.
    measure("profile_copy_1mib", 0.5, 64, [&] {
        translation::CConfigFile source(file("zemra.ini"), true);
        translation::CConfigFile copy(file("copy.ini"), false);
        const bool copied = copy.CopyFrom(source);
        std::filesystem::remove(file("copy.ini"));
        return copied;
    });
    measure("registry_read_32mib", 4.0, 1024, [&] {
        platform::RegistryFile reg(file("registry.reg"));
        reg.SetDeviceScan(nullptr);
        return reg.ReadString(platform::Hive::LocalMachine, "K0", "k1") == "v";
    });
    std::filesystem::remove_all(folder);
    return all ? 0 : 1;
}
