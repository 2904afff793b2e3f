#include "filesystem.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <cstdio>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pendrel {

namespace {

template<typename T>
T result(T value)
{
    return value < 0 ? T(-errno) : value;
}

} // namespace

int writeAll(FileSystem &fs, int fd, const char *data, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        const long n = fs.write(fd, data + done, size - done);
        if (n == -EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? int(n) : -EIO;
        done += std::size_t(n);
    }
    return 0;
}

int PosixFileSystem::openDirectory(int dirFd, const char *name, bool followLinks)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
    return result(::openat(dirFd, name, flags));
}

long PosixFileSystem::readDirectory(int fd, void *buf, std::size_t size)
{
    return result(long(::syscall(SYS_getdents64, fd, buf, size)));
}

int PosixFileSystem::statAt(int dirFd, const char *name, struct stat *st, bool followLinks)
{
    return result(::fstatat(dirFd, name, st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW));
}

int PosixFileSystem::openForReading(int dirFd, const char *name, bool followLinks, struct stat *st)
{
    // The name may have become a FIFO or device since it was listed: opening
    // one must not block.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
    const int fd = ::openat(dirFd, name, flags);
    if (fd < 0)
        return -errno;
    if (::fstat(fd, st) == 0)
        return fd;
    const int error = errno;
    ::close(fd);
    return -error;
}

int PosixFileSystem::statFd(int fd, struct stat *st)
{
    return result(::fstat(fd, st));
}

int PosixFileSystem::statFileSystem(int fd, struct statfs *st)
{
    return result(::fstatfs(fd, st));
}

int PosixFileSystem::rewind(int fd)
{
    return ::lseek(fd, 0, SEEK_SET) < 0 ? -errno : 0;
}

int PosixFileSystem::prefetch(int dirFd, const char *name, off_t size)
{
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -errno;
    const int error = ::posix_fadvise(fd, 0, size, POSIX_FADV_WILLNEED);
    ::close(fd);
    return -error;
}

int PosixFileSystem::createExclusive(int dirFd, const char *name, mode_t mode)
{
    return result(::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
}

int PosixFileSystem::makeDirectory(int dirFd, const char *name, mode_t mode)
{
    return result(::mkdirat(dirFd, name, mode));
}

long PosixFileSystem::copyRange(int fromFd, int toFd, std::size_t size)
{
    return result(long(::copy_file_range(fromFd, nullptr, toFd, nullptr, size, 0)));
}

long PosixFileSystem::read(int fd, void *buf, std::size_t size)
{
    return result(long(::read(fd, buf, size)));
}

long PosixFileSystem::write(int fd, const void *buf, std::size_t size)
{
    return result(long(::write(fd, buf, size)));
}

int PosixFileSystem::setMode(int fd, mode_t mode)
{
    return result(::fchmod(fd, mode));
}

int PosixFileSystem::syncFile(int fd)
{
    return result(::fsync(fd));
}

int PosixFileSystem::setTimes(int fd, const struct timespec times[2])
{
    return result(::futimens(fd, times));
}

int PosixFileSystem::renameNoReplace(int fromDirFd, const char *from, int toDirFd, const char *to)
{
    return result(::renameat2(fromDirFd, from, toDirFd, to, RENAME_NOREPLACE));
}

int PosixFileSystem::rename(int fromDirFd, const char *from, int toDirFd, const char *to)
{
    return result(::renameat(fromDirFd, from, toDirFd, to));
}

int PosixFileSystem::unlinkAt(int dirFd, const char *name)
{
    return result(::unlinkat(dirFd, name, 0));
}

int PosixFileSystem::syncFileSystem(int fd)
{
    return result(::syncfs(fd));
}

int PosixFileSystem::close(int fd)
{
    return result(::close(fd));
}

int PosixFileSystem::openChangeQueue()
{
    return result(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
}

int PosixFileSystem::watchDirectory(int queueFd, int dirFd, const char *name)
{
    // inotify takes a path only; this one leads through the very directory open.
    char path[64 + NAME_MAX];
    if (name == nullptr)
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", dirFd);
    else if (std::snprintf(path, sizeof path, "/proc/self/fd/%d/%s", dirFd, name) >= int(sizeof path))
        return -ENAMETOOLONG;
    // The descriptor's own entry is a link to be followed; a name is not.
    const std::uint32_t follow = name == nullptr ? 0 : IN_DONT_FOLLOW;
    return result(::inotify_add_watch(queueFd, path,
                                      IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO
                                          | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR | follow));
}

} // namespace pendrel
