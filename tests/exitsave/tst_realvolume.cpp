#include "exitsequence.h"
#include "filesystem.h"
#include "recordingprogress.h"
#include "scriptedmessageboxes.h"
#include "settingsfile.h"
#include "testtree.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>

using namespace pendrel;
using namespace pendrel::test;
using namespace std::chrono;

namespace {

class FakeHost final : public ExitHost
{
public:
    explicit FakeHost(Settings settings) : settings(std::move(settings)) { }
    void restoreWindow() override { }
    std::string diskName() const override { return settings.diskName; }
    int entryCount() const override { return int(settings.directories.size()); }
    std::string entry(int index) const override { return settings.directories.at(std::size_t(index)); }

    Settings settings;
};

// Makes an ext4 image with a label and loop-mounts it; returns what went wrong, or "".
QString mountImage(const QString &image, const QString &label, const QString &mountPoint)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QString script = R"(truncate -s 16M "$1" && mkfs.ext4 -q -L "$2" "$1" && )"
                           R"(mkdir -p "$3" && mount -o loop "$1" "$3")";
    process.start("sh", {"-c", script, "sh", image, label, mountPoint});
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return {};
    return process.errorString() + ": " + QString::fromLocal8Bit(process.readAll()).trimmed();
}

} // namespace

// From sichern.txt to the dated folder on a real labelled ext4 volume,
// mounted below /media/root in a private mount namespace of this process.
class tst_RealVolume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void savesToTheLabelledVolume();

private:
    QTemporaryDir m_dir;
    QStringList m_mounts;
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
    m_mounts << "/media";

    // "A DISK" sorts first, so only the label picks STICK.
    for (const QString label : {"OTHER", "STICK"}) {
        const QString mountPoint = label == "OTHER" ? "/media/root/A DISK" : "/media/root/" + label;
        const QString error = mountImage(m_dir.filePath(label + ".img"), label, mountPoint);
        if (!error.isEmpty())
            QSKIP(qPrintable("cannot make or loop-mount an ext4 image here: " + error));
        m_mounts << mountPoint;
    }
}

void tst_RealVolume::cleanupTestCase()
{
    for (auto it = m_mounts.crbegin(); it != m_mounts.crend(); ++it)
        ::umount2(qPrintable(*it), MNT_DETACH);
}

void tst_RealVolume::savesToTheLabelledVolume()
{
    const std::string work = m_dir.path().toStdString() + "/Texte";
    const std::string settingsFile = m_dir.path().toStdString() + "/sichern.txt";
    const std::string settingsBytes = "stick\r\n" + work + "\r\n";
    QVERIFY(makeDirectories(work + "/Briefe"));
    QVERIFY(writeFile(settingsFile, settingsBytes));

    RunState state;
    state.StartZeit = system_clock::now();
    const timespec start = timespecOf(state.StartZeit);
    // Changed in the start's own second but after it, later, and before.
    const std::vector<std::pair<std::string, timespec>> files = {{"same-second.txt", shifted(start, 0, 1)},
                                                                 {"Briefe/brief.doc", shifted(start, 2)},
                                                                 {"old.txt", shifted(start, -1)}};
    for (const auto &[path, mtime] : files)
        QVERIFY(writeFile(work + "/" + path, "contents of " + path) && setMtime(work + "/" + path, mtime));

    const LoadResult loaded = loadSettings(settingsFile);
    QCOMPARE(loaded.status, LoadStatus::Loaded);
    FakeHost host(loaded.settings);
    ScriptedMessageBoxes boxes;
    const SystemClock clock;
    PosixFileSystem fileSystem;
    RecordingProgress progress;
    const VolumeFinder finder;
    const ExitServices services{boxes, clock, fileSystem, progress,
                                [&finder](const std::string &name) { return finder.query(name); }, settingsFile};
    const TimePoint before = system_clock::now();
    const ExitResult result = runExitSequence(host, services, state);
    const TimePoint after = system_clock::now();

    QCOMPARE(result.exitStatus(), 0);
    QVERIFY(result.backupFolder == "/media/root/STICK/" + backupFolderName(before)
            || result.backupFolder == "/media/root/STICK/" + backupFolderName(after));
    QCOMPARE(sortedNames(result.backupFolder), (std::vector<std::string>{"brief.doc", "same-second.txt"}));
    QVERIFY(sortedNames("/media/root/A DISK") == std::vector<std::string>{"lost+found"});
    for (const auto &[path, mtime] : {files[0], files[1]}) {
        const std::string copy = result.backupFolder + "/" + path.substr(path.rfind('/') + 1);
        QCOMPARE(readFile(copy).value_or(""), "contents of " + path);
        const timespec copied = mtimeOf(copy).value_or(timespec{});
        QCOMPARE(copied.tv_sec, mtime.tv_sec);
        QCOMPARE(copied.tv_nsec, mtime.tv_nsec);
    }
    QCOMPARE(readFile(settingsFile).value_or(""), settingsBytes);
}

QTEST_GUILESS_MAIN(tst_RealVolume)
#include "tst_realvolume.moc"
