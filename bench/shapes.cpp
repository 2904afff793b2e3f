// Trees of awkward shapes, walked with one thread and with helpers listing
// ahead: a comb (a chain of directories, each with one short tooth beside the
// next link) and one directory holding a great many empty ones. Prints min
// and median of each and the ratio of the helpers' median to one thread's;
// then the CPU time of the walk's own thread, which sets the pace when a core
// is free for the helpers, and its ratio.
//
//   shapes [--reps N] [--data DIR] [--wide N] [--threads N] [--tree DIR]...
//
// --tree adds a tree of its own (one made by maketree, say) to the shapes.
#include "directorybackup.h"
#include "filesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace pendrel;

namespace {

class NoProgress final : public Progress
{
    void checking(const std::string &) override { }
    void saving(const std::string &) override { }
    void keepResponsive() override { }
};

bool makeAt(int dirFd, const char *name)
{
    return ::mkdirat(dirFd, name, 0755) == 0 || errno == EEXIST;
}

// depth levels of "n", each beside a tooth "t" holding one file.
bool makeComb(const std::string &root, int depth)
{
    if (!makeAt(AT_FDCWD, root.c_str()))
        return false;
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; fd >= 0 && level < depth; ++level) {
        const int file = makeAt(fd, "t") ? ::openat(fd, "t/file", O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : -1;
        if (file < 0 || ::close(file) != 0 || !makeAt(fd, "n"))
            break;
        const int next = ::openat(fd, "n", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = level + 1 < depth ? next : (::close(next), -2);
    }
    if (fd >= 0)
        ::close(fd);
    return fd == -2;
}

bool makeWide(const std::string &root, int count)
{
    if (!makeAt(AT_FDCWD, root.c_str()))
        return false;
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool made = fd >= 0;
    for (int i = 0; made && i < count; ++i)
        made = makeAt(fd, ("d" + std::to_string(i)).c_str());
    if (fd >= 0)
        ::close(fd);
    return made;
}

struct Timing
{
    double wall = 0;
    double walkCpu = 0; // CPU time of the walk's own thread
};

double threadCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

Timing timeWalk(const std::string &tree, const std::string &target, unsigned threads)
{
    PosixFileSystem fs;
    NoProgress progress;
    RunState state{std::chrono::system_clock::now(), "bench", false};
    DirectoryBackup backup(fs, progress, state, target, target + "/sichern.txt");
    backup.setThreads(threads);
    const double cpu = threadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    backup.VzSichern(tree);
    backup.finish();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), threadCpuSeconds() - cpu};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    int reps = 3;
    int wide = 200000;
    unsigned threads = 4;
    std::vector<std::string> trees;
    std::string data = "/var/tmp/pendrel-bench";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--reps" && i + 1 < argc)
            reps = std::max(1, std::atoi(argv[++i]));
        else if (a == "--wide" && i + 1 < argc)
            wide = std::max(1, std::atoi(argv[++i]));
        else if (a == "--threads" && i + 1 < argc)
            threads = unsigned(std::max(2, std::atoi(argv[++i])));
        else if (a == "--tree" && i + 1 < argc)
            trees.emplace_back(argv[++i]);
        else if (a == "--data" && i + 1 < argc)
            data = argv[++i];
        else {
            std::fprintf(stderr, "usage: shapes [--reps N] [--data DIR] [--wide N] [--threads N] [--tree DIR]...\n");
            return 2;
        }
    }
    const std::string base = data + "/shapes";
    const std::string target = base + "/target";
    if (!makeAt(AT_FDCWD, data.c_str()) || !makeAt(AT_FDCWD, base.c_str()) || !makeAt(AT_FDCWD, target.c_str())) {
        std::perror(base.c_str());
        return 1;
    }
    struct Shape
    {
        std::string name;
        bool made;
    };
    std::vector<Shape> shapes = {
        {base + "/comb-2000", makeComb(base + "/comb-2000", 2000)},
        {base + "/comb-4000", makeComb(base + "/comb-4000", 4000)},
        {base + "/wide-" + std::to_string(wide), makeWide(base + "/wide-" + std::to_string(wide), wide)},
    };
    for (const std::string &tree : trees)
        shapes.push_back({tree, ::access(tree.c_str(), R_OK) == 0});
    std::printf("%-14s %22s %19s %u min/median %8s %23s %7s\n", "tree, warm", "1 thread min/median", "threads:",
                threads, "ratio", "walk thread CPU, 1 / N", "ratio");
    int status = 0;
    for (const Shape &shape : shapes) {
        if (!shape.made) {
            std::fprintf(stderr, "could not make %s\n", shape.name.c_str());
            status = 1;
            continue;
        }
        const std::string &tree = shape.name;
        timeWalk(tree, target, 1); // warms the caches
        std::vector<double> one, many, oneCpu, manyCpu;
        for (int rep = 0; rep < reps; ++rep) {
            const Timing alone = timeWalk(tree, target, 1);
            const Timing helped = timeWalk(tree, target, threads);
            one.push_back(alone.wall);
            oneCpu.push_back(alone.walkCpu);
            many.push_back(helped.wall);
            manyCpu.push_back(helped.walkCpu);
        }
        const std::string name = tree.substr(tree.rfind('/') + 1);
        std::printf("%-14s %10.3f s %8.3f s %10.3f s %8.3f s %7.2fx %9.3f s %9.3f s %6.2fx\n", name.c_str(),
                    *std::min_element(one.begin(), one.end()), median(one),
                    *std::min_element(many.begin(), many.end()), median(many), median(many) / median(one),
                    median(oneCpu), median(manyCpu), median(manyCpu) / median(oneCpu));
    }
    return status;
}
