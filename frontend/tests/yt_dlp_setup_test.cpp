#include "isolated_settings.h"
#include "modal_driver.h"
#include "nuvix_window.h"
#include "yt_dlp_setup.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

const char NO_YT_DLP[] = "yt-dlp not found. this program needs it on the computer";
const int WAIT_MS = 15000;

QString fakeYtDlpPath()
{
    return QStringLiteral(NUVIX_SOURCE_DIR "/frontend/tests/support/fake_yt_dlp");
}

// Scripts the fake yt-dlp through a control folder and hides every real yt-dlp
// from the search path while it lives.
struct FakeControl
{
    QTemporaryDir control;
    QTemporaryDir emptyBin;
    QByteArray savedPath = qgetenv("PATH");

    FakeControl()
    {
        qputenv("FAKE_YT_DLP_DIR", control.path().toLocal8Bit());
        qputenv("PATH", emptyBin.path().toLocal8Bit());
    }
    ~FakeControl()
    {
        qputenv("PATH", savedPath);
        qunsetenv("FAKE_YT_DLP_DIR");
    }
    void write(const char *name, const QByteArray &content) const
    {
        QFile file(control.filePath(QString::fromLatin1(name)));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }
    int versionCalls() const
    {
        QFile file(control.filePath(QStringLiteral("calls")));
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        return QString::fromUtf8(file.readAll()).count(QLatin1String("--version\n--end--\n"));
    }
};

QString makeFile(const QString &dir, const QString &name, bool executable)
{
    const QString path = QDir(dir).filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
    if (executable)
        permissions |= QFile::ExeOwner;
    file.setPermissions(permissions);
    return path;
}

QPushButton *buttonWithText(QWidget *parent, const QString &text)
{
    const auto buttons = parent->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

// A dialog under test with its store and the log lines it wrote.
struct DialogRig
{
    IsolatedSettings iso;
    std::unique_ptr<QSettings> store = iso.store();
    QStringList log;
    WelcomeSetupDialog dialog{store.get(), [this](const QString &text) { log << text; }, nullptr};

    DialogRig()
    {
        store->remove(QStringLiteral("YT_DLP_PATH"));
        dialog.show();
    }
    QLabel *label(const char *name) const
    {
        return dialog.findChild<QLabel *>(QString::fromLatin1(name));
    }
    QLabel *okLabel() const
    {
        const auto labels = dialog.findChildren<QLabel *>();
        for (QLabel *l : labels) {
            if (l->text() == QLatin1String("OK. Welcome Setup is complete."))
                return l;
        }
        return nullptr;
    }
    QPushButton *continueButton() const { return buttonWithText(const_cast<WelcomeSetupDialog *>(&dialog), QStringLiteral("Continue \u00bb")); }
};

} // namespace

class YtDlpSetupTest : public QObject
{
    Q_OBJECT

private slots:
    void lookupOrder_data();
    void lookupOrder();
    void startUpProbe_data();
    void startUpProbe();
    void probeFailureReportedOnce();
    void dialogAtFirst();
    void dialogFileCheck_data();
    void dialogFileCheck();
    void failedCheckAfterGoodOne();
    void fileDialogChoiceAndCancel();
    void startUpWithoutYtDlp_data();
    void startUpWithoutYtDlp();
    // Exit quits the application's event loops; it stays the last test.
    void exitAtStartUp();
};

void YtDlpSetupTest::lookupOrder_data()
{
    QTest::addColumn<QString>("stored"); // "none", "valid", "blanks", "deleted"
    QTest::addColumn<bool>("besideProgram");
    QTest::addColumn<bool>("onSearchPath");
    QTest::addColumn<QString>("expected"); // "stored", "program", "path", "none"

    QTest::newRow("stored path wins over both") << "valid" << true << true << "stored";
    QTest::newRow("stored path is trimmed") << "blanks" << true << true << "stored";
    QTest::newRow("deleted stored path: program folder") << "deleted" << true << true << "program";
    QTest::newRow("deleted stored path: search path") << "deleted" << false << true << "path";
    QTest::newRow("program folder before search path") << "none" << true << true << "program";
    QTest::newRow("search path only") << "none" << false << true << "path";
    QTest::newRow("nothing anywhere") << "deleted" << false << false << "none";
}

