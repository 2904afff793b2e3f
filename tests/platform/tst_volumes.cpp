#include "volumes.h"

#include <QTest>

#include <map>

using namespace pendrel;

namespace {

// One /proc/self/mountinfo line; mountPoint and source as the kernel writes
// them (escaped).
QString mountLine(int id, const QString &mountPoint, const QString &source, const QString &type = "ext4",
                  const QString &optional = "shared:1")
{
    QString line = QStringLiteral("%1 1 8:%1 / %2 rw,nosuid,nodev ").arg(id).arg(mountPoint);
    if (!optional.isEmpty())
        line += optional + ' ';
    return line + QStringLiteral("- %1 %2 rw\n").arg(type, source);
}

QString baseTable()
{
    return mountLine(1, "/", "/dev/sda1", "ext4", "") + mountLine(2, "/proc", "proc", "proc")
            + mountLine(3, "/run", "tmpfs", "tmpfs") + mountLine(4, "/mnt/usb", "/dev/sdc1");
}

// "mount point|device|label" per volume.
QStringList describe(const std::vector<Volume> &volumes)
{
    QStringList out;
    for (const Volume &v : volumes)
        out << QString::fromStdString(v.mountPoint + '|' + v.device + '|' + v.label);
    return out;
}

VolumeFinder finder(const QString &table, std::map<std::string, std::string> labels = {})
{
    return VolumeFinder([table] { return table.toStdString(); },
                        [labels](const Volume &v) {
                            const auto it = labels.find(v.device);
                            return it == labels.end() ? std::string() : it->second;
                        });
}

using Labels = std::map<std::string, std::string>;

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

    const Labels none;
    QTest::newRow("empty table") << QString() << QStringList{};
    QTest::newRow("none") << baseTable() << QStringList{};
    QTest::newRow("one") << baseTable() + mountLine(9, "/media/anna/STICK", "/dev/sdb1")
                         << QStringList{"/media/anna/STICK|/dev/sdb1|L:/dev/sdb1"};
    QTest::newRow("sorted") << mountLine(7, "/run/media/bob/B", "/dev/sdd1") + mountLine(8, "/media/anna/Z", "/dev/sdc1")
                    + mountLine(9, "/media/anna/A", "/dev/sdb1")
                            << QStringList{"/media/anna/A|/dev/sdb1|L:/dev/sdb1", "/media/anna/Z|/dev/sdc1|L:/dev/sdc1",
                                           "/run/media/bob/B|/dev/sdd1|L:/dev/sdd1"};
    QTest::newRow("media itself") << mountLine(5, "/media", "tmpfs", "tmpfs") + mountLine(6, "/media/anna", "tmpfs", "tmpfs")
                    + mountLine(7, "/run/media", "tmpfs", "tmpfs") + mountLine(8, "/run/media/bob", "tmpfs", "tmpfs")
                                  << QStringList{};
    QTest::newRow("lookalikes") << mountLine(5, "/mediax/a/b", "/dev/sdb1") + mountLine(6, "/home/media/a/b", "/dev/sdc1")
                    + mountLine(7, "/run/mediax/a/b", "/dev/sdd1") + mountLine(8, "/media//b", "/dev/sde1")
                                << QStringList{};
    QTest::newRow("deeper") << mountLine(9, "/media/anna/STICK/inner", "/dev/sdb1")
                            << QStringList{"/media/anna/STICK/inner|/dev/sdb1|L:/dev/sdb1"};
    QTest::newRow("escapes") << mountLine(9, "/media/anna/MY\\040STICK\\011\\012\\134x", "/dev/disk\\040a")
                             << QStringList{"/media/anna/MY STICK\t\n\\x|/dev/disk a|L:/dev/disk a"};
    QTest::newRow("short escape") << mountLine(9, "/media/anna/A\\04", "/dev/sdb1")
                                  << QStringList{"/media/anna/A\\04|/dev/sdb1|L:/dev/sdb1"};
    QTest::newRow("optional fields") << mountLine(9, "/media/anna/A", "/dev/sdb1", "vfat", "shared:5 master:2 propagate_from:1")
                                     << QStringList{"/media/anna/A|/dev/sdb1|L:/dev/sdb1"};
    QTest::newRow("no optional fields") << mountLine(9, "/media/anna/A", "/dev/sdb1", "vfat", "")
                                        << QStringList{"/media/anna/A|/dev/sdb1|L:/dev/sdb1"};
    QTest::newRow("malformed") << "garbage\n9 1 8:1 / /media/anna/X rw\n\n - - -\n" + mountLine(9, "/media/anna/A", "/dev/sdb1")
                                          + "1 2 3 4 /media/anna/B 6 7 8 9"
                               << QStringList{"/media/anna/A|/dev/sdb1|L:/dev/sdb1"};
    QTest::newRow("stacked") << mountLine(8, "/media/anna/A", "/dev/sdb1") + mountLine(9, "/media/anna/A", "/dev/sdc1")
                             << QStringList{"/media/anna/A|/dev/sdc1|L:/dev/sdc1"};
    QTest::newRow("no final newline") << mountLine(9, "/media/anna/A", "/dev/sdb1").chopped(1)
                                      << QStringList{"/media/anna/A|/dev/sdb1|L:/dev/sdb1"};
}

