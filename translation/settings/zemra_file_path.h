#pragma once
// The location resolver (unit ZemraFilePath): finds zemra.ini through the registry key
// SOFTWARE\KAVEX\ZEMRA_PRO, creates the configuration object on it (copying the installation's
// default file on first run), resolves the six working folders and creates them.  Nothing here
// shows anything to the user and no failure stops start-up: every failure falls back to the
// executable's folder.
//
// Paths in the settings are stored with '\'; here they become '/'.  A leading '/' is absolute;
// a drive ("C:\...") or network ("\\server\share") path names nothing on this system and gives
// the executable's folder.
//
// Threads: start-up and shutdown run in the user-interface thread, and everything reads the
// results from there.

#include "platform/environment.h"
#include "platform/host_identity.h"
#include "translation/settings/config_file.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class RegistryFile;
}

namespace translation {

// Where a path of each kind is, from the stored words ("default" and anything unknown: 0).
enum class LocationType : int {
    Default = 0,     // a fixed place beside the executable; the stored path is ignored
    Static = 1,      // the path against the executable's folder
    PcName = 2,      // as Static, then the host name and '/'
    PcIp = 3,        // as Static, then the host's IPv4 address and '/'
    Environment = 4, // %NAME% expanded, then as Static
    User = 5,        // against %APPDATA%/Kavex/, %NAME% expanded
};

enum class LocationTarget : int {
    ConfigFile = 0,
    DataFolder = 1,
    ConfigFolder = 2,
    TempFolder = 3,
    LogFolder = 4,
    LangFolder = 5,
    XmlFolder = 6,
};

// Exact, case-sensitive words: "static", "pcname", "pcip", "enviroment" (so spelled in stored
// settings), "user".
LocationType LocationTypeFromText(std::string_view word);

inline constexpr const char* kZemraProKey = "SOFTWARE\\KAVEX\\ZEMRA_PRO";
inline constexpr const char* kZemraIniName = "zemra.ini";

// What the resolver looks at, replaceable for tests.
struct ResolverInputs
{
    std::string exeFolder;                      // ending in '/'
    platform::RegistryFile* registry = nullptr; // nullptr: no key
    platform::EnvironmentLookup environment = platform::ProcessEnvironment;
    std::function<platform::HostIdentity()> hostIdentity = platform::LocalHostIdentity;
};

// The process's own: its executable's folder, its registry, its environment and host.
ResolverInputs ProcessResolverInputs();

class ZemraLocations
{
public:
    explicit ZemraLocations(ResolverInputs inputs);
    ~ZemraLocations();
    ZemraLocations(const ZemraLocations&) = delete;
    ZemraLocations& operator=(const ZemraLocations&) = delete;

    // Finds the file, creates the configuration object and the folders (once per call; a
    // second call starts over with a new object).
    void ResolveLocations();

    std::string LocatePath(LocationTarget target, const std::string& path, LocationType kind);
    // The host identity is looked up when a path first needs it.
    const std::string& LocalHostName();
    const std::string& LocalHostAddress();

    const std::string& ExeFolder() const { return exe_; }
    const std::string& ConfigFileName() const { return configFile_; }
    const std::string& ConfigFolder() const { return configFolder_; }
    const std::string& DataFolder() const { return dataFolder_; }
    const std::string& TempFolder() const { return tempFolder_; }
    const std::string& LogFolder() const { return logFolder_; }
    const std::string& LangFolder() const { return langFolder_; }
    const std::string& XmlFolder() const { return xmlFolder_; }
    // The configuration object, nullptr before ResolveLocations.
    CZemraConfig* Config() const { return config_.get(); }

private:
    std::string Expand(std::string_view text) const;
    void LookUpHost();

    ResolverInputs inputs_;
    std::string exe_;
    std::optional<platform::HostIdentity> host_;
    std::string configFile_, configFolder_, dataFolder_, tempFolder_, logFolder_, langFolder_,
        xmlFolder_;
    std::unique_ptr<CZemraConfig> config_;
};

// The process's resolver for as long as the object lives: the first one made resolves (from
// ProcessResolverInputs, or the inputs given) and becomes the process's; its end frees the
// configuration object.  Later ones made while it lives do nothing.
class ZemraFilePath
{
public:
    ZemraFilePath();
    explicit ZemraFilePath(ResolverInputs inputs);
    ~ZemraFilePath();
    ZemraFilePath(const ZemraFilePath&) = delete;
    ZemraFilePath& operator=(const ZemraFilePath&) = delete;

private:
    std::unique_ptr<ZemraLocations> owned_;
};

// The process's resolved zemra.ini, "" while no ZemraFilePath lives.
std::string GetConfigFileName();
// The process's resolver and configuration object, nullptr while no ZemraFilePath lives.
ZemraLocations* ProcessLocations();
CZemraConfig* ZemraConfig();

} // namespace translation
