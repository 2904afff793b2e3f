#include "directorybrowser.h"
#include "filesystem.h"
#include "frmsichern.h"
#include "scriptedmessageboxes.h"
#include "testtree.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QGuiApplication>
#include <QCursor>
#include <QTest>
#include <QTimer>

#include <deque>
#include <functional>

using namespace pendrel;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(Asking)

namespace {

class FixedClock final : public Clock
{
public:
    TimePoint now() const override
    {
        if (onNow)
            onNow();
        return std::chrono::system_clock::now() - 1h;
    }
    std::function<void()> onNow;
};

const char *const missingText = "The file Sichern.txt is damaged or not existing!";

// A window over a temporary application directory and a temporary volume.
struct Fixture
{
    QTemporaryDir appDir;
    QTemporaryDir volumeDir;
    test::ScriptedMessageBoxes boxes;
    FixedClock clock;
    PosixFileSystem fileSystem;
    std::string volumeLabel = "STICK";
    std::vector<Volume> volumes;
    std::vector<QUrl> openedUrls;
    bool openUrlSucceeds = true;
    bool displayGone = false;
    std::function<void()> onQuery;
    std::unique_ptr<frmSichern> window;

    void answer(std::deque<Answer> answers) { boxes = test::ScriptedMessageBoxes(std::move(answers)); }

    std::string settingsFile() const { return appDir.filePath("sichern.txt").toStdString(); }
    std::string volumePath() const { return volumeDir.path().toStdString(); }

    frmSichern &create()
    {
        window = std::make_unique<frmSichern>(WindowServices{
                .boxes = boxes,
                .clock = clock,
                .fileSystem = fileSystem,
                .removableVolumes = [this] { return volumes; },
                .queryVolume = [this](const std::string &) -> std::optional<Volume> {
                    if (onQuery)
                        onQuery();
                    return Volume{volumePath(), "/dev/test", volumeLabel};
                },
                .settingsFile = settingsFile(),
                .outstandingRecord = appDir.filePath(".pendrel-outstanding").toStdString(),
                .readmeFile = appDir.filePath("Readme.txt"),
                .openUrl = [this](const QUrl &url) { openedUrls.push_back(url); return openUrlSucceeds; },
                .displayGone = [this] { return displayGone; },
        });
        return *window;
    }

    // Creates the window over `settings` (none: no file) and shows it.
    frmSichern &load(const std::optional<std::string> &settings)
    {
        if (settings)
            test::writeFile(settingsFile(), *settings);
        create().Form_Load();
        window->show();
        return *window;
    }

    template<typename T>
    T *child(const char *name) const
    {
        return window->findChild<T *>(QString::fromUtf8(name));
    }

    QStringList entries() const
    {
        QStringList texts;
        const auto *list = child<QListWidget>("lstArbVz");
        for (int i = 0; i < list->count(); ++i)
            texts << list->item(i)->text();
        return texts;
    }

    void click(const char *button) const { QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton); }
};

} // namespace

class tst_frmSichern : public QObject
{
    Q_OBJECT

private slots:
    void geometry_data();
    void geometry();
    void focus_data();
    void focus();
    void load_data();
    void load();
    void editList_data();
    void editList();
    void browse();
    void drivesFollowMounts_data();
    void drivesFollowMounts();
    void readme_data();
    void readme();
    void close_data();
    void close();
    void closeDuringSaveIgnored();
    void endSession_data();
    void endSession();
    void displayLost_data();
    void displayLost();
};

void tst_frmSichern::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("caption");

    QTest::newRow("lstArbVz") << "lstArbVz" << QRect(30, 330, 3135, 1230) << "";
    QTest::newRow("Label1") << "Label1" << QRect(60, 90, 3135, 210) << "Working Directories";
    QTest::newRow("cmdHinz") << "cmdHinz" << QRect(3420, 450, 1440, 360) << "<< &Add";
    QTest::newRow("Command2") << "Command2" << QRect(3420, 915, 1470, 360) << "&Remove";
    QTest::newRow("txtDiskName") << "txtDiskName" << QRect(45, 1890, 3060, 330) << "Text1";
    QTest::newRow("Label2") << "Label2" << QRect(30, 1620, 3075, 225) << "&Diskette Name";
    QTest::newRow("Dir1") << "Dir1" << QRect(5205, 375, 2835, 1380) << "";
    QTest::newRow("Drive1") << "Drive1" << QRect(5190, 1950, 2820, 315) << "/";
    QTest::newRow("lblIchprüf") << "lblIchprüf" << QRect(90, 2460, 7905, 285) << "";
    QTest::newRow("Command1") << "Command1" << QRect(3465, 1710, 1440, 375) << "?";
}

