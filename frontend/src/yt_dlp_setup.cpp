#include "yt_dlp_setup.h"

#include "extractor_output.h"
#include "help_page.h"
#include "yt_dlp_version.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QVBoxLayout>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
const char FILE_FILTER[] = "yt-dlp (yt-dlp*.exe);;All files (*.*)";
#else
// "*.*" would hide programs without a dot in their name, which is most of them
// here; the release file is "yt-dlp_linux", a browser may add " (1)".
const char FILE_FILTER[] = "yt-dlp (yt-dlp*);;All files (*)";
#endif

const char HELP_SECTION_YT_DLP[] = "yt-dlp";

const char DIALOG_STYLE[] =
    "QDialog#dlgYtDlp { background-color: #050F15; }"
    "QDialog#dlgYtDlp QLabel#lblYtError { color: #EA700C; font-size: 14px; }"
    "QDialog#dlgYtDlp QLabel#lblYtPath { color: white; font-size: 12px; }";

QLabel *makeLinkLabel(const QString &html, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse
                                   | Qt::LinksAccessibleByKeyboard);
    label->setOpenExternalLinks(true);
    label->setText(html);
    return label;
}

} // namespace

WelcomeSetupDialog::WelcomeSetupDialog(QSettings *settings,
                                       std::function<void(const QString &)> appendLog,
                                       QWidget *parent)
    : QDialog(parent)
    , settings(settings)
    , appendLog(std::move(appendLog))
{
    setWindowTitle(QStringLiteral("Welcome Setup"));
    setObjectName(QStringLiteral("dlgYtDlp"));
    setMinimumWidth(460);
    setStyleSheet(QString::fromLatin1(DIALOG_STYLE));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 14, 16, 14);
    layout->setSpacing(10);

    const QString file = QString::fromLatin1(YT_DLP_RELEASE_FILE);
    auto *intro = makeLinkLabel(
        QStringLiteral("<span style='color:white; font-size:14px;'>To continue, </span>"
                       "<span style='color:#EA700C; font-size:14px; font-weight:bold;'>yt-dlp</span>"
                       "<span style='color:white; font-size:14px;'> is required. </span>"
                       "<span style='color:white; font-size:11px;'>(Why it's needed - read "
                       "<a style='color:white; text-decoration:none;' href='%1'>here &raquo;</a>)</span>")
            .arg(helpPageUrl(QCoreApplication::applicationDirPath(), QString::fromLatin1(HELP_SECTION_YT_DLP))
                     .toString(QUrl::FullyEncoded)),
        this);
    layout->addWidget(intro);

    auto *download = makeLinkLabel(
        QStringLiteral("<span style='color:white;'>1. Download </span>"
                       "<span style='color:#EA700C; font-weight:bold;'>%1</span>"
                       "<span style='color:white;'> from the </span>"
                       "<a style='color:white;' href='%2'>official site</a>"
                       "<span style='color:white;'>.</span>")
            .arg(file, QString::fromLatin1(YT_DLP_RELEASES_PAGE)),
        this);
    download->setStyleSheet(QStringLiteral("font-size:14px;"));
    layout->addWidget(download);

    auto *rowChoose = new QHBoxLayout;
    auto *lblChoose = new QLabel(QStringLiteral("2. Choose the downloaded file here"), this);
    lblChoose->setStyleSheet(QStringLiteral("color:white; font-size:14px;"));
    lblChoose->setWordWrap(true);
    auto *btnChoose = new QPushButton(QStringLiteral("..."), this);
    btnChoose->setFixedWidth(36);
    btnChoose->setToolTip(QStringLiteral("Choose %1").arg(file));
    rowChoose->addWidget(lblChoose);
    rowChoose->addWidget(btnChoose);
    layout->addLayout(rowChoose);

    lblPath = new QLabel(this);
    lblPath->setObjectName(QStringLiteral("lblYtPath"));
    lblPath->setWordWrap(true);
    lblPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lblPath);

    lblOk = new QLabel(QStringLiteral("OK. Welcome Setup is complete."), this);
    lblOk->setWordWrap(true);
    lblOk->setStyleSheet(QStringLiteral("color:#EA700C; font-size:14px; font-weight:bold;"));
    lblOk->hide();
    layout->addWidget(lblOk);

    lblError = new QLabel(this);
    lblError->setObjectName(QStringLiteral("lblYtError"));
    lblError->setWordWrap(true);
    layout->addWidget(lblError);

    auto *rowButtons = new QHBoxLayout;
    auto *btnExit = new QPushButton(QStringLiteral("Exit"), this);
    btnContinue = new QPushButton(QStringLiteral("Continue \u00bb"), this);
    btnContinue->setEnabled(false);
    rowButtons->addStretch();
    rowButtons->addWidget(btnExit);
    rowButtons->addWidget(btnContinue);
    layout->addLayout(rowButtons);

    connect(btnChoose, &QPushButton::clicked, this, [this] { chooseFile(); });
    connect(btnContinue, &QPushButton::clicked, this, [this] { acceptChoice(); });
    connect(btnExit, &QPushButton::clicked, this, [this] { exitSetup(); });
}

