#include "exitsequence.h"
#include "filesystem.h"
#include "recordingprogress.h"
#include "scriptedmessageboxes.h"
#include "settingsfile.h"
#include "testtree.h"

#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <algorithm>
#include <map>
#include <sys/mount.h>

using namespace pendrel;
using namespace pendrel::test;
using namespace std::chrono;

namespace {

// Runs a function of tests/common/stick.sh; returns what went wrong, or "".
QString stickScript(const QString &function, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("bash", QStringList{"-c", ". \"$0\" && \"$@\"", PENDREL_STICK_SCRIPT, function} + arguments);
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return {};
    return function + ": " + process.errorString() + ": " + QString::fromLocal8Bit(process.readAll()).trimmed();
}

} // namespace

// From sichern.txt to the dated folder on real labelled sticks, mounted below
// /media/root in a private mount namespace of this process, the way desktops
// mount them: ext4 in the kernel, exFAT and NTFS through FUSE.
class tst_RealVolume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void savesToTheLabelledVolume_data();
    void savesToTheLabelledVolume();

private:
    QTemporaryDir m_dir;
    bool m_mediaMounted = false;
};

void tst_RealVolume::initTestCase()
{
    QVERIFY2(m_dir.isValid(), qPrintable(m_dir.errorString()));
    if (::geteuid() != 0)
        QSKIP("needs root: mounts file-system images in a private mount namespace");
    // Nothing mounted from here on may reach the host.
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        QSKIP(qPrintable("no private mount namespace: " + qt_error_string(errno)));
    if (!exists("/media"))
        QSKIP("no /media to mount over");
    QVERIFY2(::mount("tmpfs", "/media", "tmpfs", 0, "mode=0755") == 0, qPrintable(qt_error_string(errno)));
    m_mediaMounted = true;
    // "A DISK" sorts first, so only the label picks STICK.
    const QString error = stickScript("make_stick", {"ext4", m_dir.filePath("other.img"), "/media/root/A DISK", "OTHER"});
    if (!error.isEmpty())
        QSKIP(qPrintable("cannot make or loop-mount an ext4 image here: " + error));
}

void tst_RealVolume::cleanupTestCase()
{
    if (!m_mediaMounted)
        return;
    QCOMPARE(stickScript("remove_stick", {"/media/root/A DISK"}), QString());
    ::umount2("/media", MNT_DETACH);
}

void tst_RealVolume::savesToTheLabelledVolume_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("tool");
    QTest::addColumn<long>("mtimeStepNs"); // the stick's time resolution
    QTest::addColumn<QStringList>("saved"); // "source below the tree|name on the stick", sorted by name

    const QStringList asTheyAre{"Brief.doc|Brief.doc",
                                "10:15 notes.txt|10:15 notes.txt",
                                "caf\xe9.txt|caf\xe9.txt",
                                "what?.txt.|what?.txt.",
                                "Briefe/brief.doc|brief.doc",
                                "same-second.txt|same-second.txt"};
    QTest::newRow("ext4") << "ext4" << "mkfs.ext4" << 1L << asTheyAre;
    // exFAT ignores case and holds times to the second through exfat-fuse.
    QTest::newRow("exfat fuse") << "exfat" << "mount.exfat-fuse" << 1'000'000'000L
                                << QStringList{"Brief.doc|Brief.doc",
                                               "10:15 notes.txt|10_15 notes.txt",
                                               "caf\xe9.txt|caf_.txt",
                                               "what?.txt.|what_.txt_",
                                               "Briefe/brief.doc|brief (2).doc",
                                               "same-second.txt|same-second.txt"};
    // ntfs-3g keeps names that differ only in case apart, Windows does not.
    QTest::newRow("ntfs fuse") << "ntfs" << "ntfs-3g" << 100L
                               << QStringList{"Brief.doc|Brief.doc",
                                              "10:15 notes.txt|10_15 notes.txt",
                                              "caf\xe9.txt|caf_.txt",
                                              "what?.txt.|what_.txt_",
                                              "Briefe/brief.doc|brief (2).doc",
                                              "same-second.txt|same-second.txt"};
}

