#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

// The built program run with arguments and no display at all: what it prints,
// its exit status and the autostart entry it leaves behind.
class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void execLine_data();
    void execLine();

private:
    struct Run
    {
        int status = -1;
        QString output;
    };
    static Run run(const QString &program, const QStringList &arguments, const QProcessEnvironment &env);
    static QProcessEnvironment withoutDisplay();
    static void verifyValid(const QString &entry);
};

tst_CommandLine::Run tst_CommandLine::run(const QString &program, const QStringList &arguments,
                                          const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAll())};
}

QProcessEnvironment tst_CommandLine::withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_CONFIG_HOME"})
        env.remove(QString::fromLatin1(name));
    return env;
}

void tst_CommandLine::verifyValid(const QString &entry)
{
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty())
        QSKIP("desktop-file-validate is not installed");
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(validator, {entry});
    QVERIFY(process.waitForFinished(10000));
    QVERIFY2(process.exitCode() == 0 && process.readAll().isEmpty(), qPrintable(entry));
}

void tst_CommandLine::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("entryBefore");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("entryAfter");

    const QStringList on = {"--autostart", "on"};
    const QStringList off = {"--autostart", "off"};
    QTest::newRow("help") << QStringList{"--help"} << false << 0 << "--autostart <on|off>" << false;
    QTest::newRow("version") << QStringList{"--version"} << true << 0 << "pendrel " PENDREL_VERSION "\n" << true;
    QTest::newRow("-v") << QStringList{"-v"} << false << 0 << "pendrel " PENDREL_VERSION "\n" << false;
    QTest::newRow("on") << on << false << 0 << "is written" << true;
    QTest::newRow("on, replaced") << on << true << 0 << "is written" << true;
    QTest::newRow("off") << off << true << 0 << "is gone" << false;
    QTest::newRow("off, none") << off << false << 0 << "is gone" << false;
    QTest::newRow("neither") << QStringList{"--autostart", "yes"} << true << 1 << "on or off, not 'yes'" << true;
    QTest::newRow("no value") << QStringList{"--autostart"} << false << 1 << "Missing value" << false;
    QTest::newRow("unknown") << QStringList{"--bogus", "--autostart", "on"} << false << 1 << "Unknown option 'bogus'"
                             << false;
    QTest::newRow("argument") << QStringList{"--autostart", "on", "x"} << false << 1 << "Unexpected argument 'x'"
                              << false;
    QTest::newRow("file") << QStringList{"notes.txt"} << false << 1 << "Unexpected argument 'notes.txt'" << false;
}

void tst_CommandLine::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, entryBefore);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(bool, entryAfter);

    QTemporaryDir config;
    QVERIFY2(config.isValid(), qPrintable(config.errorString()));
    const QString entry = config.filePath(QStringLiteral("autostart/pendrel.desktop"));
    const QByteArray old = "[Desktop Entry]\nType=Application\nName=Old\nExec=old\n";
    if (entryBefore) {
        QVERIFY(QDir(config.path()).mkdir(QStringLiteral("autostart")));
        QFile file(entry);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
    }
    QProcessEnvironment env = withoutDisplay();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());

    const Run result = run(QStringLiteral(PENDREL_BINARY), arguments, env);
    QVERIFY2(result.output.contains(output), qPrintable(result.output));
    QCOMPARE(result.status, status);
    QCOMPARE(QFile::exists(entry), entryAfter);
    if (!entryAfter)
        return;
    QFile file(entry);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    if (arguments != QStringList{"--autostart", "on"}) {
        QCOMPARE(written, old);
        return;
    }
    QVERIFY2(written.contains("\nExec=" PENDREL_BINARY "\n") && written.contains("\nX-GNOME-Autostart-enabled=true\n"),
             written.constData());
    QCOMPARE(QDir(config.filePath(QStringLiteral("autostart"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"pendrel.desktop"});
    verifyValid(entry);
}

void tst_CommandLine::execLine_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("exec");

    // %1 stands for the temporary folder holding the program's copy.
    QTest::newRow("space") << "my programs" << R"("%1/my programs/pendrel")";
    QTest::newRow("quote, dollar") << "it's $HOME" << R"("%1/it's \\$HOME/pendrel")";
    QTest::newRow("percent") << "100%" << "%1/100%%/pendrel";
    QTest::newRow("home") << "bin" << "%1/bin/pendrel";
}

// The entry written for a copy of the program in a folder of its own name;
// the last row has no XDG_CONFIG_HOME, so ~/.config is made, private.
void tst_CommandLine::execLine()
{
    QFETCH(QString, folder);
    QFETCH(QString, exec);

    QTemporaryDir home;
    QVERIFY2(home.isValid(), qPrintable(home.errorString()));
    const QString program = home.filePath(folder + QStringLiteral("/pendrel"));
    QVERIFY(QDir(home.path()).mkdir(folder));
    QVERIFY(QFile::copy(QStringLiteral(PENDREL_BINARY), program));
    QProcessEnvironment env = withoutDisplay();
    env.insert(QStringLiteral("HOME"), home.path());
    const bool xdg = QTest::currentDataTag() != QLatin1String("home");
    if (xdg)
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());

    const Run result = run(program, {"--autostart", "on"}, env);
    QVERIFY2(result.status == 0, qPrintable(result.output));
    const QString entry = home.filePath(xdg ? QStringLiteral("autostart/pendrel.desktop")
                                            : QStringLiteral(".config/autostart/pendrel.desktop"));
    QFile file(entry);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(entry));
    const QString written = QString::fromUtf8(file.readAll());
    QVERIFY2(written.contains(QStringLiteral("\nExec=%1\n").arg(exec.arg(home.path()))), qPrintable(written));
    verifyValid(entry);
    if (!xdg) {
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(home.filePath(QStringLiteral(".config"))).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0700u);
    }
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
