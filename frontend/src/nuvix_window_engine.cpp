// Engine supervision: launch, event reading, stop, exit handling and always-on.
#include "nuvix_window.h"

#include "engine_events.h"
#include "engine_launch.h"
#include "extractor_output.h"
#include "ingest_file.h"
#include "link_rules.h"
#include "stop_event.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>

NuvixWindow::EngineProcessDetach::~EngineProcessDetach()
{
    if (window->engineProc)
        window->engineProc->disconnect(window);
}

void NuvixWindow::launchEngine(const QString &media, const QString &video, const QString &audio)
{
    // Copies first: the always-on restart passes these very members.
    const QString newMedia = media;
    const QString newVideo = video;
    const QString newAudio = audio;
    mediaUrl = newMedia;
    videoUrl = newVideo;
    audioUrl = newAudio;

    const QString appDir = QCoreApplication::applicationDirPath();
    const QString program = engineProgram(appDir);
    if (!QFileInfo::exists(program)) {
        setIdleStatus(QStringLiteral("kby_nuvix not found"));
        appendLog(program + QLatin1Char('\n'));
        return;
    }

    const QString folder = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        setIdleStatus(QStringLiteral("cannot create ingest input folder"));
        return;
    }

    removeInputFile();
    const QString text = ingestFileText(pageLink, startSecondsFromLink(pageLink), newMedia,
                                        newVideo, newAudio);
    QString path;
    if (!writeIngestFile(folder, QDateTime::currentMSecsSinceEpoch(), text, path)) {
        setIdleStatus(QStringLiteral("cannot save ingest input"));
        return;
    }
    inputFilePath = path;

    if (!engineProc) {
        engineProc = new QProcess(this);
        connect(engineProc, &QProcess::readyReadStandardOutput, this,
                [this] {
                    handleEngineOutput(takeUtf8(engineOutPending, engineProc->readAllStandardOutput()));
                });
        connect(engineProc, &QProcess::readyReadStandardError, this, [this] {
            handleEngineStderr(takeUtf8(engineErrPending, engineProc->readAllStandardError()));
        });
        connect(engineProc, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [this](int exitCode, QProcess::ExitStatus exitStatus) {
                    onEngineFinished(exitCode, exitStatus);
                });
        connect(engineProc, &QProcess::started, this,
                [this] { enginePid = engineProc->processId(); });
        connect(engineProc, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            // Every other error ends in finished().
            if (error == QProcess::FailedToStart)
                onEngineFailedToStart();
        });
    }

    // Built again here: the fields may have changed while yt-dlp ran.
    QString srtUrl;
    QString error;
    if (!buildSrtUrl(srtUrl, error)) {
        removeInputFile();
        setIdleStatus(error);
        return;
    }

    engineOutBuf.clear();
    engineErr.clear();
    engineOutPending.clear();
    engineErrPending.clear();
    userStop = false;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString libraryFolder = ffmpegLibraryFolder(appDir);
    appendLog(addLibraryFolder(environment, libraryFolder, QFileInfo(libraryFolder).isDir()));
    engineProc->setProcessEnvironment(environment);

    appendLog(QStringLiteral("\nStarting kby_nuvix\n") + srtUrl + QLatin1Char('\n'));
    lblStatus->setText(QStringLiteral("starting..."));
    btnIngest->setEnabled(true);
    setRunningLook(true);

    const QStringList arguments{
        QStringLiteral("--input-file"), inputFilePath,
        QStringLiteral("--srt-url"), srtUrl,
        QStringLiteral("--line"), QStringLiteral("1"),
        QStringLiteral("--watch-pid"), QString::number(QCoreApplication::applicationPid()),
    };
    engineProc->start(program, arguments, QIODevice::ReadWrite);
}

void NuvixWindow::handleEngineOutput(const QString &chunk)
{
    for (const QString &line : takeEngineLines(engineOutBuf, chunk)) {
        const QString status = statusForEngineEvent(line);
        if (status.isNull())
            continue;
        lblStatus->setText(status);
        btnIngest->setEnabled(true);
        setRunningLook(true);
    }
}

void NuvixWindow::handleEngineStderr(const QString &chunk)
{
    if (chunk.isEmpty())
        return;
    engineErr += chunk;
    appendLog(chunk);
}

void NuvixWindow::removeInputFile()
{
    if (inputFilePath.isEmpty())
        return;
    // The engine deletes it after reading; a file already gone is fine.
    QFile::remove(inputFilePath);
    inputFilePath.clear();
}

