#pragma once

#include <string>
#include <vector>

namespace pendrel {

class FileSystem;

// Contents of sichern.txt: the expected volume name, then one working
// directory per line. Text is kept as the bytes found in the file.
struct Settings
{
    std::string diskName = "Text1";
    std::vector<std::string> directories;
};

enum class LoadStatus {
    Loaded,
    Missing,   // no file, or zero bytes: the caller shows the damaged-or-missing message
    Unreadable // exists but cannot be read (a directory, an I/O error); see error
};

struct LoadResult
{
    LoadStatus status = LoadStatus::Missing;
    Settings settings; // defaults unless status is Loaded
    int error = 0;     // errno when Unreadable
};

// Reads the whole file at once. A line ends at CR LF, a lone CR or a lone LF;
// a last line without terminator counts.
[[nodiscard]] LoadResult loadSettings(const std::string &path);

// What the writer does when the folder of the settings file is missing: fail
// (ENOENT), or make it and its missing parents with mode 0700, as the XDG
// base directory rules ask for a configuration folder.
enum class MissingDirectory { Fail, Create };

// Writes `contents` into a hidden temporary file beside `path`, flushes it,
// gives it the old file's mode (a new file's usual one when there was none)
// and renames it over `path`. Returns "" when written, else a text for the
// user; then `path` is as it was and no temporary file is left.
[[nodiscard]] std::string writeFileAtomically(FileSystem &fs, const std::string &path, const std::string &contents,
                                              MissingDirectory missingDirectory = MissingDirectory::Fail);

// Writes the name and the directories, each line + CR LF, through
// writeFileAtomically, unless the file holds exactly these bytes already. A
// symbolic link at `path` is followed to its last target (made when missing),
// which is replaced; the links stay as they are. A loop of links is refused
// with ELOOP.
[[nodiscard]] std::string writeSettings(FileSystem &fs, const std::string &path, const Settings &settings,
                                        MissingDirectory missingDirectory = MissingDirectory::Fail);

// Renames a settings file that could not be read to `path` + ".unreadable"
// (".unreadable.2" and on when taken), so that the next save does not
// replace what nobody has read. Returns "" and sets movedTo, or a text for
// the user; then the file is where it was.
[[nodiscard]] std::string moveAside(FileSystem &fs, const std::string &path, std::string &movedTo);

} // namespace pendrel
