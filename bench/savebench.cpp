// savebench: times the save on trees made by maketree against find, cp and
// rsync, checks that every run found and copied the right files, and prints
// one table. See README.md in this folder.
//
//   savebench --tree DIR [--tree DIR ...] --target DIR [--target-kind TEXT]
//             [--reps N] [--window PATH]
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
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
    int openForReading(int, const char *) override { return fakeFd; }
    int createExclusive(int, const char *) override { return fakeFd; }
    int makeDirectory(int, const char *) override { return 0; }
    long copyRange(int, int, std::size_t) override { return 0; }
    long read(int, void *, std::size_t) override { return 0; }
    long write(int, const void *, std::size_t size) override { return long(size); }
    int setTimes(int, const struct timespec[2]) override { return 0; }
    int renameNoReplace(int, const char *, int, const char *) override { return 0; }
    int rename(int, const char *, int, const char *) override { return 0; }
    int unlinkAt(int, const char *) override { return 0; }
    int syncFileSystem(int) override { return 0; }
    int close(int fd) override { return fd == fakeFd ? 0 : m_real.close(fd); }

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
// Prints "saved N failures M elapsed S peak_kib P", then with --list the
// saved paths.
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
    PosixFileSystem real;
    FileSystem &fs = walk ? static_cast<FileSystem &>(walkOnly) : real;

    const auto start = std::chrono::steady_clock::now();
    DirectoryBackup backup(fs, progress, state, target, "/nonexistent-settings/sichern.txt");
    backup.VzSichern(tree);
    backup.finish();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    std::printf("saved %zu failures %zu elapsed %.6f peak_kib %ld\n", backup.savedCount(), backup.failures().size(),
                elapsed.count(), peakResidentKiB());
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
// after the reference (mtime lost).
struct FolderContents
{
    long long files = 0;
    long long bytes = 0;
    long long hidden = 0;
    long long oldMtimes = 0;
};

FolderContents contentsOf(const std::string &folder, long long ref)
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
        if (st.st_mtim.tv_sec < ref || (st.st_mtim.tv_sec == ref && st.st_mtim.tv_nsec == 0))
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
    int reps = 3;
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

    std::map<std::string, long long> readInfo(const std::string &tree);
    void walkFigure(const std::string &tree, const std::map<std::string, long long> &info, TreeResult &result);
    void syscallFigure(const std::string &tree, const std::map<std::string, long long> &info, bool withFind);
    void saveFigure(const std::string &tree, const std::map<std::string, long long> &info, TreeResult &result);
    void windowFigure(const std::string &tree, const std::map<std::string, long long> &info);
    void check(bool ok, const std::string &what);
    void checkFolder(const std::string &who, const std::string &dir, long long ref, long long files, long long bytes);
    ChildReport headlessSave(const std::string &tree, const std::map<std::string, long long> &info, Run &r);

    Options m_o;
    std::string m_self;
    std::vector<Row> m_rows;
    std::vector<std::string> m_notes;
    long long m_distinctNames = 0; // rsync keeps one file per name
    int m_wrong = 0;
};

void Bench::check(bool ok, const std::string &what)
{
    if (ok)
        return;
    ++m_wrong;
    std::fprintf(stderr, "WRONG: %s\n", what.c_str());
}

