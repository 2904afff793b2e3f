// maketree: writes a deterministic tree of files for the save benchmark.
//
//   maketree [--files N] [--seed S] [--changed PERCENT] [--ref EPOCH] DIR
//
// N files (default 200000) in about N/10 directories, leaves at depth 4 to 6;
// sizes 0 to 8 KiB plus a few files of 2 to 6 MiB; about 2% hidden entries;
// PERCENT (default 1) of the files modified after the reference instant EPOCH,
// the others before it. DIR must not exist. The expected results are written
// to DIR.info as "key value" lines (see writeInfo).

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// splitmix64: the same tree from the same seed on every platform and library.
class Random
{
public:
    explicit Random(std::uint64_t seed) : m_state(seed) { }
    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
    bool chance(double p) { return double(next() >> 11) * 0x1.0p-53 < p; }

private:
    std::uint64_t m_state;
};

struct Options
{
    long files = 200000;
    std::uint64_t seed = 1;
    double changedPercent = 1.0;
    long long ref = 1704067200; // 2024-01-01 00:00:00 UTC
    std::string dir;
};

struct Directory
{
    int parent; // -1 for the root
    int depth;
    bool hidden;
    bool visible; // neither it nor an ancestor is hidden
    std::string path; // relative to the root, "." for the root
    unsigned commonNamesUsed = 0;
};

struct File
{
    int dir;
    std::string name;
    std::size_t size;
    struct timespec mtime;
    bool hidden;
};

// Names many trees share, so that flat copies clash as they do in real homes.
const char *const commonNames[] = {
    "README.md", "Makefile", "notes.txt", "index.html", "main.c", "brief.doc",
    "archive.tar.gz", "config", "list.txt", "report.pdf",
};
const char *const extensions[] = { ".txt", ".doc", ".c", ".h", ".pdf", ".odt", ".png", ".tar.gz", "" };

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "maketree: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: maketree [--files N] [--seed S] [--changed PERCENT] [--ref EPOCH] DIR\n");
    std::exit(2);
}

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--files" && hasValue)
            o.files = std::atol(argv[++i]);
        else if (a == "--seed" && hasValue)
            o.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--changed" && hasValue)
            o.changedPercent = std::atof(argv[++i]);
        else if (a == "--ref" && hasValue)
            o.ref = std::atoll(argv[++i]);
        else if (!a.empty() && a[0] != '-' && o.dir.empty())
            o.dir = a;
        else
            usage();
    }
    if (o.dir.empty() || o.files < 1 || o.changedPercent < 0 || o.changedPercent > 100)
        usage();
    return o;
}

std::vector<Directory> planDirectories(long count, Random &rnd)
{
    std::vector<Directory> dirs;
    dirs.push_back({ -1, 0, false, true, ".", 0 });
    // Three full levels whose fan-out makes them about a fifth of all
    // directories; the rest hang at random below them, at depth 4 to 6.
    int fanout = 1;
    while (fanout + fanout * fanout + fanout * fanout * fanout < count / 5)
        ++fanout;
    for (int depth = 1; depth <= 3; ++depth) {
        const std::size_t end = dirs.size();
        for (std::size_t p = 0; p < end; ++p) {
            if (dirs[p].depth != depth - 1)
                continue;
            for (int k = 0; k < fanout && long(dirs.size()) <= count; ++k)
                dirs.push_back({ int(p), depth, false, true, {}, 0 });
        }
    }
    std::vector<int> parents;
    for (std::size_t i = 0; i < dirs.size(); ++i)
        if (dirs[i].depth == 3)
            parents.push_back(int(i));
    if (parents.empty())
        parents.push_back(int(dirs.size() - 1));
    while (long(dirs.size()) <= count) {
        const int p = parents[rnd.below(parents.size())];
        const int depth = dirs[p].depth + 1;
        // Hidden directories only deep down: a few hidden subtrees, as in
        // real homes (.git, .cache), without hiding a large part of the tree.
        const bool hidden = depth >= 4 && rnd.chance(0.02);
        dirs.push_back({ p, depth, hidden, true, {}, 0 });
        if (depth < 6)
            parents.push_back(int(dirs.size() - 1));
    }
    for (std::size_t i = 1; i < dirs.size(); ++i) {
        Directory &d = dirs[i];
        const Directory &parent = dirs[d.parent];
        d.visible = parent.visible && !d.hidden;
        const std::string name = (d.hidden ? ".d" : "d") + std::to_string(i);
        d.path = parent.parent < 0 ? name : parent.path + "/" + name;
    }
    return dirs;
}

