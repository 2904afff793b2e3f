#include "exitsequence.h"
#include "faultyfilesystem.h"
#include "outstandingrun.h"
#include "recordingprogress.h"
#include "scriptedmessageboxes.h"
#include "testtree.h"

#include <QTemporaryDir>
#include <QTest>

#include <ctime>
#include <memory>

using namespace pendrel;
using namespace pendrel::test;
using namespace std::chrono;

Q_DECLARE_METATYPE(Answer)
Q_DECLARE_METATYPE(Asking)

namespace {

// 29 May 1998, 14:03:07 UTC.
const TimePoint saveTime = system_clock::from_time_t(896450587);
const std::string savedFolder = "05-29-98_14-03-07";

class FixedClock final : public Clock
{
public:
    TimePoint now() const override { return saveTime; }
};

// The window as the exit sequence sees it: what it was closed with, and how
// many boxes had been shown when it was restored.
class FakeHost
{
public:
    FakeHost(std::string name, std::vector<std::string> entries, const ScriptedMessageBoxes &boxes)
        : snapshot{std::move(name), std::move(entries)}, m_boxes(boxes)
    {
    }
    void restoreWindow() { boxesAtRestore << int(m_boxes.shown.size()); }

    ExitSnapshot snapshot;
    QList<int> boxesAtRestore;

private:
    const ScriptedMessageBoxes &m_boxes;
};

// "text|buttons" for each box shown.
QStringList shown(const ScriptedMessageBoxes &boxes)
{
    QStringList out;
    for (const auto &box : boxes.shown)
        out << QString::fromStdString(box.text) + '|' + QString::number(int(box.buttons));
    return out;
}

QString box(const std::string &text, Buttons buttons)
{
    return QString::fromStdString(text) + '|' + QString::number(int(buttons));
}

} // namespace

class tst_ExitSequence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void folderName_data();
    void folderName();
    void dialogue_data();
    void dialogue();
    void emptyList();
    void sameSecond();
    void settingsNotWritable();
    void failuresListed_data();
    void failuresListed();
    void outstandingRun_data();
    void outstandingRun();

private:
    struct Run
    {
        ScriptedMessageBoxes boxes;
        FixedClock clock;
        FaultyFileSystem fileSystem;
        RecordingProgress progress;
        QStringList queried;
    };

    ExitResult run(Run &run, FakeHost &host, const QStringList &volumes, Asking asking = Asking::User,
                   const std::string &record = {});
    std::string volumePath(const std::string &label) const
    {
        return m_root + "/media/anna/" + (label.empty() ? "NOLABEL" : label);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::string m_root;
    std::string m_settings;
    std::string m_work;
    TimePoint m_startZeit;
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
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    m_root = m_dir->path().toStdString();
    m_settings = m_root + "/app/sichern.txt";
    m_work = m_root + "/work";
    for (const char *label : {"STICK", "OTHER", ""})
        QVERIFY(makeDirectories(volumePath(label)));
    for (const std::string &dir : {m_root + "/app", m_work + "/sub", m_root + "/empty"})
        QVERIFY(makeDirectories(dir));
    QVERIFY(writeFile(m_settings, m_oldSettings));

    m_startZeit = system_clock::now() - hours(1);
    QVERIFY(writeFile(m_work + "/sub/changed.txt", "changed"));
    QVERIFY(writeFile(m_work + "/old.txt", "old"));
    QVERIFY(setMtime(m_work + "/old.txt", timespecOf(m_startZeit - seconds(5))));
}

// volumes: what each query finds, in order: a label, or "-" for none.
ExitResult tst_ExitSequence::run(Run &r, FakeHost &host, const QStringList &volumes, Asking asking,
                                 const std::string &record)
{
    ExitServices services{r.boxes, r.clock, r.fileSystem, r.progress,
                                [&](const std::string &expected) -> std::optional<Volume> {
                                    r.queried << QString::fromStdString(expected);
                                    const QString label = volumes.value(r.queried.size() - 1, "-");
                                    if (label == "-")
                                        return std::nullopt;
                                    return Volume{volumePath(label.toStdString()), "/dev/sdb1", label.toStdString()};
                                },
                                m_settings};
    services.restoreWindow = [&host] { host.restoreWindow(); };
    services.outstandingRecord = record;
    return runExitSequence(host.snapshot, m_startZeit, services, asking);
}

