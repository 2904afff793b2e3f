// savebench: times the save on trees made by maketree against find, fd, cp
// and rsync, warm and (with --cold) cold, checks that every run found and
// copied the right files, and prints one table. See README.md in this folder.
//
//   savebench --tree DIR [--tree DIR ...] --target DIR [--target-kind TEXT]
//             [--reps N] [--window PATH] [--cold]
//             [--program PATH --program-label LABEL]
//             [--fuse-tree DIR --fuse-target DIR --fuse-kind TEXT]
//
// --program: the real binary, closed through the window manager of $DISPLAY;
// the target must also be mounted below /media/USER/, labelled LABEL, for
// the program to find it as its stick.
//
// Every timed run is a child process, ours as much as the references, so the
// times compare like with like.
// Exit status 1 when a result was wrong (files missed, copies missing), never
// because of a time.

#include "directorybackup.h"
#include "filesystem.h"
#include "peakresident.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unordered_set>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace pendrel;

namespace {

// ---------------------------------------------------------------- children

// The walk without the copies: directory and stat calls go to the real file
// system; everything on the target side, and reading the sources, succeeds at
// once without a system call.
class WalkOnlyFileSystem final : public FileSystem
{
public:
    explicit WalkOnlyFileSystem(std::string target) : m_target(std::move(target)) { }

    int openDirectory(int dirFd, const char *name, bool followLinks) override
    {
        return onTarget(dirFd, name) ? fakeFd : m_real.openDirectory(dirFd, name, followLinks);
    }
    long readDirectory(int fd, void *buf, std::size_t size) override
    {
        return fd == fakeFd ? 0 : m_real.readDirectory(fd, buf, size);
    }
    int statAt(int dirFd, const char *name, struct stat *st, bool followLinks) override
    {
        if (!onTarget(dirFd, name))
            return m_real.statAt(dirFd, name, st, followLinks);
        if (std::strcmp(name, ".") != 0)
            return -ENOENT;
        // The backup folder: an identity no directory of the tree has.
        *st = {};
        st->st_mode = S_IFDIR | 0755;
        st->st_dev = dev_t(-1);
        st->st_ino = ino_t(-1);
        return 0;
    }
    int openForReading(int dirFd, const char *name, bool followLinks, struct stat *st) override
    {
        const int result = m_real.statAt(dirFd, name, st, followLinks);
        return result < 0 ? result : fakeFd;
    }
    int statFd(int fd, struct stat *st) override
    {
        if (fd != fakeFd)
            return m_real.statFd(fd, st);
        *st = {};
        st->st_mode = S_IFREG | 0644;
        return 0;
    }
    int statFileSystem(int fd, struct statfs *st) override { return m_real.statFileSystem(fd == fakeFd ? AT_FDCWD : fd, st); }
    int rewind(int) override { return 0; }
    int prefetch(int, const char *, off_t) override { return 0; }
    int createExclusive(int, const char *, mode_t) override { return fakeFd; }
    int makeDirectory(int, const char *, mode_t) override { return 0; }
    int setMode(int, mode_t) override { return 0; }
    int syncFile(int) override { return 0; }
    long copyRange(int, int, std::size_t) override { return 0; }
    long read(int fd, void *buf, std::size_t size) override { return fd == fakeFd ? 0 : m_real.read(fd, buf, size); }
    long write(int, const void *, std::size_t size) override { return long(size); }
    int setTimes(int, const struct timespec[2]) override { return 0; }
    int renameNoReplace(int, const char *, int, const char *) override { return 0; }
    int rename(int, const char *, int, const char *) override { return 0; }
    int unlinkAt(int, const char *) override { return 0; }
    int syncFileSystem(int) override { return 0; }
    int close(int fd) override { return fd == fakeFd ? 0 : m_real.close(fd); }
    int openChangeQueue() override { return m_real.openChangeQueue(); }
    int watchDirectory(int queueFd, int dirFd, const char *name) override
    {
        return m_real.watchDirectory(queueFd, dirFd, name);
    }

private:
    // Far above any descriptor the process could really hold.
    static constexpr int fakeFd = INT_MAX - 1;

    bool onTarget(int dirFd, const char *name) const
    {
        return dirFd == fakeFd || (name[0] == '/' && std::string_view(name).starts_with(m_target));
    }

    PosixFileSystem m_real;
    std::string m_target;
};

// The real calls, with the time the saving thread spends in the copies'
// calls (source opens, the target side, closing the copies) added up: the
// rest of the walk's time is its own. The helper threads only list and stat.
class PhaseTimingFileSystem final : public FileSystem
{
    template<typename Call>
    auto timed(Call call)
    {
        const auto start = std::chrono::steady_clock::now();
        const auto result = call();
        m_copy += std::chrono::steady_clock::now() - start;
        return result;
    }
    int track(int fd)
    {
        if (fd >= 0)
            m_copyFds.insert(fd);
        return fd;
    }

public:
    [[nodiscard]] double copySeconds() const { return m_copy.count(); }

