#include "faultyfilesystem.h"
#include "settingsfile.h"
#include "settingslocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pendrel;

Q_DECLARE_METATYPE(LoadStatus)

namespace {

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    QCOMPARE(file.write(contents), contents.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes a name and list the way the exit sequence does, with `faults`.
bool save(const QString &path, const Settings &settings, std::string *error = nullptr,
          MissingDirectory missingDirectory = MissingDirectory::Fail, const std::vector<test::Fault> &faults = {})
{
    test::FaultyFileSystem fs;
    for (const test::Fault &fault : faults)
        fs.fail(fault);
    const std::string text = writeSettings(fs, QFile::encodeName(path).toStdString(), settings, missingDirectory);
    if (error)
        *error = text;
    return text.empty();
}

// Stops the process dead at the rename, when the new file is complete.
class KilledAtRename final : public PosixFileSystem
{
public:
    int rename(int, const char *, int, const char *) override
    {
        ::kill(::getpid(), SIGKILL);
        return -EINTR;
    }
};

// Names the first line where two files' bytes differ.
QString byteDiff(const QByteArray &actual, const QByteArray &expected)
{
    const QList<QByteArray> a = actual.split('\n');
    const QList<QByteArray> e = expected.split('\n');
    for (qsizetype i = 0; i < std::max(a.size(), e.size()); ++i) {
        const QByteArray left = a.value(i, "<none>"), right = e.value(i, "<none>");
        if (left != right)
            return QStringLiteral("line %1:\n  actual:   %2\n  expected: %3")
                    .arg(i + 1)
                    .arg(QString::fromLatin1(left.toPercentEncoding(" /\\")),
                         QString::fromLatin1(right.toPercentEncoding(" /\\")));
    }
    return {};
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class tst_SettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void load_data();
    void load();
    void roundTrip_data();
    void roundTrip();
    void killedWhileWriting();
    void keepsPermissions();
    void writeErrors_data();
    void writeErrors();
    void moveAside_data();
    void moveAside();
    void writeThrough_data();
    void writeThrough();
    void location_data();
    void location();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path; // sichern.txt in m_dir
};

void tst_SettingsFile::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    m_path = m_dir->filePath("sichern.txt");
}

void tst_SettingsFile::load_data()
{
    QTest::addColumn<QString>("kind"); // what stands at the path; "file" holds contents
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<LoadStatus>("status");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QList<QByteArray>>("list");

    using L = QList<QByteArray>;
    const auto file = [](const char *row, const QByteArray &contents, const QByteArray &name, const L &list) {
        QTest::newRow(row) << "file" << contents << LoadStatus::Loaded << 0 << name << list;
    };
    file("single", "DATA1\r\n", "DATA1", {});
    file("duplicates", "DATA1\r\nc:\\Texte\r\nc:\\Texte\r\n", "DATA1", {"c:\\Texte", "c:\\Texte"});
    file("empty name", "\r\n/x\r\n", "", {"/x"});
    file("lf", "A\n/x\n/y\n", "A", {"/x", "/y"});
    file("cr", "A\r/x\r", "A", {"/x"});
    file("no terminator", "A\r\n/x", "A", {"/x"});
    file("lf cr", "A\n\r/x", "A", {"", "/x"});
    file("empty entries", "A\r\n\r\n/x\r\n\r\n", "A", {"", "/x", ""});
    file("bytes", QByteArray(" \xff\0 \r\n\t/h\xe9 \r\n", 13), QByteArray(" \xff\0 ", 4), {"\t/h\xe9 "});

    const auto notLoaded = [](const char *row, const char *kind, LoadStatus status, int error) {
        QTest::newRow(row) << kind << QByteArray() << status << error << QByteArray("Text1") << L{};
    };
    notLoaded("zero bytes", "file", LoadStatus::Missing, 0);
    notLoaded("missing", "none", LoadStatus::Missing, 0);
    notLoaded("directory", "directory", LoadStatus::Unreadable, EISDIR);
    notLoaded("fifo", "fifo", LoadStatus::Unreadable, EINVAL);
    notLoaded("parent is a file", "parent", LoadStatus::Unreadable, ENOTDIR);
}

void tst_SettingsFile::load()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, contents);
    QFETCH(LoadStatus, status);
    QFETCH(int, error);
    QFETCH(QByteArray, name);
    QFETCH(QList<QByteArray>, list);

    QString path = m_path;
    if (kind == "file") {
        writeFile(path, contents);
    } else if (kind == "directory") {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == "parent") {
        writeFile(m_dir->filePath("app"), "x");
        path = m_dir->filePath("app/sichern.txt");
    }

    const LoadResult result = loadSettings(path.toStdString());
    QCOMPARE(result.status, status);
    QCOMPARE(result.error, error);
    QCOMPARE(QByteArray::fromStdString(result.settings.diskName), name);
    QList<QByteArray> loaded;
    for (const std::string &line : result.settings.directories)
        loaded << QByteArray::fromStdString(line);
    QCOMPARE(loaded, list);
}

