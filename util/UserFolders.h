// The user's folders: home, configuration and data, by one rule for every caller.
//
// Home: $HOME when it is an absolute path, else the home folder of the account the program
// runs as (a service, sudo without -H). Configuration: $XDG_CONFIG_HOME when absolute, else
// <home>/.config. Data: $XDG_DATA_HOME when absolute, else <home>/.local/share. A relative
// XDG variable is ignored, as the XDG rules ask. Empty where no home is known.
#pragma once

#include <string>

#include "Platform.h"

namespace util {

struct TUserFolders {
    std::string Home;
    std::string Config;
    std::string Data;
};

// The rule alone, for what the system told (tests build their own environment).
TUserFolders UserFoldersOf(const platform::TUserEnvironment& Env);
// The folders of the running program's user.
TUserFolders UserFolders();

}  // namespace util