    int openDirectory(int dirFd, const char *name, bool followLinks) override
    {
        return m_real.openDirectory(dirFd, name, followLinks);
    }
    long readDirectory(int fd, void *buf, std::size_t size) override { return m_real.readDirectory(fd, buf, size); }
    int statAt(int dirFd, const char *name, struct stat *st, bool followLinks) override
    {
        return m_real.statAt(dirFd, name, st, followLinks);
    }
    int openForReading(int dirFd, const char *name, bool followLinks, struct stat *st) override
    {
        return track(timed([&] { return m_real.openForReading(dirFd, name, followLinks, st); }));
    }
    int statFd(int fd, struct stat *st) override
    {
        return timed([&] { return m_real.statFd(fd, st); });
    }
    int statFileSystem(int fd, struct statfs *st) override { return m_real.statFileSystem(fd, st); }
    int rewind(int fd) override { return timed([&] { return m_real.rewind(fd); }); }
    int prefetch(int dirFd, const char *name, off_t size) override { return m_real.prefetch(dirFd, name, size); }
    int createExclusive(int dirFd, const char *name, mode_t mode) override
    {
        return track(timed([&] { return m_real.createExclusive(dirFd, name, mode); }));
    }
    int makeDirectory(int dirFd, const char *name, mode_t mode) override
    {
        return timed([&] { return m_real.makeDirectory(dirFd, name, mode); });
    }
    int setMode(int fd, mode_t mode) override { return m_real.setMode(fd, mode); }
    int syncFile(int fd) override { return m_real.syncFile(fd); }
    long copyRange(int fromFd, int toFd, std::size_t size) override
    {
        return timed([&] { return m_real.copyRange(fromFd, toFd, size); });
    }
    long read(int fd, void *buf, std::size_t size) override
    {
        if (!m_copyFds.contains(fd))
            return m_real.read(fd, buf, size);
        return timed([&] { return m_real.read(fd, buf, size); });
    }
    long write(int fd, const void *buf, std::size_t size) override
    {
        return timed([&] { return m_real.write(fd, buf, size); });
    }
    int setTimes(int fd, const struct timespec times[2]) override
    {
        return timed([&] { return m_real.setTimes(fd, times); });
    }
    int renameNoReplace(int fromDirFd, const char *from, int toDirFd, const char *to) override
    {
        return timed([&] { return m_real.renameNoReplace(fromDirFd, from, toDirFd, to); });
    }
    int rename(int fromDirFd, const char *from, int toDirFd, const char *to) override
    {
        return timed([&] { return m_real.rename(fromDirFd, from, toDirFd, to); });
    }
    int unlinkAt(int dirFd, const char *name) override
    {
        return timed([&] { return m_real.unlinkAt(dirFd, name); });
    }
    int syncFileSystem(int fd) override { return m_real.syncFileSystem(fd); }
    int close(int fd) override
    {
        if (std::this_thread::get_id() == m_saver && m_copyFds.erase(fd))
            return timed([&] { return m_real.close(fd); });
        return m_real.close(fd);
    }
    int openChangeQueue() override { return m_real.openChangeQueue(); }
    int watchDirectory(int queueFd, int dirFd, const char *name) override
    {
        return m_real.watchDirectory(queueFd, dirFd, name);
    }

private:
    PosixFileSystem m_real;
    const std::thread::id m_saver = std::this_thread::get_id();
    std::chrono::duration<double> m_copy{};
    std::unordered_set<int> m_copyFds;
};

// Keeps the paths of the files saved when asked to.
class RecordingProgress final : public Progress
{
public:
    explicit RecordingProgress(bool record) : m_record(record) { }
    void checking(const std::string &) override { }
    void saving(const std::string &file) override
    {
        if (m_record)
            paths.push_back(file);
    }
    void keepResponsive() override { }
    std::vector<std::string> paths;

private:
    bool m_record;
};

TimePoint fromEpoch(long long seconds)
{
    return TimePoint(std::chrono::seconds(seconds));
}

// --child walk TREE REF [--list] | save TREE REF TARGET NAME | idle
// Prints "saved N failures M elapsed S peak_kib P walk W copy C flush F",
// then with --list the saved paths. W, C and F split the elapsed time: the
// walk's own, the copies', the final flush's.
int runChild(int argc, char **argv)
{
    const std::string mode = argc > 2 ? argv[2] : "";
    if (mode == "idle") {
        std::printf("saved 0 failures 0 elapsed 0 peak_kib %ld\n", peakResidentKiB());
        return 0;
    }
    const bool walk = mode == "walk" && argc >= 5;
    if (!walk && !(mode == "save" && argc >= 7)) {
        std::fprintf(stderr, "savebench: bad child arguments\n");
        return 2;
    }
    const std::string tree = argv[3];
    const bool list = walk && argc > 5 && std::string(argv[5]) == "--list";
    const std::string target = walk ? "/nonexistent-walk-target" : argv[5];

    RunState state;
    state.StartZeit = fromEpoch(std::atoll(argv[4]));
    state.ZielVz = walk ? "walk" : argv[6];
    RecordingProgress progress(list);
    WalkOnlyFileSystem walkOnly(target);
    PhaseTimingFileSystem real;
    FileSystem &fs = walk ? static_cast<FileSystem &>(walkOnly) : real;

    const auto start = std::chrono::steady_clock::now();
    DirectoryBackup backup(fs, progress, state, target, "/nonexistent-settings/sichern.txt");
    backup.VzSichern(tree);
    const auto walked = std::chrono::steady_clock::now();
    backup.finish();
    const auto end = std::chrono::steady_clock::now();
    const std::chrono::duration<double> elapsed = end - start;
    const std::chrono::duration<double> flush = end - walked;

    std::printf("saved %zu failures %zu elapsed %.6f peak_kib %ld walk %.6f copy %.6f flush %.6f\n",
                backup.savedCount(), backup.failures().size(), elapsed.count(), peakResidentKiB(),
                elapsed.count() - flush.count() - real.copySeconds(), real.copySeconds(), flush.count());
    for (const SaveFailure &f : backup.failures())
        std::fprintf(stderr, "not saved: %s: %s\n", f.path.c_str(), std::strerror(f.error));
    for (const std::string &p : progress.paths)
        std::printf("%s\n", p.c_str());
    return 0;
}

// ---------------------------------------------------------------- running

struct Run
{
    double seconds = 0;
    bool ok = false; // exited with status 0
    std::string output;
};

Run run(const std::vector<std::string> &args)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        std::perror("savebench: pipe");
        std::exit(1);
    }
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        std::perror(argv[0]);
        ::_exit(127);
    }
    ::close(out[1]);
    Run r;
    char buffer[65536];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        r.output.append(buffer, std::size_t(n));
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

std::string shellQuoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool haveTool(const std::string &name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string commandOutput(const std::string &command)
{
    const Run r = run({ "/bin/sh", "-c", command });
    std::string out = r.output;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

// The first line of a child's output: "key value" pairs (saved, failures,
// elapsed, peak_kib, boxes); the lines after it, paths.
struct ChildReport
{
    std::map<std::string, double> values;
    std::vector<std::string> paths;
    long long get(const std::string &key) const
    {
        const auto it = values.find(key);
        return it == values.end() ? -1 : (long long)it->second;
    }
    double elapsed() const { return values.count("elapsed") ? values.at("elapsed") : 0; }
};

ChildReport parseReport(const std::string &output)
{
    ChildReport c;
    std::istringstream in(output);
    std::string line;
    if (std::getline(in, line)) {
        std::istringstream head(line);
        std::string key;
        double value;
        while (head >> key >> value)
            c.values[key] = value;
    }
    while (std::getline(in, line))
        c.paths.push_back(line);
    return c;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

// ---------------------------------------------------------------- checking

// Counts what a folder holds after a save: regular files by name, their
// bytes, hidden names (temporary files left behind), files with an mtime not
// after the reference (mtime lost; with coarseTimes, before its second).
struct FolderContents
{
    long long files = 0;
    long long bytes = 0;
    long long hidden = 0;
    long long oldMtimes = 0;
};

FolderContents contentsOf(const std::string &folder, long long ref, bool coarseTimes = false)
{
    FolderContents c;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".")) {
            ++c.hidden;
            continue;
        }
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        ++c.files;
        c.bytes += st.st_size;
        if (st.st_mtim.tv_sec < ref || (st.st_mtim.tv_sec == ref && st.st_mtim.tv_nsec == 0 && !coarseTimes))
            ++c.oldMtimes;
    }
    return c;
}

void emptyFolder(const std::string &target)
{
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(target, ec))
        if (entry.path().filename() != "lost+found")
            std::filesystem::remove_all(entry.path(), ec);
    // Start every timed save with nothing left to flush.
    const int fd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
    ::sync();
}

