#include "SettingsLocation.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "Platform.h"
#include "UserFolders.h"

namespace fs = std::filesystem;

namespace {

bool RealAccess(const std::string& Path, int Mode) {
    return platform::MayAccess(Path, Mode);
}

bool Exists(const std::string& Path) {
    return platform::NameExists(Path);
}

// The file the atomic write would replace: a settings path that is a symbolic link is written
// through, so its target's folder is the one that must take the temporary file.
fs::path ReplacedFile(const fs::path& Path) {
    std::error_code Ec;
    if (!fs::is_symlink(fs::symlink_status(Path, Ec))) return Path;
    const fs::path Resolved = fs::weakly_canonical(Path, Ec);
    return Ec ? Path : Resolved;
}

bool CanStoreAt(const fs::path& File, const TSettingsEnvironment& Env) {
    const auto& Access = Env.Access ? Env.Access : RealAccess;
    const fs::path Target = ReplacedFile(File);
    const fs::path Dir = Target.parent_path().empty() ? fs::path(".") : Target.parent_path();
    if (!Access(Dir.string(), platform::AccessWrite | platform::AccessSearch)) return false;
    return !Exists(Target.string()) || Access(Target.string(), platform::AccessWrite);
}

}  // namespace

bool IsSystemProgramFolder(std::string_view ExeDir) {
    static constexpr std::array<std::string_view, 8> Folders{
        "/usr/bin",        "/bin",       "/usr/sbin",   "/sbin", "/usr/local/bin",
        "/usr/local/sbin", "/usr/games", "/usr/libexec"};
    const std::string Dir = fs::path(std::string(ExeDir)).lexically_normal().string();
    const std::string_view Trimmed = Dir.size() > 1 && Dir.back() == '/'
                                         ? std::string_view(Dir).substr(0, Dir.size() - 1)
                                         : std::string_view(Dir);
    for (auto F : Folders)
        if (Trimmed == F) return true;
    return false;
}

std::string UserConfigHome(const TSettingsEnvironment& Env) {
    platform::TUserEnvironment User;
    User.Home = Env.Home;
    User.XdgConfigHome = Env.XdgConfigHome;
    return util::UserFoldersOf(User).Config;
}

TSettingsEnvironment CurrentSettingsEnvironment(std::string ExeDir) {
    TSettingsEnvironment Env;
    Env.ExeDir = std::move(ExeDir);
    const platform::TUserEnvironment User = platform::UserEnvironment();
    Env.XdgConfigHome = User.XdgConfigHome;
    // No usable HOME (a service, sudo -H gone wrong): the account's home folder.
    Env.Home = util::UserFoldersOf(User).Home;
    return Env;
}

TSettingsLocation ChooseSettingsLocation(const TSettingsEnvironment& Env) {
    const fs::path Beside = fs::path(Env.ExeDir) / std::string(SettingsFileName);
    TSettingsLocation L;
    const std::string ConfigHome = UserConfigHome(Env);
    if ((!IsSystemProgramFolder(Env.ExeDir) && CanStoreAt(Beside, Env)) || ConfigHome.empty()) {
        // With nowhere else to go, the file beside the executable stays the store even when it
        // cannot be written: the failed store is reported then.
        L.StorePath = L.LoadPath = Beside.string();
        L.Portable = true;
        return L;
    }
    L.StorePath =
        (fs::path(ConfigHome) / std::string(SettingsFolderName) / std::string(SettingsFileName))
            .string();
    L.LoadPath = !Exists(L.StorePath) && Exists(Beside.string()) ? Beside.string() : L.StorePath;
    return L;
}

TSettingsLocation SettingsLocationFor(std::string ExeDir) {
    const TSettingsLocation L =
        ChooseSettingsLocation(CurrentSettingsEnvironment(std::move(ExeDir)));
    if (!L.Portable) {
        // The configuration folder and the program's folder in it, each made with 0700 when
        // missing; nothing above them (a home folder that does not exist is not made here).
        const fs::path Folder = fs::path(L.StorePath).parent_path();
        for (const fs::path& Dir : {Folder.parent_path(), Folder})
            if (const int E = platform::MakePrivateFolder(Dir.string()); E != 0 && E != EEXIST)
                break;
    }
    return L;
}
