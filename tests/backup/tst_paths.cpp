#include "copier.h"
#include "paths.h"

#include <QTest>

using namespace pendrel;

class tst_Paths : public QObject
{
    Q_OBJECT

private slots:
    void joins_data();
    void joins();
    void lastComponent_data();
    void lastComponent();
    void acceptableNames_data();
    void acceptableNames();
};

void tst_Paths::joins_data()
{
    QTest::addColumn<QString>("pfad");
    QTest::addColumn<QString>("dat");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("expected");

    QTest::newRow("drive root") << "A:\\" << "x.txt" << "\\" << "A:\\x.txt";
    QTest::newRow("drive without separator") << "A:" << "x.txt" << "\\" << "A:\\x.txt";
    QTest::newRow("directory") << "c:\\Texte" << "brief.doc" << "\\" << "c:\\Texte\\brief.doc";
    QTest::newRow("root with pattern") << "c:\\" << "*.*" << "\\" << "c:\\*.*";
    QTest::newRow("empty path") << "" << "*.*" << "\\" << "\\*.*";
    QTest::newRow("no normalisation") << "c:\\dir\\" << ".." << "\\" << "c:\\dir\\..";
    QTest::newRow("slash is ordinary") << "c:/dir" << "x" << "\\" << "c:/dir\\x";
    QTest::newRow("linux root") << "/" << "x" << "/" << "/x";
    QTest::newRow("linux directory") << "/home/u" << "x" << "/" << "/home/u/x";
    QTest::newRow("linux backslash is ordinary") << "/a\\" << "x" << "/" << "/a\\/x";
}

void tst_Paths::joins()
{
    QFETCH(QString, pfad);
    QFETCH(QString, dat);
    QFETCH(QString, separator);
    QFETCH(QString, expected);
    const std::string joined = datname(pfad.toStdString(), dat.toStdString(), separator.toLatin1().at(0));
    QCOMPARE(QString::fromStdString(joined), expected);
}

void tst_Paths::lastComponent_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nested") << "c:\\a\\b\\brief.doc" << "\\" << "brief.doc";
    QTest::newRow("bare name") << "brief.doc" << "\\" << "brief.doc";
    QTest::newRow("trailing separator") << "c:\\a\\" << "\\" << "";
    QTest::newRow("slash is ordinary") << "c:\\a/b" << "\\" << "a/b";
    QTest::newRow("empty") << "" << "\\" << "";
    QTest::newRow("linux") << "/home/u/brief.doc" << "/" << "brief.doc";
    QTest::newRow("linux root file") << "/x" << "/" << "x";
}

void tst_Paths::lastComponent()
{
    QFETCH(QString, path);
    QFETCH(QString, separator);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(DatNam(path.toStdString(), separator.toLatin1().at(0))), expected);
}

void tst_Paths::acceptableNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("shorten");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("kept") << QByteArray("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac (2).txt") << false
                          << QByteArray("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac (2).txt");
    QTest::newRow("every refused") << QByteArray("a:*?\"<>|\\b") << false << QByteArray("a________b");
    QTest::newRow("control") << QByteArray("a\x01\tb\x7f") << false << QByteArray("a__b_");
    QTest::newRow("trailing dots, spaces") << QByteArray("x. .. ") << false << QByteArray("x_____");
    QTest::newRow("inner dot kept") << QByteArray("a.b.txt") << false << QByteArray("a.b.txt");
    QTest::newRow("latin-1 bytes") << QByteArray("caf\xe9 \xff.txt") << false << QByteArray("caf_ _.txt");
    QTest::newRow("overlong") << QByteArray("\xc0\xaf") << false << QByteArray("__");
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80x") << false << QByteArray("___x");
    QTest::newRow("cut sequence") << QByteArray("ab\xe2\x82") << false << QByteArray("ab__");
    QTest::newRow("short kept") << QByteArray(100, 'n') << true << QByteArray(100, 'n');
    QTest::newRow("shortened") << QByteArray(300, 'n') + ".tar.gz" << true << QByteArray(140, 'n') + ".gz";
    QTest::newRow("shortened whole utf-8")
            << QByteArray("n") + QByteArray("\xe2\x82\xac").repeated(100) << true
            << QByteArray("n") + QByteArray("\xe2\x82\xac").repeated(47);
}

// The substitute for a name a stick refused: only what FAT, exFAT or NTFS
// cannot hold is replaced.
void tst_Paths::acceptableNames()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, shorten);
    QFETCH(QByteArray, expected);
    QCOMPARE(QByteArray::fromStdString(acceptableName(name.toStdString(), shorten)), expected);
}

QTEST_GUILESS_MAIN(tst_Paths)
#include "tst_paths.moc"
