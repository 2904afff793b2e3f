#include "settingsfile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
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
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QList<QByteArray> toList(const std::vector<std::string> &lines)
{
    QList<QByteArray> out;
    for (const std::string &line : lines)
        out.append(QByteArray::fromStdString(line));
    return out;
}

// Writes a name and list the way the exit sequence does.
bool save(const QString &path, const Settings &settings, std::string *error = nullptr)
{
    SettingsWriter writer(path.toStdString());
    bool ok = writer.open() && writer.writeLine(settings.diskName);
    for (const std::string &line : settings.directories)
        ok = ok && writer.writeLine(line);
    ok = ok && writer.commit();
    if (error)
        *error = writer.errorText();
    return ok;
}

// Line-by-line comparison of two files' bytes that names the first differing
// line, so a failing golden compare shows what went wrong.
QString byteDiff(const QByteArray &actual, const QByteArray &expected)
{
    const QList<QByteArray> a = actual.split('\n');
    const QList<QByteArray> e = expected.split('\n');
    for (qsizetype i = 0; i < std::max(a.size(), e.size()); ++i) {
        const QByteArray left = i < a.size() ? a[i] : QByteArray("<none>");
        const QByteArray right = i < e.size() ? e[i] : QByteArray("<none>");
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
    void load_data();
    void load();
    void notLoaded_data();
    void notLoaded();
    void golden_data();
    void golden();
    void bulky_data();
    void bulky();
    void replacesOnlyAtCommit();
    void abandoned_data();
    void abandoned();
    void killedWhileWriting();
    void keepsPermissions();
    void writeErrors_data();
    void writeErrors();
};

void tst_SettingsFile::load_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<LoadStatus>("status");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QList<QByteArray>>("list");

    using L = QList<QByteArray>;
    QTest::newRow("single") << QByteArray("DATA1\r\n") << LoadStatus::Loaded << QByteArray("DATA1") << L{};
    QTest::newRow("duplicates") << QByteArray("DATA1\r\nc:\\Texte\r\nc:\\Texte\r\n") << LoadStatus::Loaded
                                << QByteArray("DATA1") << L{"c:\\Texte", "c:\\Texte"};
    QTest::newRow("empty name") << QByteArray("\r\n/x\r\n") << LoadStatus::Loaded << QByteArray() << L{"/x"};
    QTest::newRow("only crlf") << QByteArray("\r\n") << LoadStatus::Loaded << QByteArray() << L{};
    QTest::newRow("zero bytes") << QByteArray() << LoadStatus::Missing << QByteArray("Text1") << L{};
    QTest::newRow("lf") << QByteArray("A\n/x\n/y\n") << LoadStatus::Loaded << QByteArray("A") << L{"/x", "/y"};
    QTest::newRow("cr") << QByteArray("A\r/x\r") << LoadStatus::Loaded << QByteArray("A") << L{"/x"};
    QTest::newRow("no terminator") << QByteArray("A\r\n/x") << LoadStatus::Loaded << QByteArray("A") << L{"/x"};
    QTest::newRow("name only unterminated") << QByteArray("A") << LoadStatus::Loaded << QByteArray("A") << L{};
    QTest::newRow("cr cr lf") << QByteArray("A\r\r\n") << LoadStatus::Loaded << QByteArray("A") << L{""};
    QTest::newRow("lf cr") << QByteArray("A\n\r/x") << LoadStatus::Loaded << QByteArray("A") << L{"", "/x"};
    QTest::newRow("empty entries") << QByteArray("A\r\n\r\n/x\r\n\r\n") << LoadStatus::Loaded << QByteArray("A")
                                   << L{"", "/x", ""};
    QTest::newRow("blanks kept") << QByteArray(" A \r\n\t/x \r\n") << LoadStatus::Loaded << QByteArray(" A ")
                                 << L{"\t/x "};
    QTest::newRow("nul") << QByteArray("A\0B\r\n\0\r\n", 8) << LoadStatus::Loaded << QByteArray("A\0B", 3)
                         << L{QByteArray("\0", 1)};
    QTest::newRow("invalid utf8") << QByteArray("\xff\xfe\r\n/h\xe9\r\n") << LoadStatus::Loaded
                                  << QByteArray("\xff\xfe") << L{"/h\xe9"};
}

void tst_SettingsFile::load()
{
    QFETCH(QByteArray, contents);
    QFETCH(LoadStatus, status);
    QFETCH(QByteArray, name);
    QFETCH(QList<QByteArray>, list);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath("sichern.txt");
    writeFile(path, contents);

    const LoadResult result = loadSettings(path.toStdString());
    QCOMPARE(result.status, status);
    QCOMPARE(result.error, 0);
    QCOMPARE(QByteArray::fromStdString(result.settings.diskName), name);
    QCOMPARE(toList(result.settings.directories), list);
}

