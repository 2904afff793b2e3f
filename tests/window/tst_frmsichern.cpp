#include "directorybrowser.h"
#include "filesystem.h"
#include "scriptedmessageboxes.h"
#include "frmsichern.h"
#include "testtree.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <deque>
#include <sys/stat.h>
#include <unistd.h>
#include <functional>

using namespace pendrel;
using namespace std::chrono_literals;

namespace {

// The shared scripted boxes, with a look at the window as each box appears.
class ObservedBoxes final : public MessageBoxes
{
public:
    Answer show(const std::string &text, Buttons buttons, const std::string &details = {}) override
    {
        if (onShow)
            onShow();
        return script.show(text, buttons, details);
    }
    void answer(std::deque<Answer> answers) { script = test::ScriptedMessageBoxes(std::move(answers)); }
    [[nodiscard]] std::size_t count() const { return script.shown.size(); }

    test::ScriptedMessageBoxes script;
    std::function<void()> onShow;
};

class FixedClock final : public Clock
{
public:
    TimePoint now() const override
    {
        ++calls;
        if (onNow)
            onNow();
        return time;
    }
    TimePoint time = std::chrono::system_clock::now() - 1h;
    mutable int calls = 0;
    std::function<void()> onNow;
};

const char *const missingText = "The file Sichern.txt is damaged or not existing!";

// A window over a temporary application directory and a temporary volume.
struct Fixture
{
    QTemporaryDir appDir;
    QTemporaryDir volumeDir;
    ObservedBoxes boxes;
    FixedClock clock;
    PosixFileSystem fileSystem;
    std::string volumeLabel = "STICK";
    bool labelFollowsName = false;
    std::vector<Volume> volumes;
    std::vector<QUrl> openedUrls;
    bool openUrlSucceeds = true;
    std::function<void()> onQuery;
    std::unique_ptr<frmSichern> window;

    std::string settingsFile() const { return appDir.filePath(QStringLiteral("sichern.txt")).toStdString(); }
    std::string volumePath() const { return volumeDir.path().toStdString(); }

    frmSichern &create()
    {
        window = std::make_unique<frmSichern>(WindowServices{
                .boxes = boxes,
                .clock = clock,
                .fileSystem = fileSystem,
                .removableVolumes = [this] { return volumes; },
                .queryVolume = [this](const std::string &expectedName) -> std::optional<Volume> {
                    if (onQuery)
                        onQuery();
                    if (volumeLabel.empty())
                        return std::nullopt;
                    return Volume{volumePath(), "/dev/test", labelFollowsName ? expectedName : volumeLabel};
                },
                .settingsFile = settingsFile(),
                .readmeFile = appDir.filePath(QStringLiteral("Readme.txt")),
                .openUrl = [this](const QUrl &url) { openedUrls.push_back(url); return openUrlSucceeds; },
        });
        return *window;
    }

    frmSichern &load(const std::optional<std::string> &settings)
    {
        if (settings)
            test::writeFile(settingsFile(), *settings);
        create().Form_Load();
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

    std::vector<std::string> backupFolders() const
    {
        std::vector<std::string> folders;
        for (const std::string &name : test::sortedNames(volumePath())) {
            if (name != "lost+found")
                folders.push_back(name);
        }
        return folders;
    }
};

} // namespace

class tst_frmSichern : public QObject
{
    Q_OBJECT

private slots:
    void geometry_data();
    void geometry();
    void tabOrder_data();
    void tabOrder();
    void accessKeys_data();
    void accessKeys();
    void load_data();
    void load();
    void startTimeAfterMessage();
    void addTwice();
    void remove_data();
    void remove();
    void openedNotHighlighted();
    void driveChange();
    void readme_data();
    void readme();
    void writesBack_data();
    void writesBack();
    void close_data();
    void close();
    void closeDuringSaveIgnored();
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

