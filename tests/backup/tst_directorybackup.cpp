#include "directorybackup.h"
#include "faultyfilesystem.h"
#include "recordingprogress.h"
#include "testtree.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <linux/magic.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

using namespace pendrel;
using namespace pendrel::test;

Q_DECLARE_METATYPE(std::vector<pendrel::test::Fault>)

namespace {

const timespec Start{1'700'000'000, 500'000'000};
const std::string FolderName = "05-29-98_17-30-02";
const std::string Checking = "checking ";
const std::string Saving = "saving ";

// Trees of thousands of entries go to memory when there is room: creating
// them on a disk costs far more than the walk under test.
QString scratchBase()
{
    struct statvfs fs;
    const bool shm = ::statvfs("/dev/shm", &fs) == 0 && ::access("/dev/shm", W_OK) == 0
            && fs.f_bavail * fs.f_frsize >= 64ull * 1024 * 1024;
    return shm ? QStringLiteral("/dev/shm") : QDir::tempPath();
}

// A source tree, a target volume directory and one backup run over them.
struct Fixture
{
    ~Fixture() { removeTree(root); } // QTemporaryDir cannot remove paths beyond PATH_MAX

    QTemporaryDir dir{scratchBase() + "/tst_directorybackup-XXXXXX"};
    std::string root = dir.path().toStdString();
    std::string source = root + "/src";
    std::string target = root + "/stick";
    std::string settings = root + "/app/sichern.txt";
    RunState state{timePointOf(Start), FolderName, false};
    FaultyFileSystem fs;
    RecordingProgress progress;
    std::unique_ptr<DirectoryBackup> backup;
    unsigned threads = 0; // 0: the default

    DirectoryBackup &engine()
    {
        if (!backup) {
            backup = std::make_unique<DirectoryBackup>(fs, progress, state, target, settings);
            if (threads > 0) {
                backup->setThreads(threads);
                backup->setHelperStartDelay(std::chrono::milliseconds(0));
            }
        }
        return *backup;
    }

    std::string folder() const { return target + "/" + FolderName; }

    // A file below the source, changed after the start unless `changed` is false.
    bool file(const std::string &relative, std::string_view content, bool changed = true)
    {
        const std::string path = source + "/" + relative;
        return makeDirectories(path.substr(0, path.rfind('/'))) && writeFile(path, content)
                && setMtime(path, shifted(Start, changed ? 60 : -60));
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
        list << QString::fromStdString(path) + "|" + QString::number(failure.error)
                        + (failure.kind == FailureKind::NameRefused ? "|name refused" : "");
    }
    list.sort();
    return list;
}

QString failed(const char *path, int error)
{
    return QString::fromLatin1(path) + "|" + QString::number(error);
}

std::string pattern(std::size_t size, char seed)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = char((i * 131 + std::size_t(seed)) % 251);
    return data;
}

// A chain l/l/... with one file per level, so the copy order is fixed.
std::string chained(int level, const std::string &name)
{
    std::string path;
    while (level-- > 0)
        path += "l/";
    return path + name;
}

} // namespace

class tst_DirectoryBackup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_fixture.reset(); }
    void statusAndCopies_data();
    void statusAndCopies();
    void oneFile_data();
    void oneFile();
    void entryKinds();
    void nameClashes_data();
    void nameClashes();
    void manySameNames();
    void deepTree_data();
    void deepTree();
    void returnBlocked();
    void backupFolderInsideTree_data();
    void backupFolderInsideTree();
    void faults_data();
    void faults();
    void volumeFull();
    void fileSizeLimit_data();
    void fileSizeLimit();
    void changedDuringCopy_data();
    void changedDuringCopy();
    void longCopyProcessesEvents_data();
    void longCopyProcessesEvents();
    void systemCalls_data();
    void systemCalls();
    void threadedWalk_data();
    void threadedWalk();
    void changingTree_data();
    void changingTree();
    void mountsInTree_data();
    void mountsInTree();
    void helpersStopAtStick_data();
    void helpersStopAtStick();

private:
    std::optional<Fixture> m_fixture;
};

void tst_DirectoryBackup::init()
{
    Fixture &f = m_fixture.emplace();
    QVERIFY2(f.dir.isValid(), qPrintable(f.dir.errorString()));
    QVERIFY(makeDirectories(f.source) && makeDirectories(f.target) && makeDirectories(f.root + "/app"));
}

void tst_DirectoryBackup::statusAndCopies_data()
{
    QTest::addColumn<bool>("trailingSlash");
    QTest::newRow("plain") << false;
    QTest::newRow("root-like") << true;
}

// Own files first, then each subdirectory in the order the directory lists
// them, depth first; 50 subdirectories keep their order, and so do the
// numbered copies of their same-named files.
void tst_DirectoryBackup::statusAndCopies()
{
    QFETCH(bool, trailingSlash);
    Fixture &f = *m_fixture;
    QVERIFY(f.file("a.txt", "A") && f.file("old.txt", "old", false));
    QVERIFY(f.file("one/b.txt", "B") && f.file("one/inner/c.txt", "C") && f.file("two/old.txt", "old", false));
    for (int i = 0; i < 50; ++i)
        QVERIFY(f.file("d" + std::to_string(i) + "/f.txt", "d" + std::to_string(i)));

    const std::string pfad = trailingSlash ? f.source + "/" : f.source;
    f.engine().VzSichern(pfad);
    f.engine().finish();

    const std::string s = f.source;
    std::vector<std::string> expected = {Checking + pfad, Saving + s + "/a.txt"};
    std::vector<std::string> numbered;
    for (const std::string &sub : directoryOrder(s)) {
        if (sub == "one") {
            expected.insert(expected.end(), {Checking + s + "/one", Saving + s + "/one/b.txt",
                                             Checking + s + "/one/inner", Saving + s + "/one/inner/c.txt"});
        } else if (sub == "two") {
            expected.push_back(Checking + s + "/two");
        } else if (sub.starts_with('d')) {
            expected.insert(expected.end(), {Checking + s + "/" + sub, Saving + s + "/" + sub + "/f.txt"});
            numbered.push_back(sub);
        }
    }
    QCOMPARE(toStrings(f.progress.texts), toStrings(expected));
    QCOMPARE(f.progress.unprocessedCount(), 0);
    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(f.saved().size(), 53u);
    QCOMPARE(readFile(f.folder() + "/f.txt").value_or(""), numbered[0]);
    QCOMPARE(readFile(f.folder() + "/f (2).txt").value_or(""), numbered[1]);
    QCOMPARE(readFile(f.folder() + "/f (50).txt").value_or(""), numbered[49]);
    QCOMPARE(readFile(f.folder() + "/c.txt").value_or(""), "C");
    const timespec mtime = mtimeOf(f.folder() + "/c.txt").value_or(timespec{});
    QCOMPARE(mtime.tv_sec, shifted(Start, 60).tv_sec);
    QCOMPARE(mtime.tv_nsec, shifted(Start, 60).tv_nsec);
}

