// The parts of a backup run, and how they meet:
// - Walk (walk.h): the depth-first walk over descriptors, within a budget of
//   open ancestors. It asks the EntryFilter what to report and what to enter,
//   and calls back with a visit record for each directory entered, each
//   changed file and each failure.
// - ListAhead (listahead.h): helper threads that list directories ahead of
//   the walk with the same EntryFilter. The walk sends them requests (the
//   subdirectories it will enter) and takes their listings when it gets
//   there; they see nothing else of it.
// - Copier (copier.h): one file into the backup folder, under a temporary
//   name until complete, with clash numbers and substitute names.
// - DirectoryBackup, here: the visitor. It shows progress, leaves out the
//   settings file, creates the backup folder on the first copy (and has the
//   filter exclude it), hands each changed file to the copier and sorts
//   every failure by kind.
#include "directorybackup.h"

#include "copier.h"
#include "filesystem.h"
#include "listahead.h"
#include "paths.h"
#include "uniquefd.h"
#include "walk.h"

#include <fcntl.h>

#include <linux/magic.h>

#include <cerrno>
#include <functional>
#include <thread>
#include <unordered_set>

namespace pendrel {

namespace {

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

} // namespace

bool isTargetGone(int error)
{
    return error == ENODEV || error == EIO || error == EROFS || error == ENOTCONN || error == ENXIO;
}

bool isTargetFull(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

class DirectoryBackup::Impl final : public WalkVisitor
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
        , m_targetFd(fs, fs.openDirectory(AT_FDCWD, m_target.c_str(), true))
        , m_ahead(fs, m_filter)
        , m_walk(fs, m_filter, m_ahead)
        , m_copier(fs, progress, [this] { return m_walk.releaseDescriptor(); })
    {
    }

    void walk(const std::string &pfad)
    {
        m_filter.setStart(toTimespec(m_state.StartZeit));
        m_filter.setMounts(parseMounts(readProcMountInfo()), pfad);
        // Once the stick is gone or full, reading ahead is of no use.
        if (m_targetGoneError == 0 && !m_full)
            m_ahead.start(m_threads > 1 ? m_threads - 1 : 0);
        m_walk.run(pfad, *this);
        m_ahead.stop();
    }

    void finish();
    void setThreads(unsigned count) { m_threads = count; }
    void setThreadStart(ListAhead::ThreadStart start) { m_ahead.setThreadStart(std::move(start)); }
    void setHelperStartDelay(std::chrono::milliseconds delay) { m_ahead.setStartDelay(delay); }

private:
    // A file as met: its identity, and its modification time and size, which
    // tell it from a later file given the inode of one removed since.
    struct MetFile
    {
        dev_t device;
        ino_t inode;
        timespec mtime;
        off_t size;
        bool operator==(const MetFile &other) const
        {
            return device == other.device && inode == other.inode && mtime.tv_sec == other.mtime.tv_sec
                && mtime.tv_nsec == other.mtime.tv_nsec && size == other.size;
        }
    };
    struct MetFileHash
    {
        std::size_t operator()(const MetFile &file) const
        {
            return std::hash<ino_t>()(file.inode) ^ (std::hash<dev_t>()(file.device) << 1)
                ^ (std::hash<long>()(file.mtime.tv_nsec) << 2);
        }
    };

    void visit(const Visit &visit) override;
    void offer(const Visit &visit);
    void save(const Visit &visit);
    [[nodiscard]] bool fits(off_t size);
    bool openFolder(const std::string &fullPath);
    void failTarget(const std::string &path, int error, bool nameRefused = false);
    void record(const std::string &path, int error, FailureKind kind = FailureKind::Unreadable);

    DirectoryBackup &m_owner;
    FileSystem &m_fs;
    Progress &m_progress;
    RunState &m_state;
    const std::string m_target;
    const std::string m_settingsUpper;
    const UniqueFd m_targetFd;

    std::string m_folderPath;
    UniqueFd m_folderFd;
    int m_targetGoneError = 0;
    bool m_full = false;
    // Every file met in this run: one listed twice, or under two names, is saved once.
    std::unordered_set<MetFile, MetFileHash> m_met;

    unsigned m_threads = std::thread::hardware_concurrency() >= 2 ? DefaultThreads : 1;
    EntryFilter m_filter;
    ListAhead m_ahead;
    Walk m_walk;
    Copier m_copier;
};

void DirectoryBackup::Impl::visit(const Visit &visit)
{
    switch (visit.kind) {
    case VisitKind::Directory:
        m_progress.checking(visit.path);
        m_progress.keepResponsive();
        break;
    case VisitKind::File:
        offer(visit);
        break;
    case VisitKind::Failure:
        record(visit.path, visit.error);
        break;
    }
}

void DirectoryBackup::Impl::offer(const Visit &visit)
{
    const struct stat &st = *visit.st;
    if (!m_met.insert(MetFile{st.st_dev, st.st_ino, st.st_mtim, st.st_size}).second)
        return;
    m_progress.saving(visit.path);
    m_progress.keepResponsive();
    if (upperCased(visit.path) == m_settingsUpper)
        return;
    save(visit);
}

void DirectoryBackup::Impl::save(const Visit &visit)
{
    const std::string &fullPath = visit.path;
    if (m_targetGoneError != 0) {
        record(fullPath, m_targetGoneError, FailureKind::NotTried);
        return;
    }
    if (m_full && !fits(visit.st->st_size)) {
        record(fullPath, ENOSPC, FailureKind::NotTried);
        return;
    }
    if (!openFolder(fullPath))
        return;

    const CopyOutcome outcome = m_copier.copy(std::move(*visit.file), visit.name, *visit.st);
    if (outcome.error == 0) {
        ++m_owner.m_saved;
        if (outcome.substituted)
            m_owner.m_renamed.push_back(RenamedSave{fullPath, outcome.savedName});
    } else if (outcome.changing)
        record(fullPath, outcome.error, FailureKind::Changing);
    else if (outcome.targetSide)
        failTarget(fullPath, outcome.error, outcome.nameRefused);
    else
        record(fullPath, outcome.error);
}

// After the stick ran full, a file is tried only when the space the stick
// reports free now holds it: the failed copy's space came back, and smaller
// files may still fit.
bool DirectoryBackup::Impl::fits(off_t size)
{
    struct statfs st;
    if (m_fs.statFileSystem(m_folderFd.get(), &st) < 0)
        return true;
    return size <= off_t(st.f_bavail * st.f_bsize);
}

// Creates the backup folder on the first copy of the run (an existing one is
// reused) and keeps it open for the rest of the run.
bool DirectoryBackup::Impl::openFolder(const std::string &fullPath)
{
    if (m_folderFd)
        return true;
    if (!m_targetFd) {
        failTarget(fullPath, -m_targetFd.get());
        return false;
    }
    m_folderPath = datname(m_target, m_state.ZielVz);
    if (!m_state.ZielVzAngelegt) {
        const int made = m_fs.makeDirectory(m_targetFd.get(), m_state.ZielVz.c_str(), 0777);
        if (made < 0 && made != -EEXIST) {
            failTarget(fullPath, -made);
            return false;
        }
        m_state.ZielVzAngelegt = true;
    }
    UniqueFd fd(m_fs, retryFreeingDescriptors(
                          [&] { return m_fs.openDirectory(m_targetFd.get(), m_state.ZielVz.c_str(), false); },
                          [this] { return m_walk.releaseDescriptor(); }));
    if (!fd) {
        failTarget(fullPath, -fd.get());
        return false;
    }
    struct stat st;
    const int result = m_fs.statFd(fd.get(), &st);
    if (result < 0) {
        fd.reset();
        failTarget(fullPath, -result);
        return false;
    }
    // The backup folder may lie inside a walked tree; walking it would save
    // the copies again. exfat-fuse and other FUSE file systems may give any
    // d_ino in a listing.
    struct statfs fsInfo;
    const long type = m_fs.statFileSystem(fd.get(), &fsInfo) == 0 ? long(fsInfo.f_type) : 0;
    const bool inodesReliable = type != 0 && type != FUSE_SUPER_MAGIC;
    m_filter.exclude(st.st_dev, st.st_ino, inodesReliable);
    m_folderFd = std::move(fd);
    m_copier.setFolder(m_folderFd.get(), type);
    return true;
}

void DirectoryBackup::Impl::failTarget(const std::string &path, int error, bool nameRefused)
{
    if (nameRefused) {
        record(path, error, FailureKind::NameRefused);
    } else if (isTargetGone(error)) {
        record(path, error, FailureKind::TargetGone);
        m_targetGoneError = error;
        m_ahead.stop();
    } else if (isTargetFull(error)) {
        record(path, error, FailureKind::TargetFull);
        if (error != EFBIG) {
            m_full = true;
            m_ahead.stop();
        }
    } else {
        record(path, error, FailureKind::WriteFailed);
    }
}

void DirectoryBackup::Impl::record(const std::string &path, int error, FailureKind kind)
{
    m_owner.m_failures.push_back(SaveFailure{kind, path, error});
}

void DirectoryBackup::Impl::finish()
{
    if (!m_folderFd)
        return;
    const int synced = m_fs.syncFileSystem(m_folderFd.get());
    const int closed = m_folderFd.close();
    if (synced < 0)
        failTarget(m_folderPath, -synced);
    else if (closed < 0)
        failTarget(m_folderPath, -closed);
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

void DirectoryBackup::setThreadStart(std::function<std::thread(std::function<void()>)> start)
{
    m_impl->setThreadStart(std::move(start));
}

void DirectoryBackup::setHelperStartDelay(std::chrono::milliseconds delay)
{
    m_impl->setHelperStartDelay(delay);
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
