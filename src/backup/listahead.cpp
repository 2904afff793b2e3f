#include "listahead.h"

#include "filesystem.h"
#include "paths.h"
#include "uniquefd.h"
#include "walk.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <system_error>

namespace pendrel {

namespace {

// Listings the helpers made and the walk has not reached yet may take this
// many bytes; the helpers wait when they do.
constexpr std::size_t ListingBudget = 1024 * 1024;
// A helper that found the budget spent goes on once the walk has taken the
// listings down to this: woken once per batch, not once per listing taken.
constexpr std::size_t ListingResume = ListingBudget * 3 / 4;
// How much of a file to be copied a helper asks the kernel to read ahead.
constexpr off_t PrefetchBytes = 1024 * 1024;
// Descriptors a helper keeps of the directories it is still to descend
// from; beyond these a directory is opened by its path.
constexpr std::size_t HelperDescriptors = 8;
// Descriptors the listings waiting for the walk may hold: at most this
// many, and at most the process's limit divided by the divisor (the walk's
// own and the copies' stay well within the rest); past these the walk opens
// a directory itself.
constexpr std::size_t ListingDescriptorsMax = 1024;
constexpr std::size_t ListingDescriptorsDivisor = 2;
// Subdirectories offered to idle helpers before one is woken.
constexpr std::size_t WakeBatch = 8;
// Helpers list no deeper than this: every listing is handed over by its
// path, and in a deep chain of small directories handing over long paths
// costs the walk more than reading them itself.
constexpr std::size_t HelperPathMax = 1024;

// `path` lies below `tree`, or is it; a tree given with a trailing "/" (a
// root such as "/") holds everything that starts with it.
bool within(const std::string &path, const std::string &tree)
{
    return path.starts_with(tree)
        && (path.size() == tree.size() || tree.back() == '/' || path[tree.size()] == '/');
}

} // namespace

ListAhead::ListAhead(FileSystem &fs, const EntryFilter &filter) : m_fs(fs), m_filter(filter), m_changes(fs)
{
}

ListAhead::~ListAhead()
{
    stop();
}

void ListAhead::start(unsigned helpers)
{
    m_stop = false;
    m_wanted = helpers;
    m_startAt = std::chrono::steady_clock::now() + m_startDelay;
    rlimit limit{};
    m_listingFdsMax = ListingDescriptorsMax;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        m_listingFdsMax = std::min(m_listingFdsMax, std::size_t(limit.rlim_cur) / ListingDescriptorsDivisor);
}

void ListAhead::launch()
{
    const unsigned helpers = std::exchange(m_wanted, 0);
    // Sized once: the threads hold references to their elements.
    std::vector<Helper> started(helpers);
    std::size_t count = 0;
    const std::lock_guard lock(m_mutex);
    m_helpers.swap(started);
    try {
        for (; count < helpers; ++count) {
            Helper &helper = m_helpers[count];
            helper.thread = m_threadStart([this, &helper] { helperLoop(helper); });
        }
    } catch (const std::system_error &) {
        // Fewer helpers, or none: the walk does the rest itself.
    }
    m_helpers.resize(count);
}

void ListAhead::stop()
{
    m_wanted = 0;
    if (!m_helpers.empty()) {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_work.notify_all();
        m_room.notify_all();
        for (Helper &helper : m_helpers)
            helper.thread.join();
        m_helpers.clear();
    }
    m_requests.clear();
    m_listings.clear();
    m_changes.reset();
    m_listingBytes = 0;
    m_listingFds = 0;
}

void ListAhead::request(const std::string &path, const std::string &subdirectories)
{
    // Below the helpers' depth the requests of the ancestors stay as they
    // are until the walk comes back up.
    if (path.size() + 1 >= HelperPathMax)
        return;
    if (m_helpers.empty()) {
        // Until the helpers start, the walk keeps no books for them; they
        // begin with the first subtrees offered after the delay.
        const bool offers = subdirectories.find('\0') + 1 < subdirectories.size();
        if (m_wanted == 0 || !offers || std::chrono::steady_clock::now() < m_startAt)
            return;
        launch();
        if (m_helpers.empty())
            return;
    }
    bool wake = false;
    {
        const std::lock_guard lock(m_mutex);
        dropLeft(path);
        if (!subdirectories.empty()) {
            m_requests.push_back(Request{path, subdirectories, 0, 0, m_requests.size() - 1});
            // The walk enters the first itself. Idle helpers are woken for a
            // batch of subtrees, not for each one: in a chain of directories
            // with one or two subdirectories each, waking a helper per
            // directory costs more than the listing saves.
            m_offered += std::size_t(std::count(subdirectories.begin(), subdirectories.end(), '\0')) - 1;
            wake = m_idleHelpers > 0 && m_offered >= WakeBatch;
            if (wake)
                m_offered = 0;
        }
    }
    if (wake)
        m_work.notify_one();
}

// Forgets the requests of the directories the walk has left on its way to
// `path`, and in its parent's request the subdirectories up to `path`.
void ListAhead::dropLeft(const std::string &path)
{
    while (!m_requests.empty()) {
        Request &top = m_requests.back();
        if (path.size() > top.path.size() && within(path, top.path))
            break;
        m_requests.pop_back();
    }
    if (m_requests.empty())
        return;
    Request &parent = m_requests.back();
    if (parent.next < parent.subdirectories.size()) {
        const char *name = parent.subdirectories.c_str() + parent.next;
        if (datname(parent.path, name) == path)
            parent.next += std::strlen(name) + 1;
    }
}

std::optional<Listing> ListAhead::take(const std::string &path)
{
    if (m_helpers.empty() || path.size() >= HelperPathMax)
        return std::nullopt;
    std::unique_lock lock(m_mutex);
    dropLeft(path);
    {
        const auto it = m_listings.find(path);
        if (it != m_listings.end()) {
            const bool wasFull = m_listingBytes > ListingResume;
            m_listingBytes -= it->second.cost(it->first);
            const bool wake = wasFull && m_listingBytes <= ListingResume;
            if (it->second.fd)
                --m_listingFds;
            std::optional<Listing> listing;
            if (it->second.opened)
                listing = std::move(it->second);
            m_listings.erase(it);
            lock.unlock();
            if (wake)
                m_room.notify_all();
            // A file rewritten in place since leaves no trace on the
            // directory: the walk, had it read the directory now, would have
            // seen it.
            if (listing && listing->watch && !m_changes.unchanged(listing->watch))
                return std::nullopt;
            return listing;
        }
        const auto owner = std::find_if(m_helpers.begin(), m_helpers.end(), [&path](const Helper &helper) {
            return !helper.tree.empty() && within(path, helper.tree);
        });
        if (owner == m_helpers.end())
            return std::nullopt;
        // The walk has caught up with this helper. It reads the directory
        // itself rather than wait for it, directory by directory, in step
        // with the helper; the helper goes further ahead.
        owner->caughtUp = path;
        lock.unlock();
        m_room.notify_all();
        return std::nullopt;
    }
}

void ListAhead::helperLoop(Helper &self)
{
    const auto buffer = std::make_unique<char[]>(DirectoryBufferSize);
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        std::string tree;
        if (!pickTree(tree)) {
            ++m_idleHelpers;
            m_work.wait(lock);
            --m_idleHelpers;
            continue;
        }
        self.tree = std::move(tree);
        self.caughtUp.reset();
        // One helper woken at a time: each wakes the next when it found work.
        if (m_idleHelpers > 0)
            m_work.notify_one();
        listTree(lock, self, buffer.get());
        self.tree.clear();
        // What lay in its subtree is free for the others now.
        if (m_idleHelpers > 0)
            m_work.notify_one();
    }
}

