#include "nuvix_window.h"

#include "extractor_output.h"
#include "format_selector.h"
#include "link_rules.h"
#include "yt_dlp_setup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QUrl>

namespace {

const char EXTRACTOR_USER_AGENT[] =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/18.6 Safari/605.1.15";

const char NO_YT_DLP[] = "yt-dlp not found. this program needs it on the computer";
const char PROBE_FAILED[] = "yt-dlp did not start";

} // namespace

NuvixWindow::YtDlpProcessesDetach::~YtDlpProcessesDetach()
{
    for (QProcess *proc : {window->probeProc, window->extractProc}) {
        if (!proc)
            continue;
        QObject::disconnect(proc, nullptr, window, nullptr);
        if (proc->state() != QProcess::NotRunning) {
            proc->kill();
            proc->waitForFinished(1000);
        }
    }
}

// ---- extractor tool setup ----

QString NuvixWindow::findYtDlp() const
{
    return ::findYtDlp(settings->value(QString::fromLatin1(YT_DLP_PATH_KEY)).toString(),
                       QCoreApplication::applicationDirPath());
}

bool NuvixWindow::runWelcomeSetup()
{
    WelcomeSetupDialog dialog(settings, [this](const QString &text) { appendLog(text); }, this);
    connect(&dialog, &WelcomeSetupDialog::exitChosen, this, [this] { quitAtStart = true; });
    const bool accepted = dialog.exec() == QDialog::Accepted;
    if (accepted)
        noteYtDlpVersion(dialog.chosenVersion(), dialog.chosenPath());
    return accepted;
}

void NuvixWindow::checkYtDlpAtStart()
{
    const QString path = findYtDlp();
    if (path.isEmpty()) {
        if (runWelcomeSetup())
            return;
        const QString message = QString::fromLatin1(NO_YT_DLP);
        setIdleStatus(message);
        appendLog(message + QLatin1Char('\n'));
        return;
    }

    // Not waited for: the window shows while yt-dlp answers.
    probeProc = new QProcess(this);
    connect(probeProc, &QProcess::errorOccurred, this, [this, path](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onProbeFailedToStart(path);
    });
    connect(probeProc, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, path](int exitCode, QProcess::ExitStatus) { onProbeFinished(path, exitCode); });
    probeProc->start(path, {QStringLiteral("--version")}, QIODevice::ReadWrite);
}

void NuvixWindow::onProbeFinished(const QString &path, int exitCode)
{
    if (closing)
        return;
    const QString out = QString::fromUtf8(probeProc->readAllStandardOutput()).trimmed();
    const QString err = QString::fromUtf8(probeProc->readAllStandardError()).trimmed();
    QString version = firstOutputLine(out);
    if (version.isEmpty() && !err.isEmpty())
        version = firstOutputLine(err);

    if (exitCode == 0) {
        appendLog(QStringLiteral("yt-dlp ") + version + QLatin1Char('\n') + path + QLatin1Char('\n'));
        noteYtDlpVersion(version, path);
        return;
    }
    // Both failure handlers may see the same failure; report it once.
    if (probeProc->property("noted").toBool())
        return;
    probeProc->setProperty("noted", true);
    setIdleStatus(QString::fromLatin1(PROBE_FAILED));
    appendLog(QString::fromLatin1(PROBE_FAILED) + QStringLiteral(": ") + path + QLatin1Char('\n'));
    if (!err.isEmpty())
        appendLog(err + QLatin1Char('\n'));
}

void NuvixWindow::onProbeFailedToStart(const QString &path)
{
    if (closing)
        return;
    if (probeProc->property("noted").toBool())
        return;
    probeProc->setProperty("noted", true);
    setIdleStatus(QString::fromLatin1(PROBE_FAILED));
    appendLog(QString::fromLatin1(PROBE_FAILED) + QStringLiteral(": ") + path + QLatin1Char('\n'));
}

// ---- extraction run ----

void NuvixWindow::startIngest(bool userStart)
{
    reusingLinks = false;
    const QString link = edtLink->text().trimmed();
    const QString streamId = edtStreamId->text().trimmed();
    // Stored even when a check below refuses the start.
    saveSettings();

    if (link.isEmpty()) {
        setIdleStatus(QStringLiteral("enter a URL"));
        return;
    }
    if (QUrl(link, QUrl::TolerantMode).scheme().toLower() != QLatin1String("https")) {
        setIdleStatus(QStringLiteral("enter an https URL"));
        return;
    }
    if (streamId.isEmpty()) {
        setIdleStatus(QStringLiteral("enter a stream id"));
        return;
    }
    QString srtUrl;
    QString srtError;
    if (!buildSrtUrl(srtUrl, srtError)) {
        setIdleStatus(srtError);
        return;
    }

    if (userStart) {
        logText.clear();
        if (logsView)
            logsView->clear();
    }
    extractOut.clear();
    extractErr.clear();
    pageLink = link;

    if (findYtDlp().isEmpty()) {
        const QString message = QString::fromLatin1(NO_YT_DLP);
        if (!runWelcomeSetup()) {
            setIdleStatus(message);
            appendLog(message + QLatin1Char('\n'));
            return;
        }
        if (findYtDlp().isEmpty()) {
            setIdleStatus(message);
            return;
        }
    }

    allowNoHlsRetry = !isYouTubeHost(hostOfLink(link));
    hlsRetried = false;
    userStop = false;
    timedOut = false;
    const int generation = ++extractGeneration;
    // One time-out for the HLS run and the retry together.
    QTimer::singleShot(extractTimeoutMs, this, [this, generation] { onExtractTimeout(generation); });

    if (edtHost->text().trimmed().isEmpty() && edtPort->text().trimmed().isEmpty()
        && isKbyPortRangeOn())
        appendLog(QStringLiteral("KBY port range is on. Using the base port.\n"));

    runExtractor(link, true);
}

