#pragma once

#include "uniquefd.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace pendrel {

class FileSystem;

// Tells whether anything changed in a directory between the moment a helper
// began to list it and the moment the walk arrives: a file rewritten in
// place or given another time leaves the directory's own times as they were,
// and the walk, had it listed the directory itself, would have seen it.
// Directories are watched through inotify queues, each taking a bounded
// number of watches and closed, watches and all, once the last listing
// watched through it is let go.
class ChangeWatch
{
    struct Queue;

public:
    // One directory watched; empty when it could not be.
    class Ticket
    {
    public:
        [[nodiscard]] explicit operator bool() const { return m_queue != nullptr; }

    private:
        friend class ChangeWatch;
        std::shared_ptr<Queue> m_queue;
        int m_watch = -1;
    };

    explicit ChangeWatch(FileSystem &fs) : m_fs(fs) {}

    // Starts watching a directory, the open dirFd or its entry `name`, for
    // changes to its entries and to its files' contents and attributes, and
    // for being moved or removed. Called from any thread; empty when the
    // system refuses (out of watches or descriptors, or no such directory).
    [[nodiscard]] Ticket watch(int dirFd, const char *name);

    // Whether nothing was seen to change in the ticket's directory since
    // watch(); false as well when changes may have been lost. Called from
    // one thread only, the walk's: it alone reads the queues.
    [[nodiscard]] bool unchanged(const Ticket &ticket);

    // Lets go of the queue new watches go to; those of tickets still held
    // stay open with them.
    void reset();

private:
    struct Queue
    {
        UniqueFd fd;
        std::size_t watches = 0; // under m_mutex
        std::unordered_set<int> changed;
        bool lost = false; // the queue overflowed or could not be read
    };

    void drain(Queue &queue);

    FileSystem &m_fs;
    std::mutex m_mutex; // guards the queues' list and which takes new watches
    std::shared_ptr<Queue> m_current;
    std::vector<std::weak_ptr<Queue>> m_queues;
};

} // namespace pendrel
