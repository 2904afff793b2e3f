#pragma once

#include "uniquefd.h"

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace pendrel {

class FileSystem;
class Progress;

// How one copy ended.
struct CopyOutcome
{
    int error = 0;          // 0: saved; else the errno of the failing call
    bool targetSide = true; // the failing call concerned the backup folder, not the source
    std::string savedName;  // the name in the backup folder when saved
    bool substituted = false; // saved under a substitute for a name the stick refused
    bool nameRefused = false; // not saved: the stick refused the name and any substitute
    bool changing = false;    // not saved: the source changed during each of its copies
};

// Copies files into one backup folder under their bare names, never leaving
// a partial file under a real name: each copy is written to a hidden
// temporary name, given the source's times, and renamed when complete. A
// name taken earlier (by this run or another, in any case on sticks that
// Windows also reads or that go through FUSE) gets the next free number; a
// name the stick refuses is saved once more with each character it cannot
// hold replaced by "_".
// "10:15 notes.txt" -> "10_15 notes.txt": the name with every character
// that FAT, exFAT and NTFS (as desktops mount it) refuse replaced by "_":
// : * ? " < > | \, control characters, bytes that are no UTF-8, and trailing
// dots and spaces. With shorten, also cut to 143 bytes, the extension kept.
[[nodiscard]] std::string acceptableName(const std::string &name, bool shorten);

class Copier
{
public:
    // releaseDescriptor: frees one descriptor of the caller when the process
    // runs out (EMFILE, ENFILE); returns false when it has none to give.
    Copier(FileSystem &fs, Progress &progress, std::function<bool()> releaseDescriptor);
    ~Copier();
    Copier(const Copier &) = delete;
    Copier &operator=(const Copier &) = delete;

    // The open backup folder all copies go to, not owned, and the statfs
    // type of its file system (0 when unknown).
    void setFolder(int folderFd, long fileSystemType);

    // Copies the open regular file `source` (closed here) into the folder as
    // `name`, a numbered name or a substitute. `st` is the fstat of `source`
    // at open: the copy holds its first st_size bytes, with its permission
    // bits and times. A source that changed during the copy is copied once
    // more; if it changes again, it is not saved (outcome.changing). Returns
    // the outcome; on failure nothing of it is left in the folder.
    [[nodiscard]] CopyOutcome copy(UniqueFd source, const std::string &name, const struct stat &st);

private:
    int writeCopy(int source, const struct stat &basis, std::string &tempName, struct stat &after, bool &targetSide);
    UniqueFd createTemporary(std::string &tempName, mode_t mode);
    int copyData(int from, int to, off_t size, bool &targetSide);
    CopyOutcome commit(const std::string &name, const std::string &tempName);
    int place(const std::string &name, const std::string &tempName, std::size_t nameMax, std::string &finalName);
    int renameFree(const std::string &tempName, const std::string &finalName);
    bool readTakenNames();
    bool nameRefused(int error, const std::string &tempName);

    FileSystem &m_fs;
    Progress &m_progress;
    std::function<bool()> m_releaseDescriptor;
    int m_folderFd = -1;
    off_t m_maxFileSize = 0; // the largest file the folder's file system holds
    unsigned m_tempCounter = 0;
    bool m_readWriteOnly = false;
    bool m_noReplace = true; // renameat2(RENAME_NOREPLACE) works on this stick
    // On sticks that ignore case or go through FUSE: the upper-cased names in
    // the folder, read once, so that a free name needs no lookup.
    bool m_foldedNames = false;
    std::unordered_set<std::string> m_taken;
    std::unique_ptr<char[]> m_buffer;
    std::unordered_map<std::string, unsigned> m_nextNumber;
};

} // namespace pendrel
