#include "directorybackup.h"
#include "faultyfilesystem.h"
#include "recordingprogress.h"
#include "testtree.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/un.h>

#include <climits>
#include <cstring>
#include <memory>

using namespace pendrel;
using namespace pendrel::test;

Q_DECLARE_METATYPE(std::vector<pendrel::test::Fault>)

namespace {

const timespec Start{1'700'000'000, 500'000'000};
const std::string FolderName = "05-29-98_17-30-02";
const std::string Checking = "I'm checking ";
const std::string Saving = "I\xC2\xB4m saving ";
const std::string ToA = " to A:\\";

// Where trees of thousands of entries are built: creating files on a disk
// costs far more than the walk under test, so memory is used when there is room.
QString scratchBase()
{
    struct statvfs fs;
    if (::statvfs("/dev/shm", &fs) == 0 && ::access("/dev/shm", W_OK) == 0
        && fs.f_bavail * fs.f_frsize >= 64ull * 1024 * 1024)
        return QStringLiteral("/dev/shm");
    return QDir::tempPath();
}

// A source tree, a target volume directory and one backup run over them.
struct Fixture
{
    explicit Fixture(bool manyEntries = false)
        : dir((manyEntries ? scratchBase() : QDir::tempPath()) + "/tst_directorybackup-XXXXXX")
    {
    }
    ~Fixture() { removeTree(dir.path().toStdString()); }

    QTemporaryDir dir;
    std::string source;
    std::string target;
    std::string settings;
    RunState state{timePointOf(Start), FolderName, false};
    FaultyFileSystem fs;
    RecordingProgress progress;
    std::unique_ptr<DirectoryBackup> backup;

    bool setUp()
    {
        const std::string root = dir.path().toStdString();
        source = root + "/src";
        target = root + "/stick";
        settings = root + "/app/sichern.txt";
        return makeDirectories(source) && makeDirectories(target) && makeDirectories(root + "/app");
    }

    DirectoryBackup &engine()
    {
        if (!backup)
            backup = std::make_unique<DirectoryBackup>(fs, progress, state, target, settings);
        return *backup;
    }

    std::string folder() const { return target + "/" + FolderName; }

    // A file below the source, changed after the start unless `changed` is false.
    bool file(const std::string &relative, std::string_view content, bool changed = true)
    {
        const std::string path = source + "/" + relative;
        if (!writeFile(path, content)
            && !(makeDirectories(path.substr(0, path.rfind('/'))) && writeFile(path, content)))
            return false;
        return setMtime(path, shifted(Start, changed ? 60 : -60));
    }

    // Names in the backup folder, temporary files included.
    std::vector<std::string> saved() const { return sortedNames(folder()); }
};

QStringList toStrings(const std::vector<std::string> &values)
{
    QStringList list;
    for (const std::string &value : values)
        list << QString::fromStdString(value);
    return list;
}

// "relative path|errno" for each failure, sorted; paths under the source lose
// the source prefix, the backup folder is written "<folder>".
QStringList failureList(Fixture &f)
{
    QStringList list;
    for (const SaveFailure &failure : f.engine().failures()) {
        std::string path = failure.path;
        if (path == f.folder())
            path = "<folder>";
        else if (path.rfind(f.source + "/", 0) == 0)
            path = path.substr(f.source.size() + 1);
        list << QString::fromStdString(path) + "|" + QString::number(failure.error);
        if (failure.reason != std::strerror(failure.error))
            list << "bad reason: " + QString::fromStdString(failure.reason);
    }
    list.sort();
    return list;
}

QString failed(const char *path, int error)
{
    return QString::fromLatin1(path) + "|" + QString::number(error);
}

bool hasTemporary(const std::vector<std::string> &names)
{
    for (const std::string &name : names)
        if (name.rfind(".pendrel-", 0) == 0)
            return true;
    return false;
}

std::string pattern(std::size_t size, char seed)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = char((i * 131 + std::size_t(seed)) % 251);
    return data;
}

// A chain src/l/l/... with one file per level, so the copy order is fixed.
std::string chained(int level, const std::string &name)
{
    std::string path;
    for (int i = 0; i < level; ++i)
        path += "l/";
    return path + name;
}

} // namespace