void tst_ExitSequence::folderName_data()
{
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<QString>("expected");

    // The dialogue rows show 29 May 1998, 14:03:07 UTC as "05-29-98_14-03-07".
    QTest::newRow("fraction cut") << QByteArray("UTC") << qint64(896450587999) << "05-29-98_14-03-07";
    QTest::newRow("local day") << QByteArray("XXX+15") << qint64(896450587000) << "05-28-98_23-03-07";
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
    QTest::addColumn<QString>("boxes");   // N: no diskette, W: wrong diskette, C: confirm
    QTest::addColumn<QString>("savedTo"); // "-" when nothing is saved

    using A = QList<Answer>;
    using L = QStringList;
    QTest::newRow("case ignored") << "sTick" << L{"STICK"} << A{} << "" << "STICK";
    QTest::newRow("no name") << "" << L{""} << A{} << "" << "";
    QTest::newRow("none, retry") << "STICK" << L{"-", "STICK"} << A{Answer::Retry} << "N" << "STICK";
    QTest::newRow("none, cancel, no") << "STICK" << L{"-", "STICK"} << A{Answer::Cancel, Answer::No} << "NC"
                                      << "STICK";
    QTest::newRow("wrong, abort, yes") << "STICK" << L{"OTHER"} << A{Answer::Abort, Answer::Yes} << "WC" << "-";
    QTest::newRow("wrong, retry") << "STICK" << L{"OTHER", "STICK"} << A{Answer::Retry} << "W" << "STICK";
    QTest::newRow("wrong, ignore") << "STICK" << L{"OTHER"} << A{Answer::Ignore} << "W" << "OTHER";
    QTest::newRow("unlabelled is wrong") << "data1" << L{""} << A{Answer::Ignore} << "W" << "";
}

void tst_ExitSequence::dialogue()
{
    QFETCH(QString, name);
    QFETCH(QStringList, volumes);
    QFETCH(QList<Answer>, answers);
    QFETCH(QString, boxes);
    QFETCH(QString, savedTo);

    Run r;
    r.boxes = ScriptedMessageBoxes({answers.begin(), answers.end()});
    // The list differs from sichern.txt: only a save may write it.
    FakeHost host(name.toStdString(), {m_work, m_root + "/empty"}, r.boxes);
    const ExitResult result = run(r, host, volumes);

    QCOMPARE(host.boxesAtRestore, QList<int>{0});
    QCOMPARE(r.queried, QStringList(volumes.size(), name));
    QStringList expected;
    for (const QChar kind : boxes) {
        expected << (kind == 'N'   ? box("There is no diskette in drive a:", Buttons::RetryCancel)
                     : kind == 'C' ? box("You don\xC2\xB4t want to save your work, are you sure?", Buttons::YesNo)
                                   : box("There is the wrong diskette in drive a: !\rPlease insert Disk with Name '"
                                                 + name.toStdString(),
                                         Buttons::AbortRetryIgnore));
    }
    QCOMPARE(shown(r.boxes), expected);
    QCOMPARE(result.exitStatus(), 0);

    if (savedTo == "-") {
        QVERIFY(!result.saved);
        QCOMPARE(readFile(m_settings).value_or(""), m_oldSettings);
        for (const char *label : {"STICK", "OTHER", ""})
            QVERIFY(sortedNames(volumePath(label)).empty());
        QCOMPARE(sortedNames(m_root + "/app"), std::vector<std::string>{"sichern.txt"});
        return;
    }
    const std::string folder = volumePath(savedTo.toStdString()) + "/" + savedFolder;
    QVERIFY(result.saved && result.settingsWritten);
    QCOMPARE(result.backupFolder, folder);
    QCOMPARE(sortedNames(folder), std::vector<std::string>{"changed.txt"});
    QCOMPARE(readFile(folder + "/changed.txt").value_or(""), std::string("changed"));
    QCOMPARE(readFile(m_settings).value_or(""), name.toStdString() + "\r\n" + m_work + "\r\n" + m_root + "/empty\r\n");
}

