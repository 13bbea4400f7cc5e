#include "isolated_settings.h"
#include "modal_driver.h"
#include "nuvix_window.h"
#include "yt_dlp_setup.h"
#include "yt_dlp_version.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <memory>

#include <unistd.h>

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
    void releaseFileWithoutExecuteBit_data();
    void releaseFileWithoutExecuteBit();
    void failedCheckAfterGoodOne();
    void fileDialogChoiceAndCancel();
    void fileDialogOffersReleaseFile();
    void helpLinkIsLocal();
    void oldYtDlpAtStartUp();
    void startUpWithoutYtDlp_data();
    void startUpWithoutYtDlp();
    // Exit quits the application's event loops; it stays the last test.
    void exitAtStartUp();
};

void YtDlpSetupTest::lookupOrder_data()
{
    QTest::addColumn<QString>("stored"); // "none", "valid", "blanks", "deleted"
    QTest::addColumn<QStringList>("besideProgram"); // file names next to the program
    QTest::addColumn<QStringList>("onSearchPath");
    QTest::addColumn<QString>("expected"); // "stored", "program/<name>", "path/<name>", "none"

    const QStringList plain{"yt-dlp"};
    const QStringList release{"yt-dlp_linux"};
    const QStringList both{"yt-dlp", "yt-dlp_linux"};
    const QStringList nothing;
    QTest::newRow("stored path wins over both") << "valid" << both << both << "stored";
    QTest::newRow("stored path is trimmed") << "blanks" << plain << plain << "stored";
    QTest::newRow("deleted stored path: program folder") << "deleted" << plain << plain << "program/yt-dlp";
    QTest::newRow("deleted stored path: search path") << "deleted" << nothing << plain << "path/yt-dlp";
    QTest::newRow("program folder before search path") << "none" << plain << plain << "program/yt-dlp";
    QTest::newRow("release file: program folder before search path") << "none" << both << both << "program/yt-dlp_linux";
    QTest::newRow("release file next to the program") << "none" << release << plain << "program/yt-dlp_linux";
    QTest::newRow("release file on the search path beats the package next to the program")
        << "none" << plain << release << "path/yt-dlp_linux";
    QTest::newRow("release file wins in the program folder") << "none" << both << nothing << "program/yt-dlp_linux";
    QTest::newRow("search path only") << "none" << nothing << plain << "path/yt-dlp";
    QTest::newRow("release file on the search path") << "none" << nothing << release << "path/yt-dlp_linux";
    QTest::newRow("release file wins on the search path") << "none" << nothing << both << "path/yt-dlp_linux";
    QTest::newRow("nothing anywhere") << "deleted" << nothing << nothing << "none";
}

void YtDlpSetupTest::lookupOrder()
{
    QFETCH(QString, stored);
    QFETCH(QStringList, besideProgram);
    QFETCH(QStringList, onSearchPath);
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
    for (const QString &name : besideProgram)
        QVERIFY(!makeFile(programDir.path(), name, true).isEmpty());
    for (const QString &name : onSearchPath)
        QVERIFY(!makeFile(pathDir.path(), name, true).isEmpty());

    const QString found = findYtDlp(storedValue, programDir.path());
    qputenv("PATH", savedPath);

    QString want;
    if (expected == QLatin1String("stored"))
        want = storedFile;
    else if (expected.startsWith(QLatin1String("program/")))
        want = QDir(programDir.path()).filePath(expected.mid(8));
    else if (expected.startsWith(QLatin1String("path/")))
        want = QDir(pathDir.path()).filePath(expected.mid(5));
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
        << QByteArray("\n2099.04.09 \nmore\n") << QByteArray("warning\n") << 0 << "" << "yt-dlp 2099.04.09\n%1\n";
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
    // Names the file the yt-dlp project publishes for Linux.
    QCOMPARE(buttonWithText(&rig.dialog, QStringLiteral("..."))->toolTip(), QStringLiteral("Choose yt-dlp_linux"));
    bool namesReleaseFile = false;
    for (QLabel *l : rig.dialog.findChildren<QLabel *>())
        namesReleaseFile |= l->text().contains(QLatin1String(">yt-dlp_linux<"));
    QVERIFY(namesReleaseFile);

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
    QTest::addColumn<QString>("kind"); // "fake", or a file that is no program: "text", "missing", "folder"
    QTest::addColumn<bool>("passes");
    QTest::addColumn<QString>("pathLabel"); // %1 is the path
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("error"); // start of the error label

    QTest::newRow("version printed")
        << QByteArray("2099.01.01\nextra\n") << 0 << "fake" << true << "2099.01.01\n%1" << "yt-dlp 2099.01.01\n%1\n" << "";
    QTest::newRow("nothing printed") << QByteArray() << 0 << "fake" << true << "%1" << "yt-dlp \n%1\n" << "";
    QTest::newRow("non-zero exit") << QByteArray("2099.01.01\n") << 3 << "fake" << false << "" << ""
                                   << "this file is no working yt-dlp: --version ended with code 3";
    QTest::newRow("executable text, no program") << QByteArray() << 0 << "text" << false << "" << ""
                                                 << "this file did not start (";
    QTest::newRow("missing file") << QByteArray() << 0 << "missing" << false << "" << ""
                                  << "this file does not exist";
    QTest::newRow("folder") << QByteArray() << 0 << "folder" << false << "" << ""
                            << "this is a folder; choose the yt-dlp file in it";
}