void tst_SettingsFile::roundTrip_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    // Golden files: x.txt comes back unchanged, x.in comes back as x.out.
    const QDir data(QStringLiteral(GOLDEN_DIR));
    for (const QString &name : data.entryList({"*.txt", "*.in"}, QDir::Files, QDir::Name)) {
        const QString expected = name.endsWith(".in") ? name.chopped(3) + ".out" : name;
        QTest::newRow(qPrintable(name)) << readFile(data.filePath(name)) << readFile(data.filePath(expected));
    }

    // Lines longer than any read buffer, and random bytes cut into CR LF lines.
    const QByteArray longLine(100000, 'x');
    const QByteArray longLines = "name\r\n" + longLine + "\r\n" + longLine + "\r\n";
    QTest::newRow("long lines") << longLines << longLines;
    QRandomGenerator random(4711);
    QByteArray binary;
    for (int i = 0; i < 2000; ++i) {
        for (int j = int(random.bounded(300)); j > 0; --j) {
            const char c = char(random.bounded(256));
            binary += c == '\r' || c == '\n' ? '\0' : c;
        }
        binary += "\r\n";
    }
    QTest::newRow("binary lines") << binary << binary;
}

// Load, then save unchanged: the bytes must be the expected ones. A file
// that already holds them is left alone, not replaced by a copy.
void tst_SettingsFile::roundTrip()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QVERIFY(!expected.isEmpty());

    writeFile(m_path, input);
    const QByteArray encoded = QFile::encodeName(m_path);
    struct stat before, after;
    QCOMPARE(::stat(encoded.constData(), &before), 0);

    const LoadResult loaded = loadSettings(m_path.toStdString());
    QCOMPARE(loaded.status, LoadStatus::Loaded);
    std::string error;
    QVERIFY2(save(m_path, loaded.settings, &error), error.c_str());
    const QByteArray actual = readFile(m_path);
    QVERIFY2(actual == expected, qPrintable(byteDiff(actual, expected)));
    QCOMPARE(::stat(encoded.constData(), &after), 0);
    QCOMPARE(after.st_ino == before.st_ino, input == expected);
}

// A real kill: no destructor runs, yet the old file stays whole and what is
// left behind is hidden.
void tst_SettingsFile::killedWhileWriting()
{
    writeFile(m_path, "OLD\r\n/a\r\n");

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        KilledAtRename fs;
        (void)writeSettings(fs, m_path.toStdString(), Settings{"NEW", {"/new"}});
        ::_exit(1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));

    QCOMPARE(readFile(m_path), QByteArray("OLD\r\n/a\r\n"));
    const QStringList left = entriesOf(m_dir->path());
    QCOMPARE(left.size(), 2);
    for (const QString &name : left) {
        QVERIFY2(name == "sichern.txt" || name.startsWith(".sichern.txt."), qPrintable(name));
        if (name != "sichern.txt")
            QCOMPARE(readFile(m_dir->filePath(name)), QByteArray("NEW\r\n/new\r\n"));
    }
}

// The replacement keeps the old file's mode; a new file gets the usual one,
// not the temporary file's 0600.
void tst_SettingsFile::keepsPermissions()
{
    const QByteArray encoded = QFile::encodeName(m_path);
    struct stat st;
    writeFile(m_path, "OLD\r\n");
    QCOMPARE(::chmod(encoded.constData(), 0640), 0);
    QVERIFY(save(m_path, Settings{"NEW", {}}));
    QCOMPARE(::stat(encoded.constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));

    QVERIFY(QFile::remove(m_path));
    const mode_t mask = ::umask(022);
    QVERIFY(save(m_path, Settings{"NEW", {}}));
    ::umask(mask);
    QCOMPARE(::stat(encoded.constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0644));
}

