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

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>
#include <thread>

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
        m_ahead.start(m_threads > 1 ? m_threads - 1 : 0);
        m_walk.run(pfad, *this);
        m_ahead.stop();
    }

    void finish();
    void setThreads(unsigned count) { m_threads = count; }

private:
    Action visit(const Visit &visit) override;
    void offer(const Visit &visit);
    void save(const Visit &visit);
    bool openFolder(const std::string &fullPath, off_t size);
    void failTarget(const std::string &path, int error, off_t size, bool nameRefused = false);
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
    std::optional<off_t> m_noSpaceFrom;

    unsigned m_threads = std::thread::hardware_concurrency() >= 2 ? DefaultThreads : 1;
    EntryFilter m_filter;
    ListAhead m_ahead;
    Walk m_walk;
    Copier m_copier;
};

Action DirectoryBackup::Impl::visit(const Visit &visit)
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
    return Action::Continue;
}

void DirectoryBackup::Impl::offer(const Visit &visit)
{
    m_progress.saving(visit.path);
    m_progress.keepResponsive();
    if (upperCased(visit.path) == m_settingsUpper)
        return;
    save(visit);
}

void DirectoryBackup::Impl::save(const Visit &visit)
{
    const std::string &fullPath = visit.path;
    const off_t size = visit.st->st_size;
    if (m_targetGoneError != 0) {
        record(fullPath, m_targetGoneError, FailureKind::NotTried);
        return;
    }
    // Nothing frees space during a run: a file at least as large as one that
    // did not fit will not fit either.
    if (m_noSpaceFrom && size >= *m_noSpaceFrom) {
        record(fullPath, ENOSPC, FailureKind::NotTried);
        return;
    }
    if (!openFolder(fullPath, size))
        return;

    UniqueFd source = m_walk.openFile(visit);
    if (!source) {
        if (source.get() != -ENOENT)
            record(fullPath, -source.get());
        return;
    }

    const CopyOutcome outcome = m_copier.copy(std::move(source), visit.name, *visit.st);
    if (outcome.error == 0) {
        ++m_owner.m_saved;
        if (outcome.substituted)
            m_owner.m_renamed.push_back(RenamedSave{fullPath, outcome.savedName});
    } else if (outcome.changing)
        record(fullPath, outcome.error, FailureKind::Changing);
    else if (outcome.targetSide)
        failTarget(fullPath, outcome.error, size, outcome.nameRefused);
    else
        record(fullPath, outcome.error);
}

// Creates the backup folder on the first copy of the run (an existing one is
// reused) and keeps it open for the rest of the run.
bool DirectoryBackup::Impl::openFolder(const std::string &fullPath, off_t size)
{
    if (m_folderFd)
        return true;
    if (!m_targetFd) {
        failTarget(fullPath, -m_targetFd.get(), size);
        return false;
    }
    m_folderPath = datname(m_target, m_state.ZielVz);
    if (!m_state.ZielVzAngelegt) {
        const int made = m_fs.makeDirectory(m_targetFd.get(), m_state.ZielVz.c_str(), 0777);
        if (made < 0 && made != -EEXIST) {
            failTarget(fullPath, -made, size);
            return false;
        }
        m_state.ZielVzAngelegt = true;
    }
    UniqueFd fd(m_fs, retryFreeingDescriptors(
                          [&] { return m_fs.openDirectory(m_targetFd.get(), m_state.ZielVz.c_str(), false); },
                          [this] { return m_walk.releaseDescriptor(); }));
    if (!fd) {
        failTarget(fullPath, -fd.get(), size);
        return false;
    }
    struct stat st;
    const int result = m_fs.statAt(fd.get(), ".", &st, false);
    if (result < 0) {
        fd.reset();
        failTarget(fullPath, -result, size);
        return false;
    }
    // The backup folder may lie inside a walked tree; walking it would save
    // the copies again.
    m_filter.exclude(st.st_dev, st.st_ino);
    m_folderFd = std::move(fd);
    m_copier.setFolder(m_folderFd.get());
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
