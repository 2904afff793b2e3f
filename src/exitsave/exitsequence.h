#pragma once

#include "directorybackup.h"
#include "services.h"
#include "settingsfile.h"
#include "volumes.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pendrel {

class FileSystem;

// What the exit sequence needs from the window: the current name and list
// (as bytes), and a way to bring a minimised window back before the first
// message box.
class ExitHost
{
public:
    virtual ~ExitHost() = default;
    virtual void restoreWindow() = 0;
    [[nodiscard]] virtual std::string diskName() const = 0;
    [[nodiscard]] virtual int entryCount() const = 0;
    [[nodiscard]] virtual std::string entry(int index) const = 0;
};

// Finds the volume to save to for an expected name; nullopt when none is there.
using VolumeQuery = std::function<std::optional<Volume>(const std::string &expectedName)>;

struct ExitServices
{
    MessageBoxes &boxes;
    const Clock &clock;
    FileSystem &fileSystem;
    Progress &progress;
    VolumeQuery queryVolume;
    std::string settingsFile; // full path of sichern.txt
    unsigned walkThreads = 0; // 0: the backup engine's default
    MissingDirectory settingsDirectory = MissingDirectory::Fail; // when the folder of sichern.txt is missing
};

struct ExitResult
{
    bool saved = false;            // false: the user confirmed not saving
    std::string backupFolder;      // full path of target + "/" + ZielVz when saved
    std::vector<SaveFailure> failures;
    bool settingsWritten = false;
    [[nodiscard]] int exitStatus() const { return saved && (!failures.empty() || !settingsWritten) ? 1 : 0; }
};

// The backup folder name for a moment: local time as "mm-dd-yy_hh-nn-ss".
[[nodiscard]] std::string backupFolderName(TimePoint when);

// Runs the close-time dialogue and, when it goes ahead, the save: asks until
// a matching volume is there (or the user saves anyway, or confirms not
// saving), then writes the settings and saves every listed directory.
// Reports what was not saved in one message box. Never refuses the close.
[[nodiscard]] ExitResult runExitSequence(ExitHost &host, const ExitServices &services, RunState &state);

} // namespace pendrel
