#include "mounts.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

namespace pendrel {

namespace {

bool isOctalDigit(char c)
{
    return c >= '0' && c <= '7';
}

// mountinfo writes space, tab, newline and backslash as "\" + three octal digits.
std::string decodeMountField(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1])
            && isOctalDigit(field[i + 2]) && isOctalDigit(field[i + 3])) {
            out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

} // namespace

std::vector<Mount> parseMounts(const std::string &table)
{
    std::vector<Mount> mounts;
    std::size_t start = 0;
    while (start < table.size()) {
        const std::size_t end = std::min(table.find('\n', start), table.size());
        const std::vector<std::string_view> fields = splitFields(std::string_view(table).substr(start, end - start));
        start = end + 1;
        // id, parent, major:minor, root, mount point, options, optional
        // fields, "-", type, source, super options.
        if (fields.size() < 10)
            continue;
        const auto separator = std::find(fields.begin() + 6, fields.end(), std::string_view("-"));
        if (fields.end() - separator < 3)
            continue;
        unsigned major = 0;
        unsigned minor = 0;
        const std::string numbers(fields[2]);
        if (std::sscanf(numbers.c_str(), "%u:%u", &major, &minor) != 2)
            continue;
        mounts.push_back(Mount{makedev(major, minor), decodeMountField(fields[4]), decodeMountField(*(separator + 1)),
                               decodeMountField(*(separator + 2))});
    }
    return mounts;
}

std::string readProcMountInfo()
{
    std::string text;
    const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[1 << 14];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, std::size_t(n));
    }
    ::close(fd);
    return text;
}

} // namespace pendrel