// ---------------------------------------------------------------- figures

struct Series
{
    std::vector<double> times;
    double best() const { return times.empty() ? 0 : *std::min_element(times.begin(), times.end()); }
    double median() const
    {
        if (times.empty())
            return 0;
        std::vector<double> t = times;
        std::sort(t.begin(), t.end());
        const std::size_t n = t.size();
        return n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
    }
};

struct Row
{
    std::string figure;
    std::string ours;
    std::string reference;
    std::string ratio;
    std::string target;
};

std::string seconds(const Series &s)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f s (med %.3f)", s.best(), s.median());
    return buf;
}

std::string number(double value, const char *format)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

std::string megabytes(long long kib)
{
    return number(double(kib) * 1024 / 1e6, "%.1f MB");
}

std::string ratioOf(double ours, double reference)
{
    return reference > 0 ? number(ours / reference, "%.2f") : "-";
}

struct Options
{
    std::vector<std::string> trees;
    std::string target;
    std::string targetKind = "plain directory";
    std::string window;
    std::string program;      // the real program's binary
    std::string programLabel; // the stick's label, for its sichern.txt
    std::string fuseTree;   // a smaller tree for the FUSE stick
    std::string fuseTarget; // its mount point
    std::string fuseKind;
    int reps = 3;
    bool cold = false;
};

// Warm: every timed run follows one untimed run of the same. Cold: the page,
// dentry and inode caches are written back and dropped before every timed run.
enum class Cache { Warm, Cold };

const char *nameOf(Cache cache)
{
    return cache == Cache::Cold ? "cold" : "warm";
}

// The reference copy and its flush, timed apart: find | xargs cp -p into
// `dst`, then sync -f.
struct ReferenceRun
{
    double copy = 0;
    double flush = 0;
    double total() const { return copy + flush; }
};

// The real program as a user has it: a copy of the binary in a folder of
// its own beside its sichern.txt, its window on the X server of $DISPLAY.
struct Program
{
    pid_t pid = -1;
    int pidfd = -1;
    std::string dir;
    std::string window; // the window's id, as wmctrl lists it
};

struct ProgramEnd
{
    bool ok = false;         // ended by itself, with status 0
    double seconds = 0;      // from the close request until the process had ended
    double requestedAt = 0;  // the close request, in seconds since the epoch
    double endedAt = 0;
};

class Bench
{
public:
    Bench(Options options, std::string self) : m_o(std::move(options)), m_self(std::move(self)) { }
    int runAll();

private:
    struct TreeResult
    {
        long long files = 0;
        long long entries = 0;
        Series walk, find;
        Series save, cp;
        long long maxRss = 0;
    };

    using Info = std::map<std::string, long long>;

    Info readInfo(const std::string &tree);
    void walkFigure(const std::string &tree, const Info &info, Cache cache, TreeResult &result);
    void syscallFigure(const std::string &tree, const Info &info, bool withFind, Cache cache);
    void saveFigure(const std::string &tree, const Info &info, Cache cache, TreeResult &result);
    void fuseFigure();
    void windowFigure(const std::string &tree, const Info &info);
    void programFigure(const std::string &tree, const Info &info, Cache cache);
    void programPhases(const std::string &tree, const Info &info);
    bool startProgram(const std::string &tree, const std::string &trace, Program &p);
    ProgramEnd closeProgram(Program &p, const std::string &tree, long long ref, Cache cache);
    void checkBackupFolder(const std::string &who, long long ref, const Info &info);
    void prepare(Cache cache);
    void check(bool ok, const std::string &what);
    void checkFolder(const std::string &who, const std::string &dir, long long ref, long long files, long long bytes,
                     bool coarseTimes = false);
    ReferenceRun referenceSave(const std::string &command, const std::string &dst, long long ref, long long files,
                               long long bytes, Cache cache);
    ChildReport headlessSave(const std::string &tree, const Info &info, const std::string &target, Cache cache, Run &r,
                             bool coarseTimes = false);

    Options m_o;
    std::string m_self;
    std::vector<Row> m_rows;
    std::vector<std::string> m_notes;
    long long m_distinctNames = 0; // rsync keeps one file per name
    std::string m_fd;              // fd's command name; empty: not installed
    int m_wrong = 0;
};

void Bench::prepare(Cache cache)
{
    if (cache == Cache::Warm)
        return;
    ::sync();
    std::ofstream drop("/proc/sys/vm/drop_caches");
    drop << "3\n";
    drop.flush();
    check(bool(drop), "cold: cannot drop the caches");
}

void Bench::check(bool ok, const std::string &what)
{
    if (ok)
        return;
    ++m_wrong;
    std::fprintf(stderr, "WRONG: %s\n", what.c_str());
}

Bench::Info Bench::readInfo(const std::string &tree)
{
    Info info;
    std::ifstream in(tree + ".info");
    std::string key;
    double value;
    while (in >> key >> value)
        info[key] = (long long)value;
    if (!info.count("expected_saved") || !info.count("ref")) {
        std::fprintf(stderr, "savebench: %s.info missing or incomplete (make the tree with maketree)\n",
                     tree.c_str());
        std::exit(2);
    }
    return info;
}

// The reference walk finds what ours does: regular files modified after the
// reference, neither hidden nor below a hidden directory.
std::string findChanged(const std::string &root, long long ref, const char *print)
{
    return "find " + shellQuoted(root) + " -mindepth 1 -name '.*' -prune -o -type f -newermt @" + std::to_string(ref)
        + " " + print;
}

// The reference save: cp -p with numbered backups keeps every clashing file.
std::string cpSave(const std::string &tree, long long ref, const std::string &dst)
{
    return findChanged(tree, ref, "-print0") + " | xargs -0 -r cp -p --backup=numbered -t " + shellQuoted(dst);
}

// The same files through fd: hidden entries are its default, --no-ignore
// keeps it from skipping what .gitignore files name, and a date it takes as
// local time, given here in UTC to the second, as strictly after as find's.
std::string fdChanged(const std::string &fd, const std::string &root, long long ref)
{
    const time_t at = time_t(ref);
    struct tm utc {};
    ::gmtime_r(&at, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &utc);
    return "TZ=UTC " + fd + " --no-ignore --type f --changed-after '" + date + "' . " + shellQuoted(root);
}

