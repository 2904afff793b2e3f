#include "directorybackup.h"

#include "copier.h"
#include "filesystem.h"
#include "paths.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace pendrel {

namespace {

constexpr std::size_t DirectoryBufferSize = 64 * 1024;
// Ancestor directories stay open so that every open is relative to the
// parent; past this many the shallowest are closed and reopened through "..".
constexpr std::size_t DirectoryFdBudget = 128;
// Listings the helper threads made and the walk has not reached yet may take
// this many bytes; the helpers wait when they do.
constexpr std::size_t ListingBudget = 1024 * 1024;
// The walk and three helpers. On a cold cache each listing waits on the disk,
// and more of them in flight keep it busy; past four the gain is small while
// every helper adds to the resident size.
constexpr unsigned DefaultThreads = 4;


timespec toTimespec(TimePoint point)
{
    using namespace std::chrono;
    const auto ns = duration_cast<nanoseconds>(point.time_since_epoch()).count();
    auto seconds = ns / 1'000'000'000;
    auto rest = ns % 1'000'000'000;
    if (rest < 0) {
        --seconds;
        rest += 1'000'000'000;
    }
    return timespec{time_t(seconds), long(rest)};
}

bool later(const timespec &a, const timespec &b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// The one stat a non-directory entry costs: links are followed, and an
// entry of unknown type is followed only when it turns out to be a link.
// `follow` tells which. Returns statAt's result.
int statEntry(FileSystem &fs, int dirFd, const char *name, unsigned char type, struct stat &st, bool &follow)
{
    follow = type == DT_LNK;
    int result = fs.statAt(dirFd, name, &st, follow);
    if (result == 0 && !follow && S_ISLNK(st.st_mode)) {
        follow = true;
        result = fs.statAt(dirFd, name, &st, true);
    }
    return result;
}

// Calls visit(entry) for each visible entry of the open directory fd, in the
// order read, until visit returns false. Hidden entries, "." and ".."
// included, cost no system call. Returns 0, or the errno that stopped reading.
template<typename Visit>
int forEachVisibleEntry(FileSystem &fs, int fd, char *buffer, Visit visit)
{
    for (;;) {
        const long filled = fs.readDirectory(fd, buffer, DirectoryBufferSize);
        if (filled <= 0)
            return int(-filled);
        for (long offset = 0; offset < filled;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + offset);
            offset += entry->d_reclen;
            if (entry->d_name[0] != '.' && !visit(*entry))
                return 0;
        }
    }
}

bool within(const std::string &path, const std::string &tree)
{
    return path.starts_with(tree) && (path.size() == tree.size() || path[tree.size()] == '/');
}

// One entry of a directory listed ahead by a helper thread: a directory
// (its inode from the entry, not stat'ed) or the outcome of the same stat
// calls the walk would have made.
struct Listed
{
    std::uint32_t nameOffset = 0;
    unsigned char type = DT_UNKNOWN;
    bool follow = false;
    int result = 0;
    ino_t inode = 0;
};

// What a helper thread found in one directory, in the order read; files the
// walk would pass over without a trace are left out. Most entries kept are
// directories, so the stat results of the others are held apart, in the same
// order. `opened` false: the walk does the directory itself.
struct Listing
{
    bool opened = false;
    int error = 0; // readDirectory's failure after the entries
    std::string names;
    std::vector<Listed> entries;
    std::vector<struct stat> stats;

    [[nodiscard]] std::size_t cost(const std::string &path) const
    {
        return 128 + path.size() + names.size() + entries.size() * sizeof(Listed)
            + stats.size() * sizeof(struct stat);
    }
};

} // namespace

bool isTargetGone(int error)
{
    return error == ENODEV || error == EIO || error == EROFS || error == ENOTCONN || error == ENXIO;
}