void tst_SettingsFile::notLoaded_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<LoadStatus>("status");
    QTest::addColumn<int>("error");

    QTest::newRow("missing") << "missing" << LoadStatus::Missing << 0;
    QTest::newRow("directory") << "directory" << LoadStatus::Unreadable << EISDIR;
    QTest::newRow("fifo") << "fifo" << LoadStatus::Unreadable << EINVAL;
    QTest::newRow("parent is a file") << "parent" << LoadStatus::Unreadable << ENOTDIR;
}

void tst_SettingsFile::notLoaded()
{
    QFETCH(QString, kind);
    QFETCH(LoadStatus, status);
    QFETCH(int, error);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QString path = dir.filePath("sichern.txt");
    if (kind == "directory") {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == "parent") {
        writeFile(dir.filePath("app"), "x");
        path = dir.filePath("app/sichern.txt");
    }

    const LoadResult result = loadSettings(path.toStdString());
    QCOMPARE(result.status, status);
    QCOMPARE(result.error, error);
    QCOMPARE(result.settings.diskName, std::string("Text1"));
    QVERIFY(result.settings.directories.empty());
}

void tst_SettingsFile::golden_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");

    const QDir data(QStringLiteral(GOLDEN_DIR));
    for (const QString &name : data.entryList({"*.txt", "*.in"}, QDir::Files, QDir::Name)) {
        const QString expected = name.endsWith(".in") ? name.chopped(3) + ".out" : name;
        QTest::newRow(qPrintable(name)) << data.filePath(name) << data.filePath(expected);
    }
}

// Load, then save unchanged: the bytes must be those of the golden file.
void tst_SettingsFile::golden()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath("sichern.txt");
    QVERIFY(QFile::copy(input, path));

    const LoadResult loaded = loadSettings(path.toStdString());
    QCOMPARE(loaded.status, LoadStatus::Loaded);
    std::string error;
    QVERIFY2(save(path, loaded.settings, &error), error.c_str());

    const QByteArray actual = readFile(path);
    const QByteArray wanted = readFile(expected);
    QVERIFY(!wanted.isEmpty());
    QVERIFY2(actual == wanted, qPrintable(byteDiff(actual, wanted)));
}

void tst_SettingsFile::bulky_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("exact");

    QByteArray big;
    const QByteArray line = QByteArray(98, 'p') + "\r\n";
    big.reserve(50 * 1024 * 1024);
    while (big.size() < 50 * 1024 * 1024)
        big += line;

    const QByteArray longLine = QByteArray(100000, 'x');
    QByteArray longLines = "name\r\n" + longLine + "\r\n" + longLine + "\r\n";

    // Garbage without line ends round-trips once cut into CR LF lines.
    QRandomGenerator random(4711);
    QByteArray garbageLines;
    for (int i = 0; i < 2000; ++i) {
        for (int j = int(random.bounded(300)); j > 0; --j) {
            char c = char(random.bounded(256));
            garbageLines += c == '\r' || c == '\n' ? '\0' : c;
        }
        garbageLines += "\r\n";
    }
    QByteArray garbage;
    for (int i = 0; i < 500000; ++i)
        garbage += char(random.bounded(256));

    QTest::newRow("50 MB") << big << true;
    QTest::newRow("100000-char lines") << longLines << true;
    QTest::newRow("binary lines") << garbageLines << true;
    QTest::newRow("binary") << garbage << false;
}

void tst_SettingsFile::bulky()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, exact);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath("sichern.txt");
    writeFile(path, contents);

    const LoadResult first = loadSettings(path.toStdString());
    QCOMPARE(first.status, LoadStatus::Loaded);
    std::string error;
    QVERIFY2(save(path, first.settings, &error), error.c_str());
    if (exact)
        QVERIFY(readFile(path) == contents);

    // Whatever was read survives a save and a second load unchanged.
    const LoadResult second = loadSettings(path.toStdString());
    QCOMPARE(second.status, LoadStatus::Loaded);
    QVERIFY(second.settings.diskName == first.settings.diskName);
    QVERIFY(second.settings.directories == first.settings.directories);
}

void tst_SettingsFile::replacesOnlyAtCommit()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath("sichern.txt");
    const QByteArray old = "OLD\r\n/old\r\n";
    writeFile(path, old);

    SettingsWriter writer(path.toStdString());
    QVERIFY2(writer.open(), writer.errorText().c_str());
    QVERIFY(writer.writeLine("NEW"));
    QVERIFY(writer.writeLine("/new"));

    QCOMPARE(readFile(path), old);
    const QStringList during = entriesOf(dir.path());
    QCOMPARE(during.size(), 2);
    QVERIFY(during.contains("sichern.txt"));
    for (const QString &name : during) {
        if (name != "sichern.txt") {
            QVERIFY2(name.startsWith(".sichern.txt."), qPrintable(name));
            QCOMPARE(readFile(dir.filePath(name)), QByteArray("NEW\r\n/new\r\n"));
        }
    }

    QVERIFY2(writer.commit(), writer.errorText().c_str());
    QCOMPARE(readFile(path), QByteArray("NEW\r\n/new\r\n"));
    QCOMPARE(entriesOf(dir.path()), QStringList{"sichern.txt"});
    QVERIFY(writer.errorText().empty());
}

