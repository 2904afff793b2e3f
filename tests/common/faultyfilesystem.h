#pragma once

#include "filesystem.h"

#include <array>
#include <cerrno>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace pendrel::test {

// One entry per FileSystem call.
enum class Op {
    OpenDirectory, ReadDirectory, StatAt, OpenForReading, Prefetch, CreateExclusive, MakeDirectory, CopyRange,
    Read, Write, SetMode, SyncFile, SetTimes, RenameNoReplace, Rename, UnlinkAt, SyncFileSystem, StatFd,
    StatFileSystem, Rewind, Close, OpenChangeQueue, WatchDirectory,
};
inline constexpr std::size_t OpCount = std::size_t(Op::WatchDirectory) + 1;

// Fails calls of `op` with `error`: the nth matching call (1-based), or with
// `repeat` that one and every later one. A non-empty `nameContains` limits the
// matching calls to those concerning a name that contains it: the name passed,
// or for descriptor calls the name the descriptor was opened under (either
// side of copyRange and of the renames). A non-zero `longerThan` limits them
// further to names of more bytes than that, as a file system's name limit.
struct Fault
{
    Op op;
    int error = EIO;
    int nth = 1;
    bool repeat = false;
    std::string nameContains;
    std::size_t longerThan = 0;
};

// Forwards to the real calls, counts them per operation and injects faults.
// A failed close still closes the descriptor, as Linux does. Safe to call
// from several threads; which call is the nth is then up to the scheduler.
class FaultyFileSystem final : public FileSystem
{
public:
    void fail(Fault fault)
    {
        const std::lock_guard lock(m_mutex);
        m_faults.push_back({std::move(fault), 0});
    }
    // Runs `action` once, just before the nth call of `op` that concerns a
    // name containing `nameContains` (as for faults): the tree changes
    // under the walk at a moment of the test's choosing.
    void before(Op op, std::string nameContains, std::function<void()> action, int nth = 1)
    {
        const std::lock_guard lock(m_mutex);
        m_hooks.push_back({op, std::move(nameContains), std::move(action), nth, 0});
    }
    // openForReading reports `inode` for names containing `nameContains`:
    // a file given the inode number of one removed earlier.
    void reportInode(std::string nameContains, ino_t inode)
    {
        const std::lock_guard lock(m_mutex);
        m_inodes.emplace_back(std::move(nameContains), inode);
    }
    [[nodiscard]] int calls(Op op) const
    {
        const std::lock_guard lock(m_mutex);
        return m_calls[std::size_t(op)];
    }
    [[nodiscard]] int totalCalls() const
    {
        const std::lock_guard lock(m_mutex);
        int total = 0;
        for (int count : m_calls)
            total += count;
        return total;
    }
    // statFileSystem answers this type (f_type) from now on, as on a stick of
    // that file system.
    void setFileSystemType(long type)
    {
        const std::lock_guard lock(m_mutex);
        m_fileSystemType = type;
    }
    void resetCounts()
    {
        const std::lock_guard lock(m_mutex);
        m_calls.fill(0);
    }

