#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

namespace pendrel {

class FileSystem;
class Progress;

// How one copy ended.
struct CopyOutcome
{
    int error = 0;          // 0: saved; else the errno of the failing call
    bool targetSide = true; // the failing call concerned the backup folder, not the source
    std::string savedName;  // the name in the backup folder when saved
};

// Copies files into one backup folder under their bare names, never leaving
// a partial file under a real name: each copy is written to a hidden
// temporary name, given the source's times, and renamed when complete. A
// name taken earlier (by this run or another) gets the next free number.
class Copier
{
public:
    // releaseDescriptor: frees one descriptor of the caller when the process
    // runs out (EMFILE, ENFILE); returns false when it has none to give.
    Copier(FileSystem &fs, Progress &progress, std::function<bool()> releaseDescriptor);
    ~Copier();
    Copier(const Copier &) = delete;
    Copier &operator=(const Copier &) = delete;

    // The open backup folder all copies go to; not owned.
    void setFolder(int folderFd) { m_folderFd = folderFd; }

    // Copies the open regular file `source` (closed here) of stat `st` into
    // the folder as `name` or a numbered name. Returns the outcome; on
    // failure nothing of it is left in the folder.
    [[nodiscard]] CopyOutcome copy(int source, const std::string &name, const struct stat &st);

private:
    int createTemporary(std::string &tempName);
    int copyData(int from, int to, bool &targetSide);
    CopyOutcome commit(const std::string &name, const std::string &tempName);
    bool fdShortage(int result);

    FileSystem &m_fs;
    Progress &m_progress;
    std::function<bool()> m_releaseDescriptor;
    int m_folderFd = -1;
    unsigned m_tempCounter = 0;
    bool m_readWriteOnly = false;
    std::unique_ptr<char[]> m_buffer;
    std::unordered_map<std::string, unsigned> m_nextNumber;
};

} // namespace pendrel