void tst_frmSichern::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    QFETCH(QString, caption);

    Fixture f;
    f.create().show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    const QWidget *control = f.child<QWidget>(name.toUtf8().constData());
    QVERIFY(control);
    QCOMPARE(control->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    QCOMPARE(control->property(qobject_cast<const QComboBox *>(control) ? "currentText" : "text").toString(), caption);
}

void tst_frmSichern::focus_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifier");
    QTest::addColumn<QStringList>("focused"); // from the start, one more per key press

    const QStringList forward{"lstArbVz", "cmdHinz", "Command2", "txtDiskName",
                              "Dir1",     "Drive1",  "Command1", "lstArbVz"};
    QTest::newRow("Tab") << int(Qt::Key_Tab) << int(Qt::NoModifier) << forward;
    QTest::newRow("Shift+Tab") << int(Qt::Key_Backtab) << int(Qt::ShiftModifier)
                               << QStringList(forward.crbegin(), forward.crend());
    QTest::newRow("Alt+D") << int(Qt::Key_D) << int(Qt::AltModifier) << QStringList{"lstArbVz", "txtDiskName"};
}

void tst_frmSichern::focus()
{
    QFETCH(int, key);
    QFETCH(int, modifier);
    QFETCH(QStringList, focused);

    Fixture f;
    frmSichern &w = f.create();
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QStringList seen{QApplication::focusWidget()->objectName()};
    while (seen.size() < focused.size()) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), Qt::KeyboardModifiers(modifier));
        seen << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(seen, focused);
}

void tst_frmSichern::load_data()
{
    QTest::addColumn<std::optional<std::string>>("settings");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("messages"); // the missing-file message
    QTest::addColumn<QByteArray>("record"); // of a run not saved
    QTest::addColumn<QString>("status");

    using S = std::optional<std::string>;
    const QByteArray none;
    QTest::newRow("missing") << S() << "Text1" << QStringList() << 1 << none << "";
    QTest::newRow("empty") << S("") << "Text1" << QStringList() << 1 << none << "";
    QTest::newRow("normal") << S("DATA1\r\nc:\\Texte\r\n\r\nc:\\Texte\r\n") << "DATA1"
                            << QStringList{"c:\\Texte", "", "c:\\Texte"} << 0 << none << "";
    QTest::newRow("empty name") << S("\r\n/home/u\r\n") << "" << QStringList{"/home/u"} << 0 << none << "";
    QTest::newRow("day not saved") << S("DATA1\r\n") << "DATA1" << QStringList() << 0
                                   << QByteArray("896450587.000000000\n")
                                   << "The save of " + QDateTime::fromSecsSinceEpoch(896450587).toString(u"yyyy-MM-dd HH:mm")
                                              + " did not happen; it is made at this close.";
}

void tst_frmSichern::load()
{
    QFETCH(std::optional<std::string>, settings);
    QFETCH(QString, name);
    QFETCH(QStringList, entries);
    QFETCH(int, messages);
    QFETCH(QByteArray, record);
    QFETCH(QString, status);

    Fixture f;
    if (!record.isEmpty())
        QVERIFY(test::writeFile(f.appDir.filePath(".pendrel-outstanding").toStdString(), record.toStdString()));
    f.answer(std::deque<Answer>(messages, Answer::Ok));
    QList<int> boxesAtStart; // StartZeit is taken after the message
    f.clock.onNow = [&] { boxesAtStart << int(f.boxes.shown.size()); };
    f.load(settings);
    QCOMPARE(f.child<QLineEdit>("txtDiskName")->text(), name);
    QCOMPARE(f.entries(), entries);
    QCOMPARE(boxesAtStart, QList<int>{messages});
    if (messages)
        QCOMPARE(QString::fromStdString(f.boxes.shown.front().text), missingText);
    QCOMPARE(f.child<QLabel>("lblIchprüf")->text(), status);
}