    QString text;
    if (auto *button = qobject_cast<const QPushButton *>(control))
        text = button->text();
    else if (auto *label = qobject_cast<const QLabel *>(control))
        text = label->text();
    else if (auto *edit = qobject_cast<const QLineEdit *>(control))
        text = edit->text();
    else if (auto *combo = qobject_cast<const QComboBox *>(control))
        text = combo->currentText();
    QCOMPARE(text, caption);
}

void tst_frmSichern::tabOrder_data()
{
    QTest::addColumn<int>("tabs");
    QTest::addColumn<QString>("focused");

    QTest::newRow("start") << 0 << "lstArbVz";
    QTest::newRow("1") << 1 << "cmdHinz";
    QTest::newRow("2") << 2 << "Command2";
    QTest::newRow("3") << 3 << "txtDiskName";
    QTest::newRow("4") << 4 << "Dir1";
    QTest::newRow("5") << 5 << "Drive1";
    QTest::newRow("6") << 6 << "Command1";
    QTest::newRow("wraps") << 7 << "lstArbVz";
    QTest::newRow("back") << -1 << "Command1";
}

void tst_frmSichern::tabOrder()
{
    QFETCH(int, tabs);
    QFETCH(QString, focused);

    Fixture f;
    frmSichern &w = f.create();
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    for (int i = 0; i < tabs; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    for (int i = 0; i > tabs; --i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    QVERIFY(QApplication::focusWidget());
    QCOMPARE(QApplication::focusWidget()->objectName(), focused);
}

void tst_frmSichern::accessKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("focused");
    QTest::addColumn<int>("entries");

    // One entry loaded and selected; Add appends "/", Remove takes the selected one.
    QTest::newRow("Alt+D") << int(Qt::Key_D) << "txtDiskName" << 1;
    QTest::newRow("Alt+A") << int(Qt::Key_A) << "lstArbVz" << 2;
    QTest::newRow("Alt+R") << int(Qt::Key_R) << "lstArbVz" << 0;
}

void tst_frmSichern::accessKeys()
{
    QFETCH(int, key);
    QFETCH(QString, focused);
    QFETCH(int, entries);

    Fixture f;
    frmSichern &w = f.load("NAME\r\n/tmp\r\n");
    f.child<QListWidget>("lstArbVz")->setCurrentRow(0);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget()->objectName(), focused);
    QTRY_COMPARE(f.entries().size(), entries);
}

void tst_frmSichern::load_data()
{
    QTest::addColumn<std::optional<std::string>>("settings");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("message");

    const std::optional<std::string> none;
    QTest::newRow("missing") << none << "Text1" << QStringList() << missingText;
    QTest::newRow("empty") << std::optional<std::string>("") << "Text1" << QStringList() << missingText;
    QTest::newRow("name only") << std::optional<std::string>("DATA1\r\n") << "DATA1" << QStringList() << "";
    QTest::newRow("normal") << std::optional<std::string>("DATA1\r\nc:\\Texte\r\n\r\nc:\\Texte\r\n")
                            << "DATA1" << QStringList{"c:\\Texte", "", "c:\\Texte"} << "";
    QTest::newRow("empty name") << std::optional<std::string>("\r\n/home/u\r\n") << "" << QStringList{"/home/u"} << "";
}

void tst_frmSichern::load()
{
    QFETCH(std::optional<std::string>, settings);
    QFETCH(QString, name);
    QFETCH(QStringList, entries);
    QFETCH(QString, message);

    Fixture f;
    if (!message.isEmpty())
        f.boxes.answer({Answer::Ok});
    f.load(settings);
    QCOMPARE(f.child<QLineEdit>("txtDiskName")->text(), name);
    QCOMPARE(f.entries(), entries);
    QCOMPARE(f.boxes.count(), message.isEmpty() ? 0u : 1u);
    if (!message.isEmpty()) {
        QCOMPARE(QString::fromStdString(f.boxes.script.shown.front().text), message);
        QCOMPARE(f.boxes.script.shown.front().buttons, Buttons::Ok);
    }
}

void tst_frmSichern::startTimeAfterMessage()
{
    Fixture f;
    QStringList events;
    f.boxes.answer({Answer::Ok});
    f.boxes.onShow = [&] { events << "message"; };
    f.clock.onNow = [&] { events << "clock"; };
    f.load(std::nullopt);
    QCOMPARE(events, (QStringList{"message", "clock"}));
}

void tst_frmSichern::addTwice()
{
    Fixture f;
    frmSichern &w = f.load("NAME\r\n/first\r\n");
    auto *list = f.child<QListWidget>("lstArbVz");
    list->setCurrentRow(0);
    w.show();
    QTest::mouseClick(f.child<QPushButton>("cmdHinz"), Qt::LeftButton);
    QTest::mouseClick(f.child<QPushButton>("cmdHinz"), Qt::LeftButton);
    QCOMPARE(f.entries(), (QStringList{"/first", "/", "/"}));
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem *>{list->item(0)});
}