// The nearest subdirectory the walk is still to enter, but not next, that
// has not been listed, lies in no other helper's subtree and whose path fits
// in HelperPathMax. Each is considered once: a subtree a helper gave up when the
// walk caught up with it is left to the walk.
bool ListAhead::pickTree(std::string &tree)
{
    bool skippedNext = false;
    // Requests with nothing left to offer are linked past, so that a deep
    // walk's stack is not scanned whole on every pick.
    std::size_t *link = nullptr;
    for (std::size_t i = m_requests.empty() ? NoRequest : m_requests.size() - 1; i != NoRequest;) {
        Request &request = m_requests[i];
        std::size_t at = request.next;
        if (!skippedNext && at < request.subdirectories.size()) {
            skippedNext = true;
            at += std::strlen(request.subdirectories.c_str() + at) + 1;
        }
        for (at = std::max(at, request.picked); at < request.subdirectories.size();) {
            const char *name = request.subdirectories.c_str() + at;
            at += std::strlen(name) + 1;
            request.picked = at;
            tree = datname(request.path, name);
            const bool taken = std::any_of(m_helpers.begin(), m_helpers.end(), [&tree](const Helper &helper) {
                return !helper.tree.empty() && within(tree, helper.tree);
            });
            if (tree.size() < HelperPathMax && !taken && !m_listings.contains(tree))
                return true;
        }
        if (std::max(request.next, request.picked) >= request.subdirectories.size()) {
            if (link)
                *link = request.below;
        } else {
            link = &request.below;
        }
        i = request.below;
    }
    return false;
}