void tst_frmSichern::editList_data()
{
    QTest::addColumn<int>("selected");
    QTest::addColumn<QString>("clicks"); // A, R: click Add, Remove; a, r: Alt+A, Alt+R
    QTest::addColumn<QStringList>("entries");

    // Dir1 shows "/"; Add keeps the selection, Remove clears it.
    QTest::newRow("add twice") << 0 << "AA" << QStringList{"/a", "/b", "/c", "/", "/"};
    QTest::newRow("Alt+A") << 0 << "a" << QStringList{"/a", "/b", "/c", "/"};
    QTest::newRow("Alt+R") << 0 << "r" << QStringList{"/b", "/c"};
    QTest::newRow("remove none selected") << -1 << "RR" << QStringList{"/a", "/b", "/c"};
    QTest::newRow("remove middle") << 1 << "RR" << QStringList{"/a", "/c"};
    QTest::newRow("remove last") << 2 << "RR" << QStringList{"/a", "/b"};
}

void tst_frmSichern::editList()
{
    QFETCH(int, selected);
    QFETCH(QString, clicks);
    QFETCH(QStringList, entries);

    Fixture f;
    f.load("NAME\r\n/a\r\n/b\r\n/c\r\n");
    auto *list = f.child<QListWidget>("lstArbVz");
    list->setCurrentRow(selected);
    QVERIFY(QTest::qWaitForWindowActive(f.window.get()));
    for (const QChar c : clicks) {
        if (c.isUpper())
            f.click(c == 'A' ? "cmdHinz" : "Command2");
        else // the shortcut clicks after a short animation
            QTest::keyClick(QApplication::focusWidget(), c == 'a' ? Qt::Key_A : Qt::Key_R, Qt::AltModifier);
    }
    QTRY_COMPARE(f.entries(), entries);
    QCOMPARE(list->selectedItems().size(), clicks.startsWith('A', Qt::CaseInsensitive) ? 1 : 0);
}

// Dir1's path is the folder last opened, not the one highlighted; picking a
// drive opens the folder last opened on it, else its root. A folder whose
// name is not UTF-8 is added, and written back, by its bytes; a folder made
// meanwhile shows up.
void tst_frmSichern::browse()
{
    Fixture f;
    QTemporaryDir drive;
    QVERIFY2(drive.isValid(), qPrintable(drive.errorString()));
    const QByteArray volume = QFile::encodeName(drive.path());
    const QByteArray latin1 = volume + "/caf\xE9";
    QVERIFY(QDir(drive.path()).mkpath("inner/sub") && test::makeDirectories(latin1.toStdString()));
    const auto removeLatin1 = qScopeGuard([&] { ::rmdir(latin1.constData()); });
    f.volumes = {Volume{volume.toStdString(), "/dev/test", "STICK"}};
    f.load("STICK\r\n");
    auto *dir1 = f.child<DirectoryBrowser>("Dir1");
    auto *drive1 = f.child<QComboBox>("Drive1");
    QCOMPARE(dir1->path(), "/");
    QCOMPARE(drive1->count(), 2);
    QTest::keyClick(drive1, Qt::Key_Down);
    QCOMPARE(dir1->path(), volume);
    QCOMPARE(dir1->model()->rowCount(dir1->currentIndex()), 2);
    QVERIFY(QDir(drive.path()).mkdir("later")); // shown while the folder is open
    QTRY_COMPARE(dir1->model()->rowCount(dir1->currentIndex()), 3);

    QTest::keyClick(dir1, Qt::Key_Down); // caf\xE9, shown first
    QTest::keyClick(dir1, Qt::Key_Down);
    QCOMPARE(dir1->currentIndex().data().toString(), "inner");
    QCOMPARE(dir1->path(), volume);
    f.click("cmdHinz");
    QTest::keyClick(dir1, Qt::Key_Return);
    QCOMPARE(dir1->path(), volume + "/inner");
    f.click("cmdHinz");
    QTest::keyClick(dir1, Qt::Key_Up);
    QTest::keyClick(dir1, Qt::Key_Return);
    QCOMPARE(dir1->path(), latin1);
    f.click("cmdHinz");
    QCOMPARE(f.entries(), (QStringList{drive.path(), drive.path() + "/inner", QFile::decodeName(latin1)}));

    QTest::keyClick(drive1, Qt::Key_Up);
    QCOMPARE(dir1->path(), "/");
    QTest::keyClick(drive1, Qt::Key_Down);
    QCOMPARE(dir1->path(), latin1);

    f.window->close();
    QTRY_VERIFY(!f.window->isVisible());
    QCOMPARE(test::readFile(f.settingsFile()),
             ("STICK\r\n" + volume + "\r\n" + volume + "/inner\r\n" + latin1 + "\r\n").toStdString());
}

