#pragma once

#include "filesystem.h"
#include "uniquefd.h"

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace pendrel {

class ListAhead;
struct Listing;

// Bytes of linux_dirent64 records read from a directory at a time.
inline constexpr std::size_t DirectoryBufferSize = 64 * 1024;

// What becomes of one directory entry.
enum class Verdict {
    Skip,    // nothing to save and nothing to report
    Enter,   // a directory to walk
    File,    // a regular file (or a link to one) changed after the start
    Failure, // its stat failed for a reason worth reporting
};

// One directory entry as read from its directory, with the result of the
// calls that judge it. Entries listed as directories are not stat'ed.
struct Examined
{
    const char *name = nullptr;
    unsigned char type = DT_UNKNOWN; // d_type
    ino_t inode = 0;                 // d_ino
    int result = 0;                  // stat: 0 or -errno
    bool follow = false;             // the stat followed a symbolic link
    struct stat st{};                // when stat'ed with result 0
};

// Which entries are reported and which directories are entered. The walk and
// the helpers listing ahead of it ask this one filter, so that they agree.
// Hidden entries ("." and ".." included) and system entries (neither regular
// file, directory nor link) cost no system call; links to directories are
// never entered, dangling links and entries gone since listed are skipped.
class EntryFilter
{
public:
    // Files modified strictly after `start` are reported; set before the
    // walk and its helpers start.
    void setStart(timespec start) { m_start = start; }

    // From now on the directory (device, inode) is never entered, by any
    // thread: the backup folder, when it lies inside a walked tree. Called
    // at most once.
    void exclude(dev_t device, ino_t inode);

    // Reads the open directory fd and calls onEntry(examined, verdict) for
    // each entry not skipped, in the order read. Costs one stat per entry
    // that is not listed as a directory (two for a link met as DT_UNKNOWN).
    // Returns 0, or the errno that stopped reading.
    template<typename OnEntry>
    int read(FileSystem &fs, int fd, char *buffer, OnEntry onEntry) const;

    // Judges an entry examined earlier, perhaps by another thread, perhaps
    // before the excluded folder was known. dirFd() gives the descriptor of
    // its directory; it is called only for an entry listed as a directory
    // whose inode is the excluded one.
    template<typename DirFd>
    [[nodiscard]] Verdict judge(FileSystem &fs, const Examined &entry, DirFd dirFd) const;

private:
    [[nodiscard]] bool excluded(dev_t device, ino_t inode) const;
    [[nodiscard]] bool excludedInode(ino_t inode) const;
    void examine(FileSystem &fs, int fd, Examined &entry) const;
    [[nodiscard]] Verdict judgeStated(const Examined &entry) const;

    timespec m_start{};
    // Written once before m_haveExcluded is set, read only after it is seen:
    // every directory entry is checked, so no lock is taken for it.
    dev_t m_excludedDevice = 0;
    ino_t m_excludedInode = 0;
    std::atomic<bool> m_haveExcluded = false;
};

// What the walk met.
enum class VisitKind {
    Directory, // the walk enters `path` next
    File,      // a changed regular file at `path`, named `name` in its directory, of stat `st`
    Failure,   // `path` could not be opened, read or stat'ed: `error`
};

// One visit record: what the walk met, where, and its errno or stat result.
struct Visit
{
    VisitKind kind;
    const std::string &path;
    const char *name = nullptr;
    int error = 0;
    const struct stat *st = nullptr;
};

// The visitor's answer: Prune on a Directory visit leaves that directory
// unopened; on other visits it is the same as Continue.
enum class Action { Continue, Prune };

class WalkVisitor
{
public:
    virtual ~WalkVisitor() = default;
    // Called on the walk's thread, in walk order; the record lives for the call.
    virtual Action visit(const Visit &visit) = 0;
};

// Walks a directory tree depth first: a directory's own entries in the order
// read, then its subdirectories in that order. Every open is relative to the
// parent's descriptor; past a budget of open ancestors the shallowest are
// closed and reopened through ".." (or by path, when it fits in PATH_MAX) on
// the way back, so any depth can be walked. Directories a helper has listed
// ahead are taken from the helper instead of being read again.
class Walk
{
public:
    Walk(FileSystem &fs, const EntryFilter &filter, ListAhead &ahead);
    ~Walk();
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;

    // Walks the tree at `root` (links followed for the root only), calling
    // visitor for each directory entered, each file the filter passes and
    // each failure, in walk order. A directory that vanished since it was
    // listed is skipped without a visit; one that cannot be opened or read,
    // or ancestors that cannot be reached again, are Failure visits.
    void run(const std::string &root, WalkVisitor &visitor);

    // Opens the file of the File visit under way for reading. Returns the
    // descriptor, or -errno inside the UniqueFd.
    [[nodiscard]] UniqueFd openFile(const Visit &visit);

    // Closes the descriptor of the shallowest open ancestor, for a caller
    // that ran out of descriptors. Returns false when none can be spared.
    bool releaseDescriptor();

private:
    // One directory being walked: its descriptor (none while released, or
    // while listed by a helper and not yet needed), the length of its path
    // in m_path, and its subdirectories' names, each ended by a NUL, still
    // to be entered from offset `next` on.
    struct Frame
    {
        UniqueFd fd;
        std::size_t pathLength = 0;
        std::string subdirectories;
        std::size_t next = 0;
    };

    void enter(const char *name);
    [[nodiscard]] int openSubdirectory(const char *name);
    [[nodiscard]] int frameFd(Frame &frame);
    void leave();
    void read(Frame &frame);
    void replay(Frame &frame, const Listing &listing);
    void act(Frame &frame, const Examined &entry, Verdict verdict);
    void fail(const std::string &path, int error);

    FileSystem &m_fs;
    const EntryFilter &m_filter;
    ListAhead &m_ahead;
    WalkVisitor *m_visitor = nullptr;
    std::string m_path;
    std::vector<Frame> m_stack;
    std::size_t m_firstOpen = 0; // frames below this index have released their descriptor
    std::unique_ptr<char[]> m_entries;
};

template<typename OnEntry>
int EntryFilter::read(FileSystem &fs, int fd, char *buffer, OnEntry onEntry) const
{
    for (;;) {
        const long filled = fs.readDirectory(fd, buffer, DirectoryBufferSize);
        if (filled <= 0)
            return int(-filled);
        for (long offset = 0; offset < filled;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + offset);
            offset += entry->d_reclen;
            const unsigned char type = entry->d_type;
            if (entry->d_name[0] == '.' || (type != DT_DIR && type != DT_REG && type != DT_LNK && type != DT_UNKNOWN))
                continue;
            Examined examined;
            examined.name = entry->d_name;
            examined.type = type;
            examined.inode = entry->d_ino;
            if (type != DT_DIR)
                examine(fs, fd, examined);
            const Verdict verdict = judge(fs, examined, [fd] { return fd; });
            if (verdict != Verdict::Skip && !onEntry(examined, verdict))
                return 0;
        }
    }
}

template<typename DirFd>
Verdict EntryFilter::judge(FileSystem &fs, const Examined &entry, DirFd dirFd) const
{
    if (entry.type != DT_DIR)
        return judgeStated(entry);
    // The inode from the directory entry makes the check free for every
    // directory but the excluded one.
    if (!excludedInode(entry.inode))
        return Verdict::Enter;
    const int fd = dirFd();
    struct stat st;
    const bool isExcluded = fd >= 0 && fs.statAt(fd, entry.name, &st, false) == 0 && excluded(st.st_dev, st.st_ino);
    return isExcluded ? Verdict::Skip : Verdict::Enter;
}

} // namespace pendrel
