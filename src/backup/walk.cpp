#include "walk.h"

#include "listahead.h"
#include "paths.h"

#include <fcntl.h>
#include <linux/magic.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace pendrel {

namespace {

// Ancestor directories stay open so that every open is relative to the
// parent; past this many the shallowest are closed and reopened through "..".
constexpr std::size_t DirectoryFdBudget = 128;

// File systems whose files hold no user data: kernel interfaces, device
// nodes, and automounters (an automount point would be mounted by entering).
constexpr std::array<std::string_view, 24> PseudoTypes = {
    "proc",       "sysfs",     "devtmpfs", "devpts",   "cgroup",      "cgroup2", "debugfs",  "tracefs",
    "securityfs", "pstore",    "bpf",      "configfs", "fusectl",     "mqueue",  "hugetlbfs", "binfmt_misc",
    "efivarfs",   "autofs",    "nsfs",     "selinuxfs", "rpc_pipefs", "nfsd",    "sockfs",   "pipefs",
};

// The same by statfs type, for mounts made since the mount table was read;
// devtmpfs reports itself as tmpfs and is known by name only.
constexpr std::array<long, 18> PseudoMagics = {
    PROC_SUPER_MAGIC, SYSFS_MAGIC,     DEVPTS_SUPER_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC,
    DEBUGFS_MAGIC,    TRACEFS_MAGIC,   SECURITYFS_MAGIC,   PSTOREFS_MAGIC,     BPF_FS_MAGIC,
    0x62656570 /* configfs */,         0x65735543 /* fusectl */, 0x19800202 /* mqueue */, HUGETLBFS_MAGIC,
    BINFMTFS_MAGIC,   EFIVARFS_MAGIC,  AUTOFS_SUPER_MAGIC, NSFS_MAGIC,
};

// Local file systems whose directory reads stop short of the buffer only at
// the end and whose directory entries carry the inode's own number. Kept to
// those whose readdir is known to fill the buffer: a read taken wrongly as
// the last would lose files silently.
constexpr std::array<std::string_view, 4> PlainLocalTypes = {"ext2", "ext3", "ext4", "tmpfs"};

// File systems changed only through the system they are mounted on: local
// disks and memory, and FUSE on a local device (a stick through ntfs-3g).
constexpr std::array<std::string_view, 22> ChangedHereTypes = {
    "ext2",  "ext3",    "ext4",  "xfs",     "btrfs", "f2fs",     "tmpfs",    "ramfs", "vfat",     "msdos", "exfat",
    "ntfs3", "fuseblk", "jfs",   "hfsplus", "udf",   "iso9660",  "squashfs", "erofs", "overlay", "nilfs2", "bcachefs",
};

bool later(const timespec &a, const timespec &b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// A directory whose entries may differ from a listing made from `listedFrom`
// on: its entries changed at that moment or after.
bool changedSince(const struct stat &st, const timespec &listedFrom)
{
    return !later(listedFrom, st.st_ctim) || !later(listedFrom, st.st_mtim);
}

// Both name the same descriptor object, alive or not: the weak reference
// keeps an object's identity from passing to another at its address.
bool sameDescriptor(const std::weak_ptr<UniqueFd> &a, const SharedFd &b)
{
    return b && !a.owner_before(b) && !b.owner_before(a);
}

} // namespace

void EntryFilter::setMounts(const std::vector<Mount> &mounts, const std::string &root)
{
    m_pseudoDevices.clear();
    m_knownDevices.clear();
    m_plainLocal.clear();
    m_changesSeen.clear();
    m_mountPoints.clear();
    for (const Mount &mount : mounts) {
        m_knownDevices.insert(mount.device);
        if (std::find(PseudoTypes.begin(), PseudoTypes.end(), mount.type) != PseudoTypes.end())
            m_pseudoDevices.insert(mount.device);
        if (std::find(PlainLocalTypes.begin(), PlainLocalTypes.end(), mount.type) != PlainLocalTypes.end())
            m_plainLocal.insert(mount.device);
        if (std::find(ChangedHereTypes.begin(), ChangedHereTypes.end(), mount.type) != ChangedHereTypes.end())
            m_changesSeen.insert(mount.device);
    }
    // The mount table names mount points by their real path; the walk
    // spells them from the root as given, which may run through links.
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(root.c_str(), nullptr), &std::free);
    m_mountPointsKnown = real != nullptr;
    if (!m_mountPointsKnown)
        return;
    const std::string realRoot(real.get());
    const std::string prefix = realRoot == "/" ? realRoot : realRoot + '/';
    for (const Mount &mount : mounts)
        if (mount.mountPoint.size() > prefix.size() && mount.mountPoint.starts_with(prefix))
            m_mountPoints.insert(datname(root, mount.mountPoint.substr(prefix.size())));
}

