#pragma once

#include "filesystem.h"
#include "uniquefd.h"
#include "mounts.h"

#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <unordered_set>
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

    // The mounts of the system, to tell the pseudo file systems (proc, sysfs,
    // devtmpfs, cgroup, ...) by their device, and the mount points below
    // `root`, the tree walked next; set before the walk and its helpers start.
    void setMounts(const std::vector<Mount> &mounts, const std::string &root);

    // Whether `device` holds a local file system whose directory reads fill
    // the buffer while entries are left (so a read that leaves room for a
    // record of the longest name is the last) and whose directory entries
    // give the inode's own number.
    [[nodiscard]] bool plainLocal(dev_t device) const { return m_plainLocal.contains(device); }

    // Whether every change to the files on `device` is made through this
    // system, so that watching a directory there sees it: not so on network
    // file systems and FUSE, whose files may change elsewhere.
    [[nodiscard]] bool changesSeen(dev_t device) const { return m_changesSeen.contains(device); }

    // Whether `path`, spelled as below the root given to setMounts, is a
    // mount point, where the device changes; true for any path when the
    // mounts below the root could not be told.
    [[nodiscard]] bool mayBeMountPoint(const std::string &path) const
    {
        return !m_mountPointsKnown || m_mountPoints.contains(path);
    }

    // Whether files on `device` hold no user data, so that a directory there
    // is never entered. A device missing from the mounts (mounted since) is
    // judged by the statfs type of the open directory fd.
    [[nodiscard]] bool onPseudoFileSystem(FileSystem &fs, dev_t device, int fd) const;

    // From now on the directory (device, inode) is never entered, by any
    // thread: the backup folder, when it lies inside a walked tree. With
    // inodesReliable false (FUSE file systems that give made-up d_ino
    // values) every directory entry on that device is stat'ed to tell.
    // Called at most once.
    void exclude(dev_t device, ino_t inode, bool inodesReliable);

    // Whether (device, inode) is the excluded directory.
    [[nodiscard]] bool excluded(dev_t device, ino_t inode) const;

    // A regular file of this stat is to be saved: modified after the start.
    [[nodiscard]] bool changed(const struct stat &st) const;

    // Whether the stat of an entry may change with nothing in its directory
    // changing: a link's target, or a file with other names elsewhere,
    // changed through those. A listing made ahead judges these again.
    [[nodiscard]] static bool changesElsewhere(const Examined &entry)
    {
        return entry.follow || (entry.result == 0 && S_ISREG(entry.st.st_mode) && entry.st.st_nlink > 1);
    }

    // Stats the entry `name` of the open directory fd into `entry`.
    void examine(FileSystem &fs, int fd, Examined &entry) const;

    // Reads the open directory fd, which lies on `device`, and calls
    // onEntry(examined, verdict) for each entry not skipped, or skipped but
    // changing elsewhere, in the order read. Costs one stat per entry that
    // is not listed as a directory (two for a link met as DT_UNKNOWN).
    // `dots`, when given, gets the inodes the entries "." and ".." carry (0
    // for one not met). beforeStat() is called once, before the first stat;
    // when it returns false, reading stops with ECANCELED. Returns 0, or the
    // errno that stopped reading.
    template<typename OnEntry, typename BeforeStat = bool (*)()>
    int read(FileSystem &fs, int fd, dev_t device, char *buffer, OnEntry onEntry,
             std::array<ino_t, 2> *dots = nullptr, BeforeStat beforeStat = [] { return true; }) const;

    // Judges an entry of a directory on `device` examined earlier, perhaps
    // by another thread, perhaps before the excluded folder was known; dirFd
    // is that directory's descriptor, used only for an entry listed as a
    // directory that may be the excluded one.
    [[nodiscard]] Verdict judge(FileSystem &fs, const Examined &entry, dev_t device, int dirFd) const;

private:
    [[nodiscard]] Verdict judgeStated(const Examined &entry) const;

    timespec m_start{};
    std::unordered_set<dev_t> m_pseudoDevices;
    std::unordered_set<dev_t> m_knownDevices;
    std::unordered_set<dev_t> m_plainLocal;
    std::unordered_set<dev_t> m_changesSeen;
    std::unordered_set<std::string> m_mountPoints;
    bool m_mountPointsKnown = false;
    // Written once before m_haveExcluded is set, read only after it is seen:
    // every directory entry is checked, so no lock is taken for it.
    dev_t m_excludedDevice = 0;
    ino_t m_excludedInode = 0;
    bool m_inodesReliable = true;
    std::atomic<bool> m_haveExcluded = false;
};

