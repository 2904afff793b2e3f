#include "copier.h"

#include "directorybackup.h"
#include "filesystem.h"
#include "services.h"

#include <dirent.h>
#include <linux/magic.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string_view>

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
// The shortest limit on a name's bytes among the file systems a user meets
// (eCryptfs); a stick that refuses a name as too long takes one this short.
constexpr std::size_t ShortNameMax = 143;
// FAT keeps a file's size in 32 bits.
constexpr off_t FatMaxFileSize = (off_t(1) << 32) - 1;
// NTFS in the kernel: the old driver and ntfs3.
constexpr long NtfsMagic = 0x5346544e;
constexpr long Ntfs3Magic = 0x7366746e;
constexpr std::size_t DirectoryBufferSize = 32 * 1024;
// A file that changes during each of this many copies is not saved: a file
// growing while it is copied costs at most this many copies of its size.
constexpr int CopiesOfAChangingFile = 2;

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
// the length limit nameMax loses bytes before the tag, or the file could not
// be saved.
std::string numberedName(const std::string &name, unsigned number, std::size_t nameMax)
{
    if (number == 1)
        return name;
    const std::string tag = " (" + std::to_string(number) + ")";
    const auto dot = name.rfind('.');
    const bool extension = dot != std::string::npos && dot != 0 && name.size() - dot + tag.size() < nameMax;
    const std::string stem = extension ? name.substr(0, dot) : name;
    const std::string rest = extension ? name.substr(dot) : std::string();
    return cutTo(stem, nameMax - tag.size() - rest.size()) + tag + rest;
}

// Whether what was copied from a file is still what it holds.
bool unchanged(const struct stat &before, const struct stat &after)
{
    return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec
        && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec && before.st_ctim.tv_sec == after.st_ctim.tv_sec
        && before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

// The length of the UTF-8 sequence at text[at], 0 when it is not valid UTF-8.
std::size_t utf8Length(const std::string &text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(at);
    std::size_t length;
    char32_t point;
    if (first < 0x80)
        return 1;
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
        point = first & 0x1F;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        point = first & 0x0F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        point = first & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        point = (point << 6) | (byte(at + i) & 0x3F);
    }
    const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    return overlong || surrogate || point > 0x10FFFF ? 0 : length;
}

} // namespace

std::string acceptableName(const std::string &name, bool shorten)
{
    static constexpr std::string_view refused = ":*?\"<>|\\";
    std::string out;
    out.reserve(name.size());
    for (std::size_t at = 0; at < name.size();) {
        const unsigned char c = static_cast<unsigned char>(name[at]);
        const std::size_t length = utf8Length(name, at);
        if (length == 0 || c < 0x20 || c == 0x7F || refused.find(char(c)) != std::string_view::npos) {
            out += '_';
            ++at;
        } else {
            out.append(name, at, length);
            at += length;
        }
    }
    for (std::size_t end = out.size(); end > 0 && (out[end - 1] == '.' || out[end - 1] == ' '); --end)
        out[end - 1] = '_';
    if (shorten && out.size() > ShortNameMax) {
        const auto dot = out.rfind('.');
        const bool extension = dot != std::string::npos && dot != 0 && out.size() - dot < ShortNameMax / 2;
        const std::string rest = extension ? out.substr(dot) : std::string();
        out = cutTo(extension ? out.substr(0, dot) : out, ShortNameMax - rest.size()) + rest;
    }
    return out;
}

Copier::Copier(FileSystem &fs, Progress &progress, std::function<bool()> releaseDescriptor)
    : m_fs(fs), m_progress(progress), m_releaseDescriptor(std::move(releaseDescriptor))
{
}

Copier::~Copier() = default;

void Copier::setFolder(int folderFd, long type)
{
    m_folderFd = folderFd;
    m_maxFileSize = type == MSDOS_SUPER_MAGIC ? FatMaxFileSize : std::numeric_limits<off_t>::max();
    // What Windows reads ignores case, and FUSE sticks refuse RENAME_NOREPLACE:
    // without the set each rename would need a lookup first.
    m_foldedNames = (type == MSDOS_SUPER_MAGIC || type == EXFAT_SUPER_MAGIC || type == NtfsMagic
                     || type == Ntfs3Magic || type == FUSE_SUPER_MAGIC)
        && readTakenNames();
}

