#include "exitsequence.h"
#include "faultyfilesystem.h"
#include "recordingprogress.h"
#include "scriptedmessageboxes.h"
#include "testtree.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <ctime>

using namespace pendrel;
using namespace pendrel::test;
using namespace std::chrono;

Q_DECLARE_METATYPE(Answer)

namespace {

const std::string noDisk = "There is no diskette in drive a:";
const std::string confirm = "You don\xC2\xB4t want to save your work, are you sure?";
const std::string wrongPrefix = "There is the wrong diskette in drive a: !\rPlease insert Disk with Name '";

// 29 May 1998, 14:03:07 UTC.
const TimePoint saveTime = system_clock::from_time_t(896450587);
const std::string savedFolder = "05-29-98_14-03-07";

class FixedClock final : public Clock
{
public:
    explicit FixedClock(TimePoint when) : when(when) { }
    TimePoint now() const override { return when; }
    TimePoint when;
};

class FakeHost final : public ExitHost
{
public:
    FakeHost(std::string name, std::vector<std::string> entries, const ScriptedMessageBoxes &boxes)
        : name(std::move(name)), entries(std::move(entries)), m_boxes(boxes)
    {
    }
    void restoreWindow() override
    {
        ++restored;
        boxesBeforeRestore += int(m_boxes.shown.size());
    }
    std::string diskName() const override { return name; }
    int entryCount() const override { return int(entries.size()); }
    std::string entry(int index) const override { return entries.at(std::size_t(index)); }

    std::string name;
    std::vector<std::string> entries;
    int restored = 0;
    int boxesBeforeRestore = 0;

private:
    const ScriptedMessageBoxes &m_boxes;
};

// Records, with every status text, what sichern.txt and the temporary file
// beside it hold at that moment.
class SettingsWatcher final : public Progress
{
public:
    struct Seen
    {
        std::string status;
        std::string pending;
        std::string current;
    };

    explicit SettingsWatcher(std::string appDir) : m_appDir(std::move(appDir)) { }
    void showStatus(const std::string &text) override
    {
        Seen now{text, {}, readFile(m_appDir + "/sichern.txt").value_or("")};
        for (const std::string &name : sortedNames(m_appDir)) {
            if (name.starts_with(".sichern.txt"))
                now.pending = readFile(m_appDir + "/" + name).value_or("");
        }
        seen.push_back(std::move(now));
    }
    void processPendingEvents() override { }

    std::vector<Seen> seen;

private:
    std::string m_appDir;
};

} // namespace

class tst_ExitSequence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void folderName_data();
    void folderName();
    void dialogue_data();
    void dialogue();
    void emptyList();
    void sameSecond();
    void linesFollowTheirTrees();
    void settingsNotWritable();
    void failuresListed_data();
    void failuresListed();

private:
    struct Run
    {
        ScriptedMessageBoxes boxes;
        FixedClock clock{saveTime};
        FaultyFileSystem fileSystem;
        RecordingProgress progress;
        std::vector<std::string> queried;
    };

    ExitResult run(Run &run, FakeHost &host, std::vector<std::string> volumes, Progress *progress = nullptr);
    std::string volumePath(const std::string &label) const { return m_root + "/media/anna/" + (label.empty() ? "NOLABEL" : label); }

    QTemporaryDir *m_dir = nullptr;
    std::string m_root;
    std::string m_settings;
    std::string m_work;
    RunState m_state;
    const std::string m_oldSettings = "STICK\r\n/old\r\n";
};

void tst_ExitSequence::initTestCase()
{
    qputenv("TZ", "UTC");
    ::tzset();
}

// A settings file, a working tree with one changed and one unchanged file,
// and three "volumes": STICK, OTHER and one without label.
void tst_ExitSequence::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    m_root = m_dir->path().toStdString();
    m_settings = m_root + "/app/sichern.txt";
    m_work = m_root + "/work";
    for (const char *label : {"STICK", "OTHER", ""})
        QVERIFY(makeDirectories(volumePath(label)));
    QVERIFY(makeDirectories(m_root + "/app"));
    QVERIFY(makeDirectories(m_work + "/sub"));
    QVERIFY(makeDirectories(m_root + "/empty"));
    QVERIFY(writeFile(m_settings, m_oldSettings));

    m_state = RunState{};
    m_state.StartZeit = system_clock::now() - hours(1);
    QVERIFY(writeFile(m_work + "/sub/changed.txt", "changed"));
    QVERIFY(writeFile(m_work + "/old.txt", "old"));
    QVERIFY(setMtime(m_work + "/old.txt", timespecOf(m_state.StartZeit - seconds(5))));
}