void NuvixWindow::onConnectClicked()
{
    if (restartPending) {
        ++restartToken;
        restartPending = false;
        userStop = false;
        setIdleStatus(QStringLiteral("stopped"));
        return;
    }
    if (engineProc && engineProc->state() != QProcess::NotRunning) {
        stopEngine();
        return;
    }
    if (extractProc && extractProc->state() != QProcess::NotRunning) {
        userStop = true;
        ++extractGeneration;
        extractProc->kill();
        return;
    }
    startIngest(true);
}

void NuvixWindow::stopEngine()
{
    if (engineProc && engineProc->state() != QProcess::NotRunning) {
        userStop = true;
        const qint64 pid = engineProc->processId();
        if (pid > 0 && signal_stop_event(static_cast<long>(pid))) {
            appendLog(QStringLiteral("stop: closing SRT\n"));
            // onEngineFinished may run inside this wait.
            if (!engineProc->waitForFinished(STOP_GRACE_MS))
                engineProc->kill();
        } else {
            engineProc->kill();
        }
        // A closing window must not leave the engine to be reaped while it is
        // being destroyed; the kill makes this wait short.
        if (closing && engineProc->state() != QProcess::NotRunning)
            engineProc->waitForFinished(3000);
        return;
    }
    removeInputFile();
    setIdleStatus(QStringLiteral("stopped"));
}

void NuvixWindow::onEngineFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    // Last events and log lines; an unfinished character at the very end is
    // decoded as it is.
    handleEngineOutput(takeUtf8(engineOutPending, engineProc->readAllStandardOutput()));
    QString lastErr = takeUtf8(engineErrPending, engineProc->readAllStandardError());
    lastErr += QString::fromUtf8(engineErrPending);
    handleEngineStderr(lastErr);
    engineOutPending.clear();
    engineErrPending.clear();
    appendLog(engineExitLogText(exitCode));
    removeInputFile();
    // An engine that was killed cannot remove its stop event's name, and on POSIX the
    // name outlives the process; a cleanly ended engine already removed it.
    if (enginePid > 0)
        remove_stop_event(static_cast<long>(enginePid));
    enginePid = 0;

    if (closing || userStop) {
        const bool stopped = userStop;
        userStop = false;
        setIdleStatus(stopped ? QStringLiteral("stopped") : QStringLiteral("disconnected"));
        return;
    }

    switch (classifyEngineExit(exitCode, exitStatus, engineErr)) {
    case EngineEnding::InputEnded:
        if (chkAlwaysOn->isChecked()) {
            scheduleAlwaysOnRestart(false);
        } else {
            userStop = false;
            setIdleStatus(QStringLiteral("finished"));
        }
        return;
    case EngineEnding::LibraryMissing:
        userStop = false;
        setIdleStatus(libraryMissingStatus());
        return;
    case EngineEnding::Other:
        break;
    }

    // The status line is the only holder of an "error" event's reason; keep it
    // when the engine logged nothing itself.
    const QString status = lblStatus->text();
    if (!hasNonBlankLine(engineErr) && status.startsWith(QLatin1String("failed")))
        appendLog(status + QLatin1Char('\n'));
    if (chkAlwaysOn->isChecked()) {
        scheduleAlwaysOnRestart(haveSavedLinks() && !reusingLinks);
    } else {
        userStop = false;
        setIdleStatus(QStringLiteral("disconnected"));
    }
}

void NuvixWindow::onEngineFailedToStart()
{
    removeInputFile();
    userStop = false;
    setIdleStatus(QStringLiteral("failed to start kby_nuvix"));
}

bool NuvixWindow::haveSavedLinks() const
{
    return !mediaUrl.isEmpty() || (!videoUrl.isEmpty() && !audioUrl.isEmpty());
}

void NuvixWindow::scheduleAlwaysOnRestart(bool sameLinks)
{
    const int token = ++restartToken;
    restartPending = true;
    lblStatus->setText(QStringLiteral("reconnecting"));
    btnIngest->setEnabled(true);
    setRunningLook(true);
    appendLog(sameLinks ? QStringLiteral("\nalways on: same links\n")
                        : QStringLiteral("\nalways on: extracting again\n"));
    QTimer::singleShot(restartDelayMs, this,
                       [this, token, sameLinks] { onRestartTimer(token, sameLinks); });
}

void NuvixWindow::onRestartTimer(int token, bool sameLinks)
{
    if (closing || token != restartToken)
        return;
    restartPending = false;
    if (!userStop && chkAlwaysOn->isChecked()) {
        if (sameLinks && haveSavedLinks()) {
            reusingLinks = true;
            launchEngine(mediaUrl, videoUrl, audioUrl);
        } else {
            startIngest(false);
        }
        return;
    }
    const bool stopped = userStop;
    userStop = false;
    setIdleStatus(stopped ? QStringLiteral("stopped") : QStringLiteral("disconnected"));
}
