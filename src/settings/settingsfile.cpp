#include "settingsfile.h"

#include "filesystem.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pendrel {

namespace {

std::string systemError(const std::string &what, const std::string &path, int error)
{
    return what + " " + path + ": " + std::strerror(error);
}

// The whole file, or the errno that stopped the read.
int readAll(int fd, std::string &out)
{
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return 0;
        out.append(buffer, std::size_t(n));
    }
}

// The whole of a regular file, or the errno that stopped the read (ENOENT
// when there is none, EFBIG when it holds more than sizeLimit bytes).
// O_NONBLOCK: a FIFO in the file's place must not block.
int readRegularFile(const std::string &path, std::string &text, std::size_t sizeLimit = SIZE_MAX)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno;
    struct stat st;
    int error = ::fstat(fd, &st) == 0 ? 0 : errno;
    if (error == 0 && !S_ISREG(st.st_mode))
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (error == 0 && std::size_t(st.st_size) > sizeLimit)
        error = EFBIG;
    if (error == 0) {
        text.reserve(std::size_t(st.st_size));
        error = readAll(fd, text);
    }
    ::close(fd);
    return error;
}

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n')
            ++start;
    }
    return lines;
}

std::string directoryOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string nameOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Makes each missing level of `directory` with mode 0700; levels that exist
// are left as they are. Returns 0 or the errno of the level that failed.
int makeDirectories(FileSystem &fs, const std::string &directory)
{
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string level = directory.substr(0, slash);
        const int made = fs.makeDirectory(AT_FDCWD, level.c_str(), 0700);
        if (made < 0 && made != -EEXIST)
            return -made;
        if (slash == std::string::npos)
            return 0;
    }
}

// A hidden name beside `path` that no other file has; the descriptor of the
// new file, or -errno.
int createTemporary(FileSystem &fs, const std::string &path, std::string &temporary)
{
    int fd = -EEXIST;
    for (unsigned attempt = 0; attempt < 100 && fd == -EEXIST; ++attempt) {
        temporary = directoryOf(path) + "/." + nameOf(path) + "." + std::to_string(::getpid()) + "-"
                + std::to_string(attempt);
        fd = fs.createExclusive(AT_FDCWD, temporary.c_str(), 0600);
    }
    return fd;
}

// The mode the replacement gets: the old file's, else a new file's.
mode_t modeFor(FileSystem &fs, const std::string &path)
{
    struct stat st;
    if (fs.statAt(AT_FDCWD, path.c_str(), &st, true) == 0)
        return st.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// The file a write of `path` is meant for: symbolic links followed to their
// last target, which need not exist. Returns 0, or ELOOP for a loop.
int followLinks(const std::string &path, std::string &target)
{
    target = path;
    // As many links as the kernel follows in one path.
    for (int hops = 0; hops < 40; ++hops) {
        char link[PATH_MAX];
        const ssize_t n = ::readlink(target.c_str(), link, sizeof link);
        // Not a link, or nothing there: the write itself says what fails.
        if (n < 0)
            return 0;
        const std::string next(link, std::size_t(n));
        target = next.front() == '/' ? next : directoryOf(target) + "/" + next;
    }
    return ELOOP;
}

} // namespace

LoadResult loadSettings(const std::string &path)
{
    LoadResult result;
    std::string text;
    if (const int error = readRegularFile(path, text)) {
        if (error != ENOENT) {
            result.status = LoadStatus::Unreadable;
            result.error = error;
        }
        return result;
    }
    if (text.empty())
        return result;

    std::vector<std::string> lines = splitLines(text);
    result.status = LoadStatus::Loaded;
    result.settings.diskName = std::move(lines.front());
    result.settings.directories.assign(std::make_move_iterator(lines.begin() + 1),
                                       std::make_move_iterator(lines.end()));
    return result;
}

std::string writeFileAtomically(FileSystem &fs, const std::string &path, const std::string &contents,
                                MissingDirectory missingDirectory)
{
    const auto failed = [&path](const char *what, int error) { return systemError(what, path, error); };
    if (missingDirectory == MissingDirectory::Create) {
        if (const int error = makeDirectories(fs, directoryOf(path)))
            return failed("Cannot create the folder of", error);
    }

    std::string temporary;
    const int fd = createTemporary(fs, path, temporary);
    if (fd < 0)
        return failed("Cannot create a temporary file beside", -fd);
    const char *what = "Cannot set the permissions of a temporary file beside";
    int error = -fs.setMode(fd, modeFor(fs, path));
    if (error == 0) {
        what = "Cannot write";
        error = -writeAll(fs, fd, contents.data(), contents.size());
    }
    if (error == 0)
        error = -fs.syncFile(fd);
    const int closed = fs.close(fd);
    if (error == 0)
        error = -closed;
    if (error == 0) {
        what = "Cannot replace";
        error = -fs.rename(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str());
    }
    if (error != 0) {
        (void)fs.unlinkAt(AT_FDCWD, temporary.c_str());
        return failed(what, error);
    }

    // The rename reaches the disk only with the directory.
    const int dirFd = fs.openDirectory(AT_FDCWD, directoryOf(path).c_str(), true);
    if (dirFd < 0)
        return failed("Cannot open the directory of", -dirFd);
    const int synced = fs.syncFile(dirFd);
    fs.close(dirFd);
    if (synced < 0 && synced != -EINVAL)
        return failed("Cannot flush the directory of", -synced);
    return {};
}

std::string writeSettings(FileSystem &fs, const std::string &path, const Settings &settings,
                          MissingDirectory missingDirectory)
{
    std::string contents = settings.diskName + "\r\n";
    for (const std::string &directory : settings.directories)
        contents += directory + "\r\n";
    // A link (to a dotfiles folder, say) stays a link: the new file replaces
    // its target, in the target's folder.
    std::string target;
    if (const int error = followLinks(path, target))
        return systemError("Cannot follow the link", path, error);
    // Most days the list is as it was read. Rewriting it would cost the
    // close two fsyncs, which at a logout wait on all else being written out.
    std::string current;
    if (readRegularFile(target, current, contents.size()) == 0 && current == contents)
        return {};
    return writeFileAtomically(fs, target, contents, missingDirectory);
}

std::string moveAside(FileSystem &fs, const std::string &path, std::string &movedTo)
{
    int error = -EEXIST;
    for (unsigned number = 1; number < 1000 && error == -EEXIST; ++number) {
        movedTo = path + ".unreadable" + (number == 1 ? std::string() : "." + std::to_string(number));
        error = fs.renameNoReplace(AT_FDCWD, path.c_str(), AT_FDCWD, movedTo.c_str());
    }
    if (error == 0)
        return {};
    movedTo.clear();
    return systemError("Cannot move aside", path, -error);
}

} // namespace pendrel