void tst_ExitSequence::cleanup()
{
    delete m_dir;
    m_dir = nullptr;
}

// volumes: what each query finds, in order: a label, or "-" for none.
ExitResult tst_ExitSequence::run(Run &r, FakeHost &host, std::vector<std::string> volumes, Progress *progress)
{
    std::size_t next = 0;
    const ExitServices services{r.boxes, r.clock, r.fileSystem, progress ? *progress : r.progress,
                                [&](const std::string &expected) -> std::optional<Volume> {
                                    r.queried.push_back(expected);
                                    const std::string label = next < volumes.size() ? volumes[next++] : "-";
                                    if (label == "-")
                                        return std::nullopt;
                                    return Volume{volumePath(label), "/dev/sdb1", label};
                                },
                                m_settings};
    return runExitSequence(host, services, m_state);
}

void tst_ExitSequence::folderName_data()
{
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<QString>("expected");

    const qint64 described = 896450587000;
    QTest::newRow("described") << QByteArray("UTC") << described << "05-29-98_14-03-07";
    QTest::newRow("fraction cut") << QByteArray("UTC") << described + 999 << "05-29-98_14-03-07";
    QTest::newRow("local time") << QByteArray("XXX-2") << described << "05-29-98_16-03-07";
    QTest::newRow("day changes") << QByteArray("XXX+15") << described << "05-28-98_23-03-07";
    QTest::newRow("year 2000") << QByteArray("UTC") << qint64(946684799000) << "12-31-99_23-59-59";
    QTest::newRow("leading zeros") << QByteArray("UTC") << qint64(978397445000) << "01-02-01_01-04-05";
}

void tst_ExitSequence::folderName()
{
    QFETCH(QByteArray, tz);
    QFETCH(qint64, milliseconds);
    QFETCH(QString, expected);

    qputenv("TZ", tz);
    ::tzset();
    const std::string name = backupFolderName(TimePoint(std::chrono::milliseconds(milliseconds)));
    qputenv("TZ", "UTC");
    ::tzset();
    QCOMPARE(QString::fromStdString(name), expected);
}

void tst_ExitSequence::dialogue_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("volumes");
    QTest::addColumn<QList<Answer>>("answers");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QString>("savedTo"); // "" when nothing is saved

    using A = QList<Answer>;
    QTest::newRow("match") << "STICK" << QStringList{"STICK"} << A{} << QStringList{} << "STICK";
    QTest::newRow("case ignored") << "sTick" << QStringList{"STICK"} << A{} << QStringList{} << "STICK";
    QTest::newRow("no name") << "" << QStringList{""} << A{} << QStringList{} << "";
    QTest::newRow("none, retry") << "STICK" << QStringList{"-", "STICK"} << A{Answer::Retry} << QStringList{"none"}
                                 << "STICK";
    QTest::newRow("none, cancel, no") << "STICK" << QStringList{"-", "STICK"} << A{Answer::Cancel, Answer::No}
                                      << QStringList{"none", "confirm"} << "STICK";
    QTest::newRow("none, cancel, yes") << "STICK" << QStringList{"-"} << A{Answer::Cancel, Answer::Yes}
                                       << QStringList{"none", "confirm"} << "-";
    QTest::newRow("wrong, abort, yes") << "STICK" << QStringList{"OTHER"} << A{Answer::Abort, Answer::Yes}
                                       << QStringList{"wrong", "confirm"} << "-";
    QTest::newRow("wrong, abort, no") << "STICK" << QStringList{"OTHER", "STICK"} << A{Answer::Abort, Answer::No}
                                      << QStringList{"wrong", "confirm"} << "STICK";
    QTest::newRow("wrong, retry") << "STICK" << QStringList{"OTHER", "STICK"} << A{Answer::Retry}
                                  << QStringList{"wrong"} << "STICK";
    QTest::newRow("wrong, ignore") << "STICK" << QStringList{"OTHER"} << A{Answer::Ignore} << QStringList{"wrong"}
                                   << "OTHER";
    QTest::newRow("unlabelled is wrong") << "data1" << QStringList{""} << A{Answer::Ignore} << QStringList{"wrong"}
                                         << "";
    QTest::newRow("long way") << "STICK" << QStringList{"-", "OTHER", "-", "STICK"}
                              << A{Answer::Retry, Answer::Retry, Answer::Cancel, Answer::No}
                              << QStringList{"none", "wrong", "none", "confirm"} << "STICK";
}

