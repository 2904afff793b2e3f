#include "unixsignals.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

class tst_UnixSignals : public QObject
{
    Q_OBJECT

private slots:
    void delivered_data();
    void delivered();
};

void tst_UnixSignals::delivered_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("raised");

    QTest::newRow("SIGTERM") << SIGTERM << 1;
    QTest::newRow("SIGHUP") << SIGHUP << 1;
    QTest::newRow("SIGINT") << SIGINT << 1;
    QTest::newRow("SIGTERM twice") << SIGTERM << 2;
}

void tst_UnixSignals::delivered()
{
    QFETCH(int, signalNumber);
    QFETCH(int, raised);

    {
        UnixSignals signals_({SIGTERM, SIGHUP, SIGINT});
        QSignalSpy spy(&signals_, &UnixSignals::received);
        for (int i = 0; i < raised; ++i)
            QCOMPARE(::raise(signalNumber), 0);
        QTRY_COMPARE(spy.size(), raised);
        QCOMPARE(spy.front().front().toInt(), signalNumber);
    }
    struct sigaction restored = {};
    QCOMPARE(::sigaction(signalNumber, nullptr, &restored), 0);
    QVERIFY(restored.sa_handler == SIG_DFL);
}

QTEST_MAIN(tst_UnixSignals)
#include "tst_unixsignals.moc"