// Collects the names the folder holds, upper-cased; false when it cannot be read.
bool Copier::readTakenNames()
{
    m_taken.clear();
    const auto buffer = std::make_unique<char[]>(DirectoryBufferSize);
    for (;;) {
        const long filled = m_fs.readDirectory(m_folderFd, buffer.get(), DirectoryBufferSize);
        if (filled == 0)
            return true;
        if (filled < 0)
            return false;
        for (long offset = 0; offset < filled;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer.get() + offset);
            offset += entry->d_reclen;
            m_taken.insert(upperCased(entry->d_name));
        }
    }
}

CopyOutcome Copier::copy(UniqueFd source, const std::string &name, const struct stat &st)
{
    // Refused before a byte is written, not after gigabytes.
    if (st.st_size > m_maxFileSize)
        return CopyOutcome{EFBIG, true, {}};
    struct stat basis = st;
    std::string tempName;
    for (int copies = 1;; ++copies) {
        bool targetSide = true;
        struct stat after;
        const int error = -writeCopy(source.get(), basis, tempName, after, targetSide);
        if (error == 0 && unchanged(basis, after))
            break;
        if (!tempName.empty())
            (void)m_fs.unlinkAt(m_folderFd, tempName.c_str());
        if (error != 0)
            return CopyOutcome{error, targetSide, {}};
        if (copies == CopiesOfAChangingFile)
            return CopyOutcome{EAGAIN, false, {}, false, false, true};
        if (const int rewound = m_fs.rewind(source.get()); rewound < 0)
            return CopyOutcome{-rewound, false, {}};
        basis = after;
    }
    source.reset();
    return commit(name, tempName);
}

// Writes the first basis.st_size bytes of `source` to a new temporary with
// the source's permission bits, then fstats the source into `after`; a copy
// of an unchanged source gets its times. Returns 0 or -errno; tempName is
// empty when no temporary was made.
int Copier::writeCopy(int source, const struct stat &basis, std::string &tempName, struct stat &after,
                      bool &targetSide)
{
    UniqueFd temp = createTemporary(tempName, basis.st_mode & 0777);
    if (!temp) {
        tempName.clear();
        return temp.get();
    }
    int result = copyData(source, temp.get(), basis.st_size, targetSide);
    if (result == 0) {
        result = m_fs.statFd(source, &after);
        targetSide = result == 0;
    }
    if (result == 0 && unchanged(basis, after)) {
        const timespec times[2] = {basis.st_atim, basis.st_mtim};
        result = m_fs.setTimes(temp.get(), times);
    }
    const int closed = temp.close();
    return result != 0 ? result : closed;
}

// A hidden name that no saved file can have; leftovers of an earlier run are
// stepped over.
UniqueFd Copier::createTemporary(std::string &tempName, mode_t mode)
{
    for (unsigned attempt = 0; attempt < MaxNameAttempts; ++attempt) {
        tempName = ".pendrel-" + std::to_string(++m_tempCounter) + ".part";
        const int fd = retryFreeingDescriptors([&] { return m_fs.createExclusive(m_folderFd, tempName.c_str(), mode); },
                                               m_releaseDescriptor);
        if (fd != -EEXIST)
            return UniqueFd(m_fs, fd);
    }
    return UniqueFd(m_fs, -EEXIST);
}

