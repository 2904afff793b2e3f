#include "changewatch.h"

#include "filesystem.h"

#include <sys/inotify.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pendrel {

namespace {

// Watches one queue takes before the next is opened. A queue is closed only
// when every listing watched through it is taken or dropped, so the first
// ones go while the walk moves on; at most this many queues are open, after
// which the newest takes every watch.
constexpr std::size_t WatchesPerQueue = 4096;
constexpr std::size_t QueuesMax = 4;

} // namespace

ChangeWatch::Ticket ChangeWatch::watch(int dirFd, const char *name)
{
    std::shared_ptr<Queue> queue;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_current || m_current->watches >= WatchesPerQueue) {
            std::erase_if(m_queues, [](const std::weak_ptr<Queue> &old) { return old.expired(); });
            if (!m_current || m_queues.size() < QueuesMax) {
                UniqueFd fd(m_fs, m_fs.openChangeQueue());
                if (fd) {
                    m_current = std::make_shared<Queue>();
                    m_current->fd = std::move(fd);
                    m_queues.push_back(m_current);
                }
            }
        }
        if (!m_current)
            return {};
        ++m_current->watches;
        queue = m_current;
    }
    // A directory watched before through this queue gets the same watch, and
    // what changed there since counts against it too: the walk reads it anew.
    const int watch = m_fs.watchDirectory(queue->fd.get(), dirFd, name);
    if (watch < 0)
        return {};
    Ticket ticket;
    ticket.m_queue = std::move(queue);
    ticket.m_watch = watch;
    return ticket;
}

bool ChangeWatch::unchanged(const Ticket &ticket)
{
    if (!ticket)
        return false;
    Queue &queue = *ticket.m_queue;
    drain(queue);
    return !queue.lost && !queue.changed.contains(ticket.m_watch);
}

void ChangeWatch::reset()
{
    const std::lock_guard lock(m_mutex);
    m_current.reset();
}

// Reads what the queue holds so far.
void ChangeWatch::drain(Queue &queue)
{
    alignas(inotify_event) char buffer[4096];
    while (!queue.lost) {
        const long filled = m_fs.read(queue.fd.get(), buffer, sizeof buffer);
        if (filled == -EAGAIN)
            return;
        if (filled <= 0) {
            queue.lost = true;
            return;
        }
        for (long offset = 0; offset < filled;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            offset += long(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW)
                queue.lost = true;
            else
                queue.changed.insert(event.wd);
        }
    }
}

} // namespace pendrel
