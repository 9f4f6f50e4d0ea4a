#include "UserFolders.h"

#include <filesystem>

namespace util {

namespace {

bool Absolute(const std::string& Path) {
    return !Path.empty() && std::filesystem::path(Path).is_absolute();
}

std::string Below(const std::string& Folder, const char* Sub) {
    return (std::filesystem::path(Folder) / Sub).string();
}

}  // namespace

TUserFolders UserFoldersOf(const platform::TUserEnvironment& Env) {
    TUserFolders f;
    f.Home = Absolute(Env.Home) ? Env.Home : Absolute(Env.AccountHome) ? Env.AccountHome : "";
    if (Absolute(Env.XdgConfigHome))
        f.Config = Env.XdgConfigHome;
    else if (!f.Home.empty())
        f.Config = Below(f.Home, ".config");
    if (Absolute(Env.XdgDataHome))
        f.Data = Env.XdgDataHome;
    else if (!f.Home.empty())
        f.Data = Below(f.Home, ".local/share");
    return f;
}

TUserFolders UserFolders() {
    return UserFoldersOf(platform::UserEnvironment());
}

}  // namespace util