void tst_RealVolume::savesToTheLabelledVolume()
{
    QFETCH(QString, kind);
    QFETCH(QString, tool);
    QFETCH(long, mtimeStepNs);
    QFETCH(QStringList, saved);
    if (QStandardPaths::findExecutable(tool, {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}).isEmpty())
        QSKIP(qPrintable(tool + " is not installed (scripts/setup.sh installs it)"));
    const QString stick = "/media/root/STICK";
    QCOMPARE(stickScript("make_stick", {kind, m_dir.filePath(kind + ".img"), stick}), QString());
    auto unmount = qScopeGuard([&] { QCOMPARE(stickScript("remove_stick", {stick}), QString()); });

    const std::string work = m_dir.path().toStdString() + "/Texte-" + kind.toStdString();
    const std::string settingsFile = m_dir.path().toStdString() + "/sichern.txt";
    // The sticks' own folder is listed too: the backup folder on the stick
    // is never walked, though exfat-fuse gives every listed entry one d_ino.
    const std::string settingsBytes = "stick\r\n" + work + "\r\n/media/root\r\n";
    QVERIFY(makeDirectories(work + "/Briefe"));
    QVERIFY(writeFile(settingsFile, settingsBytes));

    const TimePoint startZeit = system_clock::now();
    const timespec start = timespecOf(startZeit);
    // Changed in the start's own second but after it, later, and before.
    std::map<std::string, timespec> changed;
    for (const QString &entry : saved)
        changed[entry.section('|', 0, 0).toLatin1().toStdString()] = shifted(start, 2 + changed.size());
    changed["same-second.txt"] = shifted(start, 0, 1);
    for (const auto &[path, mtime] : changed)
        QVERIFY(writeFile(work + "/" + path, "contents of " + path) && setMtime(work + "/" + path, mtime));
    QVERIFY(writeFile(work + "/old.txt", "old") && setMtime(work + "/old.txt", shifted(start, -1)));

    const LoadResult loaded = loadSettings(settingsFile);
    QCOMPARE(loaded.status, LoadStatus::Loaded);
    const qsizetype renamedCount = std::count_if(saved.begin(), saved.end(), [](const QString &entry) {
        return entry.section('|', 0, 0).section('/', -1) != entry.section('|', 1);
    }) - (kind == "exfat" || kind == "ntfs" ? 1 : 0); // a clash number is no substitute
    ScriptedMessageBoxes boxes(std::deque<Answer>(renamedCount > 0 ? 1 : 0, Answer::Ok));
    const SystemClock clock;
    PosixFileSystem fileSystem;
    RecordingProgress progress;
    const VolumeFinder finder;
    const ExitServices services{boxes, clock, fileSystem, progress,
                                [&finder](const std::string &name) { return finder.query(name); }, settingsFile};
    const TimePoint before = system_clock::now();
    const ExitResult result =
            runExitSequence(ExitSnapshot{loaded.settings.diskName, loaded.settings.directories}, startZeit, services);
    const TimePoint after = system_clock::now();

    QCOMPARE(result.exitStatus(), 0);
    QVERIFY2(result.backupFolder == stick.toStdString() + "/" + backupFolderName(before)
                     || result.backupFolder == stick.toStdString() + "/" + backupFolderName(after),
             result.backupFolder.c_str());
    QVERIFY(sortedNames("/media/root/A DISK") == std::vector<std::string>{"lost+found"});
    std::vector<std::string> names;
    for (const QString &entry : saved) {
        const std::string source = entry.section('|', 0, 0).toLatin1().toStdString();
        const std::string copy = result.backupFolder + "/" + entry.section('|', 1).toLatin1().toStdString();
        names.push_back(copy.substr(copy.rfind('/') + 1));
        QVERIFY2(readFile(copy) == "contents of " + source, copy.c_str());
        const auto copied = mtimeOf(copy);
        QVERIFY(copied);
        const auto difference = nanoseconds(timePointOf(changed[source]) - timePointOf(*copied)).count();
        QVERIFY2(difference >= 0 && difference < mtimeStepNs, qPrintable(QString::number(difference)));
    }
    std::sort(names.begin(), names.end());
    QCOMPARE(sortedNames(result.backupFolder), names);
    QCOMPARE(qsizetype(result.renamed.size()), renamedCount);
    QCOMPARE(boxes.shown.size(), std::size_t(renamedCount > 0 ? 1 : 0));
    if (renamedCount > 0)
        QVERIFY(boxes.shown[0].text.starts_with(std::to_string(renamedCount) + " files were saved under another name:\n"));
    QCOMPARE(readFile(settingsFile).value_or(""), settingsBytes);
}

QTEST_GUILESS_MAIN(tst_RealVolume)
#include "tst_realvolume.moc"