void YtDlpSetupTest::lookupOrder()
{
    QFETCH(QString, stored);
    QFETCH(bool, besideProgram);
    QFETCH(bool, onSearchPath);
    QFETCH(QString, expected);

    QTemporaryDir storedDir, programDir, pathDir;
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", pathDir.path().toLocal8Bit());

    const QString storedFile = makeFile(storedDir.path(), QStringLiteral("chosen-yt-dlp"), true);
    QString storedValue;
    if (stored == QLatin1String("valid"))
        storedValue = storedFile;
    else if (stored == QLatin1String("blanks"))
        storedValue = QStringLiteral("  ") + storedFile + QStringLiteral(" \t");
    else if (stored == QLatin1String("deleted"))
        storedValue = storedDir.filePath(QStringLiteral("gone"));
    const QString programFile =
        besideProgram ? makeFile(programDir.path(), ytDlpFileName(), true) : QString();
    const QString pathFile = onSearchPath ? makeFile(pathDir.path(), QStringLiteral("yt-dlp"), true) : QString();

    const QString found = findYtDlp(storedValue, programDir.path());
    qputenv("PATH", savedPath);

    const QString want = expected == QLatin1String("stored")    ? storedFile
                         : expected == QLatin1String("program") ? programFile
                         : expected == QLatin1String("path")    ? pathFile
                                                                : QString();
    QCOMPARE(found, want);
}

void YtDlpSetupTest::startUpProbe_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("log"); // %1 is the path

    QTest::newRow("version on standard output")
        << QByteArray("\n2024.04.09 \nmore\n") << QByteArray("warning\n") << 0 << "" << "yt-dlp 2024.04.09\n%1\n";
    QTest::newRow("version only on standard error")
        << QByteArray() << QByteArray("  1.2.3 from stderr \nsecond\n") << 0 << "" << "yt-dlp 1.2.3 from stderr\n%1\n";
    QTest::newRow("nothing printed") << QByteArray() << QByteArray() << 0 << "" << "yt-dlp \n%1\n";
    QTest::newRow("non-zero exit with error output")
        << QByteArray("2024.04.09\n") << QByteArray("Traceback\n  boom \n") << 2 << "yt-dlp did not start"
        << "yt-dlp did not start: %1\nTraceback\n  boom\n";
    QTest::newRow("non-zero exit, silent")
        << QByteArray() << QByteArray() << 1 << "yt-dlp did not start" << "yt-dlp did not start: %1\n";
}

void YtDlpSetupTest::startUpProbe()
{
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, exitCode);
    QFETCH(QString, status);
    QFETCH(QString, log);

    IsolatedSettings iso;
    FakeControl fake;
    fake.write("version.out", out);
    fake.write("version.err", err);
    fake.write("version.exit", QByteArray::number(exitCode));
    // The stored path is used as written after trimming.
    iso.store()->setValue(QStringLiteral("YT_DLP_PATH"), QStringLiteral(" ") + fakeYtDlpPath() + QStringLiteral(" "));

    NuvixWindow w;
    QVERIFY(w.probeProc);
    QVERIFY(QTest::qWaitFor([&] { return w.probeProc->state() == QProcess::NotRunning; }, WAIT_MS));
    QCOMPARE(fake.versionCalls(), 1);
    QCOMPARE(w.logText, log.arg(fakeYtDlpPath()));
    QCOMPARE(w.lblStatus->text(), status);
    QVERIFY(w.btnIngest->isEnabled());
    QCOMPARE(w.btnIngest->text(), QStringLiteral("Start"));
    // A failing probe keeps the stored path.
    QVERIFY(!iso.store()->value(QStringLiteral("YT_DLP_PATH")).toString().isEmpty());
    w.close();
}

void YtDlpSetupTest::probeFailureReportedOnce()
{
    IsolatedSettings iso;
    FakeControl fake;
    const QString notProgram = makeFile(fake.control.path(), QStringLiteral("yt-dlp"), false);
    iso.store()->setValue(QStringLiteral("YT_DLP_PATH"), notProgram);

    NuvixWindow w;
    const QString line = QStringLiteral("yt-dlp did not start: ") + notProgram + QLatin1Char('\n');
    QTRY_COMPARE_WITH_TIMEOUT(w.lblStatus->text(), QStringLiteral("yt-dlp did not start"), WAIT_MS);
    QCOMPARE(w.logText, line);
    QVERIFY(w.probeProc->property("noted").toBool());

    // Whichever handler comes second stays silent.
    w.lblStatus->clear();
    w.onProbeFinished(notProgram, 1);
    w.onProbeFailedToStart(notProgram);
    QCOMPARE(w.logText, line);
    QCOMPARE(w.lblStatus->text(), QString());
    w.close();
}

