#pragma once

#include "filesystem.h"

#include <cerrno>
#include <memory>
#include <utility>

namespace pendrel {

// Owns one descriptor and closes it through the FileSystem, so that every
// close can be seen and failed by tests. Move-only. A negative value owns
// nothing and is kept as it came, so that it still tells the error (-errno).
class UniqueFd
{
public:
    UniqueFd() = default;
    // Takes `fd`, a descriptor or -errno.
    UniqueFd(FileSystem &fs, int fd) : m_fs(&fs), m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fs(other.m_fs), m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fs = other.m_fs;
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    // The descriptor, or the negative value taken.
    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] explicit operator bool() const { return m_fd >= 0; }

    // Closes the descriptor now. Returns close's result (0 or -errno); 0 when
    // nothing was owned.
    int close()
    {
        if (m_fd < 0)
            return 0;
        return m_fs->close(std::exchange(m_fd, -1));
    }

    // Closes the descriptor, if any, ignoring the result: for descriptors only read from.
    void reset() { (void)close(); }

private:
    FileSystem *m_fs = nullptr;
    int m_fd = -1;
};

// A directory descriptor the walk and a helper listing ahead of it may both
// use: closed when the last of them lets go.
using SharedFd = std::shared_ptr<UniqueFd>;

// The process has run out of descriptors: one freed elsewhere lets the call succeed.
[[nodiscard]] inline bool outOfDescriptors(int result)
{
    return result == -EMFILE || result == -ENFILE;
}

// Makes the call `open` again for as long as it runs out of descriptors and
// `release` frees one of ours. Returns the descriptor or -errno.
template <typename Open, typename Release>
[[nodiscard]] int retryFreeingDescriptors(Open open, Release release)
{
    int fd;
    do
        fd = open();
    while (outOfDescriptors(fd) && release());
    return fd;
}

} // namespace pendrel