void tst_SettingsFile::writeErrors_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("message");

    QTest::addColumn<std::vector<test::Fault>>("faults");

    using F = std::vector<test::Fault>;
    using test::Op;
    const QString create = "Cannot create a temporary file beside %1: %2";
    const QString write = "Cannot write %1: %2";
    QTest::newRow("no directory") << "nodir" << ENOENT << create << F{};
    QTest::newRow("directory in the way") << "dirinway" << EISDIR << QString("Cannot replace %1: %2") << F{};
    QTest::newRow("file in the way of the folder") << "fileinway" << ENOTDIR
                                                   << QString("Cannot create the folder of %1: %2") << F{};
    // Root writes anywhere: the refusal of a read-only folder is injected.
    QTest::newRow("read-only directory") << "old" << EACCES << create << F{{Op::CreateExclusive, EACCES, 1, false, ""}};
    QTest::newRow("mode refused") << "old" << EPERM
                                  << QString("Cannot set the permissions of a temporary file beside %1: %2")
                                  << F{{Op::SetMode, EPERM, 1, false, ""}};
    QTest::newRow("disk full") << "old" << ENOSPC << write << F{{Op::Write, ENOSPC, 1, false, ""}};
    QTest::newRow("flush fails") << "old" << EIO << write << F{{Op::SyncFile, EIO, 1, false, ""}};
    QTest::newRow("close fails") << "old" << EIO << write << F{{Op::Close, EIO, 1, false, ".sichern.txt."}};
    QTest::newRow("rename refused") << "old" << EACCES << QString("Cannot replace %1: %2") << F{{Op::Rename, EACCES, 1, false, ""}};
}

void tst_SettingsFile::writeErrors()
{
    QFETCH(QString, kind);
    QFETCH(int, error);
    QFETCH(QString, message);
    QFETCH(std::vector<test::Fault>, faults);

    QString path = m_path;
    if (kind == "nodir") {
        path = m_dir->filePath("gone/sichern.txt");
    } else if (kind == "dirinway") {
        QVERIFY(QDir().mkpath(m_dir->filePath("sichern.txt/keep")));
    } else if (kind == "fileinway") {
        writeFile(m_dir->filePath("a"), "");
        path = m_dir->filePath("a/pendrel/sichern.txt");
    } else {
        writeFile(m_path, "OLD\r\n/old\r\n");
    }

    std::string errorText;
    const MissingDirectory missing = kind == "fileinway" ? MissingDirectory::Create : MissingDirectory::Fail;
    QVERIFY(!save(path, Settings{"NEW", {"/a"}}, &errorText, missing, faults));
    QCOMPARE(QString::fromStdString(errorText), message.arg(path, QString::fromLocal8Bit(std::strerror(error))));
    // Nothing half-done is left behind, and what was in the way is untouched.
    if (kind == "dirinway") {
        QCOMPARE(entriesOf(m_dir->path()), QStringList{"sichern.txt"});
        QCOMPARE(entriesOf(path), QStringList{"keep"});
    }
    if (kind == "old") {
        QCOMPARE(entriesOf(m_dir->path()), QStringList{"sichern.txt"});
        QCOMPARE(readFile(m_path), QByteArray("OLD\r\n/old\r\n"));
    }
}

void tst_SettingsFile::moveAside_data()
{
    QTest::addColumn<QStringList>("taken");
    QTest::addColumn<QString>("movedTo");

    QTest::newRow("free") << QStringList() << "sichern.txt.unreadable";
    QTest::newRow("taken") << QStringList{"sichern.txt.unreadable", "sichern.txt.unreadable.2"}
                           << "sichern.txt.unreadable.3";
}