void WelcomeSetupDialog::chooseFile()
{
    const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("yt-dlp"), QString(),
                                                      QString::fromLatin1(FILE_FILTER));
    // Cancelling keeps an earlier good choice.
    if (file.isEmpty())
        return;
    checkFile(file);
}

void WelcomeSetupDialog::checkFile(const QString &file)
{
    chosenFile.clear();
    chosenFileVersion.clear();
    madeExecutable = false;
    btnContinue->setEnabled(false);
    lblError->clear();
    lblOk->hide();
    lblPath->setText(QStringLiteral("wait..."));
    // Paint "wait..." before the blocking check below.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

    bool setExecuteBit = false;
    const QString problem = prepareToRun(file, setExecuteBit);
    if (!problem.isEmpty()) {
        failCheck(problem);
        return;
    }

    // A run still going when the check gives up is killed when proc is destroyed.
    QProcess proc;
    proc.start(file, {QStringLiteral("--version")}, QIODevice::ReadWrite);
    if (!proc.waitForStarted(START_WAIT_MS)) {
        // Qt puts the failed call in front ("execvp: Exec format error").
        QString reason = proc.errorString();
        const int colon = reason.lastIndexOf(QLatin1String(": "));
        if (colon >= 0)
            reason = reason.mid(colon + 2);
        failCheck(QStringLiteral("this file did not start (%1)").arg(reason));
        return;
    }
    if (!proc.waitForFinished(FINISH_WAIT_MS)) {
        failCheck(QStringLiteral("this file did not answer --version within %1 s").arg(FINISH_WAIT_MS / 1000));
        return;
    }
    if (proc.exitStatus() != QProcess::NormalExit) {
        failCheck(QStringLiteral("this file crashed on --version"));
        return;
    }
    if (proc.exitCode() != 0) {
        failCheck(QStringLiteral("this file is no working yt-dlp: --version ended with code %1")
                      .arg(proc.exitCode()));
        return;
    }

    chosenFileVersion = firstOutputLine(QString::fromUtf8(proc.readAllStandardOutput()));
    chosenFile = file;
    madeExecutable = setExecuteBit;
    QString shown = chosenFileVersion.isEmpty() ? file : chosenFileVersion + QLatin1Char('\n') + file;
    if (madeExecutable)
        shown += QStringLiteral("\n(it was not executable; execute bit set)");
    lblPath->setText(shown);
    lblError->clear();
    lblOk->show();
    btnContinue->setEnabled(true);
}

void WelcomeSetupDialog::failCheck(const QString &message)
{
    lblPath->clear();
    lblOk->hide();
    lblError->setText(message);
}

QString WelcomeSetupDialog::prepareToRun(const QString &file, bool &setExecuteBit)
{
    setExecuteBit = false;
    const QFileInfo info(file);
    if (!info.exists())
        return QStringLiteral("this file does not exist");
    if (info.isDir())
        return QStringLiteral("this is a folder; choose the yt-dlp file in it");
#ifdef Q_OS_UNIX
    if (info.isExecutable())
        return QString();
    // A browser saves downloads without the execute bit; the user's own file may get it.
    if (info.ownerId() != uint(::getuid()))
        return QStringLiteral("this file is not executable and belongs to another user: "
                              "make it executable (chmod +x) or copy it into your home folder");
    QFile::Permissions permissions = QFile::permissions(file) | QFile::ExeOwner | QFile::ExeUser;
    if (permissions & QFile::ReadGroup)
        permissions |= QFile::ExeGroup;
    if (permissions & QFile::ReadOther)
        permissions |= QFile::ExeOther;
    if (!QFile::setPermissions(file, permissions))
        return QStringLiteral("this file is not executable and its execute bit could not be set");
    setExecuteBit = true;
#endif
    return QString();
}

void WelcomeSetupDialog::acceptChoice()
{
    if (chosenFile.isEmpty())
        return;
    settings->setValue(QString::fromLatin1(YT_DLP_PATH_KEY), chosenFile);
    settings->sync();
    appendLog(QStringLiteral("yt-dlp ") + chosenFileVersion + QLatin1Char('\n') + chosenFile
              + QLatin1Char('\n'));
    if (madeExecutable)
        appendLog(QStringLiteral("execute bit set on ") + chosenFile + QLatin1Char('\n'));
    accept();
}

void WelcomeSetupDialog::exitSetup()
{
    Q_EMIT exitChosen();
    reject();
    QCoreApplication::quit();
}