std::vector<File> planFiles(const Options &o, std::vector<Directory> &dirs, Random &rnd)
{
    const long largeCount = std::max(2L, o.files / 40000);
    const long largeStep = std::max(1L, o.files / largeCount);
    const double changedShare = o.changedPercent / 100.0;
    std::vector<File> files;
    files.reserve(std::size_t(o.files));
    for (long i = 0; i < o.files; ++i) {
        File f;
        f.dir = int(rnd.below(dirs.size()));
        f.hidden = rnd.chance(0.02);
        const bool large = i % largeStep == largeStep / 2;
        f.size = large ? std::size_t(2 + rnd.below(5)) << 20 : std::size_t(rnd.below(8193));
        Directory &d = dirs[f.dir];
        const unsigned common = unsigned(rnd.below(std::size(commonNames)));
        if (rnd.chance(0.03) && !(d.commonNamesUsed & (1u << common))) {
            d.commonNamesUsed |= 1u << common;
            f.name = commonNames[common];
        } else {
            f.name = "f" + std::to_string(i) + extensions[rnd.below(std::size(extensions))];
        }
        if (f.hidden)
            f.name = "." + f.name;
        // Half of the large files are changed, so that every run copies some.
        const bool changed = large ? (i / largeStep) % 2 == 0 : rnd.chance(changedShare);
        const long long nanos = (long long)rnd.below(1000000000);
        if (changed) {
            // Some within the reference second itself: saved, being later.
            const long long offset = rnd.chance(0.05) ? 0 : 1 + (long long)rnd.below(8 * 3600);
            f.mtime = { time_t(o.ref + offset), long(offset == 0 ? std::max(1LL, nanos) : nanos) };
        } else if (rnd.chance(0.001)) {
            f.mtime = { time_t(o.ref), 0 }; // exactly the reference: not saved
        } else {
            f.mtime = { time_t(o.ref - 1 - (long long)rnd.below(30 * 86400)), long(nanos) };
        }
        files.push_back(std::move(f));
    }
    return files;
}

void writeFiles(const Options &o, const std::vector<Directory> &dirs, std::vector<File> &files, Random &rnd)
{
    if (::mkdir(o.dir.c_str(), 0755) != 0)
        fail("cannot create " + o.dir);
    const int root = ::open(o.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        fail("cannot open " + o.dir);
    for (std::size_t i = 1; i < dirs.size(); ++i)
        if (::mkdirat(root, dirs[i].path.c_str(), 0755) != 0)
            fail("cannot create " + dirs[i].path);

    std::vector<char> content(std::size_t(7) << 20);
    for (auto &c : content)
        c = char(rnd.next());

    std::stable_sort(files.begin(), files.end(), [](const File &a, const File &b) { return a.dir < b.dir; });
    int dirFd = -1;
    int openDir = -1;
    for (const File &f : files) {
        if (f.dir != openDir) {
            if (dirFd >= 0 && dirFd != root)
                ::close(dirFd);
            dirFd = f.dir == 0 ? root : ::openat(root, dirs[f.dir].path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dirFd < 0)
                fail("cannot open " + dirs[f.dir].path);
            openDir = f.dir;
        }
        const int fd = ::openat(dirFd, f.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            fail("cannot create " + dirs[f.dir].path + "/" + f.name);
        const std::size_t offset = std::size_t(rnd.below(content.size() - f.size + 1));
        for (std::size_t done = 0; done < f.size;) {
            const ssize_t n = ::write(fd, content.data() + offset + done, f.size - done);
            if (n <= 0)
                fail("cannot write " + f.name);
            done += std::size_t(n);
        }
        if (::close(fd) != 0)
            fail("cannot write " + f.name);
        // Access time now, after the modification time: reading the tree
        // later does not make relatime write inodes during the benchmark.
        const struct timespec times[2] = { { 0, UTIME_NOW }, f.mtime };
        if (::utimensat(dirFd, f.name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            fail("cannot set the time of " + f.name);
    }
    if (dirFd >= 0 && dirFd != root)
        ::close(dirFd);
    ::close(root);
}

// DIR.info: what a correct walk of DIR (skipping hidden names, not entering
// hidden directories) finds, for the benchmark to check its results against.
void writeInfo(const Options &o, const std::vector<Directory> &dirs, const std::vector<File> &files)
{
    long long changed = 0, changedBytes = 0, visibleFiles = 0, visibleDirs = 0, entries = 0, hidden = 0;
    for (std::size_t i = 1; i < dirs.size(); ++i) {
        hidden += dirs[i].hidden;
        visibleDirs += dirs[i].visible;
        entries += dirs[dirs[i].parent].visible;
    }
    for (const File &f : files) {
        hidden += f.hidden;
        if (!dirs[f.dir].visible)
            continue;
        ++entries;
        if (f.hidden)
            continue;
        ++visibleFiles;
        if (f.mtime.tv_sec > o.ref || (f.mtime.tv_sec == o.ref && f.mtime.tv_nsec > 0)) {
            ++changed;
            changedBytes += (long long)f.size;
        }
    }
    const std::string path = o.dir + ".info";
    FILE *out = std::fopen(path.c_str(), "w");
    if (!out)
        fail("cannot write " + path);
    std::fprintf(out,
                 "files %ld\nseed %llu\nchanged_percent %g\nref %lld\ndirectories %zu\nhidden %lld\n"
                 "visible_files %lld\nvisible_directories %lld\nentries_walked %lld\n"
                 "expected_saved %lld\nexpected_bytes %lld\n",
                 o.files, (unsigned long long)o.seed, o.changedPercent, o.ref, dirs.size() - 1, hidden,
                 visibleFiles, visibleDirs, entries, changed, changedBytes);
    if (std::fclose(out) != 0)
        fail("cannot write " + path);
}

} // namespace

int main(int argc, char **argv)
{
    const Options o = parse(argc, argv);
    Random rnd(o.seed);
    std::vector<Directory> dirs = planDirectories(std::max(1L, o.files / 10), rnd);
    std::vector<File> files = planFiles(o, dirs, rnd);
    writeFiles(o, dirs, files, rnd);
    writeInfo(o, dirs, files);
    return 0;
}