// A settings file that could not be read is kept under a free name.
void tst_SettingsFile::moveAside()
{
    QFETCH(QStringList, taken);
    QFETCH(QString, movedTo);

    for (const QString &name : taken)
        writeFile(m_dir->filePath(name), name.toUtf8());
    writeFile(m_path, "UNREAD\r\n");
    test::FaultyFileSystem fs;
    std::string moved;
    QCOMPARE(pendrel::moveAside(fs, m_path.toStdString(), moved), std::string());
    QCOMPARE(QString::fromStdString(moved), m_dir->filePath(movedTo));
    QCOMPARE(readFile(m_dir->filePath(movedTo)), QByteArray("UNREAD\r\n"));
    for (const QString &name : taken)
        QCOMPARE(readFile(m_dir->filePath(name)), name.toUtf8());
    QVERIFY(!QFileInfo::exists(m_path));
}

// sichern.txt as a link into a dotfiles folder: the target is replaced in
// its own folder, the links stay.
void tst_SettingsFile::writeThrough_data()
{
    QTest::addColumn<QStringList>("links"); // name -> target, from sichern.txt on
    QTest::addColumn<bool>("targetExists");
    QTest::addColumn<bool>("written");

    QTest::newRow("relative") << QStringList{"dots/sichern.txt"} << true << true;
    QTest::newRow("absolute chain") << QStringList{"@/dots/link2", "real.txt"} << true << true;
    QTest::newRow("dangling") << QStringList{"dots/new.txt"} << false << true;
    QTest::newRow("loop") << QStringList{"dots/a", "b", "a"} << false << false;
}

void tst_SettingsFile::writeThrough()
{
    QFETCH(QStringList, links);
    QFETCH(bool, targetExists);
    QFETCH(bool, written);

    const QString dots = m_dir->filePath("dots");
    QVERIFY(QDir().mkpath(dots));
    QString link = m_path;
    for (QString target : links) {
        target.replace('@', m_dir->path());
        QVERIFY(QFile::link(target, link));
        link = QFileInfo(QFileInfo(link).dir(), target).filePath();
    }
    if (targetExists)
        writeFile(link, "OLD\r\n");

    std::string error;
    QCOMPARE(save(m_path, Settings{"NEW", {"/a"}}, &error), written);
    QVERIFY(QFileInfo(m_path).isSymLink());
    if (written) {
        QCOMPARE(readFile(link), QByteArray("NEW\r\n/a\r\n"));
        QCOMPARE(entriesOf(m_dir->path()), (QStringList{"dots", "sichern.txt"}));
    } else {
        QCOMPARE(QString::fromStdString(error),
                 "Cannot follow the link " + m_path + ": " + QString::fromLocal8Bit(std::strerror(ELOOP)));
    }
    QVERIFY(entriesOf(dots).filter(".sichern").isEmpty() && entriesOf(dots).filter(".new").isEmpty());
}

void tst_SettingsFile::location_data()
{
    QTest::addColumn<bool>("fileBeside");
    QTest::addColumn<bool>("writable"); // the program's folder, as access(2) would tell
    QTest::addColumn<QString>("configHome");
    QTest::addColumn<QString>("file"); // "@": the program's folder
    QTest::addColumn<bool>("create");

    QTest::newRow("portable copy") << true << false << "/h/.config" << "@/sichern.txt" << false;
    QTest::newRow("writable folder") << false << true << "/h/.config" << "@/sichern.txt" << false;
    QTest::newRow("installed") << false << false << "/h/.config" << "/h/.config/pendrel/sichern.txt" << true;
    QTest::newRow("no home") << false << false << "" << "@/sichern.txt" << false;
}

// Root may write anywhere, so the permission of the program's folder is
// stood in for.
void tst_SettingsFile::location()
{
    QFETCH(bool, fileBeside);
    QFETCH(bool, writable);
    QFETCH(QString, configHome);
    QFETCH(QString, file);
    QFETCH(bool, create);

    if (fileBeside)
        writeFile(m_path, "");
    const std::string appDir = QFile::encodeName(m_dir->path()).toStdString();
    QStringList asked;
    const SettingsLocation found = settingsLocation(appDir, configHome.toStdString(), [&](const std::string &dir) {
        asked << QString::fromStdString(dir);
        return writable;
    });
    QCOMPARE(QString::fromStdString(found.file), QString(file).replace("@", m_dir->path()));
    QCOMPARE(found.missingDirectory, create ? MissingDirectory::Create : MissingDirectory::Fail);
    QVERIFY(asked.isEmpty() || asked == QStringList{m_dir->path()});
}

QTEST_GUILESS_MAIN(tst_SettingsFile)
#include "tst_settingsfile.moc"
