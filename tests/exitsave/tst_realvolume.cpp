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

// Runs a command; on failure returns what it printed.
QString runCommand(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60000))
        return program + ": " + process.errorString();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return program + ": " + QString::fromLocal8Bit(process.readAll()).trimmed();
    return {};
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
    bool mountImage(const QString &label, const std::string &mountPoint);

    QTemporaryDir m_dir;
    std::vector<std::string> m_mounts;
};

bool tst_RealVolume::mountImage(const QString &label, const std::string &mountPoint)
{
    const QString image = m_dir.filePath(label + ".img");
    for (const QString &error : {runCommand("truncate", {"-s", "16M", image}),
                                 runCommand("mkfs.ext4", {"-q", "-L", label, image})}) {
        if (!error.isEmpty()) {
            qWarning("%s", qPrintable(error));
            return false;
        }
    }
    if (!makeDirectories(mountPoint))
        return false;
    const QString error = runCommand("mount", {"-o", "loop", image, QString::fromStdString(mountPoint)});
    if (!error.isEmpty()) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    m_mounts.push_back(mountPoint);
    return true;
}

void tst_RealVolume::initTestCase()
{
    QVERIFY2(m_dir.isValid(), qPrintable(m_dir.errorString()));
    if (::geteuid() != 0)
        QSKIP("needs root: mounts file-system images in a private mount namespace");
    if (::unshare(CLONE_NEWNS) != 0)
        QSKIP(qPrintable(QStringLiteral("no private mount namespace: %1").arg(qt_error_string(errno))));
    // Nothing mounted from here on may reach the host.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        QSKIP(qPrintable(QStringLiteral("cannot make mounts private: %1").arg(qt_error_string(errno))));
    if (!exists("/media"))
        QSKIP("no /media to mount over");
    QVERIFY2(::mount("tmpfs", "/media", "tmpfs", 0, "mode=0755") == 0, qPrintable(qt_error_string(errno)));
    m_mounts.push_back("/media");

    // "A DISK" sorts first, so only the label picks STICK.
    if (!mountImage("OTHER", "/media/root/A DISK") || !mountImage("STICK", "/media/root/STICK"))
        QSKIP("cannot make or loop-mount an ext4 image here (see warning)");
}

void tst_RealVolume::cleanupTestCase()
{
    for (auto it = m_mounts.rbegin(); it != m_mounts.rend(); ++it)
        ::umount2(it->c_str(), MNT_DETACH);
}

void tst_RealVolume::savesToTheLabelledVolume()
{
    const VolumeFinder finder;
    const std::vector<Volume> volumes = finder.removableVolumes();
    QCOMPARE(volumes.size(), std::size_t(2));
    QCOMPARE(volumes[0].mountPoint, std::string("/media/root/A DISK"));
    QCOMPARE(volumes[0].label, std::string("OTHER"));
    QCOMPARE(volumes[1].label, std::string("STICK"));

    const std::string root = m_dir.path().toStdString();
    const std::string work = root + "/Texte";
    const std::string settingsFile = root + "/sichern.txt";
    QVERIFY(makeDirectories(work + "/Briefe"));
    const std::string settingsBytes = "stick\r\n" + work + "\r\n";
    QVERIFY(writeFile(settingsFile, settingsBytes));

    RunState state;
    state.StartZeit = system_clock::now();
    const timespec start = timespecOf(state.StartZeit);
    struct File
    {
        std::string path;
        timespec mtime;
    };
    // Changed in the start's own second but after it, later, and before.
    const std::vector<File> files = {{work + "/same-second.txt", shifted(start, 0, 1)},
                                     {work + "/Briefe/brief.doc", shifted(start, 2)},
                                     {work + "/old.txt", shifted(start, -1)}};
    for (const File &file : files) {
        QVERIFY(writeFile(file.path, "contents of " + file.path));
        QVERIFY(setMtime(file.path, file.mtime));
    }

    const LoadResult loaded = loadSettings(settingsFile);
    QCOMPARE(loaded.status, LoadStatus::Loaded);
    FakeHost host(loaded.settings);
    ScriptedMessageBoxes boxes;
    const SystemClock clock;
    PosixFileSystem fileSystem;
    RecordingProgress progress;
    const ExitServices services{boxes, clock, fileSystem, progress,
                                [&finder](const std::string &name) { return finder.query(name); }, settingsFile};
    const TimePoint before = system_clock::now();
    const ExitResult result = runExitSequence(host, services, state);
    const TimePoint after = system_clock::now();

    QVERIFY(boxes.shown.empty());
    QCOMPARE(result.exitStatus(), 0);
    QVERIFY(result.backupFolder == "/media/root/STICK/" + backupFolderName(before)
            || result.backupFolder == "/media/root/STICK/" + backupFolderName(after));
    QCOMPARE(sortedNames(result.backupFolder), (std::vector<std::string>{"brief.doc", "same-second.txt"}));
    QVERIFY(sortedNames("/media/root/A DISK") == std::vector<std::string>{"lost+found"});
    for (const File &file : {files[0], files[1]}) {
        const std::string copy = result.backupFolder + "/" + file.path.substr(file.path.rfind('/') + 1);
        QCOMPARE(readFile(copy), readFile(file.path));
        const std::optional<timespec> mtime = mtimeOf(copy);
        QVERIFY(mtime);
        QCOMPARE(mtime->tv_sec, file.mtime.tv_sec);
        QCOMPARE(mtime->tv_nsec, file.mtime.tv_nsec);
    }
    QCOMPARE(readFile(settingsFile).value_or(""), settingsBytes);
}

QTEST_GUILESS_MAIN(tst_RealVolume)
#include "tst_realvolume.moc"
