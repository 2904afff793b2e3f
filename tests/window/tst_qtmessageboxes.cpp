#include "qtmessageboxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace pendrel;

class tst_QtMessageBoxes : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void looks();
};

void tst_QtMessageBoxes::answers_data()
{
    QTest::addColumn<Buttons>("buttons");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("defaultButton");
    QTest::addColumn<Answer>("answer");

    QTest::newRow("ok") << Buttons::Ok << int(Qt::Key_Return) << "&OK" << Answer::Ok;
    QTest::newRow("ok escape") << Buttons::Ok << int(Qt::Key_Escape) << "&OK" << Answer::Ok;
    QTest::newRow("retry") << Buttons::RetryCancel << int(Qt::Key_Return) << "&Retry" << Answer::Retry;
    QTest::newRow("cancel") << Buttons::RetryCancel << int(Qt::Key_Escape) << "&Retry" << Answer::Cancel;
    QTest::newRow("yes") << Buttons::YesNo << int(Qt::Key_Return) << "&Yes" << Answer::Yes;
    QTest::newRow("no") << Buttons::YesNo << int(Qt::Key_Escape) << "&Yes" << Answer::No;
    // Qt itself would make Retry the default of this set.
    QTest::newRow("abort") << Buttons::AbortRetryIgnore << int(Qt::Key_Return) << "&Abort" << Answer::Abort;
    QTest::newRow("abort escape") << Buttons::AbortRetryIgnore << int(Qt::Key_Escape) << "&Abort" << Answer::Abort;
}

void tst_QtMessageBoxes::answers()
{
    QFETCH(Buttons, buttons);
    QFETCH(int, key);
    QFETCH(QString, defaultButton);
    QFETCH(Answer, answer);

    QString shownDefault;
    QTimer::singleShot(0, [&] {
        QPointer<QMessageBox> box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        shownDefault = box->defaultButton() ? box->defaultButton()->text() : QString();
        QTest::keyClick(box->focusWidget() ? box->focusWidget() : box.data(), Qt::Key(key));
    });
    QtMessageBoxes boxes;
    QCOMPARE(boxes.show("text", buttons), answer);
    QCOMPARE(shownDefault.remove(QLatin1Char('&')), defaultButton.remove(QLatin1Char('&')));
}

void tst_QtMessageBoxes::looks()
{
    QWidget parent;
    QString title;
    QString text;
    QString details;
    QMessageBox::Icon icon = QMessageBox::Information;
    Qt::TextFormat format = Qt::RichText;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        title = box->windowTitle();
        text = box->text();
        details = box->detailedText();
        icon = box->icon();
        format = box->textFormat();
        box->done(QMessageBox::Abort);
    });
    QtMessageBoxes boxes;
    boxes.setParentWidget(&parent);
    QCOMPARE(boxes.show("wrong <b>disk</b> !\rPlease insert", Buttons::AbortRetryIgnore, "more"), Answer::Abort);
    QCOMPARE(title, QStringLiteral("Pendrel"));
    QCOMPARE(text, QStringLiteral("wrong <b>disk</b> !\nPlease insert"));
    QCOMPARE(details, QStringLiteral("more"));
    QCOMPARE(icon, QMessageBox::NoIcon);
    QCOMPARE(format, Qt::PlainText);
}

QTEST_MAIN(tst_QtMessageBoxes)
#include "tst_qtmessageboxes.moc"