bool EntryFilter::onPseudoFileSystem(FileSystem &fs, dev_t device, int fd) const
{
    if (m_pseudoDevices.contains(device))
        return true;
    if (m_knownDevices.contains(device) || fd < 0)
        return false;
    struct statfs st;
    return fs.statFileSystem(fd, &st) == 0
        && std::find(PseudoMagics.begin(), PseudoMagics.end(), long(st.f_type)) != PseudoMagics.end();
}

void EntryFilter::exclude(dev_t device, ino_t inode, bool inodesReliable)
{
    m_excludedDevice = device;
    m_excludedInode = inode;
    m_inodesReliable = inodesReliable;
    m_haveExcluded.store(true, std::memory_order_release);
}

bool EntryFilter::excluded(dev_t device, ino_t inode) const
{
    return m_haveExcluded.load(std::memory_order_acquire) && device == m_excludedDevice && inode == m_excludedInode;
}

bool EntryFilter::changed(const struct stat &st) const
{
    return later(st.st_mtim, m_start);
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

Verdict EntryFilter::judge(FileSystem &fs, const Examined &entry, dev_t device, int dirFd) const
{
    if (entry.type != DT_DIR)
        return judgeStated(entry);
    // The excluded folder lies in the root of its volume, so only a directory
    // on that device can hold it; there the inode from the directory entry
    // makes the check free, where the file system fills it truly.
    if (!m_haveExcluded.load(std::memory_order_acquire) || device != m_excludedDevice)
        return Verdict::Enter;
    if (m_inodesReliable && entry.inode != m_excludedInode)
        return Verdict::Enter;
    struct stat st;
    const bool isExcluded = dirFd >= 0 && fs.statAt(dirFd, entry.name, &st, false) == 0
        && excluded(st.st_dev, st.st_ino);
    return isExcluded ? Verdict::Skip : Verdict::Enter;
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
    return S_ISREG(st.st_mode) && changed(st) ? Verdict::File : Verdict::Skip;
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

// Enters the directory at m_path: the root (name null, links followed) or
// the subdirectory `name` of the top frame.
void Walk::enter(const char *name)
{
    // The helpers learn that the walk is here even when it goes no further.
    std::optional<Listing> listing;
    if (name != nullptr)
        listing = m_ahead.take(m_path);
    const auto holds = [&listing](const struct stat &st) {
        return listing && st.st_dev == listing->device && st.st_ino == listing->inode
            && !changedSince(st, listing->listedFrom);
    };

    struct stat st{};
    int error = 0;
    SharedFd fd;
    // A listing with nothing to act on needs no descriptor, and one a helper
    // passed on comes with the helper's: that the entry is still the
    // directory listed, unchanged, is enough. A directory the helper opened
    // relative to the descriptor the walk now holds is that directory, its
    // watch quiet since (no mount point: a mount shows in no watch).
    bool listed = listing && ((listing->entries.empty() && listing->error == 0) || listing->fd)
        && ((sameDescriptor(listing->parent, m_stack.back().fd) && !m_filter.mayBeMountPoint(m_path))
            || (m_fs.statAt(m_stack.back().fd->get(), name, &st, false) == 0 && holds(st)));
    if (listed) {
        fd = std::move(listing->fd);
        st.st_dev = listing->device;
    } else {
        fd = openDirectory(name, st, error);
        listed = fd && holds(st);
    }
    if (name != nullptr && (error == ENOENT || error == ENOTDIR || error == ELOOP)) {
        // Gone since its parent was read, or no longer a directory: what is
        // there now is judged as a file.
        if (error != ENOENT)
            offerFile(m_stack.back(), name, m_path, false);
        return;
    }
    if (error == 0 && m_filter.onPseudoFileSystem(m_fs, st.st_dev, fd ? fd->get() : -1))
        return;
    m_visitor->visit(Visit{VisitKind::Directory, m_path});
    if (error != 0) {
        fail(m_path, error);
        return;
    }
    if (!fd)
        return;
    m_stack.push_back(Frame{std::move(fd), st.st_dev, m_path.size(), {}, 0});
    if (listed)
        replay(m_stack.back(), *listing);
    else
        read(m_stack.back());
}

// Opens the root, or `name` in the top frame, and stats what was opened.
// Returns the descriptor; on failure error holds the errno.
SharedFd Walk::openDirectory(const char *name, struct stat &st, int &error)
{
    int fd;
    if (name == nullptr) {
        fd = m_fs.openDirectory(AT_FDCWD, m_path.c_str(), true);
    } else {
        if (m_stack.size() - m_firstOpen >= DirectoryFdBudget)
            releaseDescriptor();
        fd = retryFreeingDescriptors([&] { return m_fs.openDirectory(m_stack.back().fd->get(), name, false); },
                                     [this] { return releaseDescriptor(); });
    }
    if (fd < 0) {
        error = -fd;
        return nullptr;
    }
    auto opened = std::make_shared<UniqueFd>(m_fs, fd);
    error = -m_fs.statFd(fd, &st);
    return error == 0 ? opened : nullptr;
}

void Walk::leave()
{
    const SharedFd fd = std::move(m_stack.back().fd);
    m_stack.pop_back();
    if (m_stack.empty() || m_stack.size() != m_firstOpen)
        return;
    const int parentFd = m_fs.openDirectory(fd->get(), "..", false);
    if (parentFd >= 0) {
        m_stack.back().fd = std::make_shared<UniqueFd>(m_fs, parentFd);
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
    const int error = m_filter.read(m_fs, frame.fd->get(), frame.device, m_entries.get(),
                                    [&](const Examined &entry, Verdict verdict) {
                                        act(frame, entry, verdict);
                                        return true;
                                    });
    if (error != 0)
        fail(m_path, error);
    m_ahead.request(m_path, frame.subdirectories);
}

// Acts on a helper's listing as on the directory's own entries; the filter
// judges each again, since the excluded folder may have become known since,
// and entries that may have changed elsewhere are stat'ed again.
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
        if (EntryFilter::changesElsewhere(entry))
            m_filter.examine(m_fs, frame.fd->get(), entry);
        act(frame, entry, m_filter.judge(m_fs, entry, frame.device, frame.fd->get()));
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
    case Verdict::File:
        offerFile(frame, entry.name, datname(m_path, entry.name), entry.follow);
        break;
    case Verdict::Failure:
        fail(datname(m_path, entry.name), -entry.result);
        break;
    }
}

// Opens a file judged changed from an earlier stat and judges it again from
// what was opened: it may have been replaced since by another file, a
// directory (entered), a FIFO or a link.
void Walk::offerFile(Frame &frame, const char *name, const std::string &path, bool follow)
{
    struct stat st;
    const auto open = [&](bool followLinks) {
        return retryFreeingDescriptors([&] { return m_fs.openForReading(frame.fd->get(), name, followLinks, &st); },
                                       [this] { return releaseDescriptor(); });
    };
    int fd = open(follow);
    if (fd == -ELOOP && !follow) {
        follow = true;
        fd = open(true);
    }
    if (fd < 0) {
        // Gone, a socket, or a link leading nowhere: nothing to save.
        const bool nothing = fd == -ENOENT || fd == -ENXIO || (follow && (fd == -ELOOP || fd == -ENOTDIR));
        if (!nothing)
            fail(path, -fd);
        return;
    }
    UniqueFd file(m_fs, fd);
    if (S_ISDIR(st.st_mode)) {
        if (!follow && !m_filter.excluded(st.st_dev, st.st_ino))
            frame.subdirectories.append(name, std::strlen(name) + 1);
        return;
    }
    if (S_ISREG(st.st_mode) && m_filter.changed(st))
        m_visitor->visit(Visit{VisitKind::File, path, name, 0, &st, &file});
}

void Walk::fail(const std::string &path, int error)
{
    m_visitor->visit(Visit{VisitKind::Failure, path, nullptr, error});
}

// The open frames are always the deepest, and the top frame is never released.
bool Walk::releaseDescriptor()
{
    if (m_firstOpen + 1 < m_stack.size()) {
        m_stack[m_firstOpen++].fd.reset();
        return true;
    }
    if (!m_ahead.running())
        return false;
    m_ahead.stop();
    return true;
}

} // namespace pendrel
