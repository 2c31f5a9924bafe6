#include "translation/settings/zemra_file_path.h"

#include "platform/file_util.h"
#include "platform/registry.h"
#include "translation/settings/path_utils.h"

namespace translation {

namespace {

std::string FolderOf(const std::string& file)
{
    const auto slash = file.find_last_of('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

bool CreateFolder(const std::string& folder)
{
    return !folder.empty() && platform::detail::MakeDirectories(folder);
}

std::string AppendDelimiter(std::string folder)
{
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

} // namespace

LocationType LocationTypeFromText(std::string_view word)
{
    if (word == "static")
        return LocationType::Static;
    if (word == "pcname")
        return LocationType::PcName;
    if (word == "pcip")
        return LocationType::PcIp;
    if (word == "enviroment")
        return LocationType::Environment;
    if (word == "user")
        return LocationType::User;
    return LocationType::Default;
}

ResolverInputs ProcessResolverInputs()
{
    ResolverInputs inputs;
    inputs.exeFolder = platform::ExecutableFolder();
    inputs.registry = &platform::ProcessRegistry();
    return inputs;
}

ZemraLocations::ZemraLocations(ResolverInputs inputs)
    : inputs_(std::move(inputs)), exe_(AppendDelimiter(inputs_.exeFolder))
{
}

ZemraLocations::~ZemraLocations() = default;

void ZemraLocations::LookUpHost()
{
    if (!host_)
        host_ = inputs_.hostIdentity ? inputs_.hostIdentity() : platform::HostIdentity{};
}

const std::string& ZemraLocations::LocalHostName()
{
    LookUpHost();
    return host_->name;
}

const std::string& ZemraLocations::LocalHostAddress()
{
    LookUpHost();
    return host_->address;
}

std::string ZemraLocations::Expand(std::string_view text) const
{
    return inputs_.environment ? platform::ExpandEnvironmentStrings(text, inputs_.environment)
                               : std::string(text);
}

std::string ZemraLocations::LocatePath(LocationTarget target, const std::string& path,
                                       LocationType kind)
{
    std::string result;
    switch (kind) {
    case LocationType::Default:
        switch (target) {
        case LocationTarget::DataFolder:
            result = exe_ + "Data/";
            break;
        case LocationTarget::TempFolder:
            // The stored temporary folder as it stands; a relative one is taken beside the
            // executable rather than in whatever folder the program was started from.
            result = path.empty() ? std::string() : ResolveSettingPath(exe_, path, exe_);
            break;
        case LocationTarget::LangFolder:
            result = exe_ + "Lang/";
            break;
        default:
            result = exe_;
            break;
        }
        break;
    case LocationType::Static:
        result = ResolveSettingPath(exe_, path, exe_);
        break;
    case LocationType::PcName:
        result = ResolveSettingPath(exe_, path, exe_) + LocalHostName() + "/";
        break;
    case LocationType::PcIp:
        result = ResolveSettingPath(exe_, path, exe_) + LocalHostAddress() + "/";
        break;
    case LocationType::Environment:
        result = ResolveSettingPath(exe_, Expand(path), exe_);
        break;
    case LocationType::User: {
        const std::string userBase =
            AppendDelimiter(ResolveSettingPath(exe_, Expand("%APPDATA%\\Kavex\\"), exe_));
        result = ResolveSettingPath(userBase, Expand(path), exe_);
        break;
    }
    }
    if (target == LocationTarget::ConfigFile)
        result = ResolvePath(result, std::string("./") + kZemraIniName);
    return result;
}

void ZemraLocations::ResolveLocations()
{
    config_.reset();
    std::string locationType, basePath;
    if (inputs_.registry) {
        const auto hive = platform::Hive::LocalMachine;
        locationType =
            inputs_.registry->ReadString(hive, kZemraProKey, "LocationType").value_or("");
        basePath = inputs_.registry->ReadString(hive, kZemraProKey, "BasePath").value_or("");
    }

    const std::string defaultFile = ResolvePath(exe_, std::string("./") + kZemraIniName);
    configFile_ =
        LocatePath(LocationTarget::ConfigFile, basePath, LocationTypeFromText(locationType));
    if (!CreateFolder(FolderOf(configFile_)))
        configFile_ = defaultFile;
    config_ = std::make_unique<CZemraConfig>(configFile_, false);
    if (!config_->Existed() && configFile_ != defaultFile) {
        const CZemraConfig defaults(defaultFile, true);
        if (defaults.Existed())
            config_->CopyFrom(defaults);
    }

    const CZemraConfig& ini = *config_;
    configFolder_ = LocatePath(LocationTarget::ConfigFolder, ini.ConfLocation(),
                               LocationTypeFromText(ini.ConfLocationType()));
    if (!CreateFolder(configFolder_)) {
        configFolder_ =
            LocatePath(LocationTarget::ConfigFolder, ini.ConfLocation(), LocationType::Default);
        CreateFolder(configFolder_);
    }

    dataFolder_ = LocatePath(LocationTarget::DataFolder, ini.DataLocation(),
                             LocationTypeFromText(ini.DataLocationType()));
    CreateFolder(dataFolder_);

    const LocationType tempKind = LocationTypeFromText(ini.TMPLocationType());
    tempFolder_ =
        LocatePath(LocationTarget::TempFolder,
                   tempKind != LocationType::Default ? ini.TMPLocation() : ini.BufDir(), tempKind);
    if (tempFolder_.empty())
        tempFolder_ = LocatePath(LocationTarget::TempFolder, "temp\\", LocationType::Static);
    CreateFolder(tempFolder_);

    logFolder_ = LocatePath(LocationTarget::LogFolder, ini.LogLocation(),
                            LocationTypeFromText(ini.LogLocationType()));
    CreateFolder(logFolder_);
    langFolder_ = LocatePath(LocationTarget::LangFolder, ini.LangLocation(),
                             LocationTypeFromText(ini.LangLocationType()));
    CreateFolder(langFolder_);
    xmlFolder_ = LocatePath(LocationTarget::XmlFolder, ini.XMLLocation(),
                            LocationTypeFromText(ini.XMLLocationType()));
    CreateFolder(xmlFolder_);
}

// ---- the process's resolver --------------------------------------------------------------

namespace {

ZemraLocations* g_process = nullptr;

} // namespace

ZemraFilePath::ZemraFilePath() : ZemraFilePath(ProcessResolverInputs()) {}

ZemraFilePath::ZemraFilePath(ResolverInputs inputs)
{
    if (g_process)
        return;
    owned_ = std::make_unique<ZemraLocations>(std::move(inputs));
    owned_->ResolveLocations();
    g_process = owned_.get();
}

ZemraFilePath::~ZemraFilePath()
{
    if (owned_ && g_process == owned_.get())
        g_process = nullptr;
}

std::string GetConfigFileName()
{
    return g_process ? g_process->ConfigFileName() : std::string();
}

ZemraLocations* ProcessLocations()
{
    return g_process;
}

CZemraConfig* ZemraConfig()
{
    return g_process ? g_process->Config() : nullptr;
}

} // namespace translation