// Copies `size` bytes from the current offsets, fewer when `from` ends
// sooner: a file growing meanwhile is not followed. Returns 0 or -errno;
// targetSide tells whether the failing call concerned the copy.
int Copier::copyData(int from, int to, off_t size, bool &targetSide)
{
    bool useCopyRange = !m_readWriteOnly;
    std::size_t sinceEvents = 0;
    for (off_t left = size; left > 0;) {
        if (sinceEvents >= CopyChunk) {
            m_progress.keepResponsive();
            sinceEvents = 0;
        }
        if (useCopyRange) {
            const long copied = m_fs.copyRange(from, to, std::size_t(std::min<off_t>(left, CopyChunk)));
            if (copied > 0) {
                left -= copied;
                sinceEvents += std::size_t(copied);
                continue;
            }
            if (copied == 0)
                return 0;
            const int error = int(-copied);
            if (isTargetFull(error)) {
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
        const long got = m_fs.read(from, m_buffer.get(), std::size_t(std::min<off_t>(left, CopyBufferSize)));
        if (got == 0)
            return 0;
        if (got < 0) {
            if (got == -EINTR)
                continue;
            targetSide = false;
            return int(got);
        }
        if (const int written = writeAll(m_fs, to, m_buffer.get(), std::size_t(got))) {
            targetSide = true;
            return written;
        }
        left -= got;
        sinceEvents += std::size_t(got);
    }
    return 0;
}

// Gives the finished copy its name; a refused name is tried once more as
// its substitute.
CopyOutcome Copier::commit(const std::string &name, const std::string &tempName)
{
    CopyOutcome outcome;
    int result = place(name, tempName, NameMax, outcome.savedName);
    bool refused = result < 0 && nameRefused(-result, tempName);
    if (refused) {
        const bool shorten = result == -ENAMETOOLONG;
        const std::string substitute = acceptableName(name, shorten);
        if (substitute != name) {
            // Its numbered names keep to the shorter limit too.
            result = place(substitute, tempName, shorten ? ShortNameMax : NameMax, outcome.savedName);
            outcome.substituted = true;
            refused = result < 0 && nameRefused(-result, tempName);
        }
    }
    if (result < 0) {
        (void)m_fs.unlinkAt(m_folderFd, tempName.c_str());
        return CopyOutcome{-result, true, {}, false, refused};
    }
    return outcome;
}

// Renames the copy to `name`, or to the next free numbered name (of at most
// nameMax bytes) when an earlier file has it. Returns 0 with finalName set,
// or -errno.
int Copier::place(const std::string &name, const std::string &tempName, std::size_t nameMax, std::string &finalName)
{
    unsigned &number = m_nextNumber.try_emplace(name, 1u).first->second;
    for (unsigned attempt = 0; attempt < MaxNameAttempts; ++attempt) {
        finalName = numberedName(name, number, nameMax);
        const std::string folded = m_foldedNames ? upperCased(finalName) : std::string();
        if (m_foldedNames && m_taken.contains(folded)) {
            ++number;
            continue;
        }
        int result;
        if (m_noReplace) {
            result = m_fs.renameNoReplace(m_folderFd, tempName.c_str(), m_folderFd, finalName.c_str());
            if (result == -ENOSYS || result == -EOPNOTSUPP || result == -EINVAL) {
                // exFAT, NTFS and FAT through FUSE refuse the flag with
                // EINVAL, which may also mean a refused name: only when the
                // rename without it gets further is the flag the problem.
                result = renameFree(tempName, finalName);
                if (result == 0 || result == -EEXIST || result == -ENOSYS || result == -EOPNOTSUPP)
                    m_noReplace = false;
                if (result == -ENOSYS || result == -EOPNOTSUPP)
                    continue;
            }
        } else {
            result = renameFree(tempName, finalName);
        }
        if (result != 0 && result != -EEXIST)
            return result;
        if (m_foldedNames)
            m_taken.insert(folded);
        ++number;
        if (result == 0)
            return 0;
    }
    return -EEXIST;
}

// Renames to a name known to be free: from the set of taken names, or else
// by a lookup, which finds a name that differs only in case where the stick
// ignores case. Between the reading of the folder (or the lookup) and the
// rename another program could create the name and lose its file: the
// backup folder is this run's own, so only a program writing into it could.
int Copier::renameFree(const std::string &tempName, const std::string &finalName)
{
    if (m_foldedNames)
        return m_fs.rename(m_folderFd, tempName.c_str(), m_folderFd, finalName.c_str());
    struct stat st;
    const int found = m_fs.statAt(m_folderFd, finalName.c_str(), &st, false);
    if (found == 0)
        return -EEXIST;
    if (found != -ENOENT)
        return found;
    return m_fs.rename(m_folderFd, tempName.c_str(), m_folderFd, finalName.c_str());
}

// exfat-fuse answers a refused character with ENOENT: the copy that is
// still there tells that from a folder that went away.
bool Copier::nameRefused(int error, const std::string &tempName)
{
    if (error == EINVAL || error == EILSEQ || error == ENAMETOOLONG)
        return true;
    struct stat st;
    return error == ENOENT && m_fs.statAt(m_folderFd, tempName.c_str(), &st, false) == 0;
}

} // namespace pendrel
