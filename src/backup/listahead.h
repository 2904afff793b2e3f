#pragma once

#include "changewatch.h"
#include "uniquefd.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pendrel {

class EntryFilter;
class FileSystem;

// One entry of a directory listed ahead: a directory (its inode from the
// entry, not stat'ed) or the outcome of the stat calls the walk would make.
struct Listed
{
    std::uint32_t nameOffset = 0;
    unsigned char type = 0;
    bool follow = false;
    int result = 0;
    ino_t inode = 0;
};

// What a helper found in one directory, in the order read: the entries the
// filter did not skip. Most of them are directories, so the stat results of
// the others are held apart, in the same order. `opened` false: the walk
// reads the directory itself. The directory's identity and the moment its
// listing began let the walk tell whether it still holds, and the watch
// kept on it since whether a file in it changed.
struct Listing
{
    bool opened = false;
    int error = 0; // readDirectory's failure after the entries
    dev_t device = 0;
    ino_t inode = 0;
    timespec listedFrom{}; // CLOCK_REALTIME_COARSE, the clock of file times
    std::string names;
    std::vector<Listed> entries;
    std::vector<struct stat> stats;
    SharedFd fd; // the directory, for the walk to go on with, or none
    // The directory it was opened relative to, when it was: a walk that
    // holds this very descriptor and finds the watch quiet reached the same
    // directory (renaming or replacing it shows in the watch).
    std::weak_ptr<UniqueFd> parent;
    ChangeWatch::Ticket watch;

    // The bytes it holds while it waits for the walk, as counted against the budget.
    [[nodiscard]] std::size_t cost(const std::string &path) const
    {
        return 128 + path.size() + names.size() + entries.size() * sizeof(Listed)
            + stats.size() * sizeof(struct stat);
    }
};

// Helper threads that list directories ahead of a walk, each thread in a
// subtree of its own and in the walk's order, so that the walk finds a
// directory's entries and their stat results ready when it gets there. The
// walk tells them where it goes and nothing else: request() after it has
// listed a directory, take() when it enters one. Listings waiting for the
// walk are held within a fixed budget of bytes; the helpers wait when it is
// spent. All calls but the helpers' own come from the walk's thread.
class ListAhead
{
public:
    // Starts a thread running the function; throws std::system_error when
    // the system cannot start one.
    using ThreadStart = std::function<std::thread(std::function<void()>)>;

    ListAhead(FileSystem &fs, const EntryFilter &filter);
    ~ListAhead();
    ListAhead(const ListAhead &) = delete;
    ListAhead &operator=(const ListAhead &) = delete;

    void setThreadStart(ThreadStart start) { m_threadStart = std::move(start); }
    // How long a walk runs before the helpers start.
    void setStartDelay(std::chrono::milliseconds delay) { m_startDelay = delay; }

    // Readies up to `helpers` threads for one walk, started (as many as the
    // system lets start) at the first request after the start delay that
    // offers them work: a small tree is walked before they would pay off,
    // and starting them and sharing the cores with them would cost more.
    // Until they run, request and take do nothing.
    void start(unsigned helpers);
    // Stops and joins the threads and drops the listings not taken; the
    // walk may go on without them.
    void stop();
    // Helpers run, or are to start.
    [[nodiscard]] bool running() const { return m_wanted > 0 || !m_helpers.empty(); }

    // The walk has listed `path` and will enter `subdirectories` (names, each
    // ended by a NUL) in this order, each with its whole subtree before the next.
    void request(const std::string &path, const std::string &subdirectories);

    // The walk enters `path`. Returns the listing a helper made of it;
    // nullopt when the walk must read it (never waits for a helper), as when
    // something in it changed since it was listed.
    [[nodiscard]] std::optional<Listing> take(const std::string &path);

private:
    // The subdirectories of one directory the walk is in, still to be
    // entered from offset `next` on: the walk's stack as it told it. Those
    // before `picked` have been handed to a helper or passed over. `below`
    // is the index of the next request down that may still offer one.
    struct Request
    {
        std::string path;
        std::string subdirectories;
        std::size_t next = 0;
        std::size_t picked = 0;
        std::size_t below = NoRequest;
    };
    static constexpr std::size_t NoRequest = std::size_t(-1);

    struct Helper
    {
        std::thread thread;
        std::string tree;                    // the subtree it is listing
        std::optional<std::string> caughtUp; // where the walk reached it unlisted: it moves on
    };

    // A directory's device and inode.
    struct Identity
    {
        dev_t device;
        ino_t inode;
    };
    // The subdirectories found in a listing: names, each ended by a NUL,
    // and their inodes in the same order.
    struct Subdirectories
    {
        std::string names;
        std::vector<ino_t> inodes;
    };

    void launch();
    void dropLeft(const std::string &path);
    void helperLoop(Helper &self);
    [[nodiscard]] bool pickTree(std::string &tree);
    void listTree(std::unique_lock<std::mutex> &lock, Helper &self, char *buffer);
    [[nodiscard]] Listing list(const SharedFd &parent, const char *name, const std::string &path,
                               const std::optional<Identity> &known, Subdirectories &subdirectories, char *buffer,
                               SharedFd &opened);

    FileSystem &m_fs;
    const EntryFilter &m_filter;
    ChangeWatch m_changes;
    ThreadStart m_threadStart = [](std::function<void()> run) { return std::thread(std::move(run)); };
    std::chrono::milliseconds m_startDelay{10};
    // Changed only by the walk's thread, under m_mutex while helpers run.
    std::vector<Helper> m_helpers;
    unsigned m_wanted = 0; // helpers to start
    std::chrono::steady_clock::time_point m_startAt;

    // Everything below, and the helpers' fields but the thread, only under m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_room;   // helpers wait for the walk to take listings
    std::condition_variable m_work;   // idle helpers wait for directories to list
    std::vector<Request> m_requests;
    std::unordered_map<std::string, Listing> m_listings;
    std::size_t m_listingBytes = 0;
    // Descriptors held by listings waiting for the walk.
    std::atomic<std::size_t> m_listingFds = 0;
    std::size_t m_listingFdsMax = 0;
    std::size_t m_offered = 0;         // subdirectories offered since a helper was last woken
    unsigned m_idleHelpers = 0;
    bool m_stop = false;
};

} // namespace pendrel