class tst_DirectoryBackup : public QObject
{
    Q_OBJECT

private slots:
    void statusAndCopies_data();
    void statusAndCopies();
    void settingsExclusion_data();
    void settingsExclusion();
    void startTime_data();
    void startTime();
    void subdirectoryOrder();
    void entryKinds_data();
    void entryKinds();
    void nameClashes_data();
    void nameClashes();
    void manySameNames();
    void byteNames_data();
    void byteNames();
    void deepTree_data();
    void deepTree();
    void returnBlocked();
    void backupFolderInsideTree();
    void faults_data();
    void faults();
    void volumeFull();
    void longCopyProcessesEvents_data();
    void longCopyProcessesEvents();
    void systemCalls_data();
    void systemCalls();
};

void tst_DirectoryBackup::statusAndCopies_data()
{
    QTest::addColumn<bool>("trailingSlash");
    QTest::newRow("plain") << false;
    QTest::newRow("trailing slash") << true;
}

void tst_DirectoryBackup::statusAndCopies()
{
    QFETCH(bool, trailingSlash);
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    QVERIFY(f.file("a.txt", "A"));
    QVERIFY(f.file("old.txt", "old", false));
    QVERIFY(f.file("one/b.txt", "B"));
    QVERIFY(f.file("one/inner/c.txt", "C"));
    QVERIFY(f.file("two/d.txt", "D"));
    QVERIFY(f.file("two/old.txt", "old", false));

    const std::string pfad = trailingSlash ? f.source + "/" : f.source;
    f.engine().VzSichern(pfad);
    f.engine().finish();

    const std::string s = f.source;
    std::vector<std::string> expected = {Checking + pfad, Saving + s + "/a.txt" + ToA};
    for (const std::string &sub : directoryOrder(s)) {
        if (sub == "one") {
            expected.insert(expected.end(), {Checking + s + "/one", Saving + s + "/one/b.txt" + ToA,
                                             Checking + s + "/one/inner", Saving + s + "/one/inner/c.txt" + ToA});
        } else if (sub == "two") {
            expected.insert(expected.end(), {Checking + s + "/two", Saving + s + "/two/d.txt" + ToA});
        }
    }
    QCOMPARE(toStrings(f.progress.texts), toStrings(expected));
    QCOMPARE(f.progress.unprocessedCount(), 0);
    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(toStrings(f.saved()), QStringList({"a.txt", "b.txt", "c.txt", "d.txt"}));
    QCOMPARE(f.engine().savedCount(), 4u);
    QVERIFY(f.state.ZielVzAngelegt);
    QCOMPARE(readFile(f.folder() + "/c.txt").value_or(""), "C");
    const timespec mtime = mtimeOf(f.folder() + "/c.txt").value_or(timespec{});
    QCOMPARE(mtime.tv_sec, shifted(Start, 60).tv_sec);
    QCOMPARE(mtime.tv_nsec, shifted(Start, 60).tv_nsec);
}

void tst_DirectoryBackup::settingsExclusion_data()
{
    QTest::addColumn<QString>("onDisk");
    QTest::addColumn<bool>("inSource");
    QTest::addColumn<QString>("settingsName");
    QTest::addColumn<bool>("copied");

    QTest::newRow("same") << "sichern.txt" << true << "sichern.txt" << false;
    QTest::newRow("capitals on disk") << "SICHERN.TXT" << true << "sichern.txt" << false;
    QTest::newRow("capitals in path") << "sichern.txt" << true << "Sichern.TXT" << false;
    QTest::newRow("elsewhere") << "sichern.txt" << false << "sichern.txt" << true;
}