// Lists self.tree and its subdirectories in the walk's order, until the walk
// catches up, the run stops or a listing fails; called and returns locked.
// Below the tree's top each directory is opened relative to its parent while
// a descriptor of that is held.
void ListAhead::listTree(std::unique_lock<std::mutex> &lock, Helper &self, char *buffer)
{
    struct Pending
    {
        std::size_t pathLength;
        Subdirectories subdirectories;
        dev_t device;
        std::size_t next = 0;
        std::size_t index = 0;
        SharedFd fd;
    };
    std::vector<Pending> stack;
    std::size_t firstHeld = 0; // pending directories below this index hold no descriptor
    std::string path = self.tree;
    std::string name;
    std::optional<Identity> identity;
    for (;;) {
        if (m_listingBytes >= ListingBudget)
            m_room.wait(lock, [this, &self] { return m_stop || self.caughtUp || m_listingBytes <= ListingResume; });
        if (m_stop || self.caughtUp)
            return;
        lock.unlock();
        const SharedFd parent = stack.empty() ? nullptr : stack.back().fd;
        Subdirectories subdirectories;
        SharedFd opened;
        // What the parent's entry said of a directory is only worth something
        // when it is opened relative to that parent.
        Listing listing = list(parent, parent ? name.c_str() : path.c_str(), path, parent ? identity : std::nullopt,
                               subdirectories, buffer, opened);
        lock.lock();
        // The walk has read this one itself while it was listed.
        if (self.caughtUp == path)
            return;
        const bool listed = listing.opened;
        const dev_t device = listing.device;
        m_listingBytes += listing.cost(path);
        const auto [it, inserted] = m_listings.try_emplace(path);
        if (!inserted && it->second.fd)
            --m_listingFds;
        it->second = std::move(listing);
        if (!listed || self.caughtUp)
            return;
        if (!subdirectories.names.empty()) {
            stack.push_back(Pending{path.size(), std::move(subdirectories), device, 0, 0, std::move(opened)});
            if (stack.size() - firstHeld > HelperDescriptors)
                stack[firstHeld++].fd.reset();
        }
        for (;;) {
            if (stack.empty())
                return;
            Pending &top = stack.back();
            if (top.next == top.subdirectories.names.size()) {
                stack.pop_back();
                firstHeld = std::min(firstHeld, stack.size());
                continue;
            }
            name = top.subdirectories.names.c_str() + top.next;
            top.next += name.size() + 1;
            identity = Identity{top.device, top.subdirectories.inodes[top.index++]};
            path = datname(path.substr(0, top.pathLength), name);
            if (path.size() < HelperPathMax)
                break;
        }
    }
}

