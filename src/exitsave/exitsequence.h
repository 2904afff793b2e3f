#pragma once

#include "dialogue.h"
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

// The window as it is closed: the expected name and the list, as bytes.
struct ExitSnapshot
{
    std::string diskName;
    std::vector<std::string> entries;
};

// Who answers the dialogue: the user in message boxes at a close; the user at
// the end of the desktop session, when the session manager lets the program
// ask (the settings are then written whatever the answer); or nobody (no
// interaction allowed, the display gone): then only a stick whose label
// matches is saved to.
enum class Asking { User, UserAtSessionEnd, Nobody };

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
    std::function<void()> restoreWindow = [] { }; // brings a minimised window back before the first box
    std::function<void(bool)> busy = [](bool) { }; // true while the save runs, false before its report
    // Asked after the save: true when nobody can be asked any more (the
    // display went during the save); the report then goes to stderr.
    std::function<bool()> nobodyLeft = [] { return false; };
    std::string outstandingRecord = {}; // the record of an unsaved run (outstandingrun.h); "" for none
    bool settingsUnread = false; // the settings file could be neither read nor moved aside: never replaced
};

struct ExitResult
{
    bool saved = false;            // the save ran
    bool declined = false;         // the user confirmed not saving
    std::string backupFolder;      // full path of target + "/" + ZielVz when saved
    std::vector<SaveFailure> failures;
    std::vector<RenamedSave> renamed; // saved, under a substitute name
    bool settingsWritten = false;
    // 0 after a complete save or when the user chose not to save; 1 when
    // something is left unsaved.
    [[nodiscard]] int exitStatus() const
    {
        return declined || (saved && failures.empty() && settingsWritten) ? 0 : 1;
    }
};

// Writes the snapshot's name and list to the settings file, unless that is
// one nobody could read (settingsUnread): then it is left as it is. Returns ""
// when written, else a text for the user.
[[nodiscard]] std::string saveSettings(const ExitSnapshot &snapshot, const ExitServices &services);

// The backup folder name for a moment: local time as "mm-dd-yy_hh-nn-ss".
[[nodiscard]] std::string backupFolderName(TimePoint when);

// Runs the close-time dialogue and, when it goes ahead, the save of every
// file changed after startZeit: asks until a matching volume is there (or the
// user saves anyway, or confirms not saving), then saves every listed
// directory and writes the settings. Reports what was not saved, and what was
// saved under a substitute name, in one message box. Asking nobody, it saves
// only to a volume whose label matches (any when the name is empty), writes
// the settings in every case and reports on stderr, never in a box; so does a
// save after which nobody is left to ask. The outstanding record is removed
// after a save that left nothing unsaved or when the user confirmed not
// saving, and kept otherwise. Never refuses the close.
[[nodiscard]] ExitResult runExitSequence(const ExitSnapshot &snapshot, TimePoint startZeit,
                                         const ExitServices &services, Asking asking = Asking::User);

} // namespace pendrel