std::map<std::string, long long> Bench::readInfo(const std::string &tree)
{
    std::map<std::string, long long> info;
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

void Bench::walkFigure(const std::string &tree, const std::map<std::string, long long> &info, TreeResult &result)
{
    const std::string ref = std::to_string(info.at("ref"));
    const long long expected = info.at("expected_saved");
    const std::string findCommand = findChanged(tree, info.at("ref"), "-print");

    // Warm-up runs, also checking that both walks find the very same files.
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
    std::set<std::string> names;
    for (const std::string &p : theirs)
        names.insert(p.substr(p.rfind('/') + 1));
    m_distinctNames = (long long)names.size();

    Series oursTimes, findTimes;
    for (int i = 0; i < m_o.reps; ++i) {
        const Run o = run({ m_self, "--child", "walk", tree, ref });
        const ChildReport report = parseReport(o.output);
        check(o.ok && report.get("saved") == expected && report.get("failures") == 0, "walk: ours counted "
                  + std::to_string(report.get("saved")) + " with " + std::to_string(report.get("failures")) + " failures");
        oursTimes.times.push_back(o.seconds);
        const Run f = run({ "/bin/sh", "-c", findCommand });
        check(f.ok && (long long)lines(f.output).size() == expected, "walk: find counted "
                  + std::to_string(lines(f.output).size()));
        findTimes.times.push_back(f.seconds);
    }
    const long long files = info.at("files");
    m_rows.push_back({ "walk, " + std::to_string(files) + " files", seconds(oursTimes), seconds(findTimes),
                       ratioOf(oursTimes.best(), findTimes.best()), "<= 0.75 x find -newermt" });
    result.walk = oursTimes;
    result.find = findTimes;
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
void Bench::syscallFigure(const std::string &tree, const std::map<std::string, long long> &info, bool withFind)
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
    const auto ours = difference(syscallCounts({ m_self, "--child", "walk", tree, ref }),
                                 syscallCounts({ m_self, "--child", "walk", empty, ref }));
    const auto find = withFind ? difference(syscallCounts(findArgs(tree)), syscallCounts(findArgs(empty)))
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
    m_rows.push_back({ "system calls per entry, walk", number(oursPerEntry, "%.3f"),
                       withFind ? number(findPerEntry, "%.3f") + " (find)" : "-",
                       withFind ? ratioOf(oursPerEntry, findPerEntry) : "-", "<= 1.3 per entry" });
    std::string breakdown = "walk of " + std::to_string(info.at("entries_walked")) + " entries, calls per entry:";
    for (const auto &[name, calls] : ours)
        if (name != "total" && double(calls) / entries >= 0.0005)
            breakdown += " " + name + " " + number(double(calls) / entries, "%.3f");
    m_notes.push_back(breakdown);
}

void Bench::checkFolder(const std::string &who, const std::string &dir, long long ref, long long files,
                        long long bytes)
{
    const FolderContents c = contentsOf(dir, ref);
    check(c.files == files, who + ": " + std::to_string(c.files) + " files in " + dir + ", " + std::to_string(files)
              + " expected");
    check(bytes < 0 || c.bytes == bytes, who + ": " + std::to_string(c.bytes) + " bytes copied, "
              + std::to_string(bytes) + " expected");
    check(c.hidden == 0, who + ": " + std::to_string(c.hidden) + " hidden (temporary) files left");
    check(c.oldMtimes == 0, who + ": " + std::to_string(c.oldMtimes) + " copies lost their mtime");
}

// One headless save into an emptied target, checked.
ChildReport Bench::headlessSave(const std::string &tree, const std::map<std::string, long long> &info, Run &r)
{
    const long long expected = info.at("expected_saved");
    emptyFolder(m_o.target);
    r = run({ m_self, "--child", "save", tree, std::to_string(info.at("ref")), m_o.target, "bench" });
    const ChildReport report = parseReport(r.output);
    check(r.ok && report.get("saved") == expected && report.get("failures") == 0, "save: ours saved "
              + std::to_string(report.get("saved")) + " with " + std::to_string(report.get("failures")) + " failures");
    checkFolder("save: ours", m_o.target + "/bench", info.at("ref"), expected, info.at("expected_bytes"));
    return report;
}

void Bench::saveFigure(const std::string &tree, const std::map<std::string, long long> &info, TreeResult &result)
{
    const long long ref = info.at("ref");
    const long long expected = info.at("expected_saved");
    const long long expectedBytes = info.at("expected_bytes");
    const std::string cpDst = m_o.target + "/cp";
    const std::string rsyncDst = m_o.target + "/rsync";
    const bool haveRsync = haveTool("rsync");
    const std::string cpCommand = findChanged(tree, ref, "-print0") + " | xargs -0 -r cp -p --backup=numbered -t "
        + shellQuoted(cpDst) + " && sync -f " + shellQuoted(cpDst);
    const std::string rsyncCommand = "cd " + shellQuoted(tree) + " && " + findChanged(".", ref, "-print0")
        + " | rsync -a -0 --files-from=- --no-relative . " + shellQuoted(rsyncDst + "/") + " && sync -f "
        + shellQuoted(rsyncDst);

    const auto ours = [&]() {
        Run r;
        const ChildReport report = headlessSave(tree, info, r);
        result.maxRss = std::max(result.maxRss, report.get("peak_kib"));
        return r.seconds;
    };
    const auto reference = [&](const std::string &command, const std::string &dst, long long files, long long bytes) {
        emptyFolder(m_o.target);
        std::filesystem::create_directory(dst);
        const Run r = run({ "/bin/sh", "-c", command });
        check(r.ok, "save: " + command + " failed");
        checkFolder("save: " + dst, dst, ref, files, bytes);
        return r.seconds;
    };

    // Warm-up: one run of each, untimed.
    ours();
    result.maxRss = 0;
    reference(cpCommand, cpDst, expected, expectedBytes);
    // rsync keeps one file of each name where names clash: fewer files, any bytes.
    if (haveRsync)
        reference(rsyncCommand, rsyncDst, m_distinctNames, -1);

    Series oursTimes, cpTimes, rsyncTimes;
    for (int i = 0; i < m_o.reps; ++i) {
        oursTimes.times.push_back(ours());
        cpTimes.times.push_back(reference(cpCommand, cpDst, expected, expectedBytes));
        if (haveRsync)
            rsyncTimes.times.push_back(reference(rsyncCommand, rsyncDst, m_distinctNames, -1));
    }
    emptyFolder(m_o.target);

    const std::string files = std::to_string(info.at("files"));
    m_rows.push_back({ "save, " + files + " files, " + std::to_string(expected) + " copied", seconds(oursTimes),
                       seconds(cpTimes) + " cp", ratioOf(oursTimes.best(), cpTimes.best()),
                       "<= 0.6 x find|xargs cp -p + sync" });
    if (haveRsync)
        m_rows.push_back({ "save, " + files + " files, vs rsync", seconds(oursTimes), seconds(rsyncTimes) + " rsync",
                           ratioOf(oursTimes.best(), rsyncTimes.best()), "-" });
    else
        m_notes.push_back("rsync is not installed: no rsync figure.");

    const Run idle = run({ m_self, "--child", "idle" });
    m_rows.push_back({ "peak resident, save, " + files + " files", megabytes(result.maxRss),
                       megabytes(parseReport(idle.output).get("peak_kib")) + " idle", "-", "<= 8 MB" });
    result.save = oursTimes;
    result.cp = cpTimes;
}

void Bench::windowFigure(const std::string &tree, const std::map<std::string, long long> &info)
{
    const long long ref = info.at("ref");
    const long long expected = info.at("expected_saved");
    // Each window run paired with a headless one, both timed by themselves
    // without process start-up.
    Series windowTimes, headlessTimes;
    long long windowPeak = 0;
    for (int i = 0; i <= m_o.reps; ++i) {
        Run headless;
        const double headlessElapsed = headlessSave(tree, info, headless).elapsed();
        emptyFolder(m_o.target);
        const Run r = run({ m_o.window, tree, std::to_string(ref), m_o.target });
        const ChildReport report = parseReport(r.output);
        check(r.ok && report.get("saved") == expected && report.get("failures") == 0 && report.get("boxes") == 0,
              "window: " + r.output);
        std::error_code ec;
        for (const auto &folder : std::filesystem::directory_iterator(m_o.target, ec))
            if (folder.is_directory() && folder.path().filename() != "lost+found") {
                const FolderContents c = contentsOf(folder.path(), ref);
                check(c.files == expected && c.bytes == info.at("expected_bytes") && c.hidden == 0,
                      "window: " + std::to_string(c.files) + " files, " + std::to_string(c.bytes) + " bytes in "
                          + folder.path().string());
            }
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

std::string commandOutput(const std::string &command)
{
    const Run r = run({ "/bin/sh", "-c", command });
    std::string out = r.output;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

std::string fileSystemOf(const std::string &path)
{
    return commandOutput("findmnt -no FSTYPE,SOURCE -T " + shellQuoted(path) + " 2>/dev/null || stat -f -c %T "
                         + shellQuoted(path));
}

int Bench::runAll()
{
    std::vector<std::pair<std::string, TreeResult>> results;
    for (std::size_t i = 0; i < m_o.trees.size(); ++i) {
        const std::string &tree = m_o.trees[i];
        const auto info = readInfo(tree);
        std::fprintf(stderr, "savebench: %s (%lld files)\n", tree.c_str(), info.at("files"));
        TreeResult result;
        result.files = info.at("files");
        result.entries = info.at("entries_walked");
        walkFigure(tree, info, result);
        syscallFigure(tree, info, i == 0);
        saveFigure(tree, info, result);
        if (i == 0 && !m_o.window.empty())
            windowFigure(tree, info);
        results.emplace_back(tree, result);
    }
    if (m_o.window.empty())
        m_notes.push_back("no window figure: the window benchmark was not given (--window).");

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
    std::printf("warm cache, %d timed runs each after one warm-up; times: best (median)\n\n", m_o.reps);
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
                         " [--reps N] [--window PATH]\n");
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
        else
            usage();
    }
    if (o.trees.empty() || o.target.empty())
        usage();
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        usage();
    self[n] = '\0';
    return Bench(o, self).runAll();
}
