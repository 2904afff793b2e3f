#pragma once

#include "services.h"

#include <optional>
#include <string>

namespace pendrel {

class FileSystem;

// The record of a run whose save did not complete: the earliest start whose
// changes are not yet on the stick. It lives outside sichern.txt, whose format
// other copies of the program rely on.

// ".pendrel-outstanding" beside sichern.txt when the settings lie beside the
// program, else stateHome + "/pendrel/outstanding"; "" when neither is known.
[[nodiscard]] std::string outstandingRecordPath(const std::string &settingsFile, bool besideProgram,
                                                const std::string &stateHome);

struct RunStart
{
    TimePoint since;                    // the save of this run takes every file changed after it
    std::optional<TimePoint> outstanding; // the start of an earlier run that was not saved
};

// Reads the record at `path` (none: nothing outstanding; a damaged one is
// reported on stderr and ignored), then records the earlier of it and `now`
// atomically, so that a run that never reaches its save is caught up next
// time. A record that cannot be written is reported on stderr; the run starts
// all the same.
[[nodiscard]] RunStart startRun(FileSystem &fs, const std::string &path, TimePoint now);

// Records `since` as outstanding (after a save that left something unsaved).
// Returns "" or a text for the user.
[[nodiscard]] std::string keepOutstanding(FileSystem &fs, const std::string &path, TimePoint since);

// Removes the record: nothing is outstanding any more. Returns 0 or -errno;
// a record that is not there counts as removed.
int clearOutstanding(FileSystem &fs, const std::string &path);

} // namespace pendrel
