#include "yt_dlp_setup.h"

#include "extractor_output.h"

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

namespace {

#ifdef Q_OS_WIN
const char FILE_FILTER[] = "yt-dlp (yt-dlp.exe);;All files (*.*)";
#else
// "*.*" would hide programs without a dot in their name, which is most of them here.
const char FILE_FILTER[] = "yt-dlp (yt-dlp);;All files (*)";
#endif

const char WHY_PAGE_URL[] = "https://orvanta.example/nuvix/help/yt-dlp";
const char RELEASE_PAGE_URL[] = "https://github.com/yt-dlp/yt-dlp/releases/latest";

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

    const QString file = ytDlpFileName();
    auto *intro = makeLinkLabel(
        QStringLiteral("<span style='color:white; font-size:14px;'>To continue, </span>"
                       "<span style='color:#EA700C; font-size:14px; font-weight:bold;'>yt-dlp</span>"
                       "<span style='color:white; font-size:14px;'> is required. </span>"
                       "<span style='color:white; font-size:11px;'>(Why it's needed - read "
                       "<a style='color:white; text-decoration:none;' href='%1'>here &raquo;</a>)</span>")
            .arg(QString::fromLatin1(WHY_PAGE_URL)),
        this);
    layout->addWidget(intro);

    auto *download = makeLinkLabel(
        QStringLiteral("<span style='color:white;'>1. Download </span>"
                       "<span style='color:#EA700C; font-weight:bold;'>%1</span>"
                       "<span style='color:white;'> from the </span>"
                       "<a style='color:white;' href='%2'>official site</a>"
                       "<span style='color:white;'>.</span>")
            .arg(file, QString::fromLatin1(RELEASE_PAGE_URL)),
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
    btnContinue->setEnabled(false);
    lblError->clear();
    lblOk->hide();
    lblPath->setText(QStringLiteral("wait..."));
    // Paint "wait..." before the blocking check below.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

    // A run still going when the check gives up is killed when proc is destroyed.
    QProcess proc;
    proc.start(file, {QStringLiteral("--version")}, QIODevice::ReadWrite);
    const bool passed = proc.waitForStarted(START_WAIT_MS) && proc.waitForFinished(FINISH_WAIT_MS)
        && proc.exitCode() == 0;
    if (!passed) {
        lblPath->clear();
        lblOk->hide();
        lblError->setText(QStringLiteral("this file did not start"));
        return;
    }

    chosenFileVersion = firstOutputLine(QString::fromUtf8(proc.readAllStandardOutput()));
    chosenFile = file;
    lblPath->setText(chosenFileVersion.isEmpty() ? file : chosenFileVersion + QLatin1Char('\n') + file);
    lblError->clear();
    lblOk->show();
    btnContinue->setEnabled(true);
}

void WelcomeSetupDialog::acceptChoice()
{
    if (chosenFile.isEmpty())
        return;
    settings->setValue(QString::fromLatin1(YT_DLP_PATH_KEY), chosenFile);
    settings->sync();
    appendLog(QStringLiteral("yt-dlp ") + chosenFileVersion + QLatin1Char('\n') + chosenFile
              + QLatin1Char('\n'));
    accept();
}

void WelcomeSetupDialog::exitSetup()
{
    Q_EMIT exitChosen();
    reject();
    QCoreApplication::quit();
}