void tst_frmSichern::drivesFollowMounts_data()
{
    QTest::addColumn<QStringList>("before"); // volumes below the temporary volume folder
    QTest::addColumn<int>("picked");         // Drive1 index chosen before the change
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QStringList>("drives"); // Drive1 afterwards, "/" first
    QTest::addColumn<QString>("current");

    using L = QStringList;
    QTest::newRow("plugged in") << L{"A"} << 1 << L{"A", "B"} << L{"/", "A", "B"} << "A";
    QTest::newRow("other pulled out") << L{"A", "B"} << 2 << L{"B"} << L{"/", "B"} << "B";
    QTest::newRow("current pulled out") << L{"A"} << 1 << L{} << L{"/"} << "/";
}

// A change of the mount table updates the list, never what Dir1 shows.
void tst_frmSichern::drivesFollowMounts()
{
    QFETCH(QStringList, before);
    QFETCH(int, picked);
    QFETCH(QStringList, after);
    QFETCH(QStringList, drives);
    QFETCH(QString, current);

    Fixture f;
    const QString root = f.volumeDir.path() + '/';
    const auto volumes = [&](const QStringList &names) {
        std::vector<Volume> list;
        for (const QString &name : names)
            list.push_back(Volume{(root + name).toStdString(), "/dev/test", name.toStdString()});
        return list;
    };
    QVERIFY(QDir(root).mkpath("A") && QDir(root).mkpath("B"));
    f.volumes = volumes(before);
    f.load("NAME\r\n");
    auto *drive1 = f.child<QComboBox>("Drive1");
    auto *dir1 = f.child<DirectoryBrowser>("Dir1");
    for (int i = 0; i < picked; ++i)
        QTest::keyClick(drive1, Qt::Key_Down);
    const QString opened = QFile::decodeName(dir1->path());
    QCOMPARE(opened, picked ? root + before[picked - 1] : "/");

    f.volumes = volumes(after);
    f.window->updateDrives();
    QStringList shown;
    for (int i = 0; i < drive1->count(); ++i)
        shown << drive1->itemText(i).replace(root, QString());
    QCOMPARE(shown, drives);
    QCOMPARE(drive1->currentText().replace(root, QString()), current);
    QCOMPARE(QFile::decodeName(dir1->path()), opened);
}

void tst_frmSichern::readme_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<int>("urls");

    QTest::newRow("opened") << true << true << 1;
    QTest::newRow("no handler") << true << false << 1;
    QTest::newRow("missing") << false << true << 0;
}

void tst_frmSichern::readme()
{
    QFETCH(bool, exists);
    QFETCH(bool, opens);
    QFETCH(int, urls);

    Fixture f;
    f.load("NAME\r\n");
    const QString readme = f.appDir.filePath("Readme.txt");
    if (exists)
        QVERIFY(test::writeFile(readme.toStdString(), "text\n"));
    f.openUrlSucceeds = opens;
    const bool fails = !exists || !opens;
    f.answer(std::deque<Answer>(fails ? 1 : 0, Answer::Ok));
    f.click("Command1");
    QCOMPARE(f.openedUrls, std::vector<QUrl>(urls, QUrl::fromLocalFile(readme)));
    QCOMPARE(int(f.boxes.shown.size()), fails ? 1 : 0);
    if (fails)
        QCOMPARE(QString::fromStdString(f.boxes.shown[0].text),
                 "The read-me file could not be opened:\n" + readme);
}