void YtDlpSetupTest::dialogAtFirst()
{
    DialogRig rig;
    QCOMPARE(rig.dialog.windowTitle(), QStringLiteral("Welcome Setup"));
    QCOMPARE(rig.dialog.objectName(), QStringLiteral("dlgYtDlp"));
    QCOMPARE(rig.dialog.minimumWidth(), 460);
    QVERIFY(rig.continueButton());
    QVERIFY(!rig.continueButton()->isEnabled());
    QVERIFY(rig.okLabel());
    QVERIFY(!rig.okLabel()->isVisible());
    QCOMPARE(rig.label("lblYtPath")->text(), QString());
    QCOMPARE(rig.label("lblYtError")->text(), QString());
    QVERIFY(buttonWithText(&rig.dialog, QStringLiteral("Exit")));
    QVERIFY(buttonWithText(&rig.dialog, QStringLiteral("...")));

    // Continue does nothing before a file passed the check.
    rig.continueButton()->setEnabled(true);
    rig.continueButton()->click();
    QVERIFY(rig.dialog.isVisible());
    QVERIFY(rig.log.isEmpty());
    QVERIFY(!rig.store->contains(QStringLiteral("YT_DLP_PATH")));
}

void YtDlpSetupTest::dialogFileCheck_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("program"); // false: a file that cannot run
    QTest::addColumn<bool>("passes");
    QTest::addColumn<QString>("pathLabel"); // %1 is the path
    QTest::addColumn<QString>("logLine");

    QTest::newRow("version printed")
        << QByteArray("2099.01.01\nextra\n") << 0 << true << true << "2099.01.01\n%1" << "yt-dlp 2099.01.01\n%1\n";
    QTest::newRow("nothing printed") << QByteArray() << 0 << true << true << "%1" << "yt-dlp \n%1\n";
    QTest::newRow("non-zero exit") << QByteArray("2099.01.01\n") << 3 << true << false << "" << "";
    QTest::newRow("cannot run") << QByteArray() << 0 << false << false << "" << "";
}

void YtDlpSetupTest::dialogFileCheck()
{
    QFETCH(QByteArray, out);
    QFETCH(int, exitCode);
    QFETCH(bool, program);
    QFETCH(bool, passes);
    QFETCH(QString, pathLabel);
    QFETCH(QString, logLine);

    FakeControl fake;
    fake.write("version.out", out);
    fake.write("version.exit", QByteArray::number(exitCode));
    const QString file = program ? fakeYtDlpPath() : makeFile(fake.control.path(), QStringLiteral("text"), false);

    DialogRig rig;
    rig.dialog.checkFile(file);
    QCOMPARE(rig.label("lblYtPath")->text(), pathLabel.arg(file));
    QCOMPARE(rig.okLabel()->isVisible(), passes);
    QCOMPARE(rig.continueButton()->isEnabled(), passes);
    QCOMPARE(rig.label("lblYtError")->text(), passes ? QString() : QStringLiteral("this file did not start"));
    QCOMPARE(rig.dialog.chosenPath(), passes ? file : QString());

    rig.continueButton()->click();
    if (passes) {
        QCOMPARE(rig.dialog.result(), int(QDialog::Accepted));
        QCOMPARE(rig.log, QStringList{logLine.arg(file)});
        // Flushed: a fresh reader sees it.
        QCOMPARE(rig.iso.store()->value(QStringLiteral("YT_DLP_PATH")).toString(), file);
    } else {
        QVERIFY(rig.dialog.isVisible());
        QVERIFY(rig.log.isEmpty());
        QVERIFY(!rig.iso.store()->contains(QStringLiteral("YT_DLP_PATH")));
    }
}

void YtDlpSetupTest::failedCheckAfterGoodOne()
{
    FakeControl fake;
    fake.write("version.out", "2099.01.01\n");
    DialogRig rig;
    rig.dialog.checkFile(fakeYtDlpPath());
    QVERIFY(rig.continueButton()->isEnabled());

    rig.dialog.checkFile(fake.control.filePath(QStringLiteral("missing")));
    QVERIFY(!rig.continueButton()->isEnabled());
    QVERIFY(!rig.okLabel()->isVisible());
    QCOMPARE(rig.label("lblYtPath")->text(), QString());
    QCOMPARE(rig.label("lblYtError")->text(), QStringLiteral("this file did not start"));
    QCOMPARE(rig.dialog.chosenPath(), QString());
    QCOMPARE(rig.dialog.chosenVersion(), QString());
    rig.continueButton()->click();
    QVERIFY(rig.dialog.isVisible());
    QVERIFY(rig.log.isEmpty());
}