void NuvixWindow::onExtractTimeout(int generation)
{
    if (closing || generation != extractGeneration || !extractProc
        || extractProc->state() == QProcess::NotRunning)
        return;
    timedOut = true;
    appendLog(QStringLiteral("\nTimed out\n"));
    // The finish handler reports it.
    extractProc->kill();
}

void NuvixWindow::runExtractor(const QString &link, bool hls)
{
    if (!extractProc) {
        extractProc = new QProcess(this);
        connect(extractProc, &QProcess::readyReadStandardOutput, this, [this] {
            const QString text = takeUtf8(extractOutPending, extractProc->readAllStandardOutput());
            extractOut += text;
            appendLog(text);
        });
        connect(extractProc, &QProcess::readyReadStandardError, this, [this] {
            const QString text = takeUtf8(extractErrPending, extractProc->readAllStandardError());
            extractErr += text;
            appendLog(text);
        });
        connect(extractProc, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [this] { onExtractorFinished(); });
        connect(extractProc, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                onExtractorFailedToStart();
        });
    }

    if (chkAlwaysOn->isChecked()) {
        // The user may stop an always-on extraction.
        lblStatus->setText(QStringLiteral("extracting..."));
        btnIngest->setEnabled(true);
        setRunningLook(true);
    } else {
        btnIngest->setEnabled(false);
        btnIngest->setText(QStringLiteral("Wait..."));
        lblStatus->setText(QStringLiteral("extracting..."));
    }

    extractOut.clear();
    extractErr.clear();
    extractOutPending.clear();
    extractErrPending.clear();

    const int maxHeight = cmbQuality->currentData(Qt::UserRole).toInt();
    const QString selector = buildFormatSelector(hls, maxHeight);
    appendLog(QLatin1String(hls ? "\nTry HLS\n" : "\nTry without HLS\n") + QStringLiteral("$ yt-dlp -g -f ")
              + selector + QStringLiteral(" --user-agent Safari/18.6\n"));

    const QStringList arguments{
        QStringLiteral("-g"),
        QStringLiteral("-f"),
        selector,
        QStringLiteral("--no-playlist"),
        QStringLiteral("--print"),
        QStringLiteral("format %(format_id)s %(resolution)s %(vcodec)s %(acodec)s"),
        QStringLiteral("--user-agent"),
        QString::fromLatin1(EXTRACTOR_USER_AGENT),
        link,
    };
    extractProc->start(findYtDlp(), arguments, QIODevice::ReadWrite);
}

void NuvixWindow::onExtractorFinished()
{
    if (closing)
        return;
    // A character cut short at the very end is shown as a replacement mark.
    if (!extractOutPending.isEmpty()) {
        const QString text = QString::fromUtf8(extractOutPending);
        extractOutPending.clear();
        extractOut += text;
        appendLog(text);
    }
    if (!extractErrPending.isEmpty()) {
        const QString text = QString::fromUtf8(extractErrPending);
        extractErrPending.clear();
        extractErr += text;
        appendLog(text);
    }

    if (userStop) {
        userStop = false;
        setIdleStatus(QStringLiteral("stopped"));
        return;
    }
    if (timedOut) {
        // The output of a killed run is incomplete; it is not an extraction error.
        timedOut = false;
        if (chkAlwaysOn->isChecked()) {
            scheduleAlwaysOnRestart(false);
        } else {
            userStop = false;
            setIdleStatus(QStringLiteral("something went wrong"));
        }
        return;
    }

    const QStringList addresses = extractorAddresses(extractOut);
    if (addresses.isEmpty()) {
        if (allowNoHlsRetry && !hlsRetried) {
            hlsRetried = true;
            appendLog(QStringLiteral("\nHLS gave no addresses. Retry without HLS.\n"));
            runExtractor(pageLink, false);
            return;
        }
        QString message = extractorErrorText(extractErr);
        if (message.isEmpty())
            message = QStringLiteral("nothing found");
        endExtractionWithFailure(extractionFailureMessage(message));
        return;
    }
    if (addresses.size() > 2) {
        endExtractionWithFailure(QStringLiteral("extractor returned an unexpected address list"));
        return;
    }

    QString mediaAddress;
    QString videoAddress;
    QString audioAddress;
    if (addresses.size() == 1) {
        mediaAddress = addresses.at(0);
    } else {
        videoAddress = addresses.at(0);
        audioAddress = addresses.at(1);
    }
    const QStringList formats = extractorFormatLines(extractOut);
    for (const QString &format : formats)
        appendLog(QStringLiteral("using ") + cmbQuality->currentText() + QStringLiteral(": ") + format
                  + QLatin1Char('\n'));
    launchEngine(mediaAddress, videoAddress, audioAddress);
}

void NuvixWindow::endExtractionWithFailure(const QString &message)
{
    if (!closing && !userStop && chkAlwaysOn->isChecked()) {
        scheduleAlwaysOnRestart(false);
    } else {
        userStop = false;
        setIdleStatus(message);
    }
}

void NuvixWindow::onExtractorFailedToStart()
{
    if (closing)
        return;
    // No finished signal follows a failed start.
    userStop = false;
    setIdleStatus(QStringLiteral("failed to start yt-dlp"));
    appendLog(extractProc->errorString() + QLatin1Char('\n'));
}