void tst_DirectoryBackup::settingsExclusion()
{
    QFETCH(QString, onDisk);
    QFETCH(bool, inSource);
    QFETCH(QString, settingsName);
    QFETCH(bool, copied);
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    QVERIFY(f.file(onDisk.toStdString(), "settings"));
    if (inSource)
        f.settings = f.source + "/" + settingsName.toStdString();

    f.engine().VzSichern(f.source);

    const std::string fullPath = f.source + "/" + onDisk.toStdString();
    QCOMPARE(toStrings(f.progress.texts), toStrings({Checking + f.source, Saving + fullPath + ToA}));
    QCOMPARE(f.progress.unprocessedCount(), 0);
    QCOMPARE(exists(f.folder() + "/" + onDisk.toStdString()), copied);
    QCOMPARE(f.state.ZielVzAngelegt, copied);
    QCOMPARE(failureList(f), QStringList());
}

void tst_DirectoryBackup::startTime_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("nanoseconds");
    QTest::addColumn<bool>("copied");

    QTest::newRow("at start") << 0 << 0 << false;
    QTest::newRow("1 ns earlier") << 0 << -1 << false;
    QTest::newRow("1 ns later") << 0 << 1 << true;
    QTest::newRow("same second later") << 0 << 400'000'000 << true;
    QTest::newRow("1 s later") << 1 << 0 << true;
}

void tst_DirectoryBackup::startTime()
{
    QFETCH(int, seconds);
    QFETCH(int, nanoseconds);
    QFETCH(bool, copied);
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    QVERIFY(f.file("x.txt", "x"));
    QVERIFY(setMtime(f.source + "/x.txt", shifted(Start, seconds, nanoseconds)));

    f.engine().VzSichern(f.source);
    f.engine().finish();

    QCOMPARE(f.progress.texts.size(), copied ? 2u : 1u);
    QCOMPARE(exists(f.folder()), copied);
    QCOMPARE(f.state.ZielVzAngelegt, copied);
    QCOMPARE(f.engine().savedCount(), copied ? 1u : 0u);
    QCOMPARE(failureList(f), QStringList());
}

void tst_DirectoryBackup::subdirectoryOrder()
{
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    QVERIFY(f.file("own.txt", "own"));
    for (int i = 0; i < 50; ++i) {
        const std::string name = "d" + std::to_string(i);
        QVERIFY(f.file(name + "/f.txt", name));
    }

    f.engine().VzSichern(f.source);

    std::vector<std::string> expected = {Checking + f.source, Saving + f.source + "/own.txt" + ToA};
    std::vector<std::string> order;
    for (const std::string &name : directoryOrder(f.source)) {
        if (name == "own.txt")
            continue;
        order.push_back(name);
        expected.push_back(Checking + f.source + "/" + name);
        expected.push_back(Saving + f.source + "/" + name + "/f.txt" + ToA);
    }
    QCOMPARE(order.size(), 50u);
    QCOMPARE(toStrings(f.progress.texts), toStrings(expected));
    // Copies follow the same order: the first keeps the bare name.
    QCOMPARE(readFile(f.folder() + "/f.txt").value_or(""), order[0]);
    QCOMPARE(readFile(f.folder() + "/f (2).txt").value_or(""), order[1]);
    QCOMPARE(readFile(f.folder() + "/f (50).txt").value_or(""), order[49]);
}

void tst_DirectoryBackup::entryKinds_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("saved");
    QTest::addColumn<int>("checked");

    QTest::newRow("hidden file") << "hidden file" << QStringList{"keep.txt"} << 1;
    QTest::newRow("hidden dir") << "hidden dir" << QStringList{"keep.txt"} << 1;
    QTest::newRow("fifo") << "fifo" << QStringList{"keep.txt"} << 1;
    QTest::newRow("socket") << "socket" << QStringList{"keep.txt"} << 1;
    QTest::newRow("file link") << "file link" << QStringList{"keep.txt", "link.txt"} << 1;
    QTest::newRow("dangling link") << "dangling link" << QStringList{"keep.txt"} << 1;
    QTest::newRow("link loop") << "link loop" << QStringList{"keep.txt"} << 1;
    QTest::newRow("link to ancestor") << "link to ancestor" << QStringList{"keep.txt"} << 2;
    QTest::newRow("link to dir") << "link to dir" << QStringList{"keep.txt"} << 1;
    QTest::newRow("read-only dir") << "read-only dir" << QStringList{"keep.txt", "x.txt"} << 2;
}