void YtDlpSetupTest::fileDialogChoiceAndCancel()
{
    FakeControl fake;
    fake.write("version.out", "2099.01.01\n");
    DialogRig rig;
    QPushButton *choose = buttonWithText(&rig.dialog, QStringLiteral("..."));

    ModalWatchdog watchdog;
    whenModalShows("QFileDialog", [](QWidget *widget) {
        auto *files = static_cast<QFileDialog *>(widget);
        // selectFile leaves the name field alone while it has the focus.
        if (QWidget *focused = files->focusWidget())
            focused->clearFocus();
        files->selectFile(fakeYtDlpPath());
        static_cast<QDialog *>(files)->accept(); // QFileDialog hides accept()
    });
    choose->click();
    QCOMPARE(rig.dialog.chosenPath(), fakeYtDlpPath());
    QCOMPARE(rig.dialog.chosenVersion(), QStringLiteral("2099.01.01"));
    QCOMPARE(fake.versionCalls(), 1);

    // Cancelling the file dialog keeps the earlier choice.
    whenModalShows("QFileDialog", [](QWidget *files) { static_cast<QDialog *>(files)->reject(); });
    choose->click();
    QCOMPARE(rig.dialog.chosenPath(), fakeYtDlpPath());
    QVERIFY(rig.continueButton()->isEnabled());
    QVERIFY(rig.okLabel()->isVisible());
    QCOMPARE(fake.versionCalls(), 1);
}

void YtDlpSetupTest::startUpWithoutYtDlp_data()
{
    QTest::addColumn<bool>("choose");
    QTest::newRow("dialog closed") << false;
    QTest::newRow("file chosen") << true;
}

void YtDlpSetupTest::startUpWithoutYtDlp()
{
    QFETCH(bool, choose);

    IsolatedSettings iso;
    iso.clearStore();
    FakeControl fake;
    fake.write("version.out", "2099.01.01\n");
    ModalWatchdog watchdog;
    whenModalShows("WelcomeSetupDialog", [choose](QWidget *widget) {
        auto *dialog = static_cast<WelcomeSetupDialog *>(widget);
        if (!choose) {
            dialog->reject();
            return;
        }
        dialog->checkFile(fakeYtDlpPath());
        buttonWithText(dialog, QStringLiteral("Continue \u00bb"))->click();
    });

    NuvixWindow w;
    QVERIFY(!w.quitAtStartRequested());
    // No version probe follows the dialog.
    QVERIFY(!w.probeProc);
    if (choose) {
        QCOMPARE(w.logText, QStringLiteral("yt-dlp 2099.01.01\n") + fakeYtDlpPath() + QLatin1Char('\n'));
        QCOMPARE(w.lblStatus->text(), QString());
        QCOMPARE(iso.store()->value(QStringLiteral("YT_DLP_PATH")).toString(), fakeYtDlpPath());
        QCOMPARE(w.findYtDlp(), fakeYtDlpPath());
        QCOMPARE(fake.versionCalls(), 1);
    } else {
        QCOMPARE(w.logText, QString::fromLatin1(NO_YT_DLP) + QLatin1Char('\n'));
        QCOMPARE(w.lblStatus->text(), QString::fromLatin1(NO_YT_DLP));
        QVERIFY(w.btnIngest->isEnabled());
        QVERIFY(!iso.store()->contains(QStringLiteral("YT_DLP_PATH")));
    }
    w.close();
}

void YtDlpSetupTest::exitAtStartUp()
{
    IsolatedSettings iso;
    iso.clearStore();
    FakeControl fake;
    bool exitSignalled = false;
    ModalWatchdog watchdog;
    whenModalShows("WelcomeSetupDialog", [&exitSignalled](QWidget *widget) {
        auto *dialog = static_cast<WelcomeSetupDialog *>(widget);
        QObject::connect(dialog, &WelcomeSetupDialog::exitChosen, [&exitSignalled] { exitSignalled = true; });
        buttonWithText(dialog, QStringLiteral("Exit"))->click();
    });

    NuvixWindow w;
    QVERIFY(exitSignalled);
    QVERIFY(w.quitAtStartRequested());
    QVERIFY(!w.isVisible());
    QVERIFY(!w.probeProc);
    QVERIFY(!iso.store()->contains(QStringLiteral("YT_DLP_PATH")));
    w.close();
}

QTEST_MAIN(YtDlpSetupTest)
#include "yt_dlp_setup_test.moc"