    int openDirectory(int dirFd, const char *name, bool followLinks) override
    {
        if (const int error = injected(Op::OpenDirectory, name))
            return -error;
        return remember(m_real.openDirectory(dirFd, name, followLinks), name);
    }
    long readDirectory(int fd, void *buf, std::size_t size) override
    {
        if (const int error = injected(Op::ReadDirectory, nameOf(fd)))
            return -error;
        return m_real.readDirectory(fd, buf, size);
    }
    int statAt(int dirFd, const char *name, struct stat *st, bool followLinks) override
    {
        if (const int error = injected(Op::StatAt, name))
            return -error;
        return m_real.statAt(dirFd, name, st, followLinks);
    }
    int openForReading(int dirFd, const char *name, bool followLinks, struct stat *st) override
    {
        if (const int error = injected(Op::OpenForReading, name))
            return -error;
        const int fd = m_real.openForReading(dirFd, name, followLinks, st);
        {
            const std::lock_guard lock(m_mutex);
            for (const auto &[nameContains, inode] : m_inodes)
                if (fd >= 0 && concerns(nameContains, name, {}))
                    st->st_ino = inode;
        }
        return remember(fd, name);
    }
    int statFd(int fd, struct stat *st) override
    {
        if (const int error = injected(Op::StatFd, nameOf(fd)))
            return -error;
        return m_real.statFd(fd, st);
    }
    int statFileSystem(int fd, struct statfs *st) override
    {
        if (const int error = injected(Op::StatFileSystem, nameOf(fd)))
            return -error;
        const int result = m_real.statFileSystem(fd, st);
        const std::lock_guard lock(m_mutex);
        if (result == 0 && m_fileSystemType)
            st->f_type = *m_fileSystemType;
        return result;
    }
    int rewind(int fd) override
    {
        if (const int error = injected(Op::Rewind, nameOf(fd)))
            return -error;
        return m_real.rewind(fd);
    }
    int prefetch(int dirFd, const char *name, off_t size) override
    {
        if (const int error = injected(Op::Prefetch, name))
            return -error;
        return m_real.prefetch(dirFd, name, size);
    }
    int createExclusive(int dirFd, const char *name, mode_t mode) override
    {
        if (const int error = injected(Op::CreateExclusive, name))
            return -error;
        return remember(m_real.createExclusive(dirFd, name, mode), name);
    }
    int makeDirectory(int dirFd, const char *name, mode_t mode) override
    {
        if (const int error = injected(Op::MakeDirectory, name))
            return -error;
        return m_real.makeDirectory(dirFd, name, mode);
    }
    long copyRange(int fromFd, int toFd, std::size_t size) override
    {
        if (const int error = injected(Op::CopyRange, nameOf(fromFd), nameOf(toFd)))
            return -error;
        return m_real.copyRange(fromFd, toFd, size);
    }
    long read(int fd, void *buf, std::size_t size) override
    {
        if (const int error = injected(Op::Read, nameOf(fd)))
            return -error;
        return m_real.read(fd, buf, size);
    }
    long write(int fd, const void *buf, std::size_t size) override
    {
        if (const int error = injected(Op::Write, nameOf(fd)))
            return -error;
        return m_real.write(fd, buf, size);
    }
    int setMode(int fd, mode_t mode) override
    {
        if (const int error = injected(Op::SetMode, nameOf(fd)))
            return -error;
        return m_real.setMode(fd, mode);
    }
    int syncFile(int fd) override
    {
        if (const int error = injected(Op::SyncFile, nameOf(fd)))
            return -error;
        return m_real.syncFile(fd);
    }
    int setTimes(int fd, const struct timespec times[2]) override
    {
        if (const int error = injected(Op::SetTimes, nameOf(fd)))
            return -error;
        return m_real.setTimes(fd, times);
    }
    int renameNoReplace(int fromDirFd, const char *from, int toDirFd, const char *to) override
    {
        if (const int error = injected(Op::RenameNoReplace, from, to))
            return -error;
        return m_real.renameNoReplace(fromDirFd, from, toDirFd, to);
    }
    int rename(int fromDirFd, const char *from, int toDirFd, const char *to) override
    {
        if (const int error = injected(Op::Rename, from, to))
            return -error;
        return m_real.rename(fromDirFd, from, toDirFd, to);
    }
    int unlinkAt(int dirFd, const char *name) override
    {
        if (const int error = injected(Op::UnlinkAt, name))
            return -error;
        return m_real.unlinkAt(dirFd, name);
    }
    int syncFileSystem(int fd) override
    {
        if (const int error = injected(Op::SyncFileSystem, nameOf(fd)))
            return -error;
        return m_real.syncFileSystem(fd);
    }
    int close(int fd) override
    {
        const int error = injected(Op::Close, nameOf(fd));
        {
            const std::lock_guard lock(m_mutex);
            m_names.erase(fd);
        }
        const int result = m_real.close(fd);
        return error ? -error : result;
    }
    int openChangeQueue() override
    {
        if (const int error = injected(Op::OpenChangeQueue, {}))
            return -error;
        return m_real.openChangeQueue();
    }
    int watchDirectory(int queueFd, int dirFd, const char *name) override
    {
        if (const int error = injected(Op::WatchDirectory, name ? name : nameOf(dirFd)))
            return -error;
        return m_real.watchDirectory(queueFd, dirFd, name);
    }

private:
    struct Armed
    {
        Fault fault;
        int seen;
    };

    struct Hook
    {
        Op op;
        std::string nameContains;
        std::function<void()> action;
        int nth;
        int seen;
    };

    static bool concerns(const std::string &nameContains, const std::string &name, const std::string &other,
                         std::size_t longerThan = 0)
    {
        const auto matches = [&](const std::string &candidate) {
            return candidate.find(nameContains) != std::string::npos && candidate.size() > longerThan;
        };
        return (nameContains.empty() && longerThan == 0) || matches(name) || matches(other);
    }

    // Counts the call and runs a hook due; returns the errno to fail it with, or 0.
    int injected(Op op, const std::string &name, const std::string &other = {})
    {
        std::function<void()> due;
        {
            const std::lock_guard lock(m_mutex);
            for (Hook &hook : m_hooks) {
                if (hook.op == op && concerns(hook.nameContains, name, other) && ++hook.seen == hook.nth)
                    due = hook.action;
            }
        }
        if (due)
            due();
        const std::lock_guard lock(m_mutex);
        ++m_calls[std::size_t(op)];
        for (Armed &armed : m_faults) {
            const Fault &fault = armed.fault;
            if (fault.op != op)
                continue;
            if (!concerns(fault.nameContains, name, other, fault.longerThan))
                continue;
            ++armed.seen;
            if (armed.seen == fault.nth || (fault.repeat && armed.seen > fault.nth))
                return fault.error;
        }
        return 0;
    }

    template<typename T>
    T remember(T fd, const char *name)
    {
        if (fd >= 0) {
            const std::lock_guard lock(m_mutex);
            m_names[int(fd)] = name;
        }
        return fd;
    }

    std::string nameOf(int fd) const
    {
        const std::lock_guard lock(m_mutex);
        const auto it = m_names.find(fd);
        return it == m_names.end() ? std::string() : it->second;
    }

    PosixFileSystem m_real;
    mutable std::mutex m_mutex;
    std::vector<Armed> m_faults;
    std::vector<Hook> m_hooks;
    std::array<int, OpCount> m_calls{};
    std::unordered_map<int, std::string> m_names;
    std::optional<long> m_fileSystemType;
    std::vector<std::pair<std::string, ino_t>> m_inodes;
};

} // namespace pendrel::test