void tst_SettingsFile::abandoned_data()
{
    QTest::addColumn<bool>("oldFile");
    QTest::addColumn<int>("lines");

    QTest::newRow("not opened") << true << -1;
    QTest::newRow("opened") << true << 0;
    QTest::newRow("name line") << true << 1;
    QTest::newRow("three lines") << true << 3;
    QTest::newRow("no old file") << false << 2;
}

// A writer dropped before commit (the program stopped mid-save) changes nothing.
void tst_SettingsFile::abandoned()
{
    QFETCH(bool, oldFile);
    QFETCH(int, lines);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath("sichern.txt");
    const QByteArray old = "OLD\r\n/a\r\n/b\r\n";
    if (oldFile)
        writeFile(path, old);

    {
        SettingsWriter writer(path.toStdString());
        if (lines >= 0)
            QVERIFY(writer.open());
        for (int i = 0; i < lines; ++i)
            QVERIFY(writer.writeLine("line " + std::to_string(i)));
    }

    if (oldFile) {
        QCOMPARE(readFile(path), old);
        QCOMPARE(entriesOf(dir.path()), QStringList{"sichern.txt"});
    } else {
        QVERIFY(entriesOf(dir.path()).isEmpty());
    }
}

// A real kill: no destructor runs, the old file must still be whole and what
// is left behind must be hidden and not be taken for the settings.
void tst_SettingsFile::killedWhileWriting()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath("sichern.txt");
    const QByteArray old = "OLD\r\n/a\r\n";
    writeFile(path, old);

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        SettingsWriter writer(path.toStdString());
        if (writer.open() && writer.writeLine("NEW") && writer.writeLine("/new"))
            ::kill(::getpid(), SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));

    QCOMPARE(readFile(path), old);
    const LoadResult loaded = loadSettings(path.toStdString());
    QCOMPARE(loaded.settings.diskName, std::string("OLD"));
    for (const QString &name : entriesOf(dir.path()))
        QVERIFY2(name == "sichern.txt" || name.startsWith('.'), qPrintable(name));
}

void tst_SettingsFile::keepsPermissions()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath("sichern.txt");
    const QByteArray encoded = QFile::encodeName(path);
    writeFile(path, "OLD\r\n");
    QCOMPARE(::chmod(encoded.constData(), 0640), 0);

    QVERIFY(save(path, Settings{"NEW", {}}));
    struct stat st;
    QCOMPARE(::stat(encoded.constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));

    // A new file gets the usual permissions, not the temporary file's 0600.
    QVERIFY(QFile::remove(path));
    const mode_t mask = ::umask(022);
    QVERIFY(save(path, Settings{"NEW", {}}));
    ::umask(mask);
    QCOMPARE(::stat(encoded.constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0644));
}

void tst_SettingsFile::writeErrors_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");

    QTest::newRow("no directory") << "nodir" << QString("Cannot create a temporary file beside %1: %2");
    QTest::newRow("parent is a file") << "parentfile" << QString("Cannot create a temporary file beside %1: %2");
    QTest::newRow("directory in the way") << "dirinway" << QString("Cannot replace %1: %2");
    if (::geteuid() != 0)
        QTest::newRow("read-only directory") << "readonly" << QString("Cannot create a temporary file beside %1: %2");
}

void tst_SettingsFile::writeErrors()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QString path = dir.filePath("sichern.txt");
    int error = 0;
    if (kind == "nodir") {
        path = dir.filePath("gone/sichern.txt");
        error = ENOENT;
    } else if (kind == "parentfile") {
        writeFile(dir.filePath("app"), "x");
        path = dir.filePath("app/sichern.txt");
        error = ENOTDIR;
    } else if (kind == "dirinway") {
        QVERIFY(QDir().mkpath(dir.filePath("sichern.txt/keep")));
        error = EISDIR;
    } else {
        QVERIFY(QDir().mkdir(dir.filePath("ro")));
        path = dir.filePath("ro/sichern.txt");
        QVERIFY(QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::ExeOwner));
        error = EACCES;
    }

    std::string errorText;
    QVERIFY(!save(path, Settings{"NEW", {"/a"}}, &errorText));
    QCOMPARE(QString::fromStdString(errorText), message.arg(path, QString::fromLocal8Bit(std::strerror(error))));

    // Nothing half-done is left behind, and what was in the way is untouched.
    if (kind == "dirinway") {
        QCOMPARE(entriesOf(dir.path()), QStringList{"sichern.txt"});
        QCOMPARE(entriesOf(path), QStringList{"keep"});
    }
}

QTEST_GUILESS_MAIN(tst_SettingsFile)
#include "tst_settingsfile.moc"
