// Where the line settings file "ComSetting.ini" lives.
//
// Portable use: the file beside the executable, when this user can replace it there. The settings
// file is written atomically (a temporary file in the same folder, then a rename over the old one),
// so what counts is the folder: it must be writable and searchable, and an existing file must be
// writable too (a file made read-only on purpose is not overwritten). A writable file in a folder
// that is not writable cannot be replaced atomically, so it is no portable store either.
//
// Installed use (program in a folder the user cannot write, or in a system program folder such as
// /usr/bin, even for root): the per-user file $XDG_CONFIG_HOME/AirConTool/ComSetting.ini, by
// default ~/.config/AirConTool/ComSetting.ini. Until that file exists, a file beside the executable
// gives the starting values; after the first store the per-user file wins.
#pragma once

#include <functional>
#include <string>
#include <string_view>

inline constexpr std::string_view SettingsFileName = "ComSetting.ini";
inline constexpr std::string_view SettingsFolderName = "AirConTool";

// What the decision looks at. CurrentSettingsEnvironment fills it from the running process; tests
// build their own.
struct TSettingsEnvironment {
    std::string ExeDir;         // folder of the running executable
    std::string XdgConfigHome;  // $XDG_CONFIG_HOME as set (empty when unset)
    std::string Home;           // $HOME, else the home folder of the user's account
    // access(2) with the effective ids: true when Path allows Mode (W_OK, X_OK, ...: the values of
    // platform::AccessWrite and AccessSearch). Empty means the real check (platform::MayAccess).
    std::function<bool(const std::string& Path, int Mode)> Access;
};

struct TSettingsLocation {
    std::string StorePath;  // written after each successful opening
    std::string LoadPath;   // read at start-up
    bool Portable = false;  // StorePath is the file beside the executable
};

TSettingsEnvironment CurrentSettingsEnvironment(std::string ExeDir);

// Pure decision: touches nothing, only looks.
TSettingsLocation ChooseSettingsLocation(const TSettingsEnvironment& Env);

// The per-user configuration folder ($XDG_CONFIG_HOME, else $HOME/.config), empty when neither is
// usable. A relative XDG_CONFIG_HOME is ignored, as the XDG rules ask.
std::string UserConfigHome(const TSettingsEnvironment& Env);

// True when ExeDir is a folder of installed programs (/usr/bin and the like), whose files belong to
// the package manager: never a settings store, for root neither.
bool IsSystemProgramFolder(std::string_view ExeDir);

// The decision for the running program: ChooseSettingsLocation(CurrentSettingsEnvironment(ExeDir)).
// For a per-user store the configuration folder and its AirConTool folder are made when missing
// (mode 0700), so that the first store can create the file; a folder that cannot be made shows up
// as a store failure later.
TSettingsLocation SettingsLocationFor(std::string ExeDir);
