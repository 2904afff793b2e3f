#include "settingslocation.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pendrel {

namespace {

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string xdgHome(const char *variable, const char *belowHome)
{
    const char *xdg = std::getenv(variable);
    if (xdg && xdg[0] == '/')
        return withoutTrailingSlashes(xdg);
    std::string home;
    if (const char *env = std::getenv("HOME"); env && env[0] == '/') {
        home = env;
    } else if (const passwd *entry = ::getpwuid(::getuid()); entry && entry->pw_dir && entry->pw_dir[0] == '/') {
        home = entry->pw_dir;
    } else {
        return {};
    }
    home = withoutTrailingSlashes(home);
    return (home == "/" ? "" : home) + belowHome;
}

} // namespace

bool isWritableDirectory(const std::string &directory)
{
    return ::access(directory.c_str(), W_OK) == 0;
}

std::string configHome()
{
    return xdgHome("XDG_CONFIG_HOME", "/.config");
}

std::string stateHome()
{
    return xdgHome("XDG_STATE_HOME", "/.local/state");
}

SettingsLocation settingsLocation(const std::string &applicationDirectory, const std::string &configHome,
                                  const std::function<bool(const std::string &)> &isWritable)
{
    const std::string beside = (applicationDirectory == "/" ? "" : applicationDirectory) + "/sichern.txt";
    struct stat st;
    if (configHome.empty() || ::lstat(beside.c_str(), &st) == 0 || isWritable(applicationDirectory))
        return {beside, MissingDirectory::Fail, true};
    return {configHome + "/pendrel/sichern.txt", MissingDirectory::Create, false};
}

} // namespace pendrel