void tst_ExitSequence::emptyList()
{
    Run r;
    FakeHost host("STICK", {}, r.boxes);
    const ExitResult result = run(r, host, {"STICK"});
    QVERIFY(result.saved);
    QCOMPARE(result.exitStatus(), 0);
    QCOMPARE(readFile(m_settings).value_or(""), std::string("STICK\r\n"));
    QVERIFY(sortedNames(volumePath("STICK")).empty());
}

void tst_ExitSequence::sameSecond()
{
    Run first;
    FakeHost host("STICK", {m_work}, first.boxes);
    QCOMPARE(run(first, host, {"STICK"}).exitStatus(), 0);

    QVERIFY(writeFile(m_work + "/later.txt", "later"));
    Run second;
    const ExitResult result = run(second, host, {"STICK"});
    QCOMPARE(result.exitStatus(), 0);
    QCOMPARE(sortedNames(volumePath("STICK")), std::vector<std::string>{savedFolder});
    QCOMPARE(sortedNames(result.backupFolder),
             (std::vector<std::string>{"changed (2).txt", "changed.txt", "later.txt"}));
}

void tst_ExitSequence::settingsNotWritable()
{
    m_settings = m_root + "/gone/sichern.txt";
    Run r;
    r.boxes = ScriptedMessageBoxes({Answer::Ok});
    FakeHost host("STICK", {m_work}, r.boxes);
    const ExitResult result = run(r, host, {"STICK"});

    QVERIFY(result.saved && !result.settingsWritten);
    QCOMPARE(result.exitStatus(), 1);
    QCOMPARE(readFile(result.backupFolder + "/changed.txt").value_or(""), std::string("changed"));
    QCOMPARE(shown(r.boxes), QStringList{box("The settings could not be saved.\nCannot create a temporary file beside "
                                                     + m_settings + ": No such file or directory",
                                             Buttons::Ok)});
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
    QCOMPARE(r.boxes.shown[0].buttons, Buttons::Ok);

    const QStringList lines = QString::fromStdString(r.boxes.shown[0].text).split('\n');
    const QString first = QString::fromStdString(result.failures[0].path + ": Permission denied");
    QCOMPARE(lines.size(), 1 + listed + (tail.isEmpty() ? 0 : 1));
    QCOMPARE(lines.front(), heading);
    QCOMPARE(lines[1], first);
    if (!tail.isEmpty())
        QCOMPARE(lines.back(), tail);
    const QStringList details = QString::fromStdString(r.boxes.shown[0].details).split('\n');
    QCOMPARE(details.size(), files);
    QCOMPARE(details.front(), first);
}