bool isTargetFull(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

class DirectoryBackup::Impl
{
public:
    Impl(DirectoryBackup &owner, FileSystem &fs, Progress &progress, RunState &state,
         std::string target, std::string settingsFile)
        : m_owner(owner)
        , m_fs(fs)
        , m_progress(progress)
        , m_state(state)
        , m_target(std::move(target))
        , m_settingsUpper(upperCased(settingsFile))
        // Held from the start, so that the folder is made on the volume that
        // was checked even if it is unmounted (or another one mounted on the
        // same path) before the first copy.
        , m_targetFd(m_fs.openDirectory(AT_FDCWD, m_target.c_str(), true))
        , m_copier(fs, progress, [this] { return releaseAncestor(); })
    {
    }

    ~Impl()
    {
        stopHelpers();
        if (m_folderFd >= 0)
            m_fs.close(m_folderFd);
        if (m_targetFd >= 0)
            m_fs.close(m_targetFd);
    }

    void walk(const std::string &pfad);
    void finish();
    void setThreads(unsigned count) { m_threads = count; }

private:
    // One directory on the walk's stack: its descriptor (-1 while released),
    // the length of its path in m_path, and its subdirectories' names, each
    // ended by a NUL, still to be entered from offset `next` on.
    struct Frame
    {
        int fd = -1;
        std::size_t pathLength = 0;
        std::string subdirectories;
        std::size_t next = 0;
    };

    void enter(const char *name);
    int openSubdirectory(const char *name);
    int frameFd(Frame &frame);
    void leave();
    void enumerate(Frame &frame);
    void replay(Frame &frame, const Listing &listing);
    void publish(Frame &frame);
    void visit(Frame &frame, const dirent64 &entry);
    void directory(Frame &frame, const char *name, ino_t inode);
    void judge(Frame &frame, const char *name, int result, bool follow, const struct stat &st);
    bool isBackupFolder(Frame &frame, const char *name, ino_t inode);
    void offer(Frame &frame, const char *name, const struct stat &st);
    void save(Frame &frame, const char *name, const std::string &fullPath, const struct stat &st);
    int openSource(Frame &frame, const char *name, const std::string &fullPath);
    bool openFolder(const std::string &fullPath, off_t size);
    void failTarget(const std::string &path, int error, off_t size, bool nameRefused = false);
    bool releaseAncestor();
    bool fdShortage(int result);
    void record(const std::string &path, int error, FailureKind kind = FailureKind::Unreadable);

    // A thread that lists one subtree after another ahead of the walk.
    struct Helper
    {
        std::thread thread;
        std::string tree;      // the subtree it is listing
        std::string listing;   // the directory it is listing now
        bool caughtUp = false; // the walk has reached it: it moves on
    };

    std::optional<Listing> takeListing();
    void startHelpers();
    void stopHelpers();
    void helperLoop(Helper &self);
    bool pickTree(std::string &tree) const;
    void listTree(std::unique_lock<std::mutex> &lock, Helper &self, char *buffer);
    Listing list(const std::string &path, std::string &subdirectories, char *buffer);

    DirectoryBackup &m_owner;
    FileSystem &m_fs;
    Progress &m_progress;
    RunState &m_state;
    const std::string m_target;
    const std::string m_settingsUpper;

    timespec m_start{};
    std::string m_path;
    std::vector<Frame> m_stack;
    std::size_t m_firstOpen = 0;
    std::unique_ptr<char[]> m_entries;

    const int m_targetFd;
    std::string m_folderPath;
    int m_folderFd = -1;
    dev_t m_folderDevice = 0;
    ino_t m_folderInode = 0;
    int m_targetGoneError = 0;
    std::optional<off_t> m_noSpaceFrom;
    Copier m_copier;

    // The helper threads read m_stack and m_path, and every thread the
    // listings and the helpers' state, only under m_mutex; the walk changes
    // them only under it.
    unsigned m_threads = std::thread::hardware_concurrency() >= 2 ? DefaultThreads : 1;
    std::vector<Helper> m_helpers;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::unordered_map<std::string, Listing> m_listings;
    std::size_t m_listingBytes = 0;
    bool m_stop = false;
    std::string m_found;
};

void DirectoryBackup::Impl::walk(const std::string &pfad)
{
    m_start = toTimespec(m_state.StartZeit);
    if (!m_entries)
        m_entries = std::make_unique<char[]>(DirectoryBufferSize);
    m_path = pfad;
    m_stack.clear();
    m_firstOpen = 0;
    startHelpers();
    enter(nullptr);
    while (!m_stack.empty()) {
        Frame &top = m_stack.back();
        if (top.next == top.subdirectories.size()) {
            leave();
            continue;
        }
        const std::string name(top.subdirectories.c_str() + top.next);
        {
            const std::lock_guard lock(m_mutex);
            top.next += name.size() + 1;
            m_path = datname(m_path.substr(0, top.pathLength), name);
        }
        enter(name.c_str());
    }
    stopHelpers();
}

// Opens and enumerates the directory at m_path: the listed one (name null,
// links followed) or a subdirectory of the top frame.
void DirectoryBackup::Impl::enter(const char *name)
{
    m_progress.checking(m_path);
    m_progress.keepResponsive();

    if (name != nullptr) {
        if (const std::optional<Listing> listing = takeListing()) {
            {
                const std::lock_guard lock(m_mutex);
                m_stack.push_back(Frame{-1, m_path.size(), {}, 0});
            }
            replay(m_stack.back(), *listing);
            return;
        }
    }
    int fd;
    if (name == nullptr) {
        fd = m_fs.openDirectory(AT_FDCWD, m_path.c_str(), true);
    } else {
        if (m_stack.size() - m_firstOpen >= DirectoryFdBudget)
            releaseAncestor();
        fd = openSubdirectory(name);
    }
    if (fd < 0) {
        // A subdirectory removed since it was listed has nothing left to save.
        if (name == nullptr || fd != -ENOENT)
            record(m_path, -fd);
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_stack.push_back(Frame{fd, m_path.size(), {}, 0});
    }
    enumerate(m_stack.back());
}

// A frame listed by a helper has no descriptor until one is needed; its
// path always fits in PATH_MAX.
int DirectoryBackup::Impl::openSubdirectory(const char *name)
{
    Frame &parent = m_stack.back();
    const bool byPath = parent.fd < 0 && m_path.size() < PATH_MAX;
    const int parentFd = byPath ? AT_FDCWD : frameFd(parent);
    if (parentFd < 0 && !byPath)
        return parentFd;
    int fd;
    do
        fd = m_fs.openDirectory(parentFd, byPath ? m_path.c_str() : name, false);
    while (fdShortage(fd));
    return fd;
}

int DirectoryBackup::Impl::frameFd(Frame &frame)
{
    if (frame.fd >= 0)
        return frame.fd;
    const std::string path = m_path.substr(0, frame.pathLength);
    int fd;
    do
        fd = m_fs.openDirectory(AT_FDCWD, path.c_str(), false);
    while (fdShortage(fd));
    if (fd >= 0)
        frame.fd = fd;
    return fd;
}

void DirectoryBackup::Impl::leave()
{
    const int fd = m_stack.back().fd;
    std::unique_lock lock(m_mutex);
    m_stack.pop_back();
    // A released parent of a frame without descriptor has a path that fits:
    // it is opened by that path when needed, like the frame was.
    if (!m_stack.empty() && m_stack.size() == m_firstOpen && fd < 0) {
        --m_firstOpen;
    } else if (!m_stack.empty() && m_stack.size() == m_firstOpen) {
        const int parentFd = m_fs.openDirectory(fd, "..", false);
        if (parentFd < 0) {
            // The released ancestors cannot be reached again: what they had
            // left to enter is reported, not dropped silently.
            std::vector<Frame> lost;
            lost.swap(m_stack);
            lock.unlock();
            for (const Frame &frame : lost)
                if (frame.next < frame.subdirectories.size())
                    record(m_path.substr(0, frame.pathLength), -parentFd);
            m_firstOpen = 0;
        } else {
            m_stack.back().fd = parentFd;
            --m_firstOpen;
        }
    }
    if (lock.owns_lock())
        lock.unlock();
    if (fd >= 0)
        m_fs.close(fd);
}

void DirectoryBackup::Impl::enumerate(Frame &frame)
{
    const int error = forEachVisibleEntry(m_fs, frame.fd, m_entries.get(), [&](const dirent64 &entry) {
        visit(frame, entry);
        return true;
    });
    if (error != 0)
        record(m_path, error);
    publish(frame);
}

void DirectoryBackup::Impl::replay(Frame &frame, const Listing &listing)
{
    auto st = listing.stats.begin();
    for (const Listed &entry : listing.entries) {
        const char *name = listing.names.c_str() + entry.nameOffset;
        if (entry.type == DT_DIR)
            directory(frame, name, entry.inode);
        else
            judge(frame, name, entry.result, entry.follow, *st++);
    }
    if (listing.error != 0)
        record(m_path, listing.error);
    publish(frame);
}

// The subdirectories found become visible to the helper threads only now.
void DirectoryBackup::Impl::publish(Frame &frame)
{
    {
        const std::lock_guard lock(m_mutex);
        frame.subdirectories.swap(m_found);
    }
    m_found.clear();
    m_changed.notify_all();
}

void DirectoryBackup::Impl::visit(Frame &frame, const dirent64 &entry)
{
    const char *name = entry.d_name;
    const unsigned char type = entry.d_type;
    if (type == DT_DIR) {
        directory(frame, name, entry.d_ino);
        return;
    }
    if (type != DT_REG && type != DT_LNK && type != DT_UNKNOWN)
        return;

    struct stat st;
    bool follow = false;
    const int result = statEntry(m_fs, frame.fd, name, type, st, follow);
    judge(frame, name, result, follow, st);
}

void DirectoryBackup::Impl::directory(Frame &frame, const char *name, ino_t inode)
{
    if (!isBackupFolder(frame, name, inode))
        m_found.append(name, std::strlen(name) + 1);
}

void DirectoryBackup::Impl::judge(Frame &frame, const char *name, int result, bool follow, const struct stat &st)
{
    if (result < 0) {
        // Vanished since listed, or a link leading nowhere: nothing to save.
        const bool dangling = follow && (result == -ELOOP || result == -ENOTDIR);
        if (result != -ENOENT && !dangling)
            record(datname(m_path, name), -result);
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        // Links to directories are never entered: no loops, no escaping the tree.
        const bool ownFolder = m_folderFd >= 0 && st.st_dev == m_folderDevice && st.st_ino == m_folderInode;
        if (!follow && !ownFolder)
            m_found.append(name, std::strlen(name) + 1);
        return;
    }
    if (S_ISREG(st.st_mode))
        offer(frame, name, st);
}

// The backup folder may lie inside a listed tree; walking it would save the
// copies again. The inode from the directory entry makes the check free for
// every other directory.
bool DirectoryBackup::Impl::isBackupFolder(Frame &frame, const char *name, ino_t inode)
{
    if (m_folderFd < 0 || inode != m_folderInode)
        return false;
    const int dirFd = frameFd(frame);
    struct stat st;
    return dirFd >= 0 && m_fs.statAt(dirFd, name, &st, false) == 0 && st.st_dev == m_folderDevice
        && st.st_ino == m_folderInode;
}

void DirectoryBackup::Impl::offer(Frame &frame, const char *name, const struct stat &st)
{
    if (!later(st.st_mtim, m_start))
        return;
    const std::string fullPath = datname(m_path, name);
    m_progress.saving(fullPath);
    m_progress.keepResponsive();
    if (upperCased(fullPath) == m_settingsUpper)
        return;
    save(frame, name, fullPath, st);
}

void DirectoryBackup::Impl::save(Frame &frame, const char *name, const std::string &fullPath, const struct stat &st)
{
    if (m_targetGoneError != 0) {
        record(fullPath, m_targetGoneError, FailureKind::NotTried);
        return;
    }
    // Nothing frees space during a run: a file at least as large as one that
    // did not fit will not fit either.
    if (m_noSpaceFrom && st.st_size >= *m_noSpaceFrom) {
        record(fullPath, ENOSPC, FailureKind::NotTried);
        return;
    }
    if (!openFolder(fullPath, st.st_size))
        return;

    const int source = openSource(frame, name, fullPath);
    if (source < 0) {
        if (source != -ENOENT)
            record(fullPath, -source);
        return;
    }

    const CopyOutcome outcome = m_copier.copy(UniqueFd(m_fs, source), name, st);
    if (outcome.error == 0) {
        ++m_owner.m_saved;
        if (outcome.substituted)
            m_owner.m_renamed.push_back(RenamedSave{fullPath, outcome.savedName});
    } else if (outcome.targetSide)
        failTarget(fullPath, outcome.error, st.st_size);
    else
        record(fullPath, outcome.error);
}

int DirectoryBackup::Impl::openSource(Frame &frame, const char *name, const std::string &fullPath)
{
    const bool byPath = frame.fd < 0 && fullPath.size() < PATH_MAX;
    const int dirFd = byPath ? AT_FDCWD : frameFd(frame);
    if (dirFd < 0 && !byPath)
        return dirFd;
    int source;
    do
        source = m_fs.openForReading(dirFd, byPath ? fullPath.c_str() : name);
    while (fdShortage(source));
    return source;
}

// Creates the backup folder on the first copy of the run (an existing one is
// reused) and keeps it open for the rest of the run.
bool DirectoryBackup::Impl::openFolder(const std::string &fullPath, off_t size)
{
    if (m_folderFd >= 0)
        return true;
    if (m_targetFd < 0) {
        failTarget(fullPath, -m_targetFd, size);
        return false;
    }
    m_folderPath = datname(m_target, m_state.ZielVz);
    if (!m_state.ZielVzAngelegt) {
        const int made = m_fs.makeDirectory(m_targetFd, m_state.ZielVz.c_str());
        if (made < 0 && made != -EEXIST) {
            failTarget(fullPath, -made, size);
            return false;
        }
        m_state.ZielVzAngelegt = true;
    }
    int fd;
    do
        fd = m_fs.openDirectory(m_targetFd, m_state.ZielVz.c_str(), false);
    while (fdShortage(fd));
    if (fd < 0) {
        failTarget(fullPath, -fd, size);
        return false;
    }
    struct stat st;
    const int result = m_fs.statAt(fd, ".", &st, false);
    if (result < 0) {
        m_fs.close(fd);
        failTarget(fullPath, -result, size);
        return false;
    }
    m_folderFd = fd;
    m_copier.setFolder(fd);
    m_folderDevice = st.st_dev;
    m_folderInode = st.st_ino;
    return true;
}

void DirectoryBackup::Impl::failTarget(const std::string &path, int error, off_t size, bool nameRefused)
{
    if (nameRefused) {
        record(path, error, FailureKind::NameRefused);
    } else if (isTargetGone(error)) {
        record(path, error, FailureKind::TargetGone);
        m_targetGoneError = error;
    } else if (isTargetFull(error)) {
        record(path, error, FailureKind::TargetFull);
        if (error != EFBIG)
            m_noSpaceFrom = std::min(size, m_noSpaceFrom.value_or(std::numeric_limits<off_t>::max()));
    } else {
        record(path, error, FailureKind::WriteFailed);
    }
}

// Closes the descriptor of the shallowest open ancestor; the open ones are
// always the deepest frames, and the top frame is never released.
bool DirectoryBackup::Impl::releaseAncestor()
{
    if (m_firstOpen + 1 >= m_stack.size())
        return false;
    Frame &frame = m_stack[m_firstOpen++];
    if (frame.fd >= 0)
        m_fs.close(frame.fd);
    frame.fd = -1;
    return true;
}

bool DirectoryBackup::Impl::fdShortage(int result)
{
    return (result == -EMFILE || result == -ENFILE) && releaseAncestor();
}

void DirectoryBackup::Impl::record(const std::string &path, int error, FailureKind kind)
{
    m_owner.m_failures.push_back(SaveFailure{kind, path, error});
}

// A helper's listing of the directory at m_path: waits while a helper is
// listing it, takes it when done; nullopt when the walk must list it.
std::optional<Listing> DirectoryBackup::Impl::takeListing()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        const auto it = m_listings.find(m_path);
        if (it != m_listings.end()) {
            m_listingBytes -= it->second.cost(it->first);
            std::optional<Listing> listing;
            if (it->second.opened)
                listing = std::move(it->second);
            m_listings.erase(it);
            lock.unlock();
            m_changed.notify_all();
            return listing;
        }
        const auto owner = std::find_if(m_helpers.begin(), m_helpers.end(), [this](const Helper &helper) {
            return !helper.tree.empty() && within(m_path, helper.tree);
        });
        if (owner == m_helpers.end())
            return std::nullopt;
        // The walk has caught up with this helper, which had better go
        // further ahead than keep it waiting directory by directory.
        owner->caughtUp = true;
        if (owner->listing != m_path) {
            lock.unlock();
            m_changed.notify_all();
            return std::nullopt;
        }
        m_changed.wait(lock);
    }
}