void YtDlpSetupTest::dialogFileCheck()
{
    QFETCH(QByteArray, out);
    QFETCH(int, exitCode);
    QFETCH(QString, kind);
    QFETCH(bool, passes);
    QFETCH(QString, pathLabel);
    QFETCH(QString, logLine);
    QFETCH(QString, error);

    FakeControl fake;
    fake.write("version.out", out);
    fake.write("version.exit", QByteArray::number(exitCode));
    QString file = fakeYtDlpPath();
    if (kind == QLatin1String("text")) {
        // Executable, but neither a binary nor a script the kernel can start.
        file = fake.control.filePath(QStringLiteral("notes.txt"));
        QFile text(file);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("just some notes\n");
        text.close();
        QVERIFY(text.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    } else if (kind == QLatin1String("missing")) {
        file = fake.control.filePath(QStringLiteral("missing"));
    } else if (kind == QLatin1String("folder")) {
        file = fake.control.path();
    }

    DialogRig rig;
    rig.dialog.checkFile(file);
    QCOMPARE(rig.label("lblYtPath")->text(), pathLabel.isEmpty() ? QString() : pathLabel.arg(file));
    QCOMPARE(rig.okLabel()->isVisible(), passes);
    QCOMPARE(rig.continueButton()->isEnabled(), passes);
    const QString shownError = rig.label("lblYtError")->text();
    QVERIFY2(error.isEmpty() ? shownError.isEmpty() : shownError.startsWith(error), qPrintable(shownError));
    QVERIFY(!shownError.contains(QLatin1String("did not start")) || kind == QLatin1String("text"));
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

void YtDlpSetupTest::releaseFileWithoutExecuteBit_data()
{
    QTest::addColumn<bool>("ownFile");
    QTest::newRow("the user's own download") << true;
    QTest::newRow("another user's file") << false;
}

void YtDlpSetupTest::releaseFileWithoutExecuteBit()
{
    QFETCH(bool, ownFile);

    FakeControl fake;
    fake.write("version.out", "2099.01.01\n");
    // As a browser saves it: the release name, read and write only.
    QTemporaryDir downloads;
    const QString file = downloads.filePath(QStringLiteral("yt-dlp_linux"));
    QVERIFY(QFile::copy(fakeYtDlpPath(), file));
    QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    if (!ownFile) {
        if (::getuid() != 0)
            QSKIP("giving a file to another user needs root");
        QCOMPARE(::chown(QFile::encodeName(file).constData(), 65534, 65534), 0);
    }

    DialogRig rig;
    rig.dialog.checkFile(file);
    const QFile::Permissions permissions = QFile::permissions(file);
    if (ownFile) {
        QCOMPARE(rig.dialog.chosenPath(), file);
        QVERIFY(rig.dialog.madeChosenExecutable());
        // chmod +x: execute wherever reading is allowed.
        QVERIFY(permissions & QFile::ExeOwner);
        QVERIFY(permissions & QFile::ExeGroup);
        QVERIFY(permissions & QFile::ExeOther);
        QCOMPARE(rig.label("lblYtPath")->text(),
                 QStringLiteral("2099.01.01\n") + file + QStringLiteral("\n(it was not executable; execute bit set)"));
        QCOMPARE(rig.label("lblYtError")->text(), QString());
        rig.continueButton()->click();
        QCOMPARE(rig.log, (QStringList{QStringLiteral("yt-dlp 2099.01.01\n") + file + QLatin1Char('\n'),
                                       QStringLiteral("execute bit set on ") + file + QLatin1Char('\n')}));
        QCOMPARE(rig.iso.store()->value(QStringLiteral("YT_DLP_PATH")).toString(), file);
        // Checked again, it needs nothing more.
        rig.dialog.checkFile(file);
        QVERIFY(!rig.dialog.madeChosenExecutable());
    } else {
        QCOMPARE(rig.dialog.chosenPath(), QString());
        QVERIFY(!(permissions & QFile::ExeOwner));
        QCOMPARE(rig.label("lblYtError")->text(),
                 QStringLiteral("this file is not executable and belongs to another user: "
                                "make it executable (chmod +x) or copy it into your home folder"));
        QVERIFY(!rig.continueButton()->isEnabled());
    }
    QCOMPARE(fake.versionCalls(), ownFile ? 2 : 0);
}

void YtDlpSetupTest::fileDialogOffersReleaseFile()
{
    FakeControl fake;
    fake.write("version.out", "2099.01.01\n");
    QTemporaryDir downloads;
    const QString file = downloads.filePath(QStringLiteral("yt-dlp_linux"));
    QVERIFY(QFile::copy(fakeYtDlpPath(), file));
    QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner));
    DialogRig rig;

    ModalWatchdog watchdog;
    QStringList filters;
    whenModalShows("QFileDialog", [&](QWidget *widget) {
        auto *files = static_cast<QFileDialog *>(widget);
        filters = files->nameFilters();
        if (QWidget *focused = files->focusWidget())
            focused->clearFocus();
        files->setDirectory(downloads.path());
        files->selectFile(file);
        static_cast<QDialog *>(files)->accept();
    });
    buttonWithText(&rig.dialog, QStringLiteral("..."))->click();
    QCOMPARE(filters, (QStringList{QStringLiteral("yt-dlp (yt-dlp*)"), QStringLiteral("All files (*)")}));
    // The first filter shows the release file and a browser's renamed copy.
    QCOMPARE(QDir(downloads.path()).entryList({QStringLiteral("yt-dlp*")}, QDir::Files),
             QStringList{QStringLiteral("yt-dlp_linux")});
    QCOMPARE(rig.dialog.chosenPath(), file);
    QVERIFY(rig.continueButton()->isEnabled());
}