void tst_DirectoryBackup::oneFile_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<qint64>("changedNs");     // mtime minus the start
    QTest::addColumn<QString>("settingsName"); // when sichern.txt is in the source
    QTest::addColumn<bool>("copied");

    constexpr qint64 Later = 60'000'000'000;
    QTest::newRow("settings") << QByteArray("sichern.txt") << Later << "sichern.txt" << false;
    QTest::newRow("settings, capitals") << QByteArray("SICHERN.TXT") << Later << "Sichern.txt" << false;
    QTest::newRow("settings elsewhere") << QByteArray("sichern.txt") << Later << "" << true;
    QTest::newRow("at start") << QByteArray("x.txt") << qint64(0) << "" << false;
    QTest::newRow("1 ns earlier") << QByteArray("x.txt") << qint64(-1) << "" << false;
    QTest::newRow("1 ns later") << QByteArray("x.txt") << qint64(1) << "" << true;
    QTest::newRow("invalid utf-8") << QByteArray("caf\xe9 \xff.txt") << Later << "" << true;
    QTest::newRow("newline") << QByteArray("two\nlines.txt") << Later << "" << true;
}

// Status texts, copy and backup folder for a source holding one file; no
// folder is made when nothing qualifies.
void tst_DirectoryBackup::oneFile()
{
    QFETCH(QByteArray, name);
    QFETCH(qint64, changedNs);
    QFETCH(QString, settingsName);
    QFETCH(bool, copied);
    Fixture &f = *m_fixture;
    const std::string path = f.source + "/" + name.toStdString();
    QVERIFY(f.file(name.toStdString(), "content") && setMtime(path, shifted(Start, 0, changedNs)));
    if (!settingsName.isEmpty())
        f.settings = f.source + "/" + settingsName.toStdString();

    f.engine().VzSichern(f.source);
    f.engine().finish();

    std::vector<std::string> texts{Checking + f.source};
    if (changedNs > 0)
        texts.push_back(Saving + path);
    QCOMPARE(toStrings(f.progress.texts), toStrings(texts));
    QCOMPARE(f.progress.unprocessedCount(), 0);
    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(f.state.ZielVzAngelegt, copied);
    QCOMPARE(f.saved(), copied ? std::vector<std::string>{name.toStdString()} : std::vector<std::string>{});
    QCOMPARE(exists(f.folder()), copied);
    if (copied)
        QCOMPARE(readFile(f.folder() + "/" + name.toStdString()).value_or(""), "content");
}