// What the walk met.
enum class VisitKind {
    Directory, // the walk enters `path` next
    File,      // a changed regular file at `path`, named `name` in its directory, open in `file`, of fstat `st`
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
    UniqueFd *file = nullptr; // the visitor may take the descriptor
};

class WalkVisitor
{
public:
    virtual ~WalkVisitor() = default;
    // Called on the walk's thread, in walk order; the record lives for the call.
    virtual void visit(const Visit &visit) = 0;
};

// Walks a directory tree depth first: a directory's own entries in the order
// read, then its subdirectories in that order. Every open is relative to a
// descriptor the walk holds, so renaming or swapping an ancestor while it
// walks cannot lead it elsewhere; past a budget of open ancestors the
// shallowest are closed and reopened through ".." on the way back, so any
// depth can be walked. A directory a helper has listed ahead is taken from
// the helper when it is still the one the walk reached and nothing in it
// changed since: its files rewritten in place included, as a watch kept on
// it from before it was listed tells; otherwise the walk reads it again.
// Each file to be saved is opened and judged again from what was opened, so
// that the outcome does not depend on when a helper looked.
class Walk
{
public:
    Walk(FileSystem &fs, const EntryFilter &filter, ListAhead &ahead);
    ~Walk();
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;

    // Walks the tree at `root` (links followed for the root only), calling
    // visitor for each directory entered, each changed file and each
    // failure, in walk order. Directories on pseudo file systems are left
    // out without a visit. An entry that vanished since it was listed is
    // skipped without a visit; one that cannot be opened or read, or
    // ancestors that cannot be reached again, are Failure visits.
    void run(const std::string &root, WalkVisitor &visitor);

    // Frees one descriptor for a caller that ran out: the shallowest open
    // ancestor, else the helpers' (they are stopped). Returns false when
    // none can be spared.
    bool releaseDescriptor();

private:
    // One directory being walked: its descriptor (none while released, or
    // shared with the helper that listed it), its device, the length of its
    // path in m_path, and its subdirectories' names, each ended by a NUL,
    // still to be entered from offset `next` on.
    struct Frame
    {
        SharedFd fd;
        dev_t device = 0;
        std::size_t pathLength = 0;
        std::string subdirectories;
        std::size_t next = 0;
    };

    void enter(const char *name);
    [[nodiscard]] SharedFd openDirectory(const char *name, struct stat &st, int &error);
    void leave();
    void read(Frame &frame);
    void replay(Frame &frame, const Listing &listing);
    void act(Frame &frame, const Examined &entry, Verdict verdict);
    void offerFile(Frame &frame, const char *name, const std::string &path, bool follow);
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

template<typename OnEntry, typename BeforeStat>
int EntryFilter::read(FileSystem &fs, int fd, dev_t device, char *buffer, OnEntry onEntry,
                      std::array<ino_t, 2> *dots, BeforeStat beforeStat) const
{
    bool stating = false;
    for (;;) {
        const long filled = fs.readDirectory(fd, buffer, DirectoryBufferSize);
        if (filled <= 0)
            return int(-filled);
        const bool last = DirectoryBufferSize - std::size_t(filled) >= sizeof(dirent64) && plainLocal(device);
        for (long offset = 0; offset < filled;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + offset);
            offset += entry->d_reclen;
            const unsigned char type = entry->d_type;
            const char *name = entry->d_name;
            if (name[0] == '.') {
                if (dots && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                    (*dots)[name[1] == '.'] = entry->d_ino;
                continue;
            }
            if (type != DT_DIR && type != DT_REG && type != DT_LNK && type != DT_UNKNOWN)
                continue;
            Examined examined;
            examined.name = name;
            examined.type = type;
            examined.inode = entry->d_ino;
            if (type != DT_DIR) {
                if (!stating && !beforeStat())
                    return ECANCELED;
                stating = true;
                examine(fs, fd, examined);
            }
            const Verdict verdict = judge(fs, examined, device, fd);
            if ((verdict != Verdict::Skip || changesElsewhere(examined)) && !onEntry(examined, verdict))
                return 0;
        }
        if (last)
            return 0;
    }
}

} // namespace pendrel
