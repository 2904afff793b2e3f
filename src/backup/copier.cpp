#include "copier.h"

#include "directorybackup.h"
#include "filesystem.h"

#include <cerrno>

namespace pendrel {

namespace {

constexpr std::size_t CopyBufferSize = 128 * 1024;
// A large file is copied in steps of this size, with the window's pending
// events processed between steps so that it stays responsive.
constexpr std::size_t CopyChunk = 8 * 1024 * 1024;
// Bounds the search for a free temporary or numbered name, in case a file
// system answers EEXIST for everything.
constexpr unsigned MaxNameAttempts = 1'000'000;
// The longest file name in bytes on Linux file systems (NAME_MAX).
constexpr std::size_t NameMax = 255;

bool copyRangeUnsupported(int error)
{
    return error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS;
}

// Cuts text to at most `size` bytes without splitting a UTF-8 sequence.
std::string cutTo(const std::string &text, std::size_t size)
{
    if (text.size() <= size)
        return text;
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80)
        --size;
    return text.substr(0, size);
}

// "brief.doc" 3 -> "brief (3).doc", "archive.tar.gz" 2 -> "archive.tar (2).gz",
// "README" 2 -> "README (2)"; number 1 is the name itself. A name already at
// the length limit loses bytes before the tag, or the file could not be saved.
std::string numberedName(const std::string &name, unsigned number)
{
    if (number == 1)
        return name;
    const std::string tag = " (" + std::to_string(number) + ")";
    const auto dot = name.rfind('.');
    const bool extension = dot != std::string::npos && dot != 0 && name.size() - dot + tag.size() < NameMax;
    const std::string stem = extension ? name.substr(0, dot) : name;
    const std::string rest = extension ? name.substr(dot) : std::string();
    return cutTo(stem, NameMax - tag.size() - rest.size()) + tag + rest;
}

} // namespace

Copier::Copier(FileSystem &fs, Progress &progress, std::function<bool()> releaseDescriptor)
    : m_fs(fs), m_progress(progress), m_releaseDescriptor(std::move(releaseDescriptor))
{
}

Copier::~Copier() = default;

CopyOutcome Copier::copy(int source, const std::string &name, const struct stat &st)
{
    std::string tempName;
    const int temp = createTemporary(tempName);
    if (temp < 0) {
        m_fs.close(source);
        return CopyOutcome{-temp, true, {}};
    }

    bool targetSide = true;
    int error = -copyData(source, temp, targetSide);
    m_fs.close(source);
    if (error == 0) {
        const timespec times[2] = {st.st_atim, st.st_mtim};
        error = -m_fs.setTimes(temp, times);
    }
    const int closed = m_fs.close(temp);
    if (error == 0)
        error = -closed;
    if (error != 0) {
        (void)m_fs.unlinkAt(m_folderFd, tempName.c_str());
        return CopyOutcome{error, targetSide, {}};
    }
    return commit(name, tempName);
}

// A hidden name that no saved file can have; leftovers of an earlier run are
// stepped over.
int Copier::createTemporary(std::string &tempName)
{
    for (unsigned attempt = 0; attempt < MaxNameAttempts; ++attempt) {
        tempName = ".pendrel-" + std::to_string(++m_tempCounter) + ".part";
        int fd;
        do
            fd = m_fs.createExclusive(m_folderFd, tempName.c_str());
        while (fdShortage(fd));
        if (fd != -EEXIST)
            return fd;
    }
    return -EEXIST;
}

// Copies from the current offsets to the end of `from`. Returns 0 or -errno;
// targetSide tells whether the failing call concerned the copy.
int Copier::copyData(int from, int to, bool &targetSide)
{
    bool useCopyRange = !m_readWriteOnly;
    std::size_t sinceEvents = 0;
    for (;;) {
        if (sinceEvents >= CopyChunk) {
            m_progress.processPendingEvents();
            sinceEvents = 0;
        }
        if (useCopyRange) {
            const long copied = m_fs.copyRange(from, to, CopyChunk);
            if (copied > 0) {
                sinceEvents += std::size_t(copied);
                continue;
            }
            if (copied == 0)
                return 0;
            const int error = int(-copied);
            if (error == ENOSPC || error == EDQUOT || error == EFBIG) {
                targetSide = true;
                return int(copied);
            }
            // Otherwise either side may have failed: read and write tell which.
            if (copyRangeUnsupported(error))
                m_readWriteOnly = true;
            useCopyRange = false;
            continue;
        }
        if (!m_buffer)
            m_buffer = std::make_unique<char[]>(CopyBufferSize);
        const long got = m_fs.read(from, m_buffer.get(), CopyBufferSize);
        if (got == 0)
            return 0;
        if (got < 0) {
            if (got == -EINTR)
                continue;
            targetSide = false;
            return int(got);
        }
        for (long done = 0; done < got;) {
            const long put = m_fs.write(to, m_buffer.get() + done, std::size_t(got - done));
            if (put == -EINTR)
                continue;
            if (put <= 0) {
                targetSide = true;
                return put < 0 ? int(put) : -EIO;
            }
            done += put;
        }
        sinceEvents += std::size_t(got);
    }
}

// Gives the finished copy its name: the bare file name, or the next free
// numbered one when an earlier file of the run (or of an earlier run) has it.
CopyOutcome Copier::commit(const std::string &name, const std::string &tempName)
{
    unsigned &number = m_nextNumber.try_emplace(name, 1u).first->second;
    for (unsigned attempt = 0; attempt < MaxNameAttempts; ++attempt) {
        std::string finalName = numberedName(name, number);
        const int result = m_fs.renameNoReplace(m_folderFd, tempName.c_str(), m_folderFd, finalName.c_str());
        if (result == 0) {
            ++number;
            return CopyOutcome{0, true, std::move(finalName)};
        }
        if (result != -EEXIST) {
            (void)m_fs.unlinkAt(m_folderFd, tempName.c_str());
            return CopyOutcome{-result, true, {}};
        }
        ++number;
    }
    (void)m_fs.unlinkAt(m_folderFd, tempName.c_str());
    return CopyOutcome{EEXIST, false, {}};
}

bool Copier::fdShortage(int result)
{
    return (result == -EMFILE || result == -ENFILE) && m_releaseDescriptor();
}

} // namespace pendrel
