#include "volumes.h"

#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace pendrel;

namespace {

using Labels = std::map<std::string, std::string>;

// One /proc/self/mountinfo line; mountPoint and source escaped as the kernel writes them.
QString mountLine(const QString &mountPoint, const QString &source = "/dev/sdb1", const QString &optional = "shared:1")
{
    return QStringLiteral("9 1 8:1 / %1 rw,nosuid,nodev %2- ext4 %3 rw\n")
            .arg(mountPoint, optional.isEmpty() ? QString() : optional + ' ', source);
}

const QString baseTable = mountLine("/", "/dev/sda1", "") + mountLine("/proc", "proc") + mountLine("/run", "tmpfs")
        + mountLine("/mnt/usb", "/dev/sdc1");

// "mount point|device|label" per volume.
QStringList describe(const std::vector<Volume> &volumes)
{
    QStringList out;
    for (const Volume &v : volumes)
        out << QString::fromStdString(v.mountPoint + '|' + v.device + '|' + v.label);
    return out;
}

VolumeFinder finder(const QString &table, const Labels &labels = {})
{
    return VolumeFinder([table] { return table.toStdString(); },
                        [labels](const Volume &v) {
                            const auto it = labels.find(v.device);
                            return it == labels.end() ? std::string() : it->second;
                        },
                        "anna");
}

} // namespace

Q_DECLARE_METATYPE(Labels)

class tst_Volumes : public QObject
{
    Q_OBJECT

private slots:
    void removable_data();
    void removable();
    void query_data();
    void query();
    void textFromBuffer_data();
    void textFromBuffer();
    void realMountTable();
};

void tst_Volumes::removable_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QStringList>("expected");

    const auto m = [](const QString &mountPoint, const QString &source = "/dev/sdb1") {
        return mountLine(mountPoint, source);
    };
    const QStringList a{"/media/anna/A|/dev/sdb1|"};
    QTest::newRow("none") << baseTable << QStringList{};
    QTest::newRow("sorted") << m("/run/media/anna/B", "/dev/sdd1") + m("/media/anna/Z", "/dev/sdc1") + m("/media/anna/A")
                            << a + QStringList{"/media/anna/Z|/dev/sdc1|", "/run/media/anna/B|/dev/sdd1|"};
    QTest::newRow("media itself") << m("/media", "tmpfs") + m("/media/anna", "tmpfs") + m("/run/media", "tmpfs")
                    + m("/run/media/anna", "tmpfs") << QStringList{};
    QTest::newRow("other users") << m("/media/bob/B") + m("/run/media/root/R") + m("/media/annabel/C") << QStringList{};
    QTest::newRow("lookalikes") << m("/mediax/a/b") + m("/home/media/a/b") + m("/run/mediax/a/b") + m("/media//b")
                                << QStringList{};
    QTest::newRow("deeper") << m("/media/anna/STICK/inner") << QStringList{"/media/anna/STICK/inner|/dev/sdb1|"};
    QTest::newRow("escapes") << m("/media/anna/MY\\040STICK\\011\\012\\134x", "/dev/disk\\040a")
                             << QStringList{"/media/anna/MY STICK\t\n\\x|/dev/disk a|"};
    QTest::newRow("short escape") << m("/media/anna/A\\04") << QStringList{"/media/anna/A\\04|/dev/sdb1|"};
    QTest::newRow("optional fields") << mountLine("/media/anna/A", "/dev/sdb1", "shared:5 master:2 propagate_from:1")
                    + mountLine("/media/anna/B", "/dev/sdc1", "") << a + QStringList{"/media/anna/B|/dev/sdc1|"};
    QTest::newRow("malformed") << "garbage\n9 1 8:1 / /media/anna/X rw\n\n - - -\n" + m("/media/anna/A")
                    + "1 2 3 4 /media/anna/B 6 7 8 9" << a;
    QTest::newRow("stacked") << m("/media/anna/A", "/dev/sdc1") + m("/media/anna/A") << a;
    QTest::newRow("no final newline") << m("/media/anna/A").chopped(1) << a;
}

void tst_Volumes::removable()
{
    QFETCH(QString, table);
    QFETCH(QStringList, expected);
    QCOMPARE(describe(finder(table).removableVolumes()), expected);
}

void tst_Volumes::query_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<Labels>("labels");
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<QString>("found"); // "" when the query fails

    const QString two = baseTable + mountLine("/media/anna/A") + mountLine("/media/anna/B", "/dev/sdc1");
    QTest::newRow("no volume") << baseTable << Labels{} << "DATA1" << "";
    QTest::newRow("case differs") << two << Labels{{"/dev/sdb1", "OTHER"}, {"/dev/sdc1", "Data1"}} << "dATA1"
                                  << "/media/anna/B|/dev/sdc1|Data1";
    QTest::newRow("no match") << two << Labels{{"/dev/sdb1", "OTHER"}, {"/dev/sdc1", "MORE"}} << "DATA1"
                              << "/media/anna/A|/dev/sdb1|OTHER";
    QTest::newRow("no name") << two << Labels{{"/dev/sdc1", "DATA1"}} << "" << "/media/anna/A|/dev/sdb1|";
    QTest::newRow("unlabelled") << two << Labels{} << "DATA1" << "/media/anna/A|/dev/sdb1|";
    QTest::newRow("prefix is no match") << two << Labels{{"/dev/sdb1", "X"}, {"/dev/sdc1", "DATA1"}} << "DATA"
                                        << "/media/anna/A|/dev/sdb1|X";
}

void tst_Volumes::query()
{
    QFETCH(QString, table);
    QFETCH(Labels, labels);
    QFETCH(QString, expectedName);
    QFETCH(QString, found);

    const std::optional<Volume> volume = finder(table, labels).query(expectedName.toStdString());
    QCOMPARE(volume ? describe({*volume}).front() : QString(), found);
}

void tst_Volumes::textFromBuffer_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("terminated") << QByteArray("STICK\0junk", 10) << QByteArray("STICK");
    QTest::newRow("no nul") << QByteArray("STICK") << QByteArray("STICK");
}

void tst_Volumes::textFromBuffer()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QByteArray, text);

    // A copy without Qt's terminating NUL, so that reading past the size shows up under sanitizers.
    const std::string exact(buffer.constData(), std::size_t(buffer.size()));
    QCOMPARE(QByteArray::fromStdString(pendrel::textFromBuffer(exact.data(), exact.size())), text);
    QCOMPARE(pendrel::textFromBuffer(nullptr, 10), std::string());
}

// The real table parses, and sources that are not block devices are never
// probed (a relative "tmpfs" must not be opened). A block device that cannot
// be opened (as a normal user's stick) gives the mount point's name.
void tst_Volumes::realMountTable()
{
    QVERIFY(readProcMountInfo().find(" / ") != std::string::npos);
    QCOMPARE(labelOfVolume(Volume{"/nonexistent-mount", "tmpfs", {}}), std::string());
    QCOMPARE(labelOfVolume(Volume{"/nonexistent-mount", "/dev/null", {}}), std::string());

    // No driver answers to block device 0:0, so opening it fails even for root.
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const std::string node = dir.filePath("unopenable").toStdString();
    if (::mknod(node.c_str(), S_IFBLK | 0600, ::makedev(0, 0)) != 0)
        QSKIP(qPrintable("cannot make a block device node here: " + qt_error_string(errno)));
    QCOMPARE(labelOfVolume(Volume{"/nonexistent-media/anna/MY STICK", node, {}}), std::string("MY STICK"));
}

QTEST_GUILESS_MAIN(tst_Volumes)
#include "tst_volumes.moc"