void tst_DirectoryBackup::entryKinds()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, saved);
    QFETCH(int, checked);
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    QVERIFY(f.file("keep.txt", "keep"));
    const std::string s = f.source;
    const std::string outside = f.dir.path().toStdString() + "/outside";
    QVERIFY(makeDirectories(outside));
    QVERIFY(writeFile(outside + "/target.txt", "target") && setMtime(outside + "/target.txt", shifted(Start, 60)));

    if (kind == "hidden file") {
        QVERIFY(f.file(".secret", "s"));
    } else if (kind == "hidden dir") {
        QVERIFY(f.file(".cache/x.txt", "x"));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo((s + "/pipe").c_str(), 0644), 0);
        QVERIFY(setMtime(s + "/pipe", shifted(Start, 60)));
    } else if (kind == "socket") {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = s + "/sock";
        QVERIFY(path.size() < sizeof address.sun_path);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
    } else if (kind == "file link") {
        QCOMPARE(::symlink((outside + "/target.txt").c_str(), (s + "/link.txt").c_str()), 0);
        QVERIFY(setMtime(s + "/link.txt", shifted(Start, -60), false));
    } else if (kind == "dangling link") {
        QCOMPARE(::symlink("nowhere.txt", (s + "/dangling.txt").c_str()), 0);
    } else if (kind == "link loop") {
        QCOMPARE(::symlink("loop", (s + "/loop").c_str()), 0);
    } else if (kind == "link to ancestor") {
        QVERIFY(makeDirectories(s + "/sub"));
        QCOMPARE(::symlink("..", (s + "/sub/up").c_str()), 0);
    } else if (kind == "link to dir") {
        QCOMPARE(::symlink(outside.c_str(), (s + "/ext").c_str()), 0);
    } else if (kind == "read-only dir") {
        QVERIFY(f.file("ro/x.txt", "x"));
        QCOMPARE(::chmod((s + "/ro").c_str(), 0555), 0);
    }

    f.engine().VzSichern(s);

    int checkedTexts = 0;
    for (const std::string &text : f.progress.texts)
        checkedTexts += text.rfind(Checking, 0) == 0;
    QCOMPARE(checkedTexts, checked);
    QCOMPARE(toStrings(f.saved()), saved);
    QCOMPARE(failureList(f), QStringList());
    if (kind == "file link")
        QCOMPARE(readFile(f.folder() + "/link.txt").value_or(""), "target");
    if (kind == "read-only dir")
        QCOMPARE(::chmod((s + "/ro").c_str(), 0755), 0);
}

void tst_DirectoryBackup::nameClashes_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("two") << QStringList{"brief.doc", "brief.doc"} << QStringList()
                         << QStringList{"brief.doc", "brief (2).doc"};
    QTest::newRow("three") << QStringList{"brief.doc", "brief.doc", "brief.doc"} << QStringList()
                           << QStringList{"brief.doc", "brief (2).doc", "brief (3).doc"};
    QTest::newRow("tar.gz") << QStringList{"archive.tar.gz", "archive.tar.gz"} << QStringList()
                            << QStringList{"archive.tar.gz", "archive.tar (2).gz"};
    QTest::newRow("no extension") << QStringList{"README", "README"} << QStringList()
                                  << QStringList{"README", "README (2)"};
    QTest::newRow("trailing dot") << QStringList{"name.", "name."} << QStringList()
                                  << QStringList{"name.", "name (2)."};
    QTest::newRow("interleaved") << QStringList{"a.txt", "b.txt", "a.txt", "b.txt"} << QStringList()
                                 << QStringList{"a.txt", "b.txt", "a (2).txt", "b (2).txt"};
    QTest::newRow("numbered taken") << QStringList{"x.txt", "x (2).txt", "x.txt"} << QStringList()
                                    << QStringList{"x.txt", "x (2).txt", "x (3).txt"};
    QTest::newRow("reused folder") << QStringList{"brief.doc"} << QStringList{"brief.doc"}
                                   << QStringList{"brief (2).doc"};
    QTest::newRow("reused numbered") << QStringList{"brief.doc", "brief.doc"}
                                     << QStringList{"brief.doc", "brief (2).doc"}
                                     << QStringList{"brief (3).doc", "brief (4).doc"};
}