void tst_frmSichern::close_data()
{
    QTest::addColumn<std::optional<std::string>>("settings"); // "@": a tree with files changed since the start
    QTest::addColumn<QString>("typedName");
    QTest::addColumn<std::string>("label");
    QTest::addColumn<QList<Answer>>("answers");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<std::string>("written"); // sichern.txt afterwards

    using S = std::optional<std::string>;
    using A = QList<Answer>;
    const std::string ascii = "STICK\r\n@\r\n";
    QTest::newRow("right volume") << S(ascii) << "" << std::string("stick") << A{} << 0 << ascii;
    QTest::newRow("wrong, abort, yes") << S(ascii) << "" << std::string("OTHER") << A{Answer::Abort, Answer::Yes} << 0
                                       << ascii;
    QTest::newRow("missing dir") << S(ascii + "@/gone\r\n") << "" << std::string("STICK") << A{Answer::Ok} << 1
                                 << ascii + "@/gone\r\n";
    QTest::newRow("no settings") << S() << "" << std::string("Text1") << A{Answer::Ok} << 0 << std::string("Text1\r\n");
    QTest::newRow("not utf-8") << S("\xC4TE\r\n@/caf\xE9\r\n@/caf\xE9\n@") << "" << std::string("\xC4TE") << A{} << 0
                               << std::string("\xC4TE\r\n@/caf\xE9\r\n@/caf\xE9\r\n@\r\n");
    const std::string longName(300, 'N'); // shown cut, written whole
    QTest::newRow("long name") << S(longName + "\r\n@\r\n") << "" << longName << A{} << 0 << longName + "\r\n@\r\n";
    QTest::newRow("name typed") << S(ascii) << "Stick \u00C4" << std::string("Stick \xC3\x84") << A{} << 0
                                << std::string("Stick \xC3\x84\r\n@\r\n");
}

// The whole close from a minimised window, on a temporary target, and
// sichern.txt rewritten byte for byte.
void tst_frmSichern::close()
{
    QFETCH(std::optional<std::string>, settings);
    QFETCH(QString, typedName);
    QFETCH(std::string, label);
    QFETCH(QList<Answer>, answers);
    QFETCH(int, exitStatus);
    QFETCH(std::string, written);

    QTemporaryDir tree;
    QVERIFY2(tree.isValid(), qPrintable(tree.errorString()));
    const std::string work = tree.path().toStdString();
    const auto expand = [&work](std::string text) {
        for (auto at = text.find('@'); at != std::string::npos; at = text.find('@'))
            text.replace(at, 1, work);
        return text;
    };
    QVERIFY(test::makeDirectories(work + "/sub") && test::makeDirectories(work + "/caf\xE9"));
    // QTemporaryDir cannot remove a name that is not UTF-8.
    const auto removeLatin1 = qScopeGuard([&] { ::rmdir((work + "/caf\xE9").c_str()); });
    const timespec before = test::timespecOf(std::chrono::system_clock::now() - 2h);
    QVERIFY(test::writeFile(work + "/new.txt", "new") && test::writeFile(work + "/sub/deep.txt", "deep"));
    QVERIFY(test::writeFile(work + "/old.txt", "old") && test::setMtime(work + "/old.txt", before));

    Fixture f;
    f.volumeLabel = label;
    f.answer(std::deque<Answer>(answers.begin(), answers.end()));
    frmSichern &w = f.load(settings ? std::optional(expand(*settings)) : settings);
    if (!typedName.isEmpty())
        f.child<QLineEdit>("txtDiskName")->setText(typedName);
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.showMinimized();

    w.close();
    QTRY_VERIFY(!w.isVisible());
    QVERIFY(!w.isMinimized()); // brought back for the boxes (the exit sequence restores before the first)
    QCOMPARE(int(f.boxes.shown.size()), int(answers.size()));
    QCOMPARE(w.exitStatus(), exitStatus);
    QVERIFY(!f.child<QPushButton>("cmdHinz")->isEnabled() && !f.child<QPushButton>("Command2")->isEnabled());
    QCOMPARE(test::readFile(f.settingsFile()), expand(written));
    const bool saved = settings && label != "OTHER";
    const std::vector<std::string> folders = test::sortedNames(f.volumePath());
    QCOMPARE(folders.size(), saved ? 1u : 0u);
    QCOMPARE(f.child<QLabel>("lblIchprüf")->text().isEmpty(), !saved);
    if (saved) {
        const QString status = f.child<QLabel>("lblIchprüf")->text();
        static const QRegularExpression wording(QStringLiteral("^(I'm checking /.*|I\u00B4m saving /.*/deep\\.txt to A:\\\\)$"));
        QVERIFY2(wording.match(status).hasMatch(), qPrintable(status));
        const std::string folder = f.volumePath() + "/" + folders.front();
        QCOMPARE(test::sortedNames(folder), (std::vector<std::string>{"deep.txt", "new.txt"}));
        QCOMPARE(test::readFile(folder + "/deep.txt"), "deep");
    }

    // Closed once; later close requests do not run the sequence again.
    QVERIFY(w.close());
    QCOMPARE(int(f.boxes.shown.size()), int(answers.size()));
}