void Bench::walkFigure(const std::string &tree, const Info &info, Cache cache, TreeResult &result)
{
    const std::string ref = std::to_string(info.at("ref"));
    const long long expected = info.at("expected_saved");
    const std::string findCommand = findChanged(tree, info.at("ref"), "-print");
    const std::string fdCommand = m_fd.empty() ? std::string() : fdChanged(m_fd, tree, info.at("ref"));

    if (cache == Cache::Warm) {
        // Warm-up runs, also checking that the walks find the very same files.
        const Run oursList = run({ m_self, "--child", "walk", tree, ref, "--list" });
        const Run findList = run({ "/bin/sh", "-c", findCommand });
        std::vector<std::string> ours = parseReport(oursList.output).paths;
        std::vector<std::string> theirs = lines(findList.output);
        std::sort(ours.begin(), ours.end());
        std::sort(theirs.begin(), theirs.end());
        check(oursList.ok && findList.ok, "walk: a run failed");
        check((long long)ours.size() == expected, "walk: ours found " + std::to_string(ours.size()) + " files, "
                  + std::to_string(expected) + " expected");
        check(ours == theirs, "walk: ours and find found different files (" + std::to_string(ours.size()) + " vs "
                  + std::to_string(theirs.size()) + ")");
        if (!m_fd.empty()) {
            const Run fdList = run({ "/bin/sh", "-c", fdCommand });
            std::vector<std::string> fdFound = lines(fdList.output);
            std::sort(fdFound.begin(), fdFound.end());
            check(fdList.ok && fdFound == theirs, "walk: fd and find found different files ("
                      + std::to_string(fdFound.size()) + " vs " + std::to_string(theirs.size()) + ")");
        }
        std::set<std::string> names;
        for (const std::string &p : theirs)
            names.insert(p.substr(p.rfind('/') + 1));
        m_distinctNames = (long long)names.size();
    }

    const auto reference = [&](const std::string &who, const std::string &command, Series &times) {
        prepare(cache);
        const Run r = run({ "/bin/sh", "-c", command });
        check(r.ok && (long long)lines(r.output).size() == expected, "walk: " + who + " counted "
                  + std::to_string(lines(r.output).size()));
        times.times.push_back(r.seconds);
    };
    Series oursTimes, findTimes, fdTimes;
    for (int i = 0; i < m_o.reps; ++i) {
        prepare(cache);
        const Run o = run({ m_self, "--child", "walk", tree, ref });
        const ChildReport report = parseReport(o.output);
        check(o.ok && report.get("saved") == expected && report.get("failures") == 0, "walk: ours counted "
                  + std::to_string(report.get("saved")) + " with " + std::to_string(report.get("failures")) + " failures");
        oursTimes.times.push_back(o.seconds);
        reference("find", findCommand, findTimes);
        if (!m_fd.empty())
            reference("fd", fdCommand, fdTimes);
    }
    const bool cold = cache == Cache::Cold;
    const std::string figure = "walk, " + std::to_string(info.at("files")) + " files, " + nameOf(cache);
    m_rows.push_back({ figure, seconds(oursTimes), seconds(findTimes) + " find", ratioOf(oursTimes.best(), findTimes.best()),
                       cold ? "<= 0.6 x find -newermt" : "<= 0.45 x find -newermt" });
    if (!m_fd.empty())
        m_rows.push_back({ figure + ", vs fd", seconds(oursTimes), seconds(fdTimes) + " fd",
                           ratioOf(oursTimes.best(), fdTimes.best()), cold ? "<= 1.0 x fd" : "-" });
    if (!cold) {
        result.walk = oursTimes;
        result.find = findTimes;
    }
}

// strace -c -f of one command: calls per system call name.
std::map<std::string, long long> syscallCounts(const std::vector<std::string> &command)
{
    char path[] = "/tmp/savebench-strace-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0)
        ::close(fd);
    std::vector<std::string> args = { "strace", "-c", "-f", "-o", path, "--" };
    args.insert(args.end(), command.begin(), command.end());
    run(args);
    std::map<std::string, long long> counts;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> words;
        std::istringstream fields(line);
        for (std::string w; fields >> w;)
            words.push_back(w);
        if (words.size() >= 5 && words[0] != "%" && words[0].find('-') == std::string::npos)
            counts[words.back()] += std::atoll(words[3].c_str());
    }
    ::unlink(path);
    return counts;
}

// Calls of `command` minus those of `baseline` (start-up and an empty walk).
std::map<std::string, long long> difference(std::map<std::string, long long> command,
                                            const std::map<std::string, long long> &baseline)
{
    for (const auto &[name, calls] : baseline)
        command[name] -= calls;
    return command;
}

// withFind false leaves out find, whose calls per entry do not change with
// the size of the tree but whose trace takes minutes at 1,000,000 files.
void Bench::syscallFigure(const std::string &tree, const Info &info, bool withFind, Cache cache)
{
    if (!haveTool("strace")) {
        m_notes.push_back("strace is not installed: no system-call counts.");
        return;
    }
    char emptyTemplate[] = "/tmp/savebench-empty-XXXXXX";
    const char *empty = ::mkdtemp(emptyTemplate);
    if (!empty) {
        m_notes.push_back("no system-call counts: cannot create an empty directory in /tmp.");
        return;
    }
    const std::string ref = std::to_string(info.at("ref"));
    const auto findArgs = [&](const std::string &root) {
        return std::vector<std::string> { "find", root, "-mindepth", "1", "-name", ".*", "-prune", "-o",
                                          "-type", "f", "-newermt", "@" + ref, "-print" };
    };
    const auto counts = [&](const std::vector<std::string> &command) {
        prepare(cache);
        return syscallCounts(command);
    };
    const auto ours = difference(counts({ m_self, "--child", "walk", tree, ref }),
                                 counts({ m_self, "--child", "walk", empty, ref }));
    const auto find = withFind ? difference(counts(findArgs(tree)), counts(findArgs(empty)))
                               : std::map<std::string, long long> {};
    ::rmdir(empty);

    const double entries = double(std::max(1LL, info.at("entries_walked")));
    const auto total = [](const std::map<std::string, long long> &counts) {
        long long sum = 0;
        for (const auto &entry : counts)
            if (entry.first != "total")
                sum += entry.second;
        return sum;
    };
    const double oursPerEntry = double(total(ours)) / entries;
    const double findPerEntry = double(total(find)) / entries;
    m_rows.push_back({ std::string("system calls per entry, walk, ") + nameOf(cache), number(oursPerEntry, "%.3f"),
                       withFind ? number(findPerEntry, "%.3f") + " (find)" : "-",
                       withFind ? ratioOf(oursPerEntry, findPerEntry) : "-", "<= 1.3 per entry" });
    std::string breakdown = std::string(nameOf(cache)) + " walk of " + std::to_string(info.at("entries_walked"))
        + " entries, calls per entry:";
    for (const auto &[name, calls] : ours)
        if (name != "total" && double(calls) / entries >= 0.0005)
            breakdown += " " + name + " " + number(double(calls) / entries, "%.3f");
    m_notes.push_back(breakdown);
}

