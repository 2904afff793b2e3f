#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

// The program run with arguments and no display at all: what it prints, its
// exit status and the autostart entry it leaves behind.
class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
};

void tst_CommandLine::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("folder");   // of a copy of the program, "" for the built one
    QTest::addColumn<bool>("xdg");         // XDG_CONFIG_HOME set, else only HOME
    QTest::addColumn<bool>("entryBefore"); // an old entry is there before
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("exec"); // Exec of the entry after, %1 the temporary folder; "old", or "" for none

    const QStringList on = {"--autostart", "on"};
    const QStringList off = {"--autostart", "off"};
    const QString version = QStringLiteral("pendrel " PENDREL_VERSION "\n");
    const QString built = QStringLiteral(PENDREL_BINARY);
    QTest::newRow("help") << QStringList{"--help"} << "" << true << false << 0 << "--autostart <on|off>" << "";
    QTest::newRow("version") << QStringList{"--version"} << "" << true << true << 0 << version << "old";
    QTest::newRow("-v") << QStringList{"-v"} << "" << true << false << 0 << version << "";
    QTest::newRow("on") << on << "" << true << false << 0 << "is written" << built;
    QTest::newRow("on, replaced") << on << "" << true << true << 0 << "is written" << built;
    QTest::newRow("off") << off << "" << true << true << 0 << "is gone" << "";
    QTest::newRow("off, none") << off << "" << true << false << 0 << "is gone" << "";
    QTest::newRow("neither") << QStringList{"--autostart", "yes"} << "" << true << true << 1
                             << "on or off, not 'yes'" << "old";
    QTest::newRow("no value") << QStringList{"--autostart"} << "" << true << false << 1 << "Missing value" << "";
    QTest::newRow("unknown") << QStringList{"--bogus", "--autostart", "on"} << "" << true << false << 1
                             << "Unknown option 'bogus'" << "";
    QTest::newRow("argument") << QStringList{"--autostart", "on", "x"} << "" << true << false << 1
                              << "Unexpected argument 'x'" << "";
    QTest::newRow("file") << QStringList{"notes.txt"} << "" << true << false << 1
                          << "Unexpected argument 'notes.txt'" << "";
    // Left to QApplication, which takes -platform, and refused after it.
    QTest::newRow("Qt's, unknown") << QStringList{"-platform", "offscreen", "--bogus"} << "" << true << false << 1
                                   << "Unknown option 'bogus'" << "";
    QTest::newRow("space") << on << "my programs" << true << false << 0 << "" << R"("%1/my programs/pendrel")";
    QTest::newRow("quote, dollar") << on << "it's $HOME" << true << false << 0 << ""
                                   << R"("%1/it's \\$HOME/pendrel")";
    QTest::newRow("percent") << on << "100%" << true << false << 0 << "" << "%1/100%%/pendrel";
    QTest::newRow("no XDG_CONFIG_HOME") << on << "bin" << false << false << 0 << "" << "%1/bin/pendrel";
}

void tst_CommandLine::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, folder);
    QFETCH(bool, xdg);
    QFETCH(bool, entryBefore);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QString, exec);

    QTemporaryDir home;
    QVERIFY2(home.isValid(), qPrintable(home.errorString()));
    QString program = QStringLiteral(PENDREL_BINARY);
    if (!folder.isEmpty()) {
        program = home.filePath(folder + QStringLiteral("/pendrel"));
        QVERIFY(QDir(home.path()).mkdir(folder));
        QVERIFY(QFile::copy(QStringLiteral(PENDREL_BINARY), program));
    }
    const QString autostart = home.filePath(xdg ? QStringLiteral("autostart") : QStringLiteral(".config/autostart"));
    const QString entry = autostart + QStringLiteral("/pendrel.desktop");
    const QByteArray old = "[Desktop Entry]\nType=Application\nName=Old\nExec=old\n";
    if (entryBefore) {
        QVERIFY(QDir().mkpath(autostart));
        QFile file(entry);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_CONFIG_HOME"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("HOME"), home.path());
    if (xdg)
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    QVERIFY(process.waitForFinished(10000));
    const QString printed = QString::fromUtf8(process.readAll());
    QVERIFY2(printed.contains(output), qPrintable(printed));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), status);

    QCOMPARE(QFile::exists(entry), !exec.isEmpty());
    if (exec.isEmpty())
        return;
    QFile file(entry);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    if (exec == u"old") {
        QCOMPARE(written, old);
        return;
    }
    QVERIFY2(written.contains("\nExec=" + exec.arg(home.path()).toUtf8() + '\n')
                     && written.contains("\nX-GNOME-Autostart-enabled=true\n"),
             written.constData());
    QCOMPARE(QDir(autostart).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"pendrel.desktop"});
    if (!xdg) {
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(home.filePath(QStringLiteral(".config"))).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0700u);
    }
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty())
        QSKIP("desktop-file-validate is not installed");
    QProcess validate;
    validate.setProcessChannelMode(QProcess::MergedChannels);
    validate.start(validator, {entry});
    QVERIFY(validate.waitForFinished(10000));
    QVERIFY2(validate.exitCode() == 0 && validate.readAll().isEmpty(), qPrintable(entry));
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