void tst_Volumes::removable()
{
    QFETCH(QString, table);
    QFETCH(QStringList, expected);

    const VolumeFinder volumes([table] { return table.toStdString(); },
                               [](const Volume &v) { return "L:" + v.device; });
    QCOMPARE(describe(volumes.removableVolumes()), expected);
}

void tst_Volumes::query_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<Labels>("labels");
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<QString>("found"); // "" when the query fails

    const QString two = baseTable() + mountLine(8, "/media/anna/A", "/dev/sdb1") + mountLine(9, "/media/anna/B", "/dev/sdc1");
    QTest::newRow("no volume") << baseTable() << Labels{} << "DATA1" << "";
    QTest::newRow("no volume, no name") << baseTable() << Labels{} << "" << "";
    QTest::newRow("label matches") << two << Labels{{"/dev/sdb1", "OTHER"}, {"/dev/sdc1", "DATA1"}} << "DATA1"
                                   << "/media/anna/B|/dev/sdc1|DATA1";
    QTest::newRow("case differs") << two << Labels{{"/dev/sdb1", "OTHER"}, {"/dev/sdc1", "DATA1"}} << "data1"
                                  << "/media/anna/B|/dev/sdc1|DATA1";
    QTest::newRow("label case differs") << two << Labels{{"/dev/sdb1", "OTHER"}, {"/dev/sdc1", "Data1"}} << "dATA1"
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
    QCOMPARE(volume.has_value(), !found.isEmpty());
    if (volume)
        QCOMPARE(describe({*volume}).front(), found);
}

void tst_Volumes::textFromBuffer_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("terminated") << QByteArray("STICK\0junk", 10) << QByteArray("STICK");
    QTest::newRow("no nul") << QByteArray("STICK") << QByteArray("STICK");
    QTest::newRow("nul first") << QByteArray("\0STICK", 6) << QByteArray();
    QTest::newRow("all nul") << QByteArray(256, '\0') << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void tst_Volumes::textFromBuffer()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QByteArray, text);

    // A copy without Qt's own terminating NUL, so reading past size is caught by tools.
    const std::string exact(buffer.constData(), std::size_t(buffer.size()));
    QCOMPARE(QByteArray::fromStdString(pendrel::textFromBuffer(exact.data(), exact.size())), text);
    QCOMPARE(pendrel::textFromBuffer(nullptr, 10), std::string());
}

// The real sources on this machine: the table parses, and sources that are
// not block devices are never probed (a relative "tmpfs" must not be opened).
void tst_Volumes::realMountTable()
{
    const std::string table = readProcMountInfo();
    QVERIFY(table.find(" / ") != std::string::npos);
    QCOMPARE(labelOfVolume(Volume{"/nonexistent-mount", "tmpfs", {}}), std::string());
    QCOMPARE(labelOfVolume(Volume{"/nonexistent-mount", "/dev/null", {}}), std::string());
}

QTEST_GUILESS_MAIN(tst_Volumes)
#include "tst_volumes.moc"
