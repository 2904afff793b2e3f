#pragma once

#include <memory>
#include <string>
#include <vector>

namespace pendrel {

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

// Writes a new settings file line by line (each line + CR LF) into a hidden
// temporary file beside `path`; commit() flushes it and renames it over
// `path`. Destroyed without commit(), the temporary file is removed and `path`
// is left untouched.
class SettingsWriter
{
public:
    explicit SettingsWriter(std::string path, MissingDirectory missingDirectory = MissingDirectory::Fail);
    ~SettingsWriter();
    SettingsWriter(const SettingsWriter &) = delete;
    SettingsWriter &operator=(const SettingsWriter &) = delete;

    // Each returns false once anything has failed; errorText() tells why.
    [[nodiscard]] bool open();
    [[nodiscard]] bool writeLine(const std::string &line);
    [[nodiscard]] bool commit();
    [[nodiscard]] const std::string &errorText() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace pendrel