// Makes the calls the walk would make for the directory at `path` (`name`
// in `parent`, or the path itself without a parent), and keeps what the
// filter lets through. A directory on a pseudo file system is
// left to the walk, which leaves it out. `known` is the device and inode
// its parent's entry gave: where they can be trusted, no stat is needed to
// tell the walk which directory was listed; its "." and ".." entries confirm
// them.
Listing ListAhead::list(const SharedFd &parent, const char *name, const std::string &path,
                        const std::optional<Identity> &known, Subdirectories &subdirectories, char *buffer,
                        SharedFd &opened)
{
    Listing listing;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &listing.listedFrom);
    // A directory opened relative to its parent is watched first, by its
    // name there, before its entries are read: the walk, holding that
    // parent, takes the listing on the watch's word alone (should the name
    // lead elsewhere by the time it is opened, the directory watched was
    // moved or removed, which its watch tells). A directory opened by its
    // path is checked by the walk against its times, which tell of entries
    // added or removed; it is watched before its first entry is stat'ed, so
    // that a file changed after it is judged is seen, and a directory with
    // nothing to stat (of subdirectories only, or empty) is not watched at
    // all. Where changes may come unseen, the walk reads it itself.
    if (parent) {
        if (!known || !m_filter.changesSeen(known->device))
            return listing;
        listing.watch = m_changes.watch(parent->get(), name);
        if (!listing.watch)
            return listing;
    }
    UniqueFd fd(m_fs, m_fs.openDirectory(parent ? parent->get() : AT_FDCWD, name, false));
    listing.parent = parent;
    if (!fd)
        return listing;
    const bool fromEntry = known && m_filter.plainLocal(known->device) && !m_filter.mayBeMountPoint(path);
    if (fromEntry) {
        listing.device = known->device;
        listing.inode = known->inode;
    } else {
        struct stat st;
        if (m_fs.statFd(fd.get(), &st) < 0 || m_filter.onPseudoFileSystem(m_fs, st.st_dev, fd.get()))
            return listing;
        listing.device = st.st_dev;
        listing.inode = st.st_ino;
    }
    if (!m_filter.changesSeen(listing.device))
        return listing;
    listing.opened = true;
    const auto watchBeforeStat = [&] {
        if (!listing.watch)
            listing.watch = m_changes.watch(fd.get(), nullptr);
        return bool(listing.watch);
    };
    bool tooLarge = false;
    std::array<ino_t, 2> dots{};
    listing.error = m_filter.read(m_fs, fd.get(), listing.device, buffer, [&](const Examined &entry, Verdict verdict) {
        listing.entries.push_back(Listed{std::uint32_t(listing.names.size()), entry.type, entry.follow,
                                         entry.result, entry.inode});
        listing.names.append(entry.name, std::strlen(entry.name) + 1);
        if (entry.type != DT_DIR)
            listing.stats.push_back(entry.st);
        if (verdict == Verdict::Enter) {
            subdirectories.names.append(entry.name, std::strlen(entry.name) + 1);
            subdirectories.inodes.push_back(entry.type == DT_DIR ? entry.inode : entry.st.st_ino);
        }
        // A file to be copied: its first bytes are on their way from the
        // disk by the time the walk, behind, copies it.
        if (verdict == Verdict::File)
            (void)m_fs.prefetch(fd.get(), entry.name, std::min(entry.st.st_size, PrefetchBytes));
        tooLarge = listing.cost(path) > ListingBudget / 2;
        return !tooLarge;
    }, &dots, watchBeforeStat);
    // A directory too large to hold is left to the walk, as is one that
    // could not be watched, and one that is not what its parent's entry
    // named: a file system mounted there since the mounts were read (its
    // root's ".." leads to itself), or another directory put in the entry's
    // place. The walk, trusting the listing, would see no mount.
    const bool unwatched = listing.error == ECANCELED && !listing.watch;
    if (tooLarge || unwatched || (fromEntry && (dots[0] != known->inode || dots[1] == dots[0]))) {
        listing = Listing{};
        subdirectories = Subdirectories{};
    }
    if (listing.entries.empty())
        return listing;
    auto shared = std::make_shared<UniqueFd>(std::move(fd));
    if (!subdirectories.names.empty())
        opened = shared;
    // The walk, once it finds this directory unchanged, goes on with this
    // descriptor rather than open it again.
    if (m_listingFds.fetch_add(1) < m_listingFdsMax)
        listing.fd = std::move(shared);
    else
        --m_listingFds;
    return listing;
}

} // namespace pendrel