void YtDlpSetupTest::helpLinkIsLocal()
{
    DialogRig rig;
    QString href;
    const auto labels = rig.dialog.findChildren<QLabel *>();
    for (QLabel *l : labels) {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("href='([^']*)'>here")).match(l->text());
        if (m.hasMatch())
            href = m.captured(1);
    }
    const QUrl url(href);
    QVERIFY2(url.isLocalFile(), qPrintable(href));
    QCOMPARE(url.fragment(), QStringLiteral("yt-dlp"));
    QFile page(url.toLocalFile());
    QVERIFY2(page.open(QIODevice::ReadOnly), qPrintable(url.toLocalFile()));
    const QByteArray html = page.readAll();
    QVERIFY(html.contains("id=\"yt-dlp\""));
    QVERIFY(html.contains("yt-dlp_linux"));
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
    QCOMPARE(rig.label("lblYtError")->text(), QStringLiteral("this file does not exist"));
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
    QTest::addColumn<QString>("version");
    QTest::newRow("dialog closed") << false << "2099.01.01";
    QTest::newRow("file chosen") << true << "2099.01.01";
    QTest::newRow("old file chosen") << true << "2020.01.01";
}

void YtDlpSetupTest::startUpWithoutYtDlp()
{
    QFETCH(bool, choose);
    QFETCH(QString, version);

    IsolatedSettings iso;
    iso.clearStore();
    FakeControl fake;
    fake.write("version.out", version.toUtf8() + '\n');
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
    const int days = ytDlpAgeDays(version, QDate::currentDate());
    if (choose) {
        const QString chosenLine = QStringLiteral("yt-dlp ") + version + QLatin1Char('\n') + fakeYtDlpPath() + QLatin1Char('\n');
        if (ytDlpIsOld(days)) {
            // The chosen file's age is said like the probe's.
            const bool selfUpdate = ytDlpCanSelfUpdate(fakeYtDlpPath());
            QCOMPARE(w.logText, chosenLine + ytDlpAgeAdvice(version, days, fakeYtDlpPath(), selfUpdate,
                                                            QCoreApplication::applicationDirPath(),
                                                            w.settings->fileName()));
            QCOMPARE(w.lblStatus->text(), ytDlpAgeStatus(days, selfUpdate));
        } else {
            QCOMPARE(w.logText, chosenLine);
            QCOMPARE(w.lblStatus->text(), QString());
        }
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

void YtDlpSetupTest::oldYtDlpAtStartUp()
{
    IsolatedSettings iso;
    FakeControl fake;
    fake.write("version.out", "2020.01.01\n");
    // A copy the user owns and may replace, so "yt-dlp -U" is the advice.
    QTemporaryDir mine;
    const QString path = mine.filePath(QStringLiteral("yt-dlp_linux"));
    QVERIFY(QFile::copy(fakeYtDlpPath(), path));
    iso.store()->setValue(QStringLiteral("YT_DLP_PATH"), path);

    NuvixWindow w;
    QVERIFY(QTest::qWaitFor([&] { return w.probeProc->state() == QProcess::NotRunning; }, WAIT_MS));
    QTRY_VERIFY_WITH_TIMEOUT(w.ytDlpAgeNoted, WAIT_MS);
    const int days = ytDlpAgeDays(QStringLiteral("2020.01.01"), QDate::currentDate());
    QVERIFY(days > 2000);
    QCOMPARE(w.lblStatus->text(), QStringLiteral("yt-dlp is %1 days old: update it (yt-dlp -U)").arg(days));
    QVERIFY(w.btnIngest->isEnabled());
    // The probe's own line stays first; the advice follows once.
    const QString advice = QStringLiteral("yt-dlp 2020.01.01 is %1 days old; video sites change every few weeks and an "
                                          "old yt-dlp fails on them.\nUpdate it: %2 -U\n").arg(days).arg(path);
    QCOMPARE(w.logText, QStringLiteral("yt-dlp 2020.01.01\n") + path + QLatin1Char('\n') + advice);
    w.noteYtDlpVersion(QStringLiteral("2020.01.01"), path);
    QCOMPARE(w.logText.count(advice), 1);
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