// Hidden entries and system files are neither copied nor entered; a link to
// a file is saved by content, a link to a directory is not followed, a
// dangling or looping link is skipped without a failure. A copy is readable
// by no more people than its source.
void tst_DirectoryBackup::entryKinds()
{
    Fixture &f = *m_fixture;
    const std::string s = f.source;
    const std::string outside = f.root + "/outside";
    QVERIFY(makeDirectories(outside) && writeFile(outside + "/target.txt", "target"));
    QVERIFY(setMtime(outside + "/target.txt", shifted(Start, 60)));
    QVERIFY(f.file("keep.txt", "keep") && f.file(".secret", "s") && f.file(".cache/x.txt", "x"));
    QCOMPARE(::mkfifo((s + "/pipe").c_str(), 0644), 0);
    QVERIFY(setMtime(s + "/pipe", shifted(Start, 60)));
    QCOMPARE(::symlink((outside + "/target.txt").c_str(), (s + "/link.txt").c_str()), 0);
    QVERIFY(setMtime(s + "/link.txt", shifted(Start, -60), false));
    QCOMPARE(::symlink("nowhere.txt", (s + "/dangling.txt").c_str()), 0);
    QCOMPARE(::symlink("loop", (s + "/loop").c_str()), 0);
    QCOMPARE(::symlink(outside.c_str(), (s + "/ext").c_str()), 0);
    QCOMPARE(::chmod((s + "/keep.txt").c_str(), 0600), 0);
    const mode_t umask = ::umask(022);
    ::umask(umask);

    f.engine().VzSichern(s);

    QCOMPARE(std::count_if(f.progress.texts.begin(), f.progress.texts.end(),
                           [](const std::string &text) { return text.starts_with(Checking); }),
             1);
    QCOMPARE(toStrings(f.saved()), QStringList({"keep.txt", "link.txt"}));
    QCOMPARE(readFile(f.folder() + "/link.txt").value_or(""), "target");
    QCOMPARE(failureList(f), QStringList());
    struct stat st;
    QCOMPARE(::stat((f.folder() + "/keep.txt").c_str(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600 & ~umask);
    QCOMPARE(::stat((f.folder() + "/link.txt").c_str(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0644 & ~umask);
}

void tst_DirectoryBackup::nameClashes_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<std::vector<Fault>>("faults");
    QTest::addColumn<QStringList>("renamed"); // saved under a substitute
    QTest::addColumn<long>("fileSystemType"); // as statfs answers for the stick; 0: as it is
    QTest::addColumn<QStringList>("present"); // in the backup folder before the run

    using L = QStringList;
    using F = std::vector<Fault>;
    const L perName{"a.txt", "b.txt", "a.txt", "b.txt", "a.txt"};
    const L perNameSaved{"a.txt", "b.txt", "a (2).txt", "b (2).txt", "a (3).txt"};
    QTest::newRow("per name") << perName << perNameSaved << F{} << L{} << 0L << L{};
    QTest::newRow("tar.gz, none") << L{"archive.tar.gz", "README", "archive.tar.gz", "README"}
                                  << L{"archive.tar.gz", "README", "archive.tar (2).gz", "README (2)"} << F{} << L{}
                                  << 0L << L{};
    QTest::newRow("numbered taken") << L{"x.txt", "x (2).txt", "x.txt"} << L{"x.txt", "x (2).txt", "x (3).txt"}
                                    << F{} << L{} << 0L << L{};
    // FUSE sticks refuse the flag for every rename: looked up, then renamed.
    const F noFlag{{Op::RenameNoReplace, EINVAL, 1, true, ""}};
    QTest::newRow("no flag") << perName << perNameSaved << noFlag << L{} << 0L << L{};
    QTest::newRow("no flag, numbered taken") << L{"x.txt", "x (2).txt", "x.txt"} << L{"x.txt", "x (2).txt", "x (3).txt"}
                                             << noFlag << L{} << 0L << L{};
    // A refused name is saved once more as its substitute, numbered as usual.
    const auto refused = [](const char *part, int error) {
        return F{{Op::RenameNoReplace, error, 1, true, part}, {Op::Rename, error, 1, true, part}};
    };
    QTest::newRow("refused EINVAL") << L{"10:15 notes.txt", "10_15 notes.txt"}
                                    << L{"10_15 notes.txt", "10_15 notes (2).txt"} << refused(":", EINVAL)
                                    << L{"10_15 notes.txt"} << 0L << L{};
    F exfat = noFlag;
    exfat.insert(exfat.end(), {{Op::Rename, ENOENT, 1, true, "?"}});
    QTest::newRow("refused ENOENT, no flag") << L{"why?.txt", "why?.txt"} << L{"why_.txt", "why_ (2).txt"} << exfat
                                             << L{"why_.txt", "why_ (2).txt"} << 0L << L{};
    QTest::newRow("trailing dot") << L{"draft."} << L{"draft_"} << refused("draft.", EINVAL) << L{"draft_"} << 0L
                                  << L{};
    const QString longName = QString(200, 'n') + ".txt";
    QTest::newRow("too long") << L{longName} << L{QString(139, 'n') + ".txt"}
                              << refused(std::string(140, 'n').c_str(), ENAMETOOLONG) << L{QString(139, 'n') + ".txt"}
                              << 0L << L{};
    // A stick that takes 143 bytes: the numbered substitutes keep to it too.
    const F limit{{Op::RenameNoReplace, ENAMETOOLONG, 1, true, "", 143}, {Op::Rename, ENAMETOOLONG, 1, true, "", 143}};
    const L cut{QString(139, 'n') + ".txt", QString(135, 'n') + " (2).txt", QString(135, 'n') + " (3).txt"};
    QTest::newRow("too long, three") << L{longName, longName, longName} << cut << limit << cut << 0L << L{};
    // Sticks that Windows also reads ignore case: clashes are numbered from
    // the names in the folder, with no lookup before a rename.
    F fuse = noFlag;
    fuse.push_back({Op::StatAt, EIO, 1, true, " ("});
    const L cases{"Brief.doc", "brief.doc", "BRIEF.DOC"};
    const L casesSaved{"Brief.doc", "brief (2).doc", "BRIEF (3).DOC"};
    QTest::newRow("vfat, case") << cases << casesSaved << F{} << L{} << long(MSDOS_SUPER_MAGIC) << L{};
    QTest::newRow("fuse, case") << cases << casesSaved << fuse << L{} << long(FUSE_SUPER_MAGIC) << L{};
    QTest::newRow("fuse, reused") << L{"x.txt", "x.txt"} << L{"x (3).txt", "x (4).txt"} << fuse << L{}
                                  << long(FUSE_SUPER_MAGIC) << L{"x.txt", "X (2).TXT"};
}

void tst_DirectoryBackup::nameClashes()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, expected);
    QFETCH(std::vector<Fault>, faults);
    QFETCH(QStringList, renamed);
    QFETCH(long, fileSystemType);
    QFETCH(QStringList, present);
    Fixture &f = *m_fixture;
    for (int i = 0; i < names.size(); ++i)
        QVERIFY(f.file(chained(i, names[i].toStdString()), "file " + std::to_string(i)));
    for (const QString &name : present)
        QVERIFY(makeDirectories(f.folder()) && writeFile(f.folder() + "/" + name.toStdString(), "earlier"));
    for (const Fault &fault : faults)
        f.fs.fail(fault);
    if (fileSystemType != 0)
        f.fs.setFileSystemType(fileSystemType);

    f.engine().VzSichern(f.source);

    QCOMPARE(failureList(f), QStringList());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(readFile(f.folder() + "/" + expected[i].toStdString()).value_or(""), "file " + std::to_string(i));
    QCOMPARE(f.saved().size(), std::size_t(names.size() + present.size()));
    QStringList substitutes;
    for (const RenamedSave &save : f.engine().renamed())
        substitutes << QString::fromStdString(save.savedName);
    QCOMPARE(substitutes, renamed);
    // The flag is given up after the first refusal, not tried for every file.
    if (!faults.empty() && faults.front().nameContains.empty() && faults.front().longerThan == 0)
        QCOMPARE(f.fs.calls(Op::RenameNoReplace), renamed.isEmpty() ? 1 : 2);
}

void tst_DirectoryBackup::manySameNames()
{
    Fixture &f = *m_fixture;
    constexpr int Count = 10'000;
    for (int i = 0; i < Count; ++i)
        QVERIFY(f.file("d" + std::to_string(i) + "/same.txt", ""));

    f.engine().VzSichern(f.source);

    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(f.saved().size(), std::size_t(Count));
    QVERIFY(exists(f.folder() + "/same (10000).txt"));
    // One rename per file: the next number is remembered, not searched for.
    QCOMPARE(f.fs.calls(Op::RenameNoReplace), Count);
}

void tst_DirectoryBackup::deepTree_data()
{
    QTest::addColumn<int>("descriptorLimit");
    QTest::addColumn<unsigned>("threads");
    QTest::newRow("default limit") << 0 << 1u;
    QTest::newRow("48 descriptors") << 48 << 1u;
    // The helpers' descriptors count too: they give way.
    QTest::newRow("12 descriptors, helpers") << 12 << 4u;
}

// 2000 levels: paths far beyond PATH_MAX, and with few descriptors the way
// back up goes through "..".
void tst_DirectoryBackup::deepTree()
{
    QFETCH(int, descriptorLimit);
    QFETCH(unsigned, threads);
    Fixture &f = *m_fixture;
    f.threads = threads;
    constexpr int Depth = 2000;
    const timespec changed[2] = {shifted(Start, 60), shifted(Start, 60)};
    int fd = ::open(f.source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 1; fd >= 0 && level <= Depth; ++level) {
        QCOMPARE(::mkdirat(fd, "dir", 0755), 0);
        const int child = ::openat(fd, "dir", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = child;
        const char *name = level == Depth ? "bottom.txt" : level == Depth / 2 ? "middle.txt" : nullptr;
        if (fd >= 0 && name)
            QVERIFY(writeFileAt(fd, name, name) && ::utimensat(fd, name, changed, 0) == 0);
    }
    QVERIFY(fd >= 0);
    ::close(fd);

    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = descriptorLimit > 0 ? rlim_t(descriptorLimit) : saved.rlim_cur;
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    f.engine().VzSichern(f.source);
    f.engine().finish();
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(toStrings(f.saved()), QStringList({"bottom.txt", "middle.txt"}));
    QCOMPARE(f.progress.texts.size(), std::size_t(Depth + 3));
    QVERIFY(f.progress.texts.back().size() > PATH_MAX);
    QVERIFY(f.progress.texts.back().ends_with("/dir/bottom.txt"));
}

// When the way back up through ".." is refused, what is left of the tree is
// reported, not dropped.
void tst_DirectoryBackup::returnBlocked()
{
    Fixture &f = *m_fixture;
    QVERIFY(makeDirectories(f.source + "/a") && makeDirectories(f.source + "/b"));
    const std::vector<std::string> order = directoryOrder(f.source);
    QVERIFY(f.file(order[0] + "/" + chained(199, "deep.txt"), "deep") && f.file(order[1] + "/later.txt", "later"));
    f.fs.fail({Op::OpenDirectory, EACCES, 1, false, ".."});
    f.threads = 1;

    f.engine().VzSichern(f.source);

    QCOMPARE(failureList(f), QStringList({QString::fromStdString(f.source) + "|" + QString::number(EACCES)}));
    QCOMPARE(toStrings(f.saved()), QStringList({"deep.txt"}));
}

void tst_DirectoryBackup::backupFolderInsideTree_data()
{
    QTest::addColumn<bool>("inSubtree"); // else in the tree's own directory
    QTest::addColumn<unsigned>("threads");
    QTest::newRow("top") << false << 0u;
    QTest::newRow("subtree, walk alone") << true << 1u;
    QTest::newRow("subtree, listed ahead") << true << 2u;
}

// The backup folder inside the saved tree is never walked, nor listed by a
// helper.
void tst_DirectoryBackup::backupFolderInsideTree()
{
    QFETCH(bool, inSubtree);
    QFETCH(unsigned, threads);
    Fixture &f = *m_fixture;
    f.threads = threads;
    QVERIFY(f.file("a.txt", "a"));
    f.target = f.source;
    if (inSubtree) {
        // While the walk passes the many entries of the first subdirectory,
        // a helper lists the third (the second is the walk's next), which
        // holds the stick.
        QVERIFY(makeDirectories(f.source + "/one") && makeDirectories(f.source + "/two")
                && makeDirectories(f.source + "/three"));
        std::vector<std::string> order = directoryOrder(f.source);
        std::erase(order, "a.txt");
        for (int i = 0; i < 2000; ++i)
            QVERIFY(f.file(order[0] + "/f" + std::to_string(i), "", false));
        f.target = f.source + "/" + order[2] + "/stick";
        QVERIFY(makeDirectories(f.target));
    }
    bool folderRead = false;
    f.fs.before(Op::ReadDirectory, FolderName, [&folderRead] { folderRead = true; });

    f.engine().VzSichern(f.source);
    f.engine().VzSichern(f.source);

    QCOMPARE(failureList(f), QStringList());
    // The second pass meets the same file again: it is not saved twice.
    QCOMPARE(toStrings(f.saved()), QStringList({"a.txt"}));
    for (const std::string &text : f.progress.texts)
        QVERIFY2(text.find(FolderName) == std::string::npos, text.c_str());
    QVERIFY(!folderRead);
}

void tst_DirectoryBackup::faults_data()
{
    QTest::addColumn<std::vector<Fault>>("faults");
    QTest::addColumn<QStringList>("failures"); // what is below a failed path must be missing, all else saved
    QTest::addColumn<int>("countedOp");
    QTest::addColumn<int>("count");

    const auto row = [](const char *name, const std::vector<Fault> &faults, const QStringList &failures,
                        Op countedOp = Op::Close, int count = -1) {
        QTest::newRow(name) << faults << failures << int(countedOp) << count;
    };
    const char *big = "l/big.bin";
    const char *small = "l/l/small.txt";
    const char *huge = "l/l/l/huge.bin";
    row("open dir EACCES", {{Op::OpenDirectory, EACCES, 1, false, "locked"}}, {failed("l/l/l/l/locked", EACCES)});
    row("read dir EIO", {{Op::ReadDirectory, EIO, 1, false, "unreadable"}}, {failed("l/l/l/l/unreadable", EIO)});
    row("stat EACCES", {{Op::StatAt, EACCES, 1, false, "small"}}, {failed(small, EACCES)});
    row("source EIO", {{Op::CopyRange, EIO, 1, false, "big"}, {Op::Read, EIO, 1, false, "big"}}, {failed(big, EIO)});
    // Full: a later file is judged by the space the stick reports free after
    // the failure, so a larger one that fits there is still tried.
    row("copy ENOSPC", {{Op::CopyRange, ENOSPC, 1, false, "big"}}, {failed(big, ENOSPC)}, Op::StatFileSystem, 6);
    row("write ENOSPC", {{Op::CopyRange, EXDEV, 1, true, ""}, {Op::Write, ENOSPC, 2, false, ""}},
        {failed(big, ENOSPC)}, Op::CopyRange, 1);
    // Refused with nothing to replace: not saved.
    row("bad name", {{Op::RenameNoReplace, EINVAL, 1, true, "small"}, {Op::Rename, EINVAL, 1, true, "small"}},
        {failed(small, EINVAL) + "|name refused"});
    // Too large for FAT: reported, and the rest, larger files included, still tried.
    row("too large", {{Op::CopyRange, EFBIG, 1, false, "big"}}, {failed(big, EFBIG)});
    row("times EPERM", {{Op::SetTimes, EPERM, 1, false, ""}}, {failed("first.txt", EPERM)});
    row("sync EIO", {{Op::SyncFileSystem, EIO, 1, false, ""}}, {failed("<folder>", EIO)});

    // Target gone: every later file is recorded without being tried.
    const QStringList paths{"first.txt", big, small, huge, "l/l/l/l/last.txt", "l/l/l/l/locked/inside.txt",
                            "l/l/l/l/unreadable/unread.txt"};
    const auto failedFrom = [&paths](int first, int error) {
        QStringList list;
        for (int i = first; i < paths.size(); ++i)
            list << paths[i] + "|" + QString::number(error);
        list.sort();
        return list;
    };
    row("target gone", {{Op::CreateExclusive, ENODEV, 2, true, ""}}, failedFrom(1, ENODEV), Op::CreateExclusive, 2);
    row("lost on close", {{Op::Close, EIO, 1, false, ".pendrel-"}}, failedFrom(0, EIO), Op::CreateExclusive, 1);
    row("folder EROFS", {{Op::MakeDirectory, EROFS, 1, false, ""}}, failedFrom(0, EROFS), Op::MakeDirectory, 1);
}

void tst_DirectoryBackup::faults()
{
    QFETCH(std::vector<Fault>, faults);
    QFETCH(QStringList, failures);
    QFETCH(int, countedOp);
    QFETCH(int, count);
    Fixture &f = *m_fixture;
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
    f.threads = 1; // the nth call of an operation is only well defined on one thread

    f.engine().VzSichern(f.source);
    f.engine().finish();

    QCOMPARE(failureList(f), failures);
    QStringList saved;
    for (const auto &[path, content] : files) {
        const QString source = QString::fromStdString(path);
        const bool lost = std::any_of(failures.begin(), failures.end(), [&source](const QString &failure) {
            const QString failedPath = failure.section('|', 0, 0);
            return source == failedPath || source.startsWith(failedPath + '/');
        });
        const std::string name = path.substr(path.rfind('/') + 1);
        if (!lost) {
            saved << QString::fromStdString(name);
            QVERIFY2(readFile(f.folder() + "/" + name) == content, name.c_str());
        }
    }
    saved.sort();
    QCOMPARE(toStrings(f.saved()), saved); // no temporary file left either
    QCOMPARE(f.engine().savedCount(), std::size_t(saved.size()));
    if (count >= 0)
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
    Fixture &f = *m_fixture;
    QVERIFY2(::mount("pendrel-test", f.target.c_str(), "tmpfs", 0, "size=2m") == 0, std::strerror(errno));
    const auto unmount = qScopeGuard([&f] { ::umount2(f.target.c_str(), MNT_DETACH); });
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.bin", pattern(700 * 1024, 'a')},           {chained(1, "b.bin"), pattern(1500 * 1024, 'b')},
        {chained(2, "c.bin"), pattern(300 * 1024, 'c')}, {chained(3, "d.bin"), pattern(3 * 1024 * 1024, 'd')},
        {chained(4, "e.txt"), "e"},
    };
    for (const auto &[path, content] : files)
        QVERIFY(f.file(path, content));

    f.engine().VzSichern(f.source);
    f.engine().finish();

    QCOMPARE(failureList(f), QStringList({failed("l/b.bin", ENOSPC), failed("l/l/l/d.bin", ENOSPC)}));
    QCOMPARE(toStrings(f.saved()), QStringList({"a.bin", "c.bin", "e.txt"}));
    for (const std::size_t i : {0, 2, 4})
        QVERIFY(readFile(f.folder() + "/" + files[i].first.substr(files[i].first.rfind('/') + 1)) == files[i].second);
}

void tst_DirectoryBackup::fileSizeLimit_data()
{
    QTest::addColumn<long>("fileSystemType");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("error"); // how big.bin is reported

    constexpr qint64 FourGiB = qint64(1) << 32;
    QTest::newRow("vfat, 4 GiB") << long(MSDOS_SUPER_MAGIC) << FourGiB << EFBIG;
    QTest::newRow("vfat, 4 GiB - 1") << long(MSDOS_SUPER_MAGIC) << FourGiB - 1 << EIO;
    QTest::newRow("exfat, 4 GiB") << long(EXFAT_SUPER_MAGIC) << FourGiB << EIO;
}

// A file larger than the stick's file system holds is reported before a
// byte of it is written, and the save goes on. Files that are tried fail at
// their first read here, so no test writes gigabytes.
void tst_DirectoryBackup::fileSizeLimit()
{
    QFETCH(long, fileSystemType);
    QFETCH(qint64, size);
    QFETCH(int, error);
    Fixture &f = *m_fixture;
    const std::string big = f.source + "/big.bin";
    QVERIFY(f.file(chained(1, "small.txt"), "small") && writeFile(big, ""));
    QCOMPARE(::truncate(big.c_str(), off_t(size)), 0);
    QVERIFY(setMtime(big, shifted(Start, 60)));
    f.fs.setFileSystemType(fileSystemType);
    for (const Op op : {Op::CopyRange, Op::Read, Op::Prefetch})
        f.fs.fail({op, EIO, 1, true, "big"});

    f.engine().VzSichern(f.source);
    f.engine().finish();

    QCOMPARE(failureList(f), QStringList({failed("big.bin", error)}));
    QCOMPARE(toStrings(f.saved()), QStringList({"small.txt"}));
    QCOMPARE(f.fs.calls(Op::CreateExclusive), error == EFBIG ? 1 : 2);
}

void tst_DirectoryBackup::changedDuringCopy_data()
{
    QTest::addColumn<int>("changes");  // how many copy calls of f.bin a change of it precedes
    QTest::addColumn<int>("newSize");  // its size after a rewrite; 0: 64 KiB appended
    QTest::addColumn<bool>("saved");

    QTest::newRow("rewritten once") << 1 << 150 * 1024 << true;
    QTest::newRow("shrunk once") << 1 << 30 * 1024 << true;
    QTest::newRow("rewritten every time") << 2 << 150 * 1024 << false;
    QTest::newRow("growing") << 100 << 0 << false;
}

// A file that changes while it is copied is copied again from the start, and
// saved whole with the times of what was copied; one that changes during that
// copy too is reported, with nothing torn left under its name. A growing file
// is not followed to its end.
void tst_DirectoryBackup::changedDuringCopy()
{
    QFETCH(int, changes);
    QFETCH(int, newSize);
    QFETCH(bool, saved);
    Fixture &f = *m_fixture;
    const std::string path = f.source + "/f.bin";
    std::string content = pattern(100 * 1024, 'f');
    QVERIFY(f.file("f.bin", content) && f.file(chained(1, "after.txt"), "after"));
    timespec mtime = shifted(Start, 60);
    for (int change = 1; change <= changes; ++change) {
        f.fs.before(Op::CopyRange, "f.bin", [&, change] {
            content = newSize > 0 ? pattern(std::size_t(newSize), char(change))
                                  : content + pattern(64 * 1024, char(change));
            mtime = shifted(Start, 60 + 60 * change);
            QVERIFY(writeFile(path, content) && setMtime(path, mtime));
        }, change);
    }

    f.engine().VzSichern(f.source);
    f.engine().finish();

    QCOMPARE(toStrings(f.saved()), saved ? QStringList({"after.txt", "f.bin"}) : QStringList({"after.txt"}));
    QCOMPARE(failureList(f), saved ? QStringList() : QStringList({failed("f.bin", EAGAIN)}));
    if (saved) {
        QVERIFY(readFile(f.folder() + "/f.bin") == content);
        const timespec copied = mtimeOf(f.folder() + "/f.bin").value_or(timespec{});
        QCOMPARE(copied.tv_sec, mtime.tv_sec);
        QCOMPARE(copied.tv_nsec, mtime.tv_nsec);
    } else {
        QVERIFY(f.engine().failures().front().kind == FailureKind::Changing);
    }
    // Two copies of f.bin at most, each of one call (and one more that meets
    // the end of a shrunk file), and one of after.txt.
    QVERIFY2(f.fs.calls(Op::CopyRange) <= 4, qPrintable(QString::number(f.fs.calls(Op::CopyRange))));
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
    Fixture &f = *m_fixture;
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
    Fixture &f = *m_fixture;
    f.threads = 1; // helpers listing ahead make calls of their own
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
    const int setUp = changed > 0 ? 5 : 0; // folder: mkdir, open, fstat, statfs; syncfs
    // Each directory's device comes from an fstat: pseudo file systems and
    // the backup folder are told by it.
    QVERIFY2(f.fs.totalCalls() <= entries * 13 / 10 + Directories + changed * 9 + setUp + 1,
             qPrintable(QString::number(f.fs.totalCalls())));
}

void tst_DirectoryBackup::threadedWalk_data()
{
    QTest::addColumn<std::vector<Fault>>("faults");
    QTest::addColumn<int>("failureCount");
    QTest::addColumn<int>("walkDelayMicros");
    QTest::addColumn<int>("failingStart"); // this helper thread cannot be started (EAGAIN)
    QTest::newRow("clean") << std::vector<Fault>{} << 0 << 0 << 0;
    // The helpers get far ahead and wait for the walk to take their listings.
    QTest::newRow("walk behind") << std::vector<Fault>{} << 0 << 100 << 0;
    QTest::newRow("no first helper") << std::vector<Fault>{} << 0 << 0 << 1;
    QTest::newRow("no third helper") << std::vector<Fault>{} << 0 << 0 << 3;
    // Every call on these names fails, whichever thread makes it; a failed
    // read-ahead of a file to be copied is no failure, nor running out of
    // watches (the walk reads those directories itself).
    QTest::newRow("faults") << std::vector<Fault>{{Op::StatAt, EACCES, 1, true, "bad"},
                                                  {Op::ReadDirectory, EIO, 1, true, "unreadable"},
                                                  {Op::OpenDirectory, EACCES, 1, true, "locked"},
                                                  {Op::Prefetch, EIO, 1, true, ""},
                                                  {Op::WatchDirectory, ENOSPC, 40, true, ""}}
                            << 3 << 0 << 0;
}

// Helper threads listing ahead, one or several, change nothing the user can
// see: status texts, failures and copies, clash numbers included, come in the
// same order.
void tst_DirectoryBackup::threadedWalk()
{
    QFETCH(std::vector<Fault>, faults);
    QFETCH(int, failureCount);
    QFETCH(int, walkDelayMicros);
    QFETCH(int, failingStart);
    Fixture &f = *m_fixture;
    for (int d = 0; d < 30; ++d) {
        for (int s = 0; s < 10; ++s) {
            const std::string dir = "d" + std::to_string(d) + "/s" + std::to_string(s) + "/";
            for (int i = 0; i < 12; ++i)
                QVERIFY(f.file(dir + "f" + std::to_string(i) + ".txt", dir + std::to_string(i), (d + s + i) % 9 == 0));
            QVERIFY(f.file(dir + "same.txt", dir) && f.file(dir + ".hidden", "h"));
        }
    }
    QVERIFY(f.file("d3/s2/bad.txt", "bad") && f.file("d5/unreadable/x.txt", "x") && f.file("d7/locked/y.txt", "y"));
    // More entries than one directory read takes.
    for (int i = 0; i < 3000; ++i)
        QVERIFY(f.file("d1/wide/w" + std::to_string(i), "w", i % 10 == 0));
    QCOMPARE(::symlink("../s1/same.txt", (f.source + "/d2/s2/link.txt").c_str()), 0);
    QCOMPARE(::symlink("../s1", (f.source + "/d2/s2/dirlink").c_str()), 0);
    // Paths beyond PATH_MAX at the bottom, and a directory after the way back.
    QVERIFY(makeDirectories(f.source + "/d9/deep") && f.file("d9/zlast/z.txt", "z"));
    const timespec changed[2] = {shifted(Start, 60), shifted(Start, 60)};
    int fd = ::open((f.source + "/d9/deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 1; fd >= 0 && level <= 1200; ++level) {
        QCOMPARE(::mkdirat(fd, "dir", 0755), 0);
        const int child = ::openat(fd, "dir", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = child;
        if (fd >= 0 && level % 100 == 0)
            QVERIFY(writeFileAt(fd, "level.txt", std::to_string(level)) && ::utimensat(fd, "level.txt", changed, 0) == 0);
    }
    QVERIFY(fd >= 0);
    ::close(fd);

    struct Run
    {
        std::vector<std::string> texts;
        QStringList failures;
        std::vector<std::pair<std::string, std::optional<std::string>>> copies;
    };
    const auto run = [&](unsigned threads) {
        const std::string target = f.root + "/stick" + std::to_string(threads);
        Run result;
        if (!makeDirectories(target))
            return result;
        RunState state{timePointOf(Start), FolderName, false};
        FaultyFileSystem fs;
        for (const Fault &fault : faults)
            fs.fail(fault);
        RecordingProgress recording;
        struct : Progress
        {
            void checking(const std::string &directory) override
            {
                std::this_thread::sleep_for(delay);
                inner->checking(directory);
            }
            void saving(const std::string &file) override { inner->saving(file); }
            void keepResponsive() override { inner->keepResponsive(); }
            RecordingProgress *inner = nullptr;
            std::chrono::microseconds delay{};
        } progress;
        progress.inner = &recording;
        progress.delay = std::chrono::microseconds(walkDelayMicros);
        DirectoryBackup backup(fs, progress, state, target, f.settings);
        backup.setThreads(threads);
        backup.setHelperStartDelay(std::chrono::milliseconds(0));
        int starts = 0;
        backup.setThreadStart([&starts, failingStart](std::function<void()> run) {
            if (++starts == failingStart)
                throw std::system_error(EAGAIN, std::generic_category());
            return std::thread(std::move(run));
        });
        backup.VzSichern(f.source);
        backup.VzSichern(f.source + "/d4");
        backup.finish();
        result.texts = recording.texts;
        for (const SaveFailure &failure : backup.failures())
            result.failures << QString::fromStdString(failure.path) + "|" + QString::number(failure.error);
        for (const std::string &name : sortedNames(target + "/" + FolderName))
            result.copies.emplace_back(name, readFile(target + "/" + FolderName + "/" + name));
        return result;
    };

    const Run single = run(1);
    const Run threaded = run(2);
    const Run many = run(5);
    QCOMPARE(single.failures.size(), failureCount);
    QVERIFY(single.copies.size() > 500);
    QCOMPARE(std::count_if(single.copies.begin(), single.copies.end(), [](const auto &copy) { return copy.second == "w"; }),
             300);
    QCOMPARE(std::count(single.texts.begin(), single.texts.end(), Checking + f.source + "/d4"), 2);
    // The second walk of d4 meets only files saved already.
    QCOMPARE(std::count_if(single.texts.begin(), single.texts.end(),
                           [&f](const std::string &text) { return text.starts_with(Saving + f.source + "/d4/"); }),
             std::count_if(single.copies.begin(), single.copies.end(),
                           [](const auto &copy) { return copy.second && copy.second->starts_with("d4/"); }));
    QVERIFY(std::any_of(single.texts.begin(), single.texts.end(),
                        [](const std::string &text) { return text.size() > PATH_MAX && text.starts_with(Saving); }));
    QCOMPARE(toStrings(threaded.texts), toStrings(single.texts));
    QCOMPARE(threaded.failures, single.failures);
    QVERIFY(threaded.copies == single.copies);
    QCOMPARE(toStrings(many.texts), toStrings(single.texts));
    QCOMPARE(many.failures, single.failures);
    QVERIFY(many.copies == single.copies);

    // A tree walked within the start delay starts no helper.
    RunState state{timePointOf(Start), FolderName, false};
    RecordingProgress progress;
    DirectoryBackup small(f.fs, progress, state, f.root + "/stick-small", f.settings);
    int starts = 0;
    small.setThreads(5);
    small.setHelperStartDelay(std::chrono::hours(1));
    small.setThreadStart([&starts](std::function<void()> run) {
        ++starts;
        return std::thread(std::move(run));
    });
    small.VzSichern(f.source + "/d0");
    QCOMPARE(starts, 0);
}

void tst_DirectoryBackup::changingTree_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("roots"); // below the source
    QTest::addColumn<unsigned>("threads");
    // Beside the 30 files of top/d0..d9, "-name" for one not saved; "<d8>" the
    // file that took the place of the directory at the ninth place.
    QTest::addColumn<QStringList>("expected");

    const QStringList top{"top"};
    const QList<std::tuple<const char *, QString, QStringList, QStringList>> cases = {
        {"ancestor renamed", "rename top", top, {}},
        {"directory swapped", "swap d7", top, {"-f70.txt", "-f71.txt", "-f72.txt", "n7.txt"}},
        {"directory to file", "d8 to file", top, {"-f80.txt", "-f81.txt", "-f82.txt", "<d8>"}},
        {"file to fifo", "f61 to fifo", top, {"-f61.txt"}},
        {"file to directory", "f61 to directory", top, {"-f61.txt", "inner.txt"}},
        {"file removed", "remove f61", top, {"-f61.txt"}},
        {"listed twice", "", {"top", "top"}, {}},
        {"nested", "", {"top/d3", "top"}, {}},
        {"hard link", "link f00", top, {}},
        {"rewritten in place", "rewrite u5", top, {"u5.txt"}},
        {"new time only", "touch u5", top, {"u5.txt"}},
        {"rewritten elsewhere", "rewrite u5 elsewhere", top, {"u5.txt"}},
        {"inode reused", "f00 replaced by zz", top, {"zz.txt"}},
        {"proc mounted", "mount proc", top, {}},
    };
    for (const auto &[name, change, roots, expected] : cases) {
        for (const unsigned threads : {1u, 4u})
            QTest::addRow("%s, %u", name, threads) << change << roots << threads << expected;
    }
}

// The tree changes while it is saved, at the moment the walk opens top/d2's
// first file for its copy: by then the helpers have listed what follows.
// Whatever the number of threads, each file is saved once, whole, with its
// own time, or skipped when it is gone; nothing is reported.
void tst_DirectoryBackup::changingTree()
{
    QFETCH(QString, change);
    QFETCH(QStringList, roots);
    QFETCH(unsigned, threads);
    QFETCH(QStringList, expected);
    Fixture &f = *m_fixture;
    f.threads = threads;
    const std::string top = f.source + "/top";
    for (int d = 0; d < 10; ++d)
        QVERIFY(makeDirectories(top + "/d" + std::to_string(d)));
    // The files are named after the place of their directory in the walk.
    const std::vector<std::string> order = directoryOrder(top);
    const auto at = [&](int place) { return top + "/" + order[std::size_t(place)]; };
    std::set<std::string> names;
    for (int place = 0; place < 10; ++place) {
        for (int i = 0; i < 3; ++i) {
            const std::string name = "f" + std::to_string(place) + std::to_string(i) + ".txt";
            QVERIFY(f.file(at(place).substr(f.source.size() + 1) + "/" + name, name));
            names.insert(name);
        }
    }
    // Unchanged when listed; the row may change it in place later.
    const std::string u5 = at(5) + "/u5.txt";
    QVERIFY(f.file(u5.substr(f.source.size() + 1), "u5.txt", false));
    const std::string u5Elsewhere = f.root + "/u5-elsewhere.txt";
    // A file system that hands a removed file's inode number to the next
    // file made (ext4 does), here made to.
    struct stat f00{};
    QCOMPARE(::stat((at(0) + "/f00.txt").c_str(), &f00), 0);
    if (change == "f00 replaced by zz")
        f.fs.reportInode("zz.txt", f00.st_ino);
    if (change == "rewrite u5 elsewhere")
        QCOMPARE(::link(u5.c_str(), u5Elsewhere.c_str()), 0);
    for (const QString &entry : expected) {
        if (entry.startsWith('-'))
            names.erase(entry.mid(1).toStdString());
        else
            names.insert(entry == "<d8>" ? order[8] : entry.toStdString());
    }
    const auto changedFile = [&f](const std::string &path, const std::string &content) {
        return writeFile(path, content) && setMtime(path, shifted(Start, 60));
    };
    const std::string f61 = at(6) + "/f61.txt";
    // Mounted once the save runs, just before the directory below the
    // seventh is opened, by a helper as a rule: a kernel interface, which no
    // walk enters.
    const std::string mountPoint = at(7) + "/kernel";
    std::atomic<int> mountError = 0;
    if (change == "mount proc") {
        if (::geteuid() != 0)
            QSKIP("needs root to mount file systems in a private mount namespace");
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            QSKIP(qPrintable(QString("cannot make a private mount namespace: ") + std::strerror(errno)));
        QVERIFY(makeDirectories(mountPoint));
        mountError = ENOENT;
        f.fs.before(Op::OpenDirectory, "kernel", [&] {
            mountError = ::mount("pendrel-test", mountPoint.c_str(), "proc", 0, nullptr) == 0 ? 0 : errno;
        });
    }
    const auto unmount = qScopeGuard([&] {
        if (change == "mount proc")
            ::umount2(mountPoint.c_str(), MNT_DETACH);
    });
    f.fs.before(Op::OpenForReading, "f20.txt", [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(threads > 1 ? 50 : 0));
        bool done = true;
        if (change == "rename top")
            done = ::rename(top.c_str(), (f.root + "/moved").c_str()) == 0;
        else if (change == "swap d7")
            done = ::rename(at(7).c_str(), (f.root + "/old7").c_str()) == 0 && makeDirectories(at(7))
                && changedFile(at(7) + "/n7.txt", "n7.txt");
        else if (change == "d8 to file")
            done = ::rename(at(8).c_str(), (f.root + "/old8").c_str()) == 0 && changedFile(at(8), order[8]);
        else if (change.startsWith("f61") || change == "remove f61")
            done = ::unlink(f61.c_str()) == 0;
        if (change == "f61 to fifo")
            done = done && ::mkfifo(f61.c_str(), 0644) == 0;
        else if (change == "f61 to directory")
            done = done && makeDirectories(f61) && changedFile(f61 + "/inner.txt", "inner.txt");
        else if (change == "rewrite u5")
            done = changedFile(u5, "u5.txt");
        else if (change == "rewrite u5 elsewhere")
            done = changedFile(u5Elsewhere, "u5.txt");
        else if (change == "touch u5")
            done = setMtime(u5, shifted(Start, 60));
        else if (change == "f00 replaced by zz")
            done = ::unlink((at(0) + "/f00.txt").c_str()) == 0 && changedFile(at(9) + "/zz.txt", "zz.txt");
        else if (change == "link f00")
            done = ::link((at(0) + "/f00.txt").c_str(), (at(9) + "/zz.txt").c_str()) == 0;
        QVERIFY(done);
    });

    // Listings made within the clock tick of a directory's last change are
    // not trusted: the tree is a few ticks old, as a day's tree is.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    for (const QString &root : roots)
        f.engine().VzSichern(f.source + "/" + root.toStdString());
    f.engine().finish();

    QCOMPARE(mountError.load(), 0);
    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(toStrings(f.saved()), toStrings({names.begin(), names.end()}));
    for (const std::string &name : names) {
        QCOMPARE(readFile(f.folder() + "/" + name).value_or("<none>"), name);
        const auto mtime = mtimeOf(f.folder() + "/" + name);
        QVERIFY(mtime && mtime->tv_sec == shifted(Start, 60).tv_sec && mtime->tv_nsec == shifted(Start, 60).tv_nsec);
    }
}

void tst_DirectoryBackup::mountsInTree_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<unsigned>("threads");
    QTest::addColumn<bool>("walked");
    QTest::newRow("proc") << "proc" << 1u << false;
    QTest::newRow("sysfs, helpers") << "sysfs" << 4u << false;
    QTest::newRow("tmpfs, helpers") << "tmpfs" << 4u << true;
}