void Bench::checkFolder(const std::string &who, const std::string &dir, long long ref, long long files,
                        long long bytes, bool coarseTimes)
{
    const FolderContents c = contentsOf(dir, ref, coarseTimes);
    check(c.files == files, who + ": " + std::to_string(c.files) + " files in " + dir + ", " + std::to_string(files)
              + " expected");
    check(bytes < 0 || c.bytes == bytes, who + ": " + std::to_string(c.bytes) + " bytes copied, "
              + std::to_string(bytes) + " expected");
    check(c.hidden == 0, who + ": " + std::to_string(c.hidden) + " hidden (temporary) files left");
    check(c.oldMtimes == 0, who + ": " + std::to_string(c.oldMtimes) + " copies lost their mtime");
}

// One headless save into an emptied target, checked.
ChildReport Bench::headlessSave(const std::string &tree, const Info &info, const std::string &target, Cache cache,
                                Run &r, bool coarseTimes)
{
    const long long expected = info.at("expected_saved");
    emptyFolder(target);
    prepare(cache);
    r = run({ m_self, "--child", "save", tree, std::to_string(info.at("ref")), target, "bench" });
    const ChildReport report = parseReport(r.output);
    check(r.ok && report.get("saved") == expected && report.get("failures") == 0, "save: ours saved "
              + std::to_string(report.get("saved")) + " with " + std::to_string(report.get("failures")) + " failures");
    checkFolder("save: ours", target + "/bench", info.at("ref"), expected, info.at("expected_bytes"), coarseTimes);
    return report;
}

std::string phases(double walk, double copy, double flush)
{
    return (walk < 0 ? std::string("-") : number(walk, "%.3f")) + " / " + number(copy, "%.3f") + " / "
        + number(flush, "%.3f") + " s";
}

// One reference save into an emptied target: `command` copies into `dst`,
// then sync -f flushes the stick, each timed.
ReferenceRun Bench::referenceSave(const std::string &command, const std::string &dst, long long ref, long long files,
                                  long long bytes, Cache cache)
{
    emptyFolder(m_o.target);
    std::filesystem::create_directory(dst);
    prepare(cache);
    ReferenceRun times;
    const Run copy = run({ "/bin/sh", "-c", command });
    const Run flush = run({ "sync", "-f", dst });
    check(copy.ok && flush.ok, "save: " + command + " failed");
    checkFolder("save: " + dst, dst, ref, files, bytes);
    times.copy = copy.seconds;
    times.flush = flush.seconds;
    return times;
}

void Bench::saveFigure(const std::string &tree, const Info &info, Cache cache, TreeResult &result)
{
    const long long ref = info.at("ref");
    const long long expected = info.at("expected_saved");
    const long long expectedBytes = info.at("expected_bytes");
    const bool warm = cache == Cache::Warm;
    const std::string cpDst = m_o.target + "/cp";
    const std::string rsyncDst = m_o.target + "/rsync";
    const bool haveRsync = warm && haveTool("rsync");
    const std::string cpCommand = cpSave(tree, ref, cpDst);
    const std::string rsyncCommand = "cd " + shellQuoted(tree) + " && " + findChanged(".", ref, "-print0")
        + " | rsync -a -0 --files-from=- --no-relative . " + shellQuoted(rsyncDst + "/");

    const auto ours = [&]() {
        Run r;
        ChildReport report = headlessSave(tree, info, m_o.target, cache, r);
        result.maxRss = std::max(result.maxRss, report.get("peak_kib"));
        report.values["seconds"] = r.seconds;
        return report;
    };
    const auto reference = [&](const std::string &command, const std::string &dst, long long files, long long bytes) {
        return referenceSave(command, dst, ref, files, bytes, cache);
    };

    if (warm) {
        // One run of each, untimed.
        ours();
        reference(cpCommand, cpDst, expected, expectedBytes);
        // rsync keeps one file of each name where names clash: fewer files, any bytes.
        if (haveRsync)
            reference(rsyncCommand, rsyncDst, m_distinctNames, -1);
    }

    Series oursTimes, cpTimes, rsyncTimes;
    ChildReport bestOurs;
    ReferenceRun bestCp;
    for (int i = 0; i < m_o.reps; ++i) {
        const ChildReport o = ours();
        if (oursTimes.times.empty() || o.values.at("seconds") < oursTimes.best())
            bestOurs = o;
        oursTimes.times.push_back(o.values.at("seconds"));
        const ReferenceRun cp = reference(cpCommand, cpDst, expected, expectedBytes);
        if (cpTimes.times.empty() || cp.total() < cpTimes.best())
            bestCp = cp;
        cpTimes.times.push_back(cp.total());
        if (haveRsync)
            rsyncTimes.times.push_back(reference(rsyncCommand, rsyncDst, m_distinctNames, -1).total());
    }
    emptyFolder(m_o.target);

    const std::string figure = "save, " + std::to_string(info.at("files")) + " files";
    const auto phase = [&bestOurs](const char *key) { return bestOurs.values.count(key) ? bestOurs.values.at(key) : 0; };
    m_rows.push_back({ figure + ", " + std::to_string(expected) + " copied, " + nameOf(cache), seconds(oursTimes),
                       seconds(cpTimes) + " cp", ratioOf(oursTimes.best(), cpTimes.best()),
                       "<= 0.6 x find|xargs cp -p + sync" });
    m_rows.push_back({ std::string("  phases, ") + nameOf(cache) + ": walk / copy / flush",
                       phases(phase("walk"), phase("copy"), phase("flush")), phases(-1, bestCp.copy, bestCp.flush) + " cp",
                       "-", "-" });
    if (haveRsync)
        m_rows.push_back({ figure + ", warm, vs rsync", seconds(oursTimes), seconds(rsyncTimes) + " rsync",
                           ratioOf(oursTimes.best(), rsyncTimes.best()), "-" });
    else if (warm)
        m_notes.push_back("rsync is not installed: no rsync figure.");
    if (warm) {
        result.save = oursTimes;
        result.cp = cpTimes;
    }
}

