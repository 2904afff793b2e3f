#include "walk.h"

#include "listahead.h"
#include "paths.h"

#include <fcntl.h>

#include <climits>
#include <cstring>

namespace pendrel {

namespace {

// Ancestor directories stay open so that every open is relative to the
// parent; past this many the shallowest are closed and reopened through "..".
constexpr std::size_t DirectoryFdBudget = 128;

bool later(const timespec &a, const timespec &b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

} // namespace

void EntryFilter::exclude(dev_t device, ino_t inode)
{
    m_excludedDevice = device;
    m_excludedInode = inode;
    m_haveExcluded.store(true, std::memory_order_release);
}

bool EntryFilter::excluded(dev_t device, ino_t inode) const
{
    return m_haveExcluded.load(std::memory_order_acquire) && device == m_excludedDevice && inode == m_excludedInode;
}

bool EntryFilter::excludedInode(ino_t inode) const
{
    return m_haveExcluded.load(std::memory_order_acquire) && inode == m_excludedInode;
}

// Links are followed, and an entry of unknown type is followed only when it
// turns out to be a link.
void EntryFilter::examine(FileSystem &fs, int fd, Examined &entry) const
{
    entry.follow = entry.type == DT_LNK;
    entry.result = fs.statAt(fd, entry.name, &entry.st, entry.follow);
    if (entry.result == 0 && !entry.follow && S_ISLNK(entry.st.st_mode)) {
        entry.follow = true;
        entry.result = fs.statAt(fd, entry.name, &entry.st, true);
    }
}

Verdict EntryFilter::judgeStated(const Examined &entry) const
{
    if (entry.result < 0) {
        // Vanished since listed, or a link leading nowhere: nothing to save.
        const bool dangling = entry.follow && (entry.result == -ELOOP || entry.result == -ENOTDIR);
        return entry.result == -ENOENT || dangling ? Verdict::Skip : Verdict::Failure;
    }
    const struct stat &st = entry.st;
    if (S_ISDIR(st.st_mode)) {
        // Links to directories are never entered: no loops, no escaping the tree.
        return entry.follow || excluded(st.st_dev, st.st_ino) ? Verdict::Skip : Verdict::Enter;
    }
    return S_ISREG(st.st_mode) && later(st.st_mtim, m_start) ? Verdict::File : Verdict::Skip;
}

Walk::Walk(FileSystem &fs, const EntryFilter &filter, ListAhead &ahead) : m_fs(fs), m_filter(filter), m_ahead(ahead)
{
}

Walk::~Walk() = default;

void Walk::run(const std::string &root, WalkVisitor &visitor)
{
    if (!m_entries)
        m_entries = std::make_unique<char[]>(DirectoryBufferSize);
    m_visitor = &visitor;
    m_path = root;
    m_stack.clear();
    m_firstOpen = 0;
    enter(nullptr);
    while (!m_stack.empty()) {
        Frame &top = m_stack.back();
        if (top.next == top.subdirectories.size()) {
            leave();
            continue;
        }
        const std::string name(top.subdirectories.c_str() + top.next);
        top.next += name.size() + 1;
        m_path = datname(m_path.substr(0, top.pathLength), name);
        enter(name.c_str());
    }
    m_visitor = nullptr;
}

// Opens and reads the directory at m_path: the root (name null, links
// followed) or a subdirectory of the top frame.
void Walk::enter(const char *name)
{
    const Action action = m_visitor->visit(Visit{VisitKind::Directory, m_path});
    // The helpers learn that the walk is here even when it goes no further.
    std::optional<Listing> listing;
    if (name != nullptr)
        listing = m_ahead.take(m_path);
    if (action == Action::Prune)
        return;
    if (listing) {
        m_stack.push_back(Frame{UniqueFd(), m_path.size(), {}, 0});
        replay(m_stack.back(), *listing);
        return;
    }
    int fd;
    if (name == nullptr) {
        fd = m_fs.openDirectory(AT_FDCWD, m_path.c_str(), true);
    } else {
        if (m_stack.size() - m_firstOpen >= DirectoryFdBudget)
            releaseDescriptor();
        fd = openSubdirectory(name);
    }
    if (fd < 0) {
        // A subdirectory removed since it was listed has nothing left to save.
        if (name == nullptr || fd != -ENOENT)
            fail(m_path, -fd);
        return;
    }
    m_stack.push_back(Frame{UniqueFd(m_fs, fd), m_path.size(), {}, 0});
    read(m_stack.back());
}

// A frame listed by a helper has no descriptor until one is needed; its
// path always fits in PATH_MAX.
int Walk::openSubdirectory(const char *name)
{
    Frame &parent = m_stack.back();
    const bool byPath = !parent.fd && m_path.size() < PATH_MAX;
    const int parentFd = byPath ? AT_FDCWD : frameFd(parent);
    if (parentFd < 0 && !byPath)
        return parentFd;
    return retryFreeingDescriptors(
        [&] { return m_fs.openDirectory(parentFd, byPath ? m_path.c_str() : name, false); },
        [this] { return releaseDescriptor(); });
}

int Walk::frameFd(Frame &frame)
{
    if (frame.fd)
        return frame.fd.get();
    const std::string path = m_path.substr(0, frame.pathLength);
    const int fd = retryFreeingDescriptors([&] { return m_fs.openDirectory(AT_FDCWD, path.c_str(), false); },
                                           [this] { return releaseDescriptor(); });
    if (fd >= 0)
        frame.fd = UniqueFd(m_fs, fd);
    return fd;
}

void Walk::leave()
{
    const UniqueFd fd = std::move(m_stack.back().fd);
    m_stack.pop_back();
    if (m_stack.empty() || m_stack.size() != m_firstOpen)
        return;
    // A released parent of a frame without descriptor has a path that fits:
    // it is opened by that path when needed, like the frame was.
    if (!fd) {
        --m_firstOpen;
        return;
    }
    const int parentFd = m_fs.openDirectory(fd.get(), "..", false);
    if (parentFd >= 0) {
        m_stack.back().fd = UniqueFd(m_fs, parentFd);
        --m_firstOpen;
        return;
    }
    // The released ancestors cannot be reached again: what they had left to
    // enter is reported, not dropped silently.
    std::vector<Frame> lost;
    lost.swap(m_stack);
    m_firstOpen = 0;
    for (const Frame &frame : lost)
        if (frame.next < frame.subdirectories.size())
            fail(m_path.substr(0, frame.pathLength), -parentFd);
}

void Walk::read(Frame &frame)
{
    const int error = m_filter.read(m_fs, frame.fd.get(), m_entries.get(), [&](const Examined &entry, Verdict verdict) {
        act(frame, entry, verdict);
        return true;
    });
    if (error != 0)
        fail(m_path, error);
    m_ahead.request(m_path, frame.subdirectories);
}

// Acts on a helper's listing as on the directory's own entries; the filter
// judges each again, since the excluded folder may have become known since.
void Walk::replay(Frame &frame, const Listing &listing)
{
    auto st = listing.stats.begin();
    for (const Listed &listed : listing.entries) {
        Examined entry;
        entry.name = listing.names.c_str() + listed.nameOffset;
        entry.type = listed.type;
        entry.inode = listed.inode;
        entry.result = listed.result;
        entry.follow = listed.follow;
        if (listed.type != DT_DIR)
            entry.st = *st++;
        act(frame, entry, m_filter.judge(m_fs, entry, [&] { return frameFd(frame); }));
    }
    if (listing.error != 0)
        fail(m_path, listing.error);
    m_ahead.request(m_path, frame.subdirectories);
}

void Walk::act(Frame &frame, const Examined &entry, Verdict verdict)
{
    switch (verdict) {
    case Verdict::Skip:
        break;
    case Verdict::Enter:
        frame.subdirectories.append(entry.name, std::strlen(entry.name) + 1);
        break;
    case Verdict::File: {
        const std::string path = datname(m_path, entry.name);
        m_visitor->visit(Visit{VisitKind::File, path, entry.name, 0, &entry.st});
        break;
    }
    case Verdict::Failure:
        fail(datname(m_path, entry.name), -entry.result);
        break;
    }
}

void Walk::fail(const std::string &path, int error)
{
    m_visitor->visit(Visit{VisitKind::Failure, path, nullptr, error});
}

UniqueFd Walk::openFile(const Visit &visit)
{
    Frame &frame = m_stack.back();
    const bool byPath = !frame.fd && visit.path.size() < PATH_MAX;
    const int dirFd = byPath ? AT_FDCWD : frameFd(frame);
    if (dirFd < 0 && !byPath)
        return UniqueFd(m_fs, dirFd);
    struct stat st;
    UniqueFd fd(m_fs, retryFreeingDescriptors(
                          [&] { return m_fs.openForReading(dirFd, byPath ? visit.path.c_str() : visit.name, true, &st); },
                          [this] { return releaseDescriptor(); }));
    if (fd && !S_ISREG(st.st_mode))
        return UniqueFd(m_fs, -EINVAL);
    return fd;
}

// The open frames are always the deepest, and the top frame is never released.
bool Walk::releaseDescriptor()
{
    if (m_firstOpen + 1 >= m_stack.size())
        return false;
    m_stack[m_firstOpen++].fd.reset();
    return true;
}

} // namespace pendrel
