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

QTEST_GUILESS_MAIN(tst_Paths)
#include "tst_paths.moc"