// Kernel interfaces mounted in a walked tree hold no user data, though their
// files look freshly changed: never entered, not even shown. Other file
// systems mounted there are walked.
void tst_DirectoryBackup::mountsInTree()
{
    QFETCH(QString, type);
    QFETCH(unsigned, threads);
    QFETCH(bool, walked);
    if (::geteuid() != 0)
        QSKIP("needs root to mount file systems in a private mount namespace");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        QSKIP(qPrintable(QString("cannot make a private mount namespace: ") + std::strerror(errno)));
    Fixture &f = *m_fixture;
    f.threads = threads;
    QVERIFY(f.file("a.txt", "a") && makeDirectories(f.source + "/mnt"));
    const std::string mountPoint = f.source + "/mnt";
    QVERIFY2(::mount("pendrel-test", mountPoint.c_str(), type.toLatin1().constData(), 0, nullptr) == 0,
             std::strerror(errno));
    const auto unmount = qScopeGuard([&] { ::umount2(mountPoint.c_str(), MNT_DETACH); });
    if (walked)
        QVERIFY(f.file("mnt/inside.txt", "inside"));

    f.engine().VzSichern(f.source);
    f.engine().VzSichern(mountPoint);
    f.engine().finish();

    QCOMPARE(failureList(f), QStringList());
    QCOMPARE(toStrings(f.saved()), walked ? QStringList({"a.txt", "inside.txt"}) : QStringList({"a.txt"}));
    const bool shown = std::any_of(f.progress.texts.begin(), f.progress.texts.end(),
                                   [&](const std::string &text) { return text.find("/mnt") != std::string::npos; });
    QCOMPARE(shown, walked);
}