// The headless save onto a stick mounted through FUSE, where every call is a
// round trip to the daemon, against cp and rsync onto the same stick.
void Bench::fuseFigure()
{
    const std::string &tree = m_o.fuseTree;
    const Info info = readInfo(tree);
    const long long ref = info.at("ref");
    const long long expected = info.at("expected_saved");
    const std::string cpDst = m_o.fuseTarget + "/cp";
    const std::string rsyncDst = m_o.fuseTarget + "/rsync";
    const std::string cpCommand = cpSave(tree, ref, cpDst) + " && sync -f " + shellQuoted(cpDst);
    // Times only: exFAT keeps no owner or permission bits, and numbered
    // backups would be a copy of rsync's own.
    const bool haveRsync = haveTool("rsync");
    const std::string rsyncCommand = "cd " + shellQuoted(tree) + " && " + findChanged(".", ref, "-print0")
        + " | rsync -t -0 --files-from=- --no-relative . " + shellQuoted(rsyncDst + "/") + " && sync -f "
        + shellQuoted(rsyncDst);
    // rsync keeps one file of each clashing name.
    std::set<std::string> names;
    for (const std::string &p : lines(commandOutput(findChanged(tree, ref, "-printf '%f\\n'"))))
        names.insert(p);
    const auto reference = [&](const std::string &who, const std::string &command, const std::string &dst,
                               long long files, long long bytes) {
        emptyFolder(m_o.fuseTarget);
        std::filesystem::create_directory(dst);
        const Run r = run({ "/bin/sh", "-c", command });
        check(r.ok, "save onto FUSE: " + command + " failed");
        checkFolder("save onto FUSE: " + who, dst, ref, files, bytes, true);
        return r.seconds;
    };
    Series oursTimes, cpTimes, rsyncTimes;
    // The first round is a warm-up; the stick's times are kept to 10 ms.
    for (int i = 0; i <= m_o.reps; ++i) {
        Run r;
        headlessSave(tree, info, m_o.fuseTarget, Cache::Warm, r, true);
        const double cp = reference("cp", cpCommand, cpDst, expected, info.at("expected_bytes"));
        const double rsync = haveRsync ? reference("rsync", rsyncCommand, rsyncDst, (long long)names.size(), -1) : 0;
        if (i > 0) {
            oursTimes.times.push_back(r.seconds);
            cpTimes.times.push_back(cp);
            rsyncTimes.times.push_back(rsync);
        }
    }
    emptyFolder(m_o.fuseTarget);
    const std::string figure = "save onto " + m_o.fuseKind + ", " + std::to_string(info.at("files")) + " files, "
        + std::to_string(expected) + " copied, warm";
    m_rows.push_back({ figure, seconds(oursTimes), seconds(cpTimes) + " cp", ratioOf(oursTimes.best(), cpTimes.best()),
                       "<= 0.8 x find|xargs cp -p + sync" });
    if (haveRsync)
        m_rows.push_back({ figure + ", vs rsync", seconds(oursTimes), seconds(rsyncTimes) + " rsync",
                           ratioOf(oursTimes.best(), rsyncTimes.best()), "-" });
    else
        m_notes.push_back("rsync is not installed: no rsync figure onto FUSE.");
}

// The one dated folder a save through a window made on the target.
void Bench::checkBackupFolder(const std::string &who, long long ref, const Info &info)
{
    int folders = 0;
    std::error_code ec;
    for (const auto &folder : std::filesystem::directory_iterator(m_o.target, ec))
        if (folder.is_directory() && folder.path().filename() != "lost+found") {
            ++folders;
            checkFolder(who, folder.path(), ref, info.at("expected_saved"), info.at("expected_bytes"));
        }
    check(folders == 1, who + ": " + std::to_string(folders) + " backup folders on " + m_o.target);
}

double epochSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string fileText(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts the program, under strace when `trace` names a log, and waits up
// to a minute for its main window.
bool Bench::startProgram(const std::string &tree, const std::string &trace, Program &p)
{
    std::string dir = std::filesystem::path(tree).parent_path().string() + "/program.XXXXXX";
    if (!::mkdtemp(dir.data())) {
        check(false, "program: cannot make a folder beside " + tree);
        return false;
    }
    p.dir = dir;
    std::error_code ec;
    std::filesystem::copy_file(m_o.program, dir + "/pendrel", ec);
    std::ofstream(dir + "/sichern.txt", std::ios::binary) << m_o.programLabel << "\r\n" << tree << "\r\n";
    if (ec || ::mkdir((dir + "/runtime").c_str(), 0700) != 0) {
        check(false, "program: cannot set up " + dir);
        std::filesystem::remove_all(dir, ec);
        return false;
    }
    std::vector<std::string> args;
    if (!trace.empty())
        args = { "strace", "-f", "--seccomp-bpf", "-ttt", "-T", "-e", "trace=mkdir,mkdirat,syncfs,fsync,exit_group",
                 "-o", trace };
    args.push_back("./pendrel");
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const std::string runtime = dir + "/runtime";
    p.pid = ::fork();
    if (p.pid == 0) {
        const int log = ::open((dir + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::chdir(dir.c_str()) != 0 || log < 0)
            ::_exit(127);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    p.pidfd = int(::syscall(SYS_pidfd_open, p.pid, 0));
    for (int i = 0; i < 3000 && p.pidfd >= 0; ++i) {
        for (const std::string &line : lines(commandOutput("wmctrl -l"))) {
            // id, desktop, host, then the title
            std::istringstream fields(line);
            std::string id, desktop, host, title;
            fields >> id >> desktop >> host >> std::ws;
            std::getline(fields, title);
            if (title == "Pendrel") {
                p.window = id;
                return true;
            }
        }
        pollfd ended { p.pidfd, POLLIN, 0 };
        if (::poll(&ended, 1, 20) != 0)
            break;
    }
    check(false, "program: its window did not appear; its output: " + fileText(dir + "/log"));
    ::kill(p.pid, SIGKILL);
    ::waitpid(p.pid, nullptr, 0);
    if (p.pidfd >= 0)
        ::close(p.pidfd);
    std::filesystem::remove_all(dir, ec);
    return false;
}

// Makes the tree's changed files newer than the program's start, then asks
// the window manager to close the window and waits up to two minutes for
// the process to end.
ProgramEnd Bench::closeProgram(Program &p, const std::string &tree, long long ref, Cache cache)
{
    const Run touched = run({ "/bin/sh", "-c", findChanged(tree, ref, "-print0") + " | xargs -0 -r touch" });
    check(touched.ok, "program: cannot touch the changed files of " + tree);
    ::sync();
    prepare(cache);
    ProgramEnd end;
    end.requestedAt = epochSeconds();
    const auto start = std::chrono::steady_clock::now();
    const Run request = run({ "wmctrl", "-i", "-c", p.window });
    pollfd ended { p.pidfd, POLLIN, 0 };
    const bool done = request.ok && ::poll(&ended, 1, 120000) > 0;
    end.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    end.endedAt = epochSeconds();
    if (!done)
        ::kill(p.pid, SIGKILL);
    int status = 0;
    ::waitpid(p.pid, &status, 0);
    ::close(p.pidfd);
    end.ok = done && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    check(end.ok, "program: " + std::string(done ? "ended with a failure" : "did not end") + "; its output: "
              + fileText(p.dir + "/log"));
    return end;
}

// The real program from the close request until its process has ended,
// against find | xargs cp -p and sync -f on the same tree and stick, runs of
// the two alternating.
void Bench::programFigure(const std::string &tree, const Info &info, Cache cache)
{
    const long long ref = info.at("ref");
    const long long expected = info.at("expected_saved");
    const std::string cpDst = m_o.target + "/cp";
    const bool warm = cache == Cache::Warm;
    Series programTimes, cpTimes;
    // Warm: the first round is a warm-up.
    for (int i = warm ? 0 : 1; i <= m_o.reps; ++i) {
        emptyFolder(m_o.target);
        Program p;
        if (!startProgram(tree, "", p))
            return;
        const ProgramEnd end = closeProgram(p, tree, ref, cache);
        checkBackupFolder("program", ref, info);
        std::error_code ec;
        std::filesystem::remove_all(p.dir, ec);
        if (!end.ok)
            return;
        const ReferenceRun cp = referenceSave(cpSave(tree, ref, cpDst), cpDst, ref, expected,
                                              info.at("expected_bytes"), cache);
        if (i > 0) {
            programTimes.times.push_back(end.seconds);
            cpTimes.times.push_back(cp.total());
        }
    }
    emptyFolder(m_o.target);
    m_rows.push_back({ "close to exit, real program, " + std::to_string(info.at("files")) + " files, "
                           + std::to_string(expected) + " copied, " + nameOf(cache),
                       seconds(programTimes), seconds(cpTimes) + " cp", ratioOf(programTimes.best(), cpTimes.best()),
                       "<= 0.5 x find|xargs cp -p + sync" });
}

// One more warm close under strace, which stops the program only at the
// few calls that mark the phases: the backup folder made (the first copy),
// the stick's flush, the settings' fsyncs, exit_group.
void Bench::programPhases(const std::string &tree, const Info &info)
{
    if (!haveTool("strace"))
        return;
    const std::string trace = m_o.target + "/../program-trace.log";
    emptyFolder(m_o.target);
    Program p;
    if (!startProgram(tree, trace, p))
        return;
    const ProgramEnd end = closeProgram(p, tree, info.at("ref"), Cache::Warm);
    checkBackupFolder("program, traced", info.at("ref"), info);
    std::error_code ec;
    std::filesystem::remove_all(p.dir, ec);
    emptyFolder(m_o.target);

    // "PID TIME call(...) = R <DURATION>", or split into "call(... <unfinished ...>"
    // and "<... call resumed>...": the first mark of each call after the
    // request, the last fsync's end.
    double folder = 0, syncStart = 0, syncEnd = 0, settings = 0, exitGroup = 0;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string pid, call;
        double at = 0;
        fields >> pid >> at >> std::ws;
        std::getline(fields, call);
        if (at < end.requestedAt)
            continue;
        const bool resumed = call.starts_with("<... ");
        const std::string name = resumed ? call.substr(5, call.find(' ', 5) - 5) : call.substr(0, call.find('('));
        const std::size_t lt = call.rfind('<');
        const double took = !resumed && call.find("<unfinished") == std::string::npos && lt != std::string::npos
            ? std::atof(call.c_str() + lt + 1)
            : 0;
        if ((name == "mkdir" || name == "mkdirat") && !resumed && folder == 0)
            folder = at;
        else if (name == "syncfs" && !resumed && syncStart == 0)
            syncStart = at, syncEnd = at + took;
        else if (name == "syncfs" && resumed)
            syncEnd = at;
        else if (name == "fsync" && syncEnd > 0)
            settings = resumed ? at : std::max(settings, at + took);
        else if (name == "exit_group" && exitGroup == 0)
            exitGroup = at;
    }
    ::unlink(trace.c_str());
    // A sichern.txt that already holds the list is not written again.
    if (settings == 0)
        settings = syncEnd;
    if (!end.ok || folder == 0 || syncEnd == 0 || exitGroup == 0) {
        m_notes.push_back("no phases of the real program's close: its trace lacks a mark.");
        return;
    }
    std::string marks;
    for (const double span : { folder - end.requestedAt, syncStart - folder, syncEnd - syncStart, settings - syncEnd,
                               exitGroup - settings, end.endedAt - exitGroup })
        marks += (marks.empty() ? "" : " / ") + number(span, "%.3f");
    m_rows.push_back({ "  phases, close to exit, traced", marks + " s", number(end.seconds, "%.3f") + " s in all",
                       "-", "-" });
    m_notes.push_back("phases of the real program's close, one warm run under strace: request to the first copy"
                      " (close event, stick check, walk to the first changed file) / walk and copies / flush"
                      " (syncfs of the stick) / settings written (two fsyncs; nothing when they are unchanged) /"
                      " window and Qt torn down, to exit_group / process end. strace's filter slows every call of"
                      " the walk and copies, so take their time from the headless phases; the other phases make"
                      " few calls.");
}

void Bench::windowFigure(const std::string &tree, const Info &info)
{
    const long long ref = info.at("ref");
    const long long expected = info.at("expected_saved");
    // Each window run paired with a headless one, both timed by themselves
    // without process start-up.
    Series windowTimes, headlessTimes;
    long long windowPeak = 0;
    for (int i = 0; i <= m_o.reps; ++i) {
        Run headless;
        const double headlessElapsed = headlessSave(tree, info, m_o.target, Cache::Warm, headless).elapsed();
        emptyFolder(m_o.target);
        const Run r = run({ m_o.window, tree, std::to_string(ref), m_o.target });
        const ChildReport report = parseReport(r.output);
        check(r.ok && report.get("saved") == expected && report.get("failures") == 0 && report.get("boxes") == 0,
              "window: " + r.output);
        checkBackupFolder("window", ref, info);
        if (i > 0) { // the first is a warm-up
            windowTimes.times.push_back(report.elapsed());
            headlessTimes.times.push_back(headlessElapsed);
            windowPeak = std::max(windowPeak, report.get("peak_kib"));
        }
    }
    emptyFolder(m_o.target);
    const Run idle = run({ m_o.window, "--idle" });
    m_rows.push_back({ "save through the window", seconds(windowTimes), seconds(headlessTimes) + " headless",
                       ratioOf(windowTimes.best(), headlessTimes.best()), "<= 1.15 x headless" });
    m_rows.push_back({ "peak resident, window save", megabytes(windowPeak),
                       megabytes(parseReport(idle.output).get("peak_kib")) + " idle window", "-", "<= idle + 10 MB" });
}

std::string fileSystemOf(const std::string &path)
{
    return commandOutput("findmnt -no FSTYPE,SOURCE -T " + shellQuoted(path) + " 2>/dev/null || stat -f -c %T "
                         + shellQuoted(path));
}

int Bench::runAll()
{
    m_fd = haveTool("fdfind") ? "fdfind" : haveTool("fd") ? "fd" : "";
    if (m_fd.empty())
        m_notes.push_back("fd is not installed (Debian: fd-find): no fd figures.");
    std::vector<Cache> caches = { Cache::Warm };
    if (m_o.cold) {
        if (std::ofstream("/proc/sys/vm/drop_caches"))
            caches.push_back(Cache::Cold);
        else
            m_notes.push_back("no cold figures: /proc/sys/vm/drop_caches cannot be written (needs root).");
    }
    const Run idle = run({ m_self, "--child", "idle" });
    const std::string idlePeak = megabytes(parseReport(idle.output).get("peak_kib")) + " idle";

    std::vector<std::pair<std::string, TreeResult>> results;
    for (std::size_t i = 0; i < m_o.trees.size(); ++i) {
        const std::string &tree = m_o.trees[i];
        const auto info = readInfo(tree);
        std::fprintf(stderr, "savebench: %s (%lld files)\n", tree.c_str(), info.at("files"));
        TreeResult result;
        result.files = info.at("files");
        result.entries = info.at("entries_walked");
        for (const Cache cache : caches)
            walkFigure(tree, info, cache, result);
        for (const Cache cache : caches)
            syscallFigure(tree, info, i == 0, cache);
        for (const Cache cache : caches)
            saveFigure(tree, info, cache, result);
        m_rows.push_back({ "peak resident, save, " + std::to_string(result.files) + " files", megabytes(result.maxRss),
                           idlePeak, "-", "<= 8 MB" });
        if (i == 0 && !m_o.window.empty())
            windowFigure(tree, info);
        if (i == 0 && !m_o.program.empty() && std::getenv("DISPLAY")) {
            for (const Cache cache : caches)
                programFigure(tree, info, cache);
            programPhases(tree, info);
        }
        results.emplace_back(tree, result);
    }
    if (m_o.window.empty())
        m_notes.push_back("no window figure: the window benchmark was not given (--window).");
    if (!m_o.program.empty() && !std::getenv("DISPLAY"))
        m_notes.push_back("no close-to-exit figure of the real program: no X server ($DISPLAY is not set).");
    if (m_o.program.empty())
        m_notes.push_back("no close-to-exit figure of the real program: it was not given (--program; run.sh gives it"
                          " as root with Xvfb, openbox and wmctrl).");
    if (!m_o.fuseTarget.empty())
        fuseFigure();

    for (std::size_t i = 1; i < results.size(); ++i) {
        const TreeResult &small = results.front().second;
        const TreeResult &large = results[i].second;
        const auto perItem = [](const Series &s, long long n) { return s.best() / double(std::max(1LL, n)); };
        const auto growth = [&](const Series TreeResult::*series, long long TreeResult::*count) {
            return perItem(large.*series, large.*count) / perItem(small.*series, small.*count);
        };
        const auto micros = [&](const Series TreeResult::*series, long long TreeResult::*count) {
            return number(perItem(large.*series, large.*count) * 1e6, "%.2f") + " / "
                + number(perItem(small.*series, small.*count) * 1e6, "%.2f us");
        };
        const std::string sizes = std::to_string(large.files) + " / " + std::to_string(small.files) + " files";
        m_rows.push_back({ "walk time per entry, " + sizes, micros(&TreeResult::walk, &TreeResult::entries),
                           micros(&TreeResult::find, &TreeResult::entries) + " find",
                           number(growth(&TreeResult::walk, &TreeResult::entries), "%.2f") + " vs "
                               + number(growth(&TreeResult::find, &TreeResult::entries), "%.2f"),
                           "ours 0.8 to 1.2" });
        m_rows.push_back({ "save time per file, " + sizes, micros(&TreeResult::save, &TreeResult::files),
                           micros(&TreeResult::cp, &TreeResult::files) + " cp",
                           number(growth(&TreeResult::save, &TreeResult::files), "%.2f") + " vs "
                               + number(growth(&TreeResult::cp, &TreeResult::files), "%.2f"),
                           "ours 0.8 to 1.2" });
    }

    std::printf("machine: %s, %s CPUs; trees on %s; target: %s (%s)\n", commandOutput("uname -srm").c_str(),
                commandOutput("nproc").c_str(), fileSystemOf(m_o.trees.front()).c_str(),
                m_o.targetKind.c_str(), fileSystemOf(m_o.target).c_str());
    std::printf("%d timed runs each; warm: after one warm-up; cold: sync and caches dropped before every timed run;"
                " times: best (median)\n",
                m_o.reps);
    if (!m_o.fuseTarget.empty())
        std::printf("FUSE stick: %s\n", fileSystemOf(m_o.fuseTarget).c_str());
    std::printf("\n");
    std::vector<Row> table = m_rows;
    table.insert(table.begin(), { "figure", "ours", "reference", "ratio", "target" });
    std::size_t width[5] = {};
    for (const Row &r : table) {
        const std::string *cells[5] = { &r.figure, &r.ours, &r.reference, &r.ratio, &r.target };
        for (int c = 0; c < 5; ++c)
            width[c] = std::max(width[c], cells[c]->size());
    }
    for (const Row &r : table)
        std::printf("%-*s  %-*s  %-*s  %-*s  %s\n", int(width[0]), r.figure.c_str(), int(width[1]), r.ours.c_str(),
                    int(width[2]), r.reference.c_str(), int(width[3]), r.ratio.c_str(), r.target.c_str());
    if (!m_notes.empty())
        std::printf("\n");
    for (const std::string &note : m_notes)
        std::printf("note: %s\n", note.c_str());
    std::printf("\nresults %s\n", m_wrong ? "WRONG (see above)" : "checked: every run found and copied the right files");
    return m_wrong ? 1 : 0;
}

std::string absolutePath(const std::string &path)
{
    std::string p = std::filesystem::absolute(path).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: savebench --tree DIR [--tree DIR ...] --target DIR [--target-kind TEXT]"
                         " [--reps N] [--window PATH] [--cold]\n"
                         "                 [--program PATH --program-label LABEL]\n"
                         "                 [--fuse-tree DIR --fuse-target DIR --fuse-kind TEXT]\n");
    std::exit(2);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "--child")
        return runChild(argc, argv);

    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--cold") {
            o.cold = true;
            continue;
        }
        if (i + 1 >= argc)
            usage();
        const std::string value = argv[++i];
        if (a == "--tree")
            o.trees.push_back(absolutePath(value));
        else if (a == "--target")
            o.target = absolutePath(value);
        else if (a == "--target-kind")
            o.targetKind = value;
        else if (a == "--reps")
            o.reps = std::max(1, std::atoi(value.c_str()));
        else if (a == "--window")
            o.window = value;
        else if (a == "--program")
            o.program = absolutePath(value);
        else if (a == "--program-label")
            o.programLabel = value;
        else if (a == "--fuse-tree")
            o.fuseTree = absolutePath(value);
        else if (a == "--fuse-target")
            o.fuseTarget = absolutePath(value);
        else if (a == "--fuse-kind")
            o.fuseKind = value;
        else
            usage();
    }
    if (o.trees.empty() || o.target.empty() || o.fuseTree.empty() != o.fuseTarget.empty())
        usage();
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        usage();
    self[n] = '\0';
    return Bench(o, self).runAll();
}