void DirectoryBackup::Impl::startHelpers()
{
    if (m_threads < 2)
        return;
    m_stop = false;
    m_helpers.resize(m_threads - 1);
    for (Helper &helper : m_helpers)
        helper.thread = std::thread([this, &helper] { helperLoop(helper); });
}

void DirectoryBackup::Impl::stopHelpers()
{
    if (m_helpers.empty())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    for (Helper &helper : m_helpers)
        helper.thread.join();
    m_helpers.clear();
    m_listings.clear();
    m_listingBytes = 0;
}

void DirectoryBackup::Impl::helperLoop(Helper &self)
{
    const auto buffer = std::make_unique<char[]>(DirectoryBufferSize);
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        std::string tree;
        if (!pickTree(tree)) {
            m_changed.wait(lock);
            continue;
        }
        self.tree = std::move(tree);
        self.caughtUp = false;
        listTree(lock, self, buffer.get());
        self.tree.clear();
    }
}

// The nearest subdirectory on the walk's stack that it does not enter next,
// has not been listed, lies in no other helper's subtree and whose path fits
// in PATH_MAX.
bool DirectoryBackup::Impl::pickTree(std::string &tree) const
{
    bool skippedNext = false;
    for (std::size_t i = m_stack.size(); i-- > 0;) {
        const Frame &frame = m_stack[i];
        for (std::size_t at = frame.next; at < frame.subdirectories.size();) {
            const char *name = frame.subdirectories.c_str() + at;
            at += std::strlen(name) + 1;
            if (!skippedNext) {
                skippedNext = true;
                continue;
            }
            tree = datname(m_path.substr(0, frame.pathLength), name);
            const bool taken = std::any_of(m_helpers.begin(), m_helpers.end(), [&tree](const Helper &helper) {
                return !helper.tree.empty() && within(tree, helper.tree);
            });
            if (tree.size() < PATH_MAX && !taken && !m_listings.contains(tree))
                return true;
        }
    }
    return false;
}

