#include "exitsequence.h"
#include "faultyfilesystem.h"
#include "frmsichern.h"
#include "scriptedmessageboxes.h"
#include "testtree.h"

#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>

#include <cstring>
#include <functional>
#include <map>

using namespace pendrel;
using namespace pendrel::test;
using namespace std::chrono;

Q_DECLARE_METATYPE(std::vector<pendrel::test::Fault>)

namespace {

const std::string LongName = std::string(251, 'n') + ".txt";

class PastClock final : public Clock
{
public:
    TimePoint now() const override { return when; }
    TimePoint when = system_clock::now() - hours(1);
};


// Runs `hook` on every event ("checking <directory>", "saving <file>"),
// before the walk goes on.
class HookedProgress final : public Progress
{
public:
    void checking(const std::string &directory) override { run("checking " + directory); }
    void saving(const std::string &file) override { run("saving " + file); }
    void keepResponsive() override { }
    std::function<void(const std::string &)> hook;

private:
    void run(const std::string &event)
    {
        if (hook)
            hook(event);
    }
};

std::string pattern(std::size_t size, char seed)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = char((i * 131 + std::size_t(seed)) % 251);
    return data;
}

std::string baseName(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

} // namespace

class tst_ExitFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void exitSave_data();
    void exitSave();
    void settingsInput_data();
    void settingsInput();

private:
    bool mountTmpfs(const std::string &where, const char *options);

    QTemporaryDir *m_dir = nullptr;
    std::string m_root;
    std::string m_stick;
    std::string m_settings;
    // Changed files by path below m_root; the walk meets them in this order
    // within "work" (one per level); "other" comes after it.
    std::map<std::string, std::string> m_files;
    std::vector<std::string> m_mounts;
    bool m_namespace = false;
};

void tst_ExitFaults::initTestCase()
{
    qputenv("TZ", "UTC");
    ::tzset();
    // Mounts below stay in this process's own namespace.
    m_namespace = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0
               && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

void tst_ExitFaults::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    m_root = m_dir->path().toStdString();
    m_stick = m_root + "/stick";
    m_settings = m_root + "/app/sichern.txt";
    for (const char *dir : {"/stick", "/app", "/work/sub/sub/sub/sub", "/other", "/big/more"})
        QVERIFY(makeDirectories(m_root + dir));
    m_files = {{"work/a.txt", "a"},
               {"work/sub/b.txt", "b"},
               {"work/sub/sub/c.bin", pattern(300 * 1024, 'c')},
               {"work/sub/sub/sub/d.txt", "d"},
               {"work/sub/sub/sub/sub/" + LongName, "first long"},
               {"other/e.txt", "e"},
               {"other/x:y.txt", "colon"},
               {"other/why?.txt", "question"},
               {"other/" + LongName, "second long"}};
    for (const auto &[path, content] : m_files)
        QVERIFY(writeFile(m_root + "/" + path, content));
    QVERIFY(writeFile(m_root + "/work/old.txt", "old"));
    QVERIFY(setMtime(m_root + "/work/old.txt", timespecOf(system_clock::now() - hours(2))));
    QVERIFY(writeFile(m_root + "/plain.txt", "plain"));
    QCOMPARE(::mkfifo((m_root + "/pipe").c_str(), 0644), 0);
}

void tst_ExitFaults::cleanup()
{
    for (auto it = m_mounts.rbegin(); it != m_mounts.rend(); ++it)
        ::umount2(it->c_str(), MNT_DETACH);
    m_mounts.clear();
    delete m_dir;
    m_dir = nullptr;
}

bool tst_ExitFaults::mountTmpfs(const std::string &where, const char *options)
{
    if (::mount("pendrel-test", where.c_str(), "tmpfs", 0, options) != 0)
        return false;
    m_mounts.push_back(where);
    return true;
}

