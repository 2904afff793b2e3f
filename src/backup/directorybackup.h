#pragma once

#include "services.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace pendrel {

class FileSystem;

// State of one run, owned by the caller: files modified strictly after
// StartZeit are saved into target + "/" + ZielVz, a folder created (or reused)
// on the first copy only.
struct RunState
{
    TimePoint StartZeit;
    std::string ZielVz;
    bool ZielVzAngelegt = false;
};

// What the walk is doing, as it happens; the window shows it in its status
// line. Each call is followed by keepResponsive().
class Progress
{
public:
    virtual ~Progress() = default;
    // The walk enters the directory at `directory`.
    virtual void checking(const std::string &directory) = 0;
    // The changed file at `file` is saved next (or passed over, when it is
    // the settings file).
    virtual void saving(const std::string &file) = 0;
    // Lets the window repaint and handle queued input; also called between
    // the steps of a long copy.
    virtual void keepResponsive() = 0;
};

// Why something was not saved.
enum class FailureKind {
    Unreadable,  // the source file or directory could not be read
    TargetGone,  // the stick went away or turned read-only
    TargetFull,  // no room left on the stick, or the file too large for it
    NameRefused, // the stick refused the name and its substitute
    WriteFailed, // any other failure on the stick
    NotTried,    // not tried: the stick had gone, or was full for a file this large
    Changing,    // the file changed during each copy made of it
};

// Something that could not be saved or read: its kind, the full path of the
// source (or of the directory), and the errno value (for NotTried, the one
// that stopped the tries).
struct SaveFailure
{
    FailureKind kind = FailureKind::Unreadable;
    std::string path;
    int error = 0;
};

// The stick has gone away or turned read-only: nothing more can be written.
[[nodiscard]] bool isTargetGone(int error);
// The stick has no room left (ENOSPC, EDQUOT) or cannot hold so large a file (EFBIG).
[[nodiscard]] bool isTargetFull(int error);

// A file saved under a substitute because the stick refused its name: the
// full path of the source and the name it has in the backup folder.
struct RenamedSave
{
    std::string path;
    std::string savedName;
};

// Saves changed files of directory trees, flat, into one backup folder on the
// target volume. One object per run; every VzSichern call of a run shares the
// backup folder, its taken names and the failure list.
class DirectoryBackup
{
public:
    // target: the volume's mount point, opened here and used for the whole
    // run; settingsFile: full path of the settings file, which is never copied.
    DirectoryBackup(FileSystem &fs, Progress &progress, RunState &state,
                    std::string target, std::string settingsFile);
    ~DirectoryBackup();
    DirectoryBackup(const DirectoryBackup &) = delete;
    DirectoryBackup &operator=(const DirectoryBackup &) = delete;

    // 1: the walk runs on the calling thread alone; n >= 2: n - 1 helper
    // threads list and stat directories ahead of it, each in its own subtree,
    // while every status text, copy and failure stays on the calling thread
    // in the same order. Defaults to 4 on machines with two CPUs or more.
    void setThreads(unsigned count);
    // How helper threads are started (std::thread by default); one that
    // throws std::system_error leaves the walk with fewer helpers.
    void setThreadStart(std::function<std::thread(std::function<void()>)> start);
    // How long a walk runs alone before it starts its helpers (10 ms): a
    // small tree is done before they would pay off.
    void setHelperStartDelay(std::chrono::milliseconds delay);

    // Saves every file under pfad modified after state.StartZeit: a
    // directory's own files first, then its subdirectories in the order
    // found, depth first. A file (device, inode) met before in this run is
    // passed over without a status text. Pseudo file systems (proc, sysfs,
    // ...) are never entered. Each failure is recorded and the walk goes on;
    // an entry that vanished or a dangling link is skipped without a record.
    // Once the target has gone (ENODEV, EIO, EROFS, ENOTCONN, ENXIO) every
    // later file is recorded as not tried; once it is full (ENOSPC, EDQUOT),
    // so is every later file larger than the space it then reports free.
    void VzSichern(const std::string &pfad);

    // Flushes the target volume (syncfs) when a backup folder was used;
    // a failure is recorded. Call once after the last VzSichern.
    void finish();

    // Everything not saved or not read, in the order met.
    [[nodiscard]] const std::vector<SaveFailure> &failures() const { return m_failures; }
    // Files saved under a substitute name, in the order saved.
    [[nodiscard]] const std::vector<RenamedSave> &renamed() const { return m_renamed; }
    // Copies that are complete under their final name.
    [[nodiscard]] std::size_t savedCount() const { return m_saved; }

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
    std::vector<SaveFailure> m_failures;
    std::vector<RenamedSave> m_renamed;
    std::size_t m_saved = 0;
};

} // namespace pendrel