void tst_frmSichern::remove_data()
{
    QTest::addColumn<int>("selected");
    QTest::addColumn<QStringList>("remaining");

    QTest::newRow("none selected") << -1 << QStringList{"/a", "/b", "/c"};
    QTest::newRow("first") << 0 << QStringList{"/b", "/c"};
    QTest::newRow("middle") << 1 << QStringList{"/a", "/c"};
    QTest::newRow("last") << 2 << QStringList{"/a", "/b"};
}

void tst_frmSichern::remove()
{
    QFETCH(int, selected);
    QFETCH(QStringList, remaining);

    Fixture f;
    frmSichern &w = f.load("NAME\r\n/a\r\n/b\r\n/c\r\n");
    auto *list = f.child<QListWidget>("lstArbVz");
    list->setCurrentRow(selected);
    w.show();
    QTest::mouseClick(f.child<QPushButton>("Command2"), Qt::LeftButton);
    QCOMPARE(f.entries(), remaining);
    // Nothing stays selected, so a second click removes nothing more.
    QTest::mouseClick(f.child<QPushButton>("Command2"), Qt::LeftButton);
    QCOMPARE(f.entries(), remaining);
}

void tst_frmSichern::openedNotHighlighted()
{
    QTemporaryDir tree;
    QVERIFY2(tree.isValid(), qPrintable(tree.errorString()));
    QVERIFY(QDir(tree.path()).mkpath(QStringLiteral("work/sub")));
    const QString work = tree.filePath(QStringLiteral("work"));

    Fixture f;
    frmSichern &w = f.load("NAME\r\n");
    w.show();
    auto *dir1 = f.child<DirectoryBrowser>("Dir1");
    QCOMPARE(dir1->path(), QStringLiteral("/"));

    const auto *model = qobject_cast<const QFileSystemModel *>(dir1->model());
    QVERIFY(model);
    dir1->setCurrentIndex(model->index(work));
    QCOMPARE(dir1->path(), QStringLiteral("/"));
    QTest::mouseClick(f.child<QPushButton>("cmdHinz"), Qt::LeftButton);

    QTest::keyClick(dir1, Qt::Key_Return);
    QCOMPARE(dir1->path(), work);
    QTest::mouseClick(f.child<QPushButton>("cmdHinz"), Qt::LeftButton);

    QCOMPARE(f.entries(), (QStringList{"/", work}));
}

void tst_frmSichern::driveChange()
{
    Fixture f;
    QVERIFY(QDir(f.volumeDir.path()).mkpath(QStringLiteral("inner")));
    const QString volume = f.volumeDir.path();
    f.volumes = {Volume{f.volumePath(), "/dev/test", "STICK"}};
    frmSichern &w = f.load("NAME\r\n");
    w.show();
    auto *drive1 = f.child<QComboBox>("Drive1");
    auto *dir1 = f.child<DirectoryBrowser>("Dir1");
    QCOMPARE(drive1->count(), 2);
    QCOMPARE(drive1->currentText(), QStringLiteral("/"));

    QTest::keyClick(drive1, Qt::Key_Down);
    QCOMPARE(dir1->path(), volume);
    dir1->openPath(volume + QStringLiteral("/inner"));

    QTest::keyClick(drive1, Qt::Key_Up);
    QCOMPARE(dir1->path(), QStringLiteral("/"));
    QTest::keyClick(drive1, Qt::Key_Down);
    QCOMPARE(dir1->path(), volume + QStringLiteral("/inner"));
}

void tst_frmSichern::readme_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<int>("urls");
    QTest::addColumn<int>("messages");

    QTest::newRow("opened") << true << true << 1 << 0;
    QTest::newRow("no handler") << true << false << 1 << 1;
    QTest::newRow("missing") << false << true << 0 << 1;
}