void tst_DirectoryBackup::nameClashes()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, existing);
    QFETCH(QStringList, expected);
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    for (int i = 0; i < names.size(); ++i)
        QVERIFY(f.file(chained(i, names[i].toStdString()), "file " + std::to_string(i)));
    if (!existing.isEmpty())
        QVERIFY(makeDirectories(f.folder()));
    for (const QString &name : existing)
        QVERIFY(writeFile(f.folder() + "/" + name.toStdString(), "earlier run"));

    f.engine().VzSichern(f.source);

    QCOMPARE(failureList(f), QStringList());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(readFile(f.folder() + "/" + expected[i].toStdString()).value_or(""), "file " + std::to_string(i));
    for (const QString &name : existing)
        QCOMPARE(readFile(f.folder() + "/" + name.toStdString()).value_or(""), "earlier run");
    QCOMPARE(f.saved().size(), std::size_t(existing.size() + names.size()));
}

void tst_DirectoryBackup::manySameNames()
{
    Fixture f(true);
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    constexpr int Count = 10'000;
    for (int i = 0; i < Count; ++i)
        QVERIFY(f.file("d" + std::to_string(i) + "/same.txt", ""));

    f.engine().VzSichern(f.source);

    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(f.engine().savedCount(), std::size_t(Count));
    // One rename per file: the next number is remembered, not searched for.
    QCOMPARE(f.fs.calls(Op::RenameNoReplace), Count);
    QVERIFY(exists(f.folder() + "/same (10000).txt"));
    QCOMPARE(f.saved().size(), std::size_t(Count));
}

void tst_DirectoryBackup::byteNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("invalid utf-8") << QByteArray("caf\xe9 \xff.txt");
    QTest::newRow("newline") << QByteArray("two\nlines.txt");
    QTest::newRow("backslash") << QByteArray("a\\b.txt");
}

void tst_DirectoryBackup::byteNames()
{
    QFETCH(QByteArray, name);
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    const std::string bytes = name.toStdString();
    QVERIFY(f.file(bytes, "content"));

    f.engine().VzSichern(f.source);

    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(f.saved(), std::vector<std::string>{bytes});
    QCOMPARE(readFile(f.folder() + "/" + bytes).value_or(""), "content");
    QVERIFY(f.progress.texts.back() == Saving + f.source + "/" + bytes + ToA);
}

void tst_DirectoryBackup::deepTree_data()
{
    QTest::addColumn<int>("descriptorLimit");
    QTest::newRow("default limit") << 0;
    QTest::newRow("48 descriptors") << 48;
}