void tst_frmSichern::closeDuringSaveIgnored()
{
    QTemporaryDir tree;
    QVERIFY2(tree.isValid(), qPrintable(tree.errorString()));
    QVERIFY(test::writeFile(tree.filePath("new.txt").toStdString(), "new"));

    Fixture f;
    frmSichern &w = f.load("STICK\r\n" + tree.path().toStdString() + "\r\n");
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    int queries = 0;
    QStringList during; // what each close request during the save met
    f.onQuery = [&] {
        ++queries;
        // Fires in the save, when the window processes its events.
        QTimer::singleShot(0, &w, [&] {
            QStringList enabled;
            for (const QWidget *control : w.findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
                if (control->isEnabled() && !qobject_cast<const QLabel *>(control))
                    enabled << control->objectName();
            const QCursor *cursor = QGuiApplication::overrideCursor();
            const bool waiting = cursor && cursor->shape() == Qt::WaitCursor;
            // "?" would open a box inside the save if it could be pressed.
            QTest::mouseClick(f.child<QPushButton>("Command1"), Qt::LeftButton);
            QCloseEvent fromWindowManager;
            QCoreApplication::sendEvent(w.windowHandle(), &fromWindowManager);
            const bool accepted = fromWindowManager.isAccepted() || w.close();
            const bool shown = w.isVisible() && w.windowHandle()->handle();
            during << QStringLiteral("enabled '%1', waiting %2, read-me %3, accepted %4, shown %5")
                              .arg(enabled.join(' '))
                              .arg(waiting)
                              .arg(f.openedUrls.size())
                              .arg(accepted)
                              .arg(shown);
        });
    };
    w.close();
    QTRY_VERIFY(!w.isVisible());
    QCOMPARE(queries, 1);
    QCOMPARE(during, QStringList{"enabled '', waiting 1, read-me 0, accepted 0, shown 1"});
    QVERIFY(!QGuiApplication::overrideCursor());
    QCOMPARE(test::sortedNames(f.volumePath()).size(), 1u);
}

// The end of the session: asked, the same dialogue as a close; unasked, only
// the matching stick. The name and the list are written either way, and the
// window closes after one run of the sequence.
void tst_frmSichern::endSession_data()
{
    QTest::addColumn<Asking>("asking");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QList<Answer>>("answers");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<int>("exitStatus");
    // How the end comes: a call, a termination signal with no screen to
    // answer on (offscreen), or the application told to quit.
    QTest::addColumn<QString>("by");

    using A = QList<Answer>;
    QTest::newRow("unasked, expected") << Asking::Nobody << "STICK" << A{} << true << 0 << "";
    QTest::newRow("unasked, other") << Asking::Nobody << "OTHER" << A{} << false << 1 << "";
    QTest::newRow("asked, other, ignore") << Asking::UserAtSessionEnd << "OTHER" << A{Answer::Ignore} << true << 0 << "";
    QTest::newRow("asked, other, abort, yes")
            << Asking::UserAtSessionEnd << "OTHER" << A{Answer::Abort, Answer::Yes} << false << 0 << "";
    QTest::newRow("signal, expected") << Asking::Nobody << "STICK" << A{} << true << 0 << "signal";
    QTest::newRow("signal, other") << Asking::Nobody << "OTHER" << A{} << false << 1 << "signal";
    QTest::newRow("quit, expected") << Asking::Nobody << "STICK" << A{} << true << 0 << "quit";
    QTest::newRow("quit, other") << Asking::Nobody << "OTHER" << A{} << false << 1 << "quit";
}

void tst_frmSichern::endSession()
{
    QFETCH(Asking, asking);
    QFETCH(QString, label);
    QFETCH(QList<Answer>, answers);
    QFETCH(bool, saved);
    QFETCH(int, exitStatus);
    QFETCH(QString, by);
    QTemporaryDir tree;
    QVERIFY2(tree.isValid(), qPrintable(tree.errorString()));
    QVERIFY(test::writeFile(tree.filePath("new.txt").toStdString(), "new"));

    Fixture f;
    f.volumeLabel = label.toStdString();
    f.answer(std::deque<Answer>(answers.begin(), answers.end()));
    frmSichern &w = f.load("stick\r\n" + tree.path().toStdString() + "\r\n");
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    f.child<QLineEdit>("txtDiskName")->setText("STICK");
    int queries = 0;
    f.onQuery = [&queries] { ++queries; };

    for (int twice = 0; twice < 2; ++twice) {
        if (by == "signal") {
            w.closeBySignal();
        } else if (by == "quit") {
            QEvent quit(QEvent::Quit);
            QCoreApplication::sendEvent(qApp, &quit);
        } else {
            w.endSession(asking);
        }
    }
    QCOMPARE(queries, 1);
    QCOMPARE(int(f.boxes.shown.size()), int(answers.size()));
    QCOMPARE(w.exitStatus(), exitStatus);
    const std::vector<std::string> folders = test::sortedNames(f.volumePath());
    QCOMPARE(folders.size(), saved ? 1u : 0u);
    if (saved)
        QCOMPARE(test::readFile(f.volumePath() + "/" + folders.front() + "/new.txt"), "new");
    QCOMPARE(test::readFile(f.settingsFile()), "STICK\r\n" + tree.path().toStdString() + "\r\n");
    QTRY_VERIFY(!w.isVisible());
    QCOMPARE(queries, 1);
}

// The display goes: idle, the unasked save runs; during a save, noticed
// before a pass of the event loop or queued from Qt's report on another
// thread, the save runs to its end without another pass. Either way once,
// with the report on stderr.
void tst_frmSichern::displayLost_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("idle") << "idle";
    QTest::newRow("noticed in the save") << "noticed";
    QTest::newRow("queued in the save") << "queued";
}

