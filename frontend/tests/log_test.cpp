#include "isolated_settings.h"
#include "nuvix_window.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>

namespace {

QString manyLines(int from, int count)
{
    QString text;
    for (int i = from; i < from + count; ++i)
        text += QStringLiteral("line %1 of the engine log\n").arg(i);
    return text;
}

bool cursorAtEnd(const QPlainTextEdit *view)
{
    const QTextCursor c = view->textCursor();
    return !c.hasSelection() && c.atEnd();
}

} // namespace

class LogTest : public QObject
{
    Q_OBJECT

private slots:
    void firstOpenShowsEverythingSoFar();
    void viewFollowsAppends();
    void emptyChunkChangesNothing();
    void secondShowReusesTheWindow();
    void aboutIsModalUntilClosed();

private:
    // The window's start-up yt-dlp check logs when it ends; let it end first so
    // the log holds only what a test appends.
    static bool settle(NuvixWindow &w)
    {
        QElapsedTimer t;
        t.start();
        while (w.probeProc && w.probeProc->state() != QProcess::NotRunning && t.elapsed() < 10000)
            QTest::qWait(10);
        QCoreApplication::processEvents();
        w.logText.clear();
        return !w.probeProc || w.probeProc->state() == QProcess::NotRunning;
    }
};

void LogTest::firstOpenShowsEverythingSoFar()
{
    IsolatedSettings iso;
    NuvixWindow w;
    QVERIFY(settle(w));
    w.appendLog(QStringLiteral("first\n"));
    w.appendLog(QStringLiteral("partial "));
    w.appendLog(QStringLiteral("chunk\r\nwith breaks\n"));
    QVERIFY(!w.logsDialog);
    QVERIFY(!w.logsView);

    QTest::mouseClick(w.btnShowLogs, Qt::LeftButton);
    QVERIFY(w.logsDialog);
    QVERIFY(w.logsView);
    QCOMPARE(w.logsDialog->parent(), static_cast<QObject *>(&w));
    QCOMPARE(w.logsDialog->objectName(), QStringLiteral("NuvixLogs"));
    QCOMPARE(w.logsDialog->windowTitle(), QStringLiteral("Nuvix logs"));
    QCOMPARE(w.logsDialog->size(), QSize(640, 360));
    QVERIFY(w.logsDialog->isVisible());
    QVERIFY(!w.logsDialog->isModal());
    QVERIFY(w.logsView->isReadOnly());
    QCOMPARE(w.logsView->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(w.logText, QStringLiteral("first\npartial chunk\r\nwith breaks\n"));
    // The view holds exactly the log (line breaks normalised by the document).
    QCOMPARE(w.logsView->toPlainText(), QStringLiteral("first\npartial chunk\nwith breaks\n"));
}

void LogTest::viewFollowsAppends()
{
    IsolatedSettings iso;
    NuvixWindow w;
    QVERIFY(settle(w));
    w.show();
    w.appendLog(manyLines(0, 50));
    w.showLogs();
    QVERIFY(QTest::qWaitForWindowExposed(w.logsDialog));

    w.appendLog(manyLines(50, 200));
    QCoreApplication::processEvents();
    QCOMPARE(w.logsView->toPlainText(), manyLines(0, 250));
    QVERIFY(cursorAtEnd(w.logsView));
    QScrollBar *bar = w.logsView->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    // Scrolled down to the newest line: the end of the text is in view.
    QVERIFY(bar->value() >= bar->maximum() - 1);
    QVERIFY(w.logsView->viewport()->rect().contains(w.logsView->cursorRect()));

    // Hidden after being opened: still kept up to date.
    w.logsDialog->close();
    QVERIFY(!w.logsDialog->isVisible());
    w.appendLog(QStringLiteral("while hidden\n"));
    QVERIFY(w.logsView->toPlainText().endsWith(QStringLiteral("while hidden\n")));
    QVERIFY(cursorAtEnd(w.logsView));
}

void LogTest::emptyChunkChangesNothing()
{
    IsolatedSettings iso;
    NuvixWindow w;
    QVERIFY(settle(w));
    w.show();
    w.appendLog(manyLines(0, 300));
    w.showLogs();
    QVERIFY(QTest::qWaitForWindowExposed(w.logsDialog));
    QScrollBar *bar = w.logsView->verticalScrollBar();
    QVERIFY(bar->maximum() > 10);
    bar->setValue(3);
    QTextCursor c = w.logsView->textCursor();
    c.setPosition(5);
    w.logsView->setTextCursor(c);
    bar->setValue(3);

    w.appendLog(QString());
    QCoreApplication::processEvents();
    QCOMPARE(w.logText, manyLines(0, 300));
    QCOMPARE(bar->value(), 3);
    QCOMPARE(w.logsView->textCursor().position(), 5);
}

void LogTest::secondShowReusesTheWindow()
{
    IsolatedSettings iso;
    NuvixWindow w;
    QVERIFY(settle(w));
    w.show();
    QTest::mouseClick(w.btnShowLogs, Qt::LeftButton);
    QPointer<QDialog> first = w.logsDialog;
    QPlainTextEdit *firstView = w.logsView;
    QVERIFY(first);

    first->close();
    w.appendLog(QStringLiteral("after close\n"));
    QTest::mouseClick(w.btnShowLogs, Qt::LeftButton);
    QVERIFY(first);
    QCOMPARE(w.logsDialog, first.data());
    QCOMPARE(w.logsView, firstView);
    QVERIFY(first->isVisible());
    QCOMPARE(w.findChildren<QDialog *>(QStringLiteral("NuvixLogs")).size(), 1);
    QCOMPARE(w.logsView->toPlainText(), QStringLiteral("after close\n"));
}

void LogTest::aboutIsModalUntilClosed()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QString title, objectName;
    QStringList labels;
    bool modal = false;
    bool closedByButton = false;
    // Find the dialog while it runs and press its Close button; give up (rejecting
    // it) after about three seconds so the test cannot hang.
    std::function<void(int)> inspect = [&](int attemptsLeft) {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            if (attemptsLeft > 0)
                QTimer::singleShot(20, [&, attemptsLeft] { inspect(attemptsLeft - 1); });
            return;
        }
        title = dialog->windowTitle();
        objectName = dialog->objectName();
        modal = dialog->isModal();
        for (QLabel *label : dialog->findChildren<QLabel *>())
            labels << label->text();
        for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
            if (button->text() == QLatin1String("Close")) {
                QTest::mouseClick(button, Qt::LeftButton);
                closedByButton = true;
                return;
            }
        }
        dialog->reject();
    };
    QTimer::singleShot(20, [&] { inspect(150); });
    QTest::mouseClick(w.btnAbout, Qt::LeftButton);

    QVERIFY(closedByButton);
    QVERIFY(modal);
    QCOMPARE(title, QStringLiteral("About"));
    QCOMPARE(objectName, QStringLiteral("dlgAbout"));
    QCOMPARE(labels.size(), 3);
    QCOMPARE(labels.at(0), QStringLiteral("Nuvix"));
    QCOMPARE(labels.at(1), QStringLiteral("ver 1.0 BETA"));
    QVERIFY(labels.at(2).endsWith(QStringLiteral("'>Icons by Icons8</a>")));
    // The dialog lived on the stack of the call.
    QVERIFY(w.findChildren<QDialog *>(QStringLiteral("dlgAbout")).isEmpty());
    QVERIFY(!QApplication::activeModalWidget());
}

QTEST_MAIN(LogTest)
#include "log_test.moc"