void tst_DirectoryBackup::deepTree()
{
    QFETCH(int, descriptorLimit);
    Fixture f(true);
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    constexpr int Depth = 2000;
    const timespec changed = shifted(Start, 60);
    int fd = ::open(f.source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    for (int level = 1; level <= Depth; ++level) {
        QCOMPARE(::mkdirat(fd, "dir", 0755), 0);
        const int child = ::openat(fd, "dir", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        QVERIFY(child >= 0);
        fd = child;
        if (level == Depth / 2 || level == Depth) {
            const std::string name = level == Depth ? "bottom.txt" : "middle.txt";
            QVERIFY(writeFileAt(fd, name, name));
            const timespec times[2] = {changed, changed};
            QCOMPARE(::utimensat(fd, name.c_str(), times, 0), 0);
        }
    }
    ::close(fd);

    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (descriptorLimit > 0) {
        rlimit lowered = saved;
        lowered.rlim_cur = rlim_t(descriptorLimit);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    f.engine().VzSichern(f.source);
    f.engine().finish();
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    QVERIFY(removeTree(f.source));
    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(toStrings(f.saved()), QStringList({"bottom.txt", "middle.txt"}));
    QCOMPARE(f.progress.texts.size(), std::size_t(Depth + 3));
    QVERIFY(f.progress.texts.back().size() > PATH_MAX);
    QVERIFY(f.progress.texts.back().find("/dir/bottom.txt") != std::string::npos);
}

// Deeper than the descriptors kept open: the way back up goes through "..";
// when that is refused, what is left of the tree is reported, not dropped.
void tst_DirectoryBackup::returnBlocked()
{
    Fixture f(true);
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    QVERIFY(makeDirectories(f.source + "/a") && makeDirectories(f.source + "/b"));
    const std::vector<std::string> order = directoryOrder(f.source);
    QCOMPARE(order.size(), 2u);
    QVERIFY(f.file(chained(200, "deep.txt").replace(0, 1, order[0]), "deep"));
    QVERIFY(f.file(order[1] + "/later.txt", "later"));
    f.fs.fail({Op::OpenDirectory, EACCES, 1, false, ".."});

    f.engine().VzSichern(f.source);

    QCOMPARE(failureList(f), QStringList({QString::fromStdString(f.source) + "|" + QString::number(EACCES)}));
    QCOMPARE(toStrings(f.saved()), QStringList({"deep.txt"}));
}

void tst_DirectoryBackup::backupFolderInsideTree()
{
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    QVERIFY(f.file("a.txt", "a"));
    f.target = f.source;

    f.engine().VzSichern(f.source);
    f.engine().VzSichern(f.source);

    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(toStrings(f.saved()), QStringList({"a (2).txt", "a.txt"}));
    for (const std::string &text : f.progress.texts)
        QVERIFY2(text.find(FolderName) == std::string::npos, text.c_str());
}

void tst_DirectoryBackup::faults_data()
{
    QTest::addColumn<std::vector<Fault>>("faults");
    QTest::addColumn<QStringList>("failures");
    QTest::addColumn<QStringList>("saved");
    QTest::addColumn<int>("countedOp");
    QTest::addColumn<int>("count");

    const QStringList all{"big.bin", "first.txt", "huge.bin", "inside.txt", "last.txt", "small.txt", "unread.txt"};
    auto without = [&all](const QStringList &gone) {
        QStringList rest;
        for (const QString &name : all)
            if (!gone.contains(name))
                rest << name;
        return rest;
    };
    const char *big = "l/big.bin";
    const char *small = "l/l/small.txt";
    const char *huge = "l/l/l/huge.bin";

    QTest::newRow("clean") << std::vector<Fault>{} << QStringList() << all << -1 << 0;
    QTest::newRow("open dir EACCES")
        << std::vector<Fault>{{Op::OpenDirectory, EACCES, 1, false, "locked"}}
        << QStringList{failed("l/l/l/l/locked", EACCES)} << without({"inside.txt"}) << -1 << 0;
    QTest::newRow("read dir EIO")
        << std::vector<Fault>{{Op::ReadDirectory, EIO, 1, false, "unreadable"}}
        << QStringList{failed("l/l/l/l/unreadable", EIO)} << without({"unread.txt"}) << -1 << 0;
    QTest::newRow("stat EACCES")
        << std::vector<Fault>{{Op::StatAt, EACCES, 1, false, "small"}}
        << QStringList{failed(small, EACCES)} << without({"small.txt"}) << -1 << 0;
    QTest::newRow("source EIO")
        << std::vector<Fault>{{Op::CopyRange, EIO, 1, false, "big"}, {Op::Read, EIO, 1, false, "big"}}
        << QStringList{failed(big, EIO)} << without({"big.bin"}) << -1 << 0;
    QTest::newRow("copy ENOSPC")
        << std::vector<Fault>{{Op::CopyRange, ENOSPC, 1, false, "big"}}
        << QStringList{failed(big, ENOSPC), failed(huge, ENOSPC)} << without({"big.bin", "huge.bin"})
        << int(Op::OpenForReading) << 6;
    QTest::newRow("write ENOSPC")
        << std::vector<Fault>{{Op::CopyRange, EXDEV, 1, true, ""}, {Op::Write, ENOSPC, 2, false, ""}}
        << QStringList{failed(big, ENOSPC), failed(huge, ENOSPC)} << without({"big.bin", "huge.bin"})
        << int(Op::CopyRange) << 1;
    QTest::newRow("bad name")
        << std::vector<Fault>{{Op::RenameNoReplace, EINVAL, 1, true, "small"}}
        << QStringList{failed(small, EINVAL)} << without({"small.txt"}) << -1 << 0;
    QTest::newRow("times EPERM")
        << std::vector<Fault>{{Op::SetTimes, EPERM, 1, false, ""}}
        << QStringList{failed("first.txt", EPERM)} << without({"first.txt"}) << -1 << 0;
    const QStringList paths{"first.txt", big, small, huge, "l/l/l/l/last.txt", "l/l/l/l/locked/inside.txt",
                            "l/l/l/l/unreadable/unread.txt"};
    auto failedFrom = [&paths](int first, int error) {
        QStringList list;
        for (int i = first; i < paths.size(); ++i)
            list << paths[i] + "|" + QString::number(error);
        list.sort();
        return list;
    };
    QTest::newRow("target gone")
        << std::vector<Fault>{{Op::CreateExclusive, ENODEV, 2, true, ""}}
        << failedFrom(1, ENODEV) << QStringList{"first.txt"} << int(Op::CreateExclusive) << 2;
    QTest::newRow("lost on close")
        << std::vector<Fault>{{Op::Close, EIO, 1, false, ".pendrel-"}}
        << failedFrom(0, EIO) << QStringList() << int(Op::CreateExclusive) << 1;
    QTest::newRow("folder EROFS")
        << std::vector<Fault>{{Op::MakeDirectory, EROFS, 1, false, ""}}
        << failedFrom(0, EROFS) << QStringList() << int(Op::MakeDirectory) << 1;
    QTest::newRow("sync EIO")
        << std::vector<Fault>{{Op::SyncFileSystem, EIO, 1, false, ""}}
        << QStringList{failed("<folder>", EIO)} << all << -1 << 0;
}

void tst_DirectoryBackup::faults()
{
    QFETCH(std::vector<Fault>, faults);
    QFETCH(QStringList, failures);
    QFETCH(QStringList, saved);
    QFETCH(int, countedOp);
    QFETCH(int, count);
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    const std::vector<std::pair<std::string, std::string>> files = {
        {"first.txt", "first"},
        {chained(1, "big.bin"), pattern(300 * 1024, 'b')},
        {chained(2, "small.txt"), "small"},
        {chained(3, "huge.bin"), pattern(600 * 1024, 'h')},
        {chained(4, "last.txt"), "last"},
        {chained(4, "locked/inside.txt"), "inside"},
        {chained(4, "unreadable/unread.txt"), "unread"},
    };
    for (const auto &[path, content] : files)
        QVERIFY(f.file(path, content));
    for (const Fault &fault : faults)
        f.fs.fail(fault);

    f.engine().VzSichern(f.source);
    f.engine().finish();

    QCOMPARE(failureList(f), failures);
    const std::vector<std::string> names = f.saved();
    QVERIFY(!hasTemporary(names));
    QCOMPARE(toStrings(names), saved);
    QCOMPARE(f.engine().savedCount(), std::size_t(saved.size()));
    for (const auto &[path, content] : files) {
        const std::string name = path.substr(path.rfind('/') + 1);
        if (saved.contains(QString::fromStdString(name)))
            QVERIFY2(readFile(f.folder() + "/" + name) == content, name.c_str());
    }
    if (countedOp >= 0)
        QCOMPARE(f.fs.calls(Op(countedOp)), count);
}

// Fills a real, small volume: files that fit are saved whole, the rest are
// recorded, and nothing partial stays behind under a real name.
void tst_DirectoryBackup::volumeFull()
{
    if (::geteuid() != 0)
        QSKIP("needs root to mount a small tmpfs in a private mount namespace");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        QSKIP(qPrintable(QString("cannot make a private mount namespace: ") + std::strerror(errno)));
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    QVERIFY2(::mount("pendrel-test", f.target.c_str(), "tmpfs", 0, "size=2m") == 0, std::strerror(errno));
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.bin", pattern(700 * 1024, 'a')},
        {chained(1, "b.bin"), pattern(1500 * 1024, 'b')},
        {chained(2, "c.bin"), pattern(300 * 1024, 'c')},
        {chained(3, "d.bin"), pattern(3 * 1024 * 1024, 'd')},
        {chained(4, "e.txt"), "e"},
    };
    for (const auto &[path, content] : files)
        QVERIFY(f.file(path, content));

    f.engine().VzSichern(f.source);
    f.engine().finish();
    const QStringList failures = failureList(f);
    const std::vector<std::string> names = f.saved();
    bool whole = true;
    for (const auto &[path, content] : files) {
        const std::string name = path.substr(path.rfind('/') + 1);
        if (exists(f.folder() + "/" + name))
            whole = whole && readFile(f.folder() + "/" + name) == content;
    }
    QCOMPARE(::umount2(f.target.c_str(), MNT_DETACH), 0);

    QCOMPARE(failures, QStringList({failed("l/b.bin", ENOSPC), failed("l/l/l/d.bin", ENOSPC)}));
    QVERIFY(!hasTemporary(names));
    QCOMPARE(toStrings(names), QStringList({"a.bin", "c.bin", "e.txt"}));
    QVERIFY(whole);
}

void tst_DirectoryBackup::longCopyProcessesEvents_data()
{
    QTest::addColumn<bool>("readWrite");
    QTest::newRow("copy_file_range") << false;
    QTest::newRow("read and write") << true;
}

// A large file keeps the window responsive while it is copied, not only
// between files.
void tst_DirectoryBackup::longCopyProcessesEvents()
{
    QFETCH(bool, readWrite);
    Fixture f;
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    const std::string data = pattern(20 * 1024 * 1024 + 5, 'L');
    QVERIFY(f.file("large.bin", data));
    if (readWrite)
        f.fs.fail({Op::CopyRange, EXDEV, 1, true, {}});

    f.engine().VzSichern(f.source);
    f.engine().finish();

    QCOMPARE(failureList(f), QStringList());
    QVERIFY(readFile(f.folder() + "/large.bin") == data);
    QCOMPARE(f.progress.texts.size(), std::size_t(2));
    QVERIFY2(f.progress.processed >= 4, qPrintable(QString::number(f.progress.processed)));
}

void tst_DirectoryBackup::systemCalls_data()
{
    QTest::addColumn<int>("changedEvery");
    QTest::newRow("walk only") << 0;
    QTest::newRow("every tenth copied") << 10;
}

// Guards the cost of the walk and of each copy in system calls.
void tst_DirectoryBackup::systemCalls()
{
    QFETCH(int, changedEvery);
    Fixture f(true);
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(f.setUp());
    constexpr int Directories = 100;
    constexpr int FilesEach = 10;
    int changed = 0;
    for (int d = 0; d < Directories; ++d) {
        for (int i = 0; i < FilesEach; ++i) {
            const bool isChanged = changedEvery > 0 && (d * FilesEach + i) % changedEvery == 0;
            changed += isChanged;
            QVERIFY(f.file("d" + std::to_string(d) + "/f" + std::to_string(i), "x", isChanged));
        }
    }

    f.engine().VzSichern(f.source);
    f.engine().finish();

    QCOMPARE(f.engine().savedCount(), std::size_t(changed));
    const int entries = Directories * (FilesEach + 1);
    const int setUp = changed > 0 ? 4 : 0; // folder: mkdir, open, stat; syncfs
    QVERIFY2(f.fs.totalCalls() <= entries * 13 / 10 + changed * 9 + setUp + 1,
             qPrintable(QString::number(f.fs.totalCalls())));
}

QTEST_GUILESS_MAIN(tst_DirectoryBackup)
#include "tst_directorybackup.moc"