void tst_ExitFaults::exitSave_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("extraEntries");
    QTest::addColumn<std::vector<Fault>>("faults");
    QTest::addColumn<QStringList>("failures"); // "path below the root|errno"

    const QStringList none;
    using F = std::vector<Fault>;
    auto failedFrom = [](int first, int error) {
        const QStringList order{"work/sub/b.txt", "work/sub/sub/c.bin", "work/sub/sub/sub/d.txt",
                                QString::fromStdString("work/sub/sub/sub/sub/" + LongName), "other/e.txt",
                                "other/x:y.txt", "other/why?.txt", QString::fromStdString("other/" + LongName)};
        QStringList list;
        for (int i = first; i < order.size(); ++i)
            list << order[i] + "|" + QString::number(error);
        return list;
    };
    QTest::newRow("clean") << "" << none << F{} << none;
    QTest::newRow("gone ENODEV") << "" << none << F{{Op::CreateExclusive, ENODEV, 3, true, ".pendrel-"}} << failedFrom(1, ENODEV);
    QTest::newRow("gone EIO") << "" << none << F{{Op::CopyRange, EIO, 2, true, ".pendrel-"}, {Op::Write, EIO, 1, true, ".pendrel-"}}
                              << failedFrom(0, EIO);
    QTest::newRow("read EACCES") << "" << none << F{{Op::OpenForReading, EACCES, 1, false, "b.txt"}}
                                 << QStringList{"work/sub/b.txt|" + QString::number(EACCES)};
    QTest::newRow("read EIO") << "" << none
                              << F{{Op::CopyRange, EIO, 1, false, "c.bin"}, {Op::Read, EIO, 1, false, "c.bin"}}
                              << QStringList{"work/sub/sub/c.bin|" + QString::number(EIO)};
    QTest::newRow("dir EACCES") << "" << none << F{{Op::OpenDirectory, EACCES, 1, false, "sub"}}
                                << QStringList{"work/sub|" + QString::number(EACCES)};
    // As NTFS refuses them: saved under substitutes, reported, not failed.
    QTest::newRow("names refused") << "refused names" << none
                                   << F{{Op::RenameNoReplace, EINVAL, 1, true, ":"},
                                        {Op::RenameNoReplace, EINVAL, 1, true, "?"},
                                        {Op::Rename, EINVAL, 1, true, ":"}, {Op::Rename, EINVAL, 1, true, "?"}}
                                   << none;
    QTest::newRow("listed missing") << "" << QStringList{"@/gone"} << F{} << QStringList{"gone|2"};
    QTest::newRow("listed file") << "" << QStringList{"@/plain.txt"} << F{} << QStringList{"plain.txt|20"};
    QTest::newRow("listed fifo") << "" << QStringList{"@/pipe"} << F{} << QStringList{"pipe|20"};
    QTest::newRow("empty entry") << "" << QStringList{""} << F{} << QStringList{"|2"};
    // Deleted, or replaced by a FIFO, after it changed: nothing is left to
    // save, nothing to report.
    QTest::newRow("vanished") << "vanish" << none << F{} << none;
    QTest::newRow("became fifo") << "fifo" << none << F{} << none;
    // Rewritten during each of its copies: reported, no torn copy kept.
    QTest::newRow("changing") << "changing" << none << F{}
                              << QStringList{"work/sub/sub/c.bin|" + QString::number(EAGAIN)};
    QTest::newRow("volume full") << "full" << QStringList{"@/big"} << F{} << QStringList{"big/more/x2.bin|28"};
    QTest::newRow("detached first") << "detach first" << none << F{} << none;
    QTest::newRow("detached midway") << "detach midway" << none << F{} << none;
    QTest::newRow("app read-only") << "read-only app" << none << F{} << none;
}