// Lists self.tree and its subdirectories in the walk's order, until the walk
// catches up, the run stops or a listing fails; called and returns locked.
void DirectoryBackup::Impl::listTree(std::unique_lock<std::mutex> &lock, Helper &self, char *buffer)
{
    struct Pending
    {
        std::size_t pathLength;
        std::string subdirectories;
        std::size_t next = 0;
    };
    std::vector<Pending> stack;
    std::string path = self.tree;
    for (;;) {
        m_changed.wait(lock, [this, &self] { return m_stop || self.caughtUp || m_listingBytes < ListingBudget; });
        if (m_stop || self.caughtUp)
            return;
        self.listing = path;
        lock.unlock();
        std::string subdirectories;
        Listing listing = list(path, subdirectories, buffer);
        lock.lock();
        self.listing.clear();
        const bool opened = listing.opened;
        m_listingBytes += listing.cost(path);
        m_listings.insert_or_assign(path, std::move(listing));
        lock.unlock();
        m_changed.notify_all();
        lock.lock();
        if (!opened)
            return;
        stack.push_back(Pending{path.size(), std::move(subdirectories)});
        for (;;) {
            if (stack.empty())
                return;
            Pending &top = stack.back();
            if (top.next == top.subdirectories.size()) {
                stack.pop_back();
                continue;
            }
            const char *name = top.subdirectories.c_str() + top.next;
            top.next += std::strlen(name) + 1;
            path = datname(path.substr(0, top.pathLength), name);
            if (path.size() < PATH_MAX)
                break;
        }
    }
}