void tst_frmSichern::readme()
{
    QFETCH(bool, exists);
    QFETCH(bool, opens);
    QFETCH(int, urls);
    QFETCH(int, messages);

    Fixture f;
    frmSichern &w = f.load("NAME\r\n");
    if (exists)
        QVERIFY(test::writeFile(f.appDir.filePath(QStringLiteral("Readme.txt")).toStdString(), "text\n"));
    f.openUrlSucceeds = opens;
    f.boxes.answer(std::deque<Answer>(std::size_t(messages), Answer::Ok));
    w.show();
    QTest::mouseClick(f.child<QPushButton>("Command1"), Qt::LeftButton);
    QCOMPARE(int(f.openedUrls.size()), urls);
    if (urls)
        QCOMPARE(f.openedUrls.front(), QUrl::fromLocalFile(f.appDir.filePath(QStringLiteral("Readme.txt"))));
    QCOMPARE(int(f.boxes.count()), messages);
}

void tst_frmSichern::writesBack_data()
{
    QTest::addColumn<std::optional<std::string>>("settings");
    QTest::addColumn<QString>("typedName");
    QTest::addColumn<std::string>("written");

    // "@" stands for a temporary folder in which the listed directories exist.
    using S = std::optional<std::string>;
    QTest::newRow("missing") << S() << "" << std::string("Text1\r\n");
    QTest::newRow("empty") << S("") << "" << std::string("Text1\r\n");
    QTest::newRow("same bytes") << S("DATA1\r\n@/a\r\n@/a\r\n") << "" << std::string("DATA1\r\n@/a\r\n@/a\r\n");
    QTest::newRow("lf lines") << S("DATA1\n@/a\n@/b") << "" << std::string("DATA1\r\n@/a\r\n@/b\r\n");
    QTest::newRow("not utf-8") << S("\xC4TE\r\n@/caf\xE9\r\n") << "" << std::string("\xC4TE\r\n@/caf\xE9\r\n");
    QTest::newRow("name typed") << S("\xC4TE\r\n@/caf\xE9\r\n") << "Stick \u00C4"
                                << std::string("Stick \xC3\x84\r\n@/caf\xE9\r\n");
}

void tst_frmSichern::writesBack()
{
    QFETCH(std::optional<std::string>, settings);
    QFETCH(QString, typedName);
    QFETCH(std::string, written);

    QTemporaryDir tree;
    QVERIFY2(tree.isValid(), qPrintable(tree.errorString()));
    const auto expand = [&tree](std::string text) {
        for (auto at = text.find('@'); at != std::string::npos; at = text.find('@'))
            text.replace(at, 1, tree.path().toStdString());
        return text;
    };
    for (const std::string name : {"a", "b", "caf\xE9"})
        QVERIFY(::mkdir(expand("@/" + name).c_str(), 0755) == 0);
    // QTemporaryDir cannot remove a name that is not UTF-8.
    const auto removeLatin1 = qScopeGuard([&] { ::rmdir(expand("@/caf\xE9").c_str()); });

    Fixture f;
    f.labelFollowsName = true;
    if (!settings || settings->empty())
        f.boxes.answer({Answer::Ok});
    frmSichern &w = f.load(settings ? std::optional(expand(*settings)) : settings);
    if (!typedName.isEmpty())
        f.child<QLineEdit>("txtDiskName")->setText(typedName);
    w.show();
    w.close();
    QTRY_VERIFY(!w.isVisible());
    QCOMPARE(w.exitStatus(), 0);
    QCOMPARE(test::readFile(f.settingsFile()), std::optional(expand(written)));
}

void tst_frmSichern::close_data()
{
    QTest::addColumn<std::string>("label");
    QTest::addColumn<QList<Answer>>("answers");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<int>("exitStatus");

    QTest::newRow("right volume") << std::string("stick") << QList<Answer>() << true << 0;
    QTest::newRow("wrong, ignore") << std::string("OTHER") << QList<Answer>{Answer::Ignore} << true << 0;
    QTest::newRow("wrong, abort, yes") << std::string("OTHER") << QList<Answer>{Answer::Abort, Answer::Yes} << false << 0;
    QTest::newRow("missing dir") << std::string("STICK") << QList<Answer>{Answer::Ok} << true << 1;
}

