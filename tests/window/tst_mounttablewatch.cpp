#include "mounttablewatch.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

// Real mounts in a private mount namespace of this process.
class tst_MountTableWatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void mountAndUnmount();

private:
    QTemporaryDir m_dir;
};

void tst_MountTableWatch::initTestCase()
{
    QVERIFY2(m_dir.isValid(), qPrintable(m_dir.errorString()));
    if (::geteuid() != 0)
        QSKIP("needs root: mounts a tmpfs in a private mount namespace");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        QSKIP(qPrintable("no private mount namespace: " + qt_error_string(errno)));
}

// One signal for each change, none while nothing changes: the file is always
// readable, so a watch on reading would fire without end.
void tst_MountTableWatch::mountAndUnmount()
{
    MountTableWatch watch;
    QSignalSpy changed(&watch, &MountTableWatch::changed);
    QTest::qWait(50);
    QCOMPARE(changed.count(), 0);

    const QByteArray point = QFile::encodeName(m_dir.path());
    QVERIFY2(::mount("tmpfs", point.constData(), "tmpfs", 0, nullptr) == 0, qPrintable(qt_error_string(errno)));
    QTRY_COMPARE(changed.count(), 1);
    QTest::qWait(50);
    QCOMPARE(changed.count(), 1);

    QVERIFY2(::umount(point.constData()) == 0, qPrintable(qt_error_string(errno)));
    QTRY_COMPARE(changed.count(), 2);
}

QTEST_GUILESS_MAIN(tst_MountTableWatch)
#include "tst_mounttablewatch.moc"