void tst_frmSichern::displayLost()
{
    QFETCH(QString, when);
    QTemporaryDir tree;
    QVERIFY2(tree.isValid(), qPrintable(tree.errorString()));
    QVERIFY(test::writeFile(tree.filePath("new.txt").toStdString(), "new"));
    const std::string settings = "STICK\r\n" + tree.path().toStdString() + "\r\n" + tree.path().toStdString() + "/gone\r\n";

    Fixture f;
    frmSichern &w = f.load(settings);
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QSignalSpy ended(&w, &frmSichern::exitSequenceEnded);
    int queries = 0;
    QList<int> passesAfter; // the sequences ended when each pass of the event loop after the loss came
    const auto pass = [&] { QTimer::singleShot(0, &w, [&] { passesAfter << int(ended.count()); }); };
    f.onQuery = [&] {
        ++queries;
        if (when == "noticed") {
            f.displayGone = true;
            pass();
        } else if (when == "queued") {
            QTimer::singleShot(0, &w, [&] {
                w.displayLost(false);
                pass();
            });
        }
    };
    if (when == "idle") {
        w.displayLost(true);
        pass();
    } else {
        w.close();
    }
    QTRY_VERIFY(!w.isVisible());
    QTRY_COMPARE(passesAfter, QList<int>{1});
    w.displayLost(true);

    QCOMPARE(queries, 1);
    QCOMPARE(ended.count(), 1);
    QVERIFY(f.boxes.shown.empty()); // the missing folder is reported on stderr
    QCOMPARE(w.exitStatus(), 1);
    const std::vector<std::string> folders = test::sortedNames(f.volumePath());
    QCOMPARE(folders.size(), 1u);
    QCOMPARE(test::sortedNames(f.volumePath() + "/" + folders.front()), std::vector<std::string>{"new.txt"});
    QCOMPARE(test::readFile(f.settingsFile()), settings);
}

QTEST_MAIN(tst_frmSichern)
#include "tst_frmsichern.moc"