void tst_frmSichern::close()
{
    QFETCH(std::string, label);
    QFETCH(QList<Answer>, answers);
    QFETCH(bool, saved);
    QFETCH(int, exitStatus);

    QTemporaryDir tree;
    QVERIFY2(tree.isValid(), qPrintable(tree.errorString()));
    const std::string work = tree.path().toStdString();
    QVERIFY(QDir(tree.path()).mkpath(QStringLiteral("sub")));
    const timespec after = test::timespecOf(std::chrono::system_clock::now());
    const timespec before = test::timespecOf(std::chrono::system_clock::now() - 2h);
    QVERIFY(test::writeFile(work + "/new.txt", "new") && test::setMtime(work + "/new.txt", after));
    QVERIFY(test::writeFile(work + "/sub/deep.txt", "deep") && test::setMtime(work + "/sub/deep.txt", after));
    QVERIFY(test::writeFile(work + "/old.txt", "old") && test::setMtime(work + "/old.txt", before));

    Fixture f;
    f.volumeLabel = label;
    std::string settings = "STICK\r\n" + work + "\r\n";
    if (exitStatus)
        settings += work + "/gone\r\n";
    frmSichern &w = f.load(settings);
    f.child<QListWidget>("lstArbVz")->setCurrentRow(0);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.showMinimized();
    f.boxes.answer(std::deque<Answer>(answers.begin(), answers.end()));
    bool minimisedAtMessage = true;
    f.boxes.onShow = [&] { minimisedAtMessage = w.isMinimized(); };

    w.close();
    QTRY_VERIFY(!w.isVisible());
    QCOMPARE(int(f.boxes.count()), int(answers.size()));
    if (!answers.isEmpty())
        QVERIFY(!minimisedAtMessage);
    QCOMPARE(w.exitStatus(), exitStatus);
    QVERIFY(!f.child<QPushButton>("cmdHinz")->isEnabled());
    QVERIFY(!f.child<QPushButton>("Command2")->isEnabled());

    const auto folders = f.backupFolders();
    QCOMPARE(folders.size(), saved ? 1u : 0u);
    QCOMPARE(*test::readFile(f.settingsFile()), settings);
    if (saved) {
        const std::string folder = f.volumePath() + "/" + folders.front();
        QCOMPARE(test::sortedNames(folder), (std::vector<std::string>{"deep.txt", "new.txt"}));
        QCOMPARE(*test::readFile(folder + "/deep.txt"), std::string("deep"));
        QVERIFY(!f.child<QLabel>("lblIchprüf")->text().isEmpty());
    } else {
        QCOMPARE(f.child<QLabel>("lblIchprüf")->text(), QString());
    }

    // Closed once; later close requests do not run the sequence again.
    const auto shown = f.boxes.count();
    QVERIFY(w.close());
    QCOMPARE(f.boxes.count(), shown);
}

void tst_frmSichern::closeDuringSaveIgnored()
{
    QTemporaryDir tree;
    QVERIFY2(tree.isValid(), qPrintable(tree.errorString()));
    const std::string work = tree.path().toStdString();
    QVERIFY(test::writeFile(work + "/new.txt", "new"));

    Fixture f;
    frmSichern &w = f.load("STICK\r\n" + work + "\r\n");
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    int queries = 0;
    int attempts = 0;
    bool anyAccepted = false;
    bool stillShown = true;
    bool buttonsEnabled = true;
    f.onQuery = [&] {
        ++queries;
        // Fires in the save, when the window processes its events.
        QTimer::singleShot(0, &w, [&] {
            ++attempts;
            buttonsEnabled = f.child<QPushButton>("cmdHinz")->isEnabled() || f.child<QPushButton>("Command2")->isEnabled();
            QCloseEvent fromWindowManager;
            QCoreApplication::sendEvent(w.windowHandle(), &fromWindowManager);
            anyAccepted = fromWindowManager.isAccepted() || w.close();
            stillShown = w.isVisible() && w.windowHandle()->handle();
        });
    };
    w.close();
    QTRY_VERIFY(!w.isVisible());
    QCOMPARE(queries, 1);
    QCOMPARE(attempts, 1);
    QVERIFY(!anyAccepted);
    QVERIFY(stillShown);
    QVERIFY(!buttonsEnabled);
    QCOMPARE(f.backupFolders().size(), 1u);
    QCOMPARE(f.boxes.count(), 0u);
}

QTEST_MAIN(tst_frmSichern)
#include "tst_frmsichern.moc"