void tst_ExitSequence::dialogue()
{
    QFETCH(QString, name);
    QFETCH(QStringList, volumes);
    QFETCH(QList<Answer>, answers);
    QFETCH(QStringList, boxes);
    QFETCH(QString, savedTo);

    Run r;
    r.boxes = ScriptedMessageBoxes({answers.begin(), answers.end()});
    // The list was edited during the run: only a save may write it.
    FakeHost host(name.toStdString(), {m_work, m_root + "/empty"}, r.boxes);
    std::vector<std::string> script;
    for (const QString &v : volumes)
        script.push_back(v.toStdString());

    const ExitResult result = run(r, host, script);

    QCOMPARE(host.restored, 1);
    QCOMPARE(host.boxesBeforeRestore, 0);
    QCOMPARE(r.boxes.unanswered(), std::size_t(0));
    QCOMPARE(r.queried.size(), std::size_t(volumes.size()));
    for (const std::string &expected : r.queried)
        QCOMPARE(expected, name.toStdString());

    const std::string wrong = wrongPrefix + name.toStdString();
    QCOMPARE(r.boxes.shown.size(), std::size_t(boxes.size()));
    for (qsizetype i = 0; i < boxes.size(); ++i) {
        const auto &shown = r.boxes.shown[std::size_t(i)];
        const std::string &text = boxes[i] == "none" ? noDisk : boxes[i] == "confirm" ? confirm : wrong;
        const Buttons buttons = boxes[i] == "none"      ? Buttons::RetryCancel
                              : boxes[i] == "confirm" ? Buttons::YesNo
                                                      : Buttons::AbortRetryIgnore;
        QCOMPARE(shown.text, text);
        QCOMPARE(shown.buttons, buttons);
    }

    if (savedTo == "-") {
        QVERIFY(!result.saved);
        QCOMPARE(result.exitStatus(), 0);
        QCOMPARE(readFile(m_settings).value_or(""), m_oldSettings);
        for (const char *label : {"STICK", "OTHER", ""})
            QVERIFY(sortedNames(volumePath(label)).empty());
        QCOMPARE(sortedNames(m_root + "/app"), std::vector<std::string>{"sichern.txt"});
        return;
    }

    const std::string folder = volumePath(savedTo.toStdString()) + "/" + savedFolder;
    QVERIFY(result.saved);
    QCOMPARE(result.backupFolder, folder);
    QCOMPARE(m_state.ZielVz, savedFolder);
    QCOMPARE(sortedNames(folder), std::vector<std::string>{"changed.txt"});
    QCOMPARE(readFile(folder + "/changed.txt").value_or(""), std::string("changed"));
    QCOMPARE(readFile(m_settings).value_or(""), name.toStdString() + "\r\n" + m_work + "\r\n" + m_root + "/empty\r\n");
    QVERIFY(result.settingsWritten);
    QCOMPARE(result.failures.size(), std::size_t(0));
    QCOMPARE(result.exitStatus(), 0);
}

void tst_ExitSequence::emptyList()
{
    Run r;
    FakeHost host("STICK", {}, r.boxes);
    const ExitResult result = run(r, host, {"STICK"});
    QVERIFY(result.saved);
    QCOMPARE(readFile(m_settings).value_or(""), std::string("STICK\r\n"));
    QVERIFY(sortedNames(volumePath("STICK")).empty());
    QVERIFY(r.boxes.shown.empty());
    QCOMPARE(result.exitStatus(), 0);
}

void tst_ExitSequence::sameSecond()
{
    Run first;
    FakeHost host("STICK", {m_work}, first.boxes);
    QCOMPARE(run(first, host, {"STICK"}).exitStatus(), 0);

    QVERIFY(writeFile(m_work + "/later.txt", "later"));
    Run second;
    const ExitResult result = run(second, host, {"STICK"});
    QCOMPARE(result.backupFolder, volumePath("STICK") + "/" + savedFolder);
    QCOMPARE(sortedNames(volumePath("STICK")), std::vector<std::string>{savedFolder});
    QCOMPARE(sortedNames(result.backupFolder),
             (std::vector<std::string>{"changed (2).txt", "changed.txt", "later.txt"}));
    QVERIFY(second.boxes.shown.empty());
    QCOMPARE(result.exitStatus(), 0);
}