// The record of a run not saved, from its start to the end of the next run,
// and who may be asked at that end.
void tst_ExitSequence::outstandingRun_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Asking>("asking");
    QTest::addColumn<QString>("volume"); // "-": none
    QTest::addColumn<QList<Answer>>("answers");
    QTest::addColumn<QByteArray>("before"); // the record at the start; "earlier": before old.txt
    QTest::addColumn<bool>("fails");
    QTest::addColumn<QString>("savedTo");
    QTest::addColumn<bool>("settings"); // the edited list written
    QTest::addColumn<bool>("kept");

    using A = QList<Answer>;
    const auto user = Asking::User;
    const auto atEnd = Asking::UserAtSessionEnd;
    const auto nobody = Asking::Nobody;
    const QByteArray none;
    QTest::newRow("saved") << "STICK" << user << "STICK" << A{} << none << false << "STICK" << true << false;
    QTest::newRow("earlier caught up") << "STICK" << user << "STICK" << A{} << QByteArray("earlier") << false
                                       << "STICK" << true << false;
    QTest::newRow("damaged") << "STICK" << nobody << "-" << A{} << QByteArray("12x.5\n") << false << "-" << true
                             << true;
    QTest::newRow("too long") << "STICK" << user << "STICK" << A{} << QByteArray(100, '1') << false << "STICK"
                              << true << false;
    QTest::newRow("declined") << "STICK" << user << "OTHER" << A{Answer::Abort, Answer::Yes} << none << false << "-"
                              << false << false;
    QTest::newRow("failure kept") << "STICK" << user << "STICK" << A{Answer::Ok} << QByteArray("earlier") << true
                                  << "STICK" << true << true;
    QTest::newRow("end, declined") << "STICK" << atEnd << "OTHER" << A{Answer::Abort, Answer::Yes} << none << false
                                   << "-" << true << false;
    QTest::newRow("end, ignore") << "STICK" << atEnd << "OTHER" << A{Answer::Ignore} << none << false << "OTHER"
                                 << true << false;
    QTest::newRow("unasked, case") << "sTick" << nobody << "STICK" << A{} << none << false << "STICK" << true << false;
    QTest::newRow("unasked, other") << "STICK" << nobody << "OTHER" << A{} << QByteArray("earlier") << false << "-"
                                    << true << true;
    QTest::newRow("unasked, none") << "STICK" << nobody << "-" << A{} << none << false << "-" << true << true;
    QTest::newRow("unasked, no name") << "" << nobody << "OTHER" << A{} << none << false << "OTHER" << true << false;
}

void tst_ExitSequence::outstandingRun()
{
    QFETCH(QString, name);
    QFETCH(Asking, asking);
    QFETCH(QString, volume);
    QFETCH(QList<Answer>, answers);
    QFETCH(QByteArray, before);
    QFETCH(bool, fails);
    QFETCH(QString, savedTo);
    QFETCH(bool, settings);
    QFETCH(bool, kept);

    const std::string record = m_root + "/state/pendrel/outstanding";
    const TimePoint earlier = m_startZeit - seconds(10);
    Run r;
    if (before == "earlier") {
        QVERIFY(keepOutstanding(r.fileSystem, record, earlier).empty());
    } else if (!before.isEmpty()) {
        QVERIFY(makeDirectories(m_root + "/state/pendrel") && writeFile(record, before.toStdString()));
    }
    const RunStart start = startRun(r.fileSystem, record, m_startZeit);
    QCOMPARE(start.outstanding.has_value(), before == "earlier");
    QCOMPARE(start.since, before == "earlier" ? earlier : m_startZeit);
    // Killed now, the next start finds this run outstanding.
    QCOMPARE(startRun(r.fileSystem, record, system_clock::now()).outstanding, std::optional(start.since));
    m_startZeit = start.since;

    r.boxes = ScriptedMessageBoxes({answers.begin(), answers.end()});
    if (fails)
        r.fileSystem.fail({Op::OpenForReading, EACCES, 1, true, "changed"});
    FakeHost host(name.toStdString(), {m_work}, r.boxes);
    const ExitResult result = run(r, host, {volume}, asking, record);

    QCOMPARE(int(r.boxes.shown.size()), int(answers.size()));
    QCOMPARE(result.exitStatus(), kept ? 1 : 0);
    QCOMPARE(result.settingsWritten, settings);
    QCOMPARE(readFile(m_settings).value_or(""), settings ? name.toStdString() + "\r\n" + m_work + "\r\n" : m_oldSettings);
    for (const char *label : {"STICK", "OTHER"}) {
        const std::vector<std::string> folders = sortedNames(volumePath(label));
        QCOMPARE(folders.size(), savedTo == label ? 1u : 0u);
    }
    if (savedTo != "-") {
        std::vector<std::string> files{"changed.txt", "old.txt"};
        if (before != "earlier")
            files.pop_back();
        if (fails)
            files.erase(files.begin());
        QCOMPARE(sortedNames(result.backupFolder), files);
    }
    QCOMPARE(readFile(record).has_value(), kept);
    if (kept)
        QCOMPARE(startRun(r.fileSystem, record, system_clock::now()).since, m_startZeit);
}

QTEST_GUILESS_MAIN(tst_ExitSequence)
#include "tst_exitsequence.moc"
