#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Small helpers for building and inspecting file trees in tests. Paths and
// names are bytes; every helper returns false (or nothing) on failure.
namespace pendrel::test {

inline timespec timespecOf(std::chrono::system_clock::time_point point)
{
    using namespace std::chrono;
    const auto ns = duration_cast<nanoseconds>(point.time_since_epoch()).count();
    return timespec{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
}

inline std::chrono::system_clock::time_point timePointOf(timespec ts)
{
    using namespace std::chrono;
    return system_clock::time_point(duration_cast<system_clock::duration>(seconds(ts.tv_sec) + nanoseconds(ts.tv_nsec)));
}

// Shifts a time by whole seconds plus nanoseconds (either may be negative).
inline timespec shifted(timespec ts, long long seconds, long long nanoseconds = 0)
{
    long long ns = ts.tv_nsec + nanoseconds % 1'000'000'000;
    long long s = ts.tv_sec + seconds + nanoseconds / 1'000'000'000;
    if (ns < 0) {
        ns += 1'000'000'000;
        --s;
    } else if (ns >= 1'000'000'000) {
        ns -= 1'000'000'000;
        ++s;
    }
    return timespec{time_t(s), long(ns)};
}

// Writes `content` into a new or emptied file relative to dirFd.
inline bool writeFileAt(int dirFd, const std::string &name, std::string_view content)
{
    const int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    return ::close(fd) == 0 && done == content.size();
}

inline bool writeFile(const std::string &path, std::string_view content)
{
    return writeFileAt(AT_FDCWD, path, content);
}

// Sets access and modification time; links themselves with followLinks false.
inline bool setMtime(const std::string &path, timespec mtime, bool followLinks = true)
{
    const timespec times[2] = {mtime, mtime};
    return ::utimensat(AT_FDCWD, path.c_str(), times, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

inline std::optional<std::string> readFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string content;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, std::size_t(n));
    ::close(fd);
    if (n < 0)
        return std::nullopt;
    return content;
}

inline std::optional<timespec> mtimeOf(const std::string &path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st.st_mtim;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Creates a directory and any missing parents.
inline bool makeDirectories(const std::string &path)
{
    for (std::size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

// Names in the order the directory itself returns them, "." and ".." left out.
inline std::vector<std::string> directoryOrder(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = ::opendir(path.c_str());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

inline std::vector<std::string> sortedNames(const std::string &path)
{
    std::vector<std::string> names = directoryOrder(path);
    std::sort(names.begin(), names.end());
    return names;
}

// Removes a tree of any depth and path length: descriptor-relative calls, one
// descriptor at a time, climbing back through "..".
inline bool removeTree(const std::string &path)
{
    std::vector<std::string> stack;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return ::unlink(path.c_str()) == 0;
    for (;;) {
        DIR *dir = ::fdopendir(::dup(fd));
        if (!dir) {
            ::close(fd);
            return false;
        }
        std::string child;
        while (const dirent *entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            if (::unlinkat(fd, name.c_str(), 0) == 0)
                continue;
            if (errno == EISDIR || errno == EPERM) {
                child = name;
                break;
            }
            ::closedir(dir);
            ::close(fd);
            return false;
        }
        ::closedir(dir);
        if (!child.empty()) {
            const int childFd = ::openat(fd, child.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ::close(fd);
            if (childFd < 0)
                return false;
            fd = childFd;
            stack.push_back(child);
            continue;
        }
        if (stack.empty()) {
            ::close(fd);
            return ::rmdir(path.c_str()) == 0;
        }
        const int parentFd = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        if (parentFd < 0 || ::unlinkat(parentFd, stack.back().c_str(), AT_REMOVEDIR) != 0)
            return false;
        stack.pop_back();
        fd = parentFd;
    }
}

} // namespace pendrel::test