// Makes the calls the walk would make for the directory at `path`, and
// keeps what it would act upon.
Listing DirectoryBackup::Impl::list(const std::string &path, std::string &subdirectories, char *buffer)
{
    Listing listing;
    const int fd = m_fs.openDirectory(AT_FDCWD, path.c_str(), false);
    if (fd < 0)
        return listing;
    listing.opened = true;
    const auto keep = [&listing](const char *name, const Listed &entry) {
        listing.entries.push_back(entry);
        listing.entries.back().nameOffset = std::uint32_t(listing.names.size());
        listing.names.append(name, std::strlen(name) + 1);
    };
    bool tooLarge = false;
    listing.error = forEachVisibleEntry(m_fs, fd, buffer, [&](const dirent64 &entry) {
        const char *name = entry.d_name;
        const unsigned char type = entry.d_type;
        if (type == DT_DIR) {
            keep(name, Listed{0, DT_DIR, false, 0, entry.d_ino});
            subdirectories.append(name, std::strlen(name) + 1);
        } else if (type == DT_REG || type == DT_LNK || type == DT_UNKNOWN) {
            Listed found{0, type, false, 0, 0};
            struct stat st;
            found.result = statEntry(m_fs, fd, name, type, st, found.follow);
            const bool ok = found.result == 0;
            if (ok && S_ISREG(st.st_mode) && !later(st.st_mtim, m_start))
                return true;
            if (ok && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
                return true;
            keep(name, found);
            listing.stats.push_back(st);
            if (ok && S_ISDIR(st.st_mode) && !found.follow)
                subdirectories.append(name, std::strlen(name) + 1);
        }
        tooLarge = listing.cost(path) > ListingBudget / 2;
        return !tooLarge;
    });
    // A directory too large to hold is left to the walk.
    if (tooLarge) {
        listing = Listing{};
        subdirectories.clear();
    }
    m_fs.close(fd);
    return listing;
}

void DirectoryBackup::Impl::finish()
{
    if (m_folderFd < 0)
        return;
    const int synced = m_fs.syncFileSystem(m_folderFd);
    const int closed = m_fs.close(m_folderFd);
    m_folderFd = -1;
    if (synced < 0)
        failTarget(m_folderPath, -synced, 0);
    else if (closed < 0)
        failTarget(m_folderPath, -closed, 0);
}

DirectoryBackup::DirectoryBackup(FileSystem &fs, Progress &progress, RunState &state, std::string target,
                                 std::string settingsFile)
    : m_impl(std::make_unique<Impl>(*this, fs, progress, state, std::move(target), std::move(settingsFile)))
{
}

DirectoryBackup::~DirectoryBackup() = default;

void DirectoryBackup::setThreads(unsigned count)
{
    m_impl->setThreads(count);
}

void DirectoryBackup::VzSichern(const std::string &pfad)
{
    m_impl->walk(pfad);
}

void DirectoryBackup::finish()
{
    m_impl->finish();
}

} // namespace pendrel