// The name line is written before any copy, and each directory's line only
// once its whole tree is done.
void tst_ExitSequence::linesFollowTheirTrees()
{
    QVERIFY(makeDirectories(m_root + "/second"));
    QVERIFY(writeFile(m_root + "/second/b.txt", "b"));
    Run r;
    SettingsWatcher watcher(m_root + "/app");
    FakeHost host("STICK", {m_work, m_root + "/second"}, r.boxes);
    QCOMPARE(run(r, host, {"STICK"}, &watcher).exitStatus(), 0);

    QVERIFY(!watcher.seen.empty());
    bool secondSeen = false;
    for (const SettingsWatcher::Seen &seen : watcher.seen) {
        secondSeen = secondSeen || seen.status.ends_with(m_root + "/second");
        QCOMPARE(seen.pending, secondSeen ? "STICK\r\n" + m_work + "\r\n" : std::string("STICK\r\n"));
        QCOMPARE(seen.current, m_oldSettings);
    }
    QVERIFY(secondSeen);
}

void tst_ExitSequence::settingsNotWritable()
{
    m_settings = m_root + "/gone/sichern.txt";
    Run r;
    r.boxes = ScriptedMessageBoxes({Answer::Ok});
    FakeHost host("STICK", {m_work}, r.boxes);
    const ExitResult result = run(r, host, {"STICK"});

    QVERIFY(result.saved);
    QVERIFY(!result.settingsWritten);
    QCOMPARE(result.exitStatus(), 1);
    QCOMPARE(readFile(result.backupFolder + "/changed.txt").value_or(""), std::string("changed"));
    QCOMPARE(r.boxes.shown.size(), std::size_t(1));
    QCOMPARE(r.boxes.shown[0].text, "The settings could not be saved.\nCannot create a temporary file beside "
                                            + m_settings + ": No such file or directory");
    QCOMPARE(r.boxes.shown[0].buttons, Buttons::Ok);
}

void tst_ExitSequence::failuresListed_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("listed");
    QTest::addColumn<QString>("heading");
    QTest::addColumn<QString>("tail");

    QTest::newRow("one") << 1 << 1 << "1 item was not saved:" << "";
    QTest::newRow("ten") << 10 << 10 << "10 items were not saved:" << "";
    QTest::newRow("twelve") << 12 << 10 << "12 items were not saved:" << "... and 2 more (see details).";
}

void tst_ExitSequence::failuresListed()
{
    QFETCH(int, files);
    QFETCH(int, listed);
    QFETCH(QString, heading);
    QFETCH(QString, tail);

    QVERIFY(makeDirectories(m_root + "/locked"));
    for (int i = 0; i < files; ++i)
        QVERIFY(writeFile(m_root + "/locked/f" + std::to_string(i), "x"));
    Run r;
    r.boxes = ScriptedMessageBoxes({Answer::Ok});
    r.fileSystem.fail({Op::OpenForReading, EACCES, 1, true, "f"});
    FakeHost host("STICK", {m_root + "/locked"}, r.boxes);
    const ExitResult result = run(r, host, {"STICK"});

    QCOMPARE(result.failures.size(), std::size_t(files));
    QCOMPARE(result.exitStatus(), 1);
    QVERIFY(result.settingsWritten);
    QCOMPARE(r.boxes.shown.size(), std::size_t(1));
    const auto &box = r.boxes.shown[0];
    QCOMPARE(box.buttons, Buttons::Ok);

    const QStringList lines = QString::fromStdString(box.text).split('\n');
    QCOMPARE(lines.front(), heading);
    QCOMPARE(lines.size(), 1 + listed + (tail.isEmpty() ? 0 : 1));
    if (!tail.isEmpty())
        QCOMPARE(lines.back(), tail);
    const QString first = QString::fromStdString(result.failures[0].path + ": Permission denied");
    QCOMPARE(lines[1], first);

    const QStringList details = QString::fromStdString(box.details).split('\n');
    QCOMPARE(details.size(), files);
    QCOMPARE(details.front(), first);
}

QTEST_GUILESS_MAIN(tst_ExitSequence)
#include "tst_exitsequence.moc"