// Every changed file ends up saved byte for byte or listed in the one
// message; sichern.txt holds the name and every entry whenever it was written.
void tst_ExitFaults::exitSave()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, extraEntries);
    QFETCH(std::vector<Fault>, faults);
    QFETCH(QStringList, failures);

    if (setup == "full" || setup.startsWith("detach") || setup == "read-only app") {
        if (!m_namespace)
            QSKIP("needs root and a private mount namespace to mount tmpfs");
        QVERIFY(mountTmpfs(m_stick, setup == "full" ? "size=1m" : "size=64m"));
    }
    if (setup == "full") {
        m_files["big/x1.bin"] = pattern(600 * 1024, '1');
        m_files["big/more/x2.bin"] = pattern(600 * 1024, '2');
        for (const char *name : {"big/x1.bin", "big/more/x2.bin"})
            QVERIFY(writeFile(m_root + "/" + name, m_files[name]));
    }
    const std::string oldSettings = "OLD\r\n";
    if (setup == "read-only app") {
        QVERIFY(mountTmpfs(m_root + "/app", "size=1m"));
        QVERIFY(writeFile(m_settings, oldSettings));
        QCOMPARE(::mount(nullptr, (m_root + "/app").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    }

    ExitSnapshot snapshot{"STICK", {m_root + "/work", m_root + "/other"}};
    for (QString entry : extraEntries)
        snapshot.entries.push_back(entry.replace("@", QString::fromStdString(m_root)).toStdString());
    // The stick as it was when the save began, whatever happens to its mount.
    const int stickFd = ::open(m_stick.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(stickFd >= 0);
    const std::string pinned = "/proc/self/fd/" + std::to_string(stickFd);

    HookedProgress progress;
    const std::string victim = m_root + "/work/sub/b.txt";
    progress.hook = [&](const std::string &text) {
        const bool first = setup == "detach first" && text == "checking " + snapshot.entries.front();
        const bool midway = setup == "detach midway" && text.starts_with("saving ") && text.ends_with("c.bin");
        if (first || midway)
            QCOMPARE(::umount2(m_stick.c_str(), MNT_DETACH), 0);
    };
    const bool settingsFail = setup == "read-only app";
    const std::map<std::string, std::string> substitutes =
        setup == "refused names" ? std::map<std::string, std::string>{{"other/x:y.txt", "x_y.txt"},
                                                                      {"other/why?.txt", "why_.txt"}}
                                 : std::map<std::string, std::string>{};
    const std::size_t reports = std::size_t(!failures.isEmpty() || !substitutes.empty());
    ScriptedMessageBoxes boxes(std::deque<Answer>(std::size_t(settingsFail) + reports, Answer::Ok));
    PastClock clock;
    FaultyFileSystem fileSystem;
    for (const Fault &fault : faults)
        fileSystem.fail(fault);
    // Between the stat that found the file changed and its open for the copy.
    if (setup == "vanish" || setup == "fifo") {
        fileSystem.before(Op::OpenForReading, "b.txt", [&] {
            QCOMPARE(::unlink(victim.c_str()), 0);
            if (setup == "fifo")
                QCOMPARE(::mkfifo(victim.c_str(), 0644), 0);
        });
    }
    const std::string rewritten = m_root + "/work/sub/sub/c.bin";
    for (int copy = 1; setup == "changing" && copy <= 2; ++copy) {
        fileSystem.before(Op::CopyRange, "c.bin", [&rewritten, copy] {
            QVERIFY(writeFile(rewritten, pattern(300 * 1024, char('0' + copy))));
            QVERIFY(setMtime(rewritten, timespecOf(system_clock::now() + hours(copy))));
        }, copy);
    }
    const ExitServices services{boxes, clock, fileSystem, progress,
                                [this](const std::string &) { return Volume{m_stick, "/dev/test", "STICK"}; },
                                m_settings, 1}; // one thread: faults hit the nth call
    const ExitResult result = runExitSequence(snapshot, clock.when, services);

    QStringList reported;
    std::string details;
    for (const SaveFailure &failure : result.failures) {
        const std::string path = failure.path.starts_with(m_root + "/") ? failure.path.substr(m_root.size() + 1)
                                                                         : failure.path;
        reported << QString::fromStdString(path) + "|" + QString::number(failure.error);
        const std::string reason = failure.kind == FailureKind::NotTried ? "not tried, the stick was removed"
                                 : failure.kind == FailureKind::Changing ? "changed while it was being saved"
                                                                          : std::strerror(failure.error);
        details += (details.empty() ? "" : "\n") + failure.path + ": " + reason;
    }
    reported.sort();
    failures.sort();
    QCOMPARE(reported, failures);
    QVERIFY(result.saved);
    QCOMPARE(result.settingsWritten, !settingsFail);
    QCOMPARE(result.exitStatus(), int(settingsFail || !failures.isEmpty()));
    QCOMPARE(boxes.unanswered(), std::size_t(0));
    QCOMPARE(boxes.shown.size(), std::size_t(settingsFail) + reports);
    if (!failures.isEmpty())
        QCOMPARE(boxes.shown.back().details, details);
    const auto notTried = std::count_if(result.failures.begin(), result.failures.end(),
                                        [](const SaveFailure &failure) { return failure.kind == FailureKind::NotTried; });
    if (notTried > 0)
        QVERIFY(boxes.shown.back().text.ends_with("\nstick removed: " + std::to_string(notTried) + " not tried"));
    if (!substitutes.empty()) {
        QStringList renamed = QString::fromStdString(boxes.shown.back().details).split('\n');
        renamed.sort();
        QStringList expectedRenamed;
        for (const auto &[path, name] : substitutes)
            expectedRenamed << QString::fromStdString(m_root + "/" + path + " as " + name);
        QCOMPARE(renamed, expectedRenamed);
        QVERIFY(boxes.shown.back().text.starts_with("2 files were saved under another name:\n"));
    }
    if (settingsFail)
        QCOMPARE(boxes.shown.front().text, "The settings could not be saved.\nCannot create a temporary file beside "
                                                   + m_settings + ": Read-only file system");

    std::string expectedSettings = "STICK\r\n";
    for (const std::string &entry : snapshot.entries)
        expectedSettings += entry + "\r\n";
    QCOMPARE(readFile(m_settings), std::optional(settingsFail ? oldSettings : expectedSettings));

    // Saved: every changed file not reported (and not deleted), under its own
    // name or, for the second long name, a numbered one cut to 255 bytes.
    const std::string folder = pinned + result.backupFolder.substr(result.backupFolder.rfind('/'));
    auto lost = [&](const std::string &path) {
        const bool deleted = m_root + "/" + path == victim && (setup == "vanish" || setup == "fifo");
        return deleted || std::any_of(failures.begin(), failures.end(), [&](const QString &failure) {
                   const std::string failed = failure.section('|', 0, 0).toStdString();
                   return path == failed || path.starts_with(failed + "/");
               });
    };
    std::vector<std::string> expected;
    for (const auto &[path, content] : m_files) {
        if (lost(path))
            continue;
        std::string name = substitutes.contains(path) ? substitutes.at(path) : baseName(path);
        if (path == "other/" + LongName && !lost("work/sub/sub/sub/sub/" + LongName))
            name = std::string(247, 'n') + " (2).txt";
        expected.push_back(name);
        QVERIFY2(readFile(folder + "/" + name) == std::optional(content), path.c_str());
    }
    std::sort(expected.begin(), expected.end());
    QCOMPARE(sortedNames(folder), expected);
    // Nothing landed beside the stick once it was detached.
    if (setup.startsWith("detach"))
        QCOMPARE(sortedNames(m_stick), std::vector<std::string>{});
    ::close(stickFd);
}

void tst_ExitFaults::settingsInput_data()
{
    QTest::addColumn<QByteArray>("contents"); // "@" stands for the work directory; "": a directory
    QTest::addColumn<int>("moveError");       // of moving an unreadable file aside
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("exitStatus");

    const QByteArray work = "@\r\n";
    // Moved aside, never replaced unread; left as it is when it cannot be moved.
    QTest::newRow("directory") << QByteArray() << 0
                               << QStringList{"The file Sichern.txt cannot be read: Is a directory."} << 0;
    QTest::newRow("fifo, not moved") << QByteArray("|") << EINVAL
                                     << QStringList{"The file Sichern.txt cannot be read: Invalid argument.",
                                                    "The settings could not be saved."}
                                     << 1;
    QTest::newRow("long name") << QByteArray(100000, 'N') + "\r\n" + work << 0 << QStringList{} << 0;
    QTest::newRow("nul garbage") << QByteArray("\0\xff\x01 name\0\r\n", 11) + work + QByteArray("\0\x80\x7f\r\n", 5)
                                 << 0 << QStringList{"1 item was not saved:"} << 1;
}

// Through the window: whatever the file holds, no crash, one message for each
// thing not done, and the bytes read come back unchanged.
void tst_ExitFaults::settingsInput()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, moveError);
    QFETCH(QStringList, messages);
    QFETCH(int, exitStatus);

    const QByteArray work = QByteArray::fromStdString(m_root + "/work");
    contents.replace('@', work);
    if (contents.isEmpty())
        QVERIFY(makeDirectories(m_settings));
    else if (contents == "|")
        QCOMPARE(::mkfifo(m_settings.c_str(), 0600), 0);
    else
        QVERIFY(writeFile(m_settings, contents.toStdString()));

    ScriptedMessageBoxes boxes(std::deque<Answer>(std::size_t(messages.size()), Answer::Ok));
    PastClock clock;
    FaultyFileSystem fileSystem;
    if (moveError)
        fileSystem.fail({Op::RenameNoReplace, moveError, 1, true, ""});
    frmSichern window({.boxes = boxes,
                       .clock = clock,
                       .fileSystem = fileSystem,
                       .removableVolumes = {},
                       .queryVolume = [this](const std::string &name) { return Volume{m_stick, "/dev/test", name}; },
                       .settingsFile = m_settings,
                       .readmeFile = {}});
    window.Form_Load();
    window.show();
    window.close();
    QTRY_VERIFY(!window.isVisible());

    QCOMPARE(window.exitStatus(), exitStatus);
    QStringList shown;
    for (const auto &box : boxes.shown)
        shown << QString::fromStdString(box.text).section('\n', 0, 0);
    QCOMPARE(shown, messages);
    if (contents.isEmpty()) {
        QCOMPARE(QString::fromStdString(boxes.shown.front().text).section('\n', 1, 1),
                 QString::fromStdString("It is kept as " + m_settings + ".unreadable."));
        QCOMPARE(sortedNames(m_settings + ".unreadable"), std::vector<std::string>{});
        QCOMPARE(readFile(m_settings).value_or(""), std::string("Text1\r\n"));
    } else if (moveError) {
        struct stat st;
        QVERIFY(::lstat(m_settings.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
        QCOMPARE(boxes.shown.back().text, "The settings could not be saved.\n" + m_settings
                                                  + " is left as it is: it could not be read at the start, nor "
                                                    "moved aside");
    } else
        QVERIFY(readFile(m_settings) == contents.toStdString());
}

QTEST_MAIN(tst_ExitFaults)
#include "tst_exitfaults.moc"
