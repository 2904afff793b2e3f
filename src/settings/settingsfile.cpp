#include "settingsfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
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

int writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= std::size_t(n);
    }
    return 0;
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
int makeDirectories(const std::string &directory)
{
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string level = directory.substr(0, slash);
        if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
        if (slash == std::string::npos)
            return 0;
    }
}

} // namespace

LoadResult loadSettings(const std::string &path)
{
    LoadResult result;
    // O_NONBLOCK: a FIFO in the file's place must not block the start.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) {
            result.status = LoadStatus::Unreadable;
            result.error = errno;
        }
        return result;
    }
    struct stat st;
    int error = ::fstat(fd, &st) == 0 ? 0 : errno;
    if (error == 0 && !S_ISREG(st.st_mode))
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    std::string text;
    if (error == 0) {
        text.reserve(std::size_t(st.st_size));
        error = readAll(fd, text);
    }
    ::close(fd);
    if (error != 0) {
        result.status = LoadStatus::Unreadable;
        result.error = error;
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

class SettingsWriter::Impl
{
public:
    Impl(std::string path, MissingDirectory missingDirectory)
        : path(std::move(path)), missingDirectory(missingDirectory)
    {
    }

    bool fail(const std::string &what, int error)
    {
        failed = true;
        errorText = systemError(what, path, error);
        return false;
    }

    void discard()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        if (!temporaryPath.empty())
            ::unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }

    std::string path;
    MissingDirectory missingDirectory;
    std::string temporaryPath;
    std::string errorText;
    int fd = -1;
    bool failed = false;
    bool committed = false;
};

SettingsWriter::SettingsWriter(std::string path, MissingDirectory missingDirectory)
    : m_impl(std::make_unique<Impl>(std::move(path), missingDirectory))
{
}

SettingsWriter::~SettingsWriter()
{
    m_impl->discard();
}

bool SettingsWriter::open()
{
    Impl &d = *m_impl;
    if (d.fd >= 0)
        return true;
    if (d.failed || d.committed)
        return false;
    if (d.missingDirectory == MissingDirectory::Create) {
        if (const int error = makeDirectories(directoryOf(d.path)))
            return d.fail("Cannot create the folder of", error);
    }
    std::string pattern = directoryOf(d.path) + "/." + nameOf(d.path) + ".XXXXXX";
    d.fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (d.fd < 0)
        return d.fail("Cannot create a temporary file beside", errno);
    d.temporaryPath = pattern;

    // mkostemp creates the file for its owner only; the replacement should
    // have the permissions the old file had, or those of a new file.
    struct stat st;
    mode_t mode;
    if (::stat(d.path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(d.fd, mode) != 0) {
        const int error = errno;
        d.discard();
        return d.fail("Cannot set the permissions of a temporary file beside", error);
    }
    return true;
}

bool SettingsWriter::writeLine(const std::string &line)
{
    Impl &d = *m_impl;
    if (d.failed || d.fd < 0)
        return false;
    std::string record = line;
    record += "\r\n";
    if (const int error = writeAll(d.fd, record.data(), record.size())) {
        d.discard();
        return d.fail("Cannot write", error);
    }
    return true;
}

bool SettingsWriter::commit()
{
    Impl &d = *m_impl;
    if (d.failed || d.fd < 0)
        return false;
    if (::fsync(d.fd) != 0) {
        const int error = errno;
        d.discard();
        return d.fail("Cannot write", error);
    }
    const int fd = d.fd;
    d.fd = -1;
    if (::close(fd) != 0) {
        const int error = errno;
        d.discard();
        return d.fail("Cannot write", error);
    }
    if (::rename(d.temporaryPath.c_str(), d.path.c_str()) != 0) {
        const int error = errno;
        d.discard();
        return d.fail("Cannot replace", error);
    }
    d.temporaryPath.clear();
    d.committed = true;

    // The rename reaches the disk only with the directory.
    const std::string directory = directoryOf(d.path);
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return d.fail("Cannot open the directory of", errno);
    const int error = ::fsync(dirFd) == 0 ? 0 : errno;
    ::close(dirFd);
    if (error != 0 && error != EINVAL)
        return d.fail("Cannot flush the directory of", error);
    return true;
}

const std::string &SettingsWriter::errorText() const
{
    return m_impl->errorText;
}

} // namespace pendrel
