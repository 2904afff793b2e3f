#pragma once

#include "settingsfile.h"

#include <functional>
#include <string>

namespace pendrel {

// Where sichern.txt is read and written, and whether its folder may be made.
struct SettingsLocation
{
    std::string file;
    MissingDirectory missingDirectory = MissingDirectory::Fail;
    bool besideProgram = true;
};

// Whether the user may create files in `directory` (access(2), W_OK).
[[nodiscard]] bool isWritableDirectory(const std::string &directory);

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else $HOME/.config, else the home from the password database +
// "/.config"; "" when there is no home at all.
[[nodiscard]] std::string configHome();

// The user's state folder: $XDG_STATE_HOME when it is an absolute path, else
// $HOME/.local/state (or the password database's home); "" without a home.
[[nodiscard]] std::string stateHome();

// sichern.txt beside the program when applicationDirectory already holds one
// or isWritable(applicationDirectory) (a portable copy, the build folder);
// otherwise configHome + "/pendrel/sichern.txt", its folder made on the first
// save. Beside the program also when configHome is "".
[[nodiscard]] SettingsLocation settingsLocation(const std::string &applicationDirectory, const std::string &configHome,
                                                const std::function<bool(const std::string &)> &isWritable
                                                = isWritableDirectory);

} // namespace pendrel