void tst_DirectoryBackup::helpersStopAtStick_data()
{
    QTest::addColumn<std::vector<Fault>>("faults");
    QTest::newRow("gone") << std::vector<Fault>{{Op::CreateExclusive, ENODEV, 1, true, ""}};
    QTest::newRow("full") << std::vector<Fault>{{Op::CopyRange, ENOSPC, 1, false, ""}};
}

// Once the stick is gone or full, nothing more is read ahead for copies that
// cannot be made: the first copy fails before the helpers get any work.
void tst_DirectoryBackup::helpersStopAtStick()
{
    QFETCH(std::vector<Fault>, faults);
    Fixture &f = *m_fixture;
    f.threads = 4;
    QVERIFY(f.file("a.txt", "a"));
    for (int d = 0; d < 10; ++d) {
        for (int i = 0; i < 5; ++i)
            QVERIFY(f.file("d" + std::to_string(d) + "/f" + std::to_string(i), "x"));
    }
    for (const Fault &fault : faults)
        f.fs.fail(fault);

    f.engine().VzSichern(f.source);
    f.engine().VzSichern(f.source + "/d3");
    f.engine().finish();

    QVERIFY(!f.engine().failures().empty());
    QCOMPARE(f.fs.calls(Op::Prefetch), 0);
}

QTEST_GUILESS_MAIN(tst_DirectoryBackup)
#include "tst_directorybackup.moc"
