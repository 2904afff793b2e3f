#pragma once

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>

namespace pendrel {

// The file-system calls the backup engine makes, one virtual per system call so
// that tests can wrap the real implementation and fail any call on purpose.
// Every call returns what the system call returns on success and -errno on
// failure (never -1 with errno set). Names are relative to the directory
// descriptor `dirFd`; AT_FDCWD with an absolute path works too.
class FileSystem
{
public:
    virtual ~FileSystem() = default;

    // Opens a directory for reading its entries. With followLinks false a
    // symbolic link is refused (-ELOOP or -ENOTDIR). Returns a descriptor.
    [[nodiscard]] virtual int openDirectory(int dirFd, const char *name, bool followLinks) = 0;
    // Fills buf with linux_dirent64 records (getdents64). Returns the bytes
    // filled, 0 at the end of the directory.
    [[nodiscard]] virtual long readDirectory(int fd, void *buf, std::size_t size) = 0;
    // fstatat; followLinks false adds AT_SYMLINK_NOFOLLOW.
    [[nodiscard]] virtual int statAt(int dirFd, const char *name, struct stat *st, bool followLinks) = 0;
    // Opens an entry for reading without blocking and fills *st from the
    // descriptor (fstat): what was opened, whatever the name held when it was
    // listed. With followLinks false a symbolic link is refused (-ELOOP).
    // Returns a descriptor of any file type; the caller judges it by *st.
    [[nodiscard]] virtual int openForReading(int dirFd, const char *name, bool followLinks, struct stat *st) = 0;
    // fstat of an open descriptor.
    [[nodiscard]] virtual int statFd(int fd, struct stat *st) = 0;
    // fstatfs: type, block size and free blocks of the file system holding fd.
    [[nodiscard]] virtual int statFileSystem(int fd, struct statfs *st) = 0;
    // Moves the offset of an open file back to its start (lseek).
    [[nodiscard]] virtual int rewind(int fd) = 0;
    // Starts reading the first `size` bytes of a file into the page cache
    // and returns without waiting for them (posix_fadvise WILLNEED). Only a
    // hint: returns 0 or -errno, and nothing depends on it.
    virtual int prefetch(int dirFd, const char *name, off_t size) = 0;
    // Creates a new file for writing with the permission bits `mode` (less
    // the umask), failing with -EEXIST if the name exists.
    [[nodiscard]] virtual int createExclusive(int dirFd, const char *name, mode_t mode) = 0;
    // Creates one directory level with `mode` (less the umask); -EEXIST if it
    // already exists.
    [[nodiscard]] virtual int makeDirectory(int dirFd, const char *name, mode_t mode) = 0;
    // copy_file_range from the current offsets. Returns bytes copied, 0 at the
    // end of the source; -EXDEV, -EINVAL or -EOPNOTSUPP mean "use read/write".
    [[nodiscard]] virtual long copyRange(int fromFd, int toFd, std::size_t size) = 0;
    [[nodiscard]] virtual long read(int fd, void *buf, std::size_t size) = 0;
    [[nodiscard]] virtual long write(int fd, const void *buf, std::size_t size) = 0;
    // fchmod: sets the permission bits of an open file.
    [[nodiscard]] virtual int setMode(int fd, mode_t mode) = 0;
    // fsync: flushes an open file, or a directory's entries, to the device.
    [[nodiscard]] virtual int syncFile(int fd) = 0;
    // futimens: sets access and modification time of an open file.
    [[nodiscard]] virtual int setTimes(int fd, const struct timespec times[2]) = 0;
    // Renames without replacing: -EEXIST when `to` exists.
    [[nodiscard]] virtual int renameNoReplace(int fromDirFd, const char *from, int toDirFd, const char *to) = 0;
    // renameat: replaces `to` if it exists.
    [[nodiscard]] virtual int rename(int fromDirFd, const char *from, int toDirFd, const char *to) = 0;
    [[nodiscard]] virtual int unlinkAt(int dirFd, const char *name) = 0;
    // syncfs: flushes the whole file system holding fd.
    [[nodiscard]] virtual int syncFileSystem(int fd) = 0;
    // close; an error here can mean lost written data (NFS, full disks).
    virtual int close(int fd) = 0;
    // Opens a queue of changes in watched directories (inotify), read
    // without blocking through read(). Returns its descriptor.
    [[nodiscard]] virtual int openChangeQueue() = 0;
    // Watches a directory through the queue: the open dirFd, or with `name`
    // its entry of that name (not followed when a link). Tells entries
    // added, removed or renamed, files written or given other attributes,
    // and the directory moved or removed. Returns the watch's number, the
    // same for a directory watched again.
    [[nodiscard]] virtual int watchDirectory(int queueFd, int dirFd, const char *name) = 0;
};

// Writes all `size` bytes through fs.write, again after EINTR and short
// writes. Returns 0 or -errno (-EIO for a write that wrote nothing).
[[nodiscard]] int writeAll(FileSystem &fs, int fd, const char *data, std::size_t size);

// The real calls.
class PosixFileSystem : public FileSystem
{
public:
    int openDirectory(int dirFd, const char *name, bool followLinks) override;
    long readDirectory(int fd, void *buf, std::size_t size) override;
    int statAt(int dirFd, const char *name, struct stat *st, bool followLinks) override;
    int openForReading(int dirFd, const char *name, bool followLinks, struct stat *st) override;
    int statFd(int fd, struct stat *st) override;
    int statFileSystem(int fd, struct statfs *st) override;
    int rewind(int fd) override;
    int prefetch(int dirFd, const char *name, off_t size) override;
    int createExclusive(int dirFd, const char *name, mode_t mode) override;
    int makeDirectory(int dirFd, const char *name, mode_t mode) override;
    long copyRange(int fromFd, int toFd, std::size_t size) override;
    long read(int fd, void *buf, std::size_t size) override;
    long write(int fd, const void *buf, std::size_t size) override;
    int setMode(int fd, mode_t mode) override;
    int syncFile(int fd) override;
    int setTimes(int fd, const struct timespec times[2]) override;
    int renameNoReplace(int fromDirFd, const char *from, int toDirFd, const char *to) override;
    int rename(int fromDirFd, const char *from, int toDirFd, const char *to) override;
    int unlinkAt(int dirFd, const char *name) override;
    int syncFileSystem(int fd) override;
    int close(int fd) override;
    int openChangeQueue() override;
    int watchDirectory(int queueFd, int dirFd, const char *name) override;
};

} // namespace pendrel
