#include "outstandingrun.h"

#include "filesystem.h"
#include "settingsfile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace pendrel {

namespace {

// "<seconds>.<nine digits of nanoseconds>" since the epoch, then a line feed.
std::string format(TimePoint when)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%09lld\n", static_cast<long long>(ns % 1000000000));
    return std::to_string(ns / 1000000000) + fraction;
}

std::optional<TimePoint> parse(const std::string &text)
{
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || text.size() != dot + 11 || text.back() != '\n')
        return std::nullopt;
    long long seconds = 0;
    long long nanoseconds = 0;
    const char *begin = text.data();
    const auto [secondsEnd, secondsError] = std::from_chars(begin, begin + dot, seconds);
    const auto [fractionEnd, fractionError] = std::from_chars(begin + dot + 1, begin + dot + 10, nanoseconds);
    if (secondsError != std::errc() || secondsEnd != begin + dot || fractionError != std::errc()
        || fractionEnd != begin + dot + 10 || seconds < 0 || nanoseconds < 0)
        return std::nullopt;
    return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::seconds(seconds)
                                                                     + std::chrono::nanoseconds(nanoseconds)));
}

} // namespace

std::string outstandingRecordPath(const std::string &settingsFile, bool besideProgram, const std::string &stateHome)
{
    if (besideProgram) {
        const std::size_t slash = settingsFile.rfind('/');
        return slash == std::string::npos ? std::string() : settingsFile.substr(0, slash + 1) + ".pendrel-outstanding";
    }
    return stateHome.empty() ? std::string() : stateHome + "/pendrel/outstanding";
}

RunStart startRun(FileSystem &fs, const std::string &path, TimePoint now)
{
    RunStart start{now, std::nullopt};
    if (path.empty())
        return start;
    // O_NONBLOCK: a FIFO in the record's place must not block the start.
    if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); fd >= 0) {
        // A record is one short line: anything longer is damaged.
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        ::close(fd);
        if (const std::optional<TimePoint> recorded = parse(std::string(buffer, std::size_t(std::max<ssize_t>(n, 0))))) {
            start.outstanding = recorded;
            start.since = std::min(*recorded, now);
        } else {
            std::fprintf(stderr, "pendrel: ignoring the damaged record %s\n", path.c_str());
        }
    }
    if (const std::string error = keepOutstanding(fs, path, start.since); !error.empty())
        std::fprintf(stderr, "pendrel: %s\n", error.c_str());
    return start;
}

std::string keepOutstanding(FileSystem &fs, const std::string &path, TimePoint since)
{
    return writeFileAtomically(fs, path, format(since), MissingDirectory::Create);
}

int clearOutstanding(FileSystem &fs, const std::string &path)
{
    const int removed = fs.unlinkAt(AT_FDCWD, path.c_str());
    return removed == -ENOENT ? 0 : removed;
}

} // namespace pendrel
