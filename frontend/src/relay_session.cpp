#include "relay_session.h"

#include "engine_events.h"
#include "engine_launch.h"
#include "extractor_output.h"
#include "format_selector.h"
#include "ingest_file.h"
#include "link_rules.h"
#include "srt_target.h"
#include "stop_event.h"
#include "yt_dlp_lookup.h"
#include "yt_dlp_version.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

namespace {

const char EXTRACTOR_USER_AGENT[] =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/18.6 Safari/605.1.15";

const char NO_YT_DLP[] = "yt-dlp not found. this program needs it on the computer";

} // namespace

RelaySession::RelaySession(QObject *parent)
    : QObject(parent)
{
}

RelaySession::~RelaySession()
{
    // The base destructor deletes the child processes, and a process killed there
    // still emits finished: cut them off the half-destroyed session first.
    if (extractProc) {
        extractProc->disconnect(this);
        if (extractProc->state() != QProcess::NotRunning) {
            extractProc->kill();
            extractProc->waitForFinished(1000);
        }
    }
    if (engineProc)
        engineProc->disconnect(this);
}

void RelaySession::setJob(const RelayJob &job)
{
    jobValue = job;
}

void RelaySession::setJobSource(std::function<RelayJob()> source)
{
    jobSource = std::move(source);
}

RelayJob RelaySession::job() const
{
    return jobSource ? jobSource() : jobValue;
}

void RelaySession::setYtDlpSetup(std::function<bool()> setup)
{
    ytDlpSetup = std::move(setup);
}

const RelayJob &RelaySession::currentJob()
{
    if (jobSource)
        jobValue = jobSource();
    return jobValue;
}

void RelaySession::appendLog(const QString &text)
{
    Q_EMIT logAppended(text);
}

void RelaySession::setStatus(const QString &text, Activity activity)
{
    statusText = text;
    Q_EMIT statusChanged(text);
    Q_EMIT activityChanged(activity);
}

void RelaySession::setIdle(const QString &text, Ending ending)
{
    setStatus(text, Activity::Idle);
    Q_EMIT ended(ending);
}

bool RelaySession::buildSrtUrl(QString &url, QString &error)
{
    const RelayJob &j = currentJob();
    return ::buildSrtUrl(j.srt, url, error);
}

QString RelaySession::ytDlpProgram()
{
    return findYtDlp(currentJob().ytDlpPath, QCoreApplication::applicationDirPath());
}

bool RelaySession::isBusy() const
{
    return restartPending || (engineProc && engineProc->state() != QProcess::NotRunning)
           || (extractProc && extractProc->state() != QProcess::NotRunning);
}

void RelaySession::start()
{
    startRun(true);
}

void RelaySession::stop()
{
    if (restartPending) {
        ++restartToken;
        restartPending = false;
        userStop = false;
        setIdle(QStringLiteral("stopped"), Ending::Stopped);
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
    }
}

void RelaySession::shutdown()
{
    ++extractGeneration;
    ++restartToken;
    closing = true;
    restartPending = false;
    if (extractProc && extractProc->state() != QProcess::NotRunning)
        extractProc->kill();
    stopEngine();
}

// ---- extraction ----

void RelaySession::startRun(bool userStart)
{
    reusingLinks = false;
    srtHint.clear();
    Q_EMIT aboutToStart();
    const RelayJob &j = currentJob();
    const QString link = j.link.trimmed();
    const QString streamId = j.srt.streamId.trimmed();

    if (link.isEmpty()) {
        setIdle(QStringLiteral("enter a URL"), Ending::Failed);
        return;
    }
    if (QUrl(link, QUrl::TolerantMode).scheme().toLower() != QLatin1String("https")) {
        setIdle(QStringLiteral("enter an https URL"), Ending::Failed);
        return;
    }
    // Live mode sends the stream id as it is, and none when it is empty.
    if (streamId.isEmpty() && !j.srt.live) {
        setIdle(QStringLiteral("enter a stream id"), Ending::Failed);
        return;
    }
    QString srtUrl;
    QString srtError;
    if (!buildSrtUrl(srtUrl, srtError)) {
        setIdle(srtError, Ending::Failed);
        return;
    }

    if (userStart)
        Q_EMIT logRestarted();
    extractOut.clear();
    extractErr.clear();
    currentPageLink = link;

    if (ytDlpProgram().isEmpty()) {
        const QString message = QString::fromLatin1(NO_YT_DLP);
        if (!ytDlpSetup || !ytDlpSetup()) {
            setIdle(message, Ending::Failed);
            appendLog(message + QLatin1Char('\n'));
            return;
        }
        if (ytDlpProgram().isEmpty()) {
            setIdle(message, Ending::Failed);
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

    const RelayJob &now = currentJob();
    if (now.srt.host.trimmed().isEmpty() && now.srt.port.trimmed().isEmpty() && readKbyPortRangeFlag())
        appendLog(QStringLiteral("KBY port range is on. Using the base port.\n"));

    runExtractor(link, true);
}

void RelaySession::onExtractTimeout(int generation)
{
    if (closing || generation != extractGeneration || !extractProc
        || extractProc->state() == QProcess::NotRunning)
        return;
    timedOut = true;
    appendLog(QStringLiteral("\nTimed out\n"));
    // The finish handler reports it.
    extractProc->kill();
}

void RelaySession::runExtractor(const QString &link, bool hls)
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

    // The user may stop an always-on extraction.
    setStatus(QStringLiteral("extracting..."),
              currentJob().alwaysOn ? Activity::Active : Activity::Extracting);

    extractOut.clear();
    extractErr.clear();
    extractOutPending.clear();
    extractErrPending.clear();

    const QString selector = buildFormatSelector(hls, currentJob().maxHeight);
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
    extractProc->start(ytDlpProgram(), arguments, QIODevice::ReadWrite);
}

void RelaySession::onExtractorFinished()
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
        setIdle(QStringLiteral("stopped"), Ending::Stopped);
        return;
    }
    if (timedOut) {
        // The output of a killed run is incomplete; it is not an extraction error.
        timedOut = false;
        if (currentJob().alwaysOn) {
            scheduleAlwaysOnRestart(false);
        } else {
            userStop = false;
            setIdle(QStringLiteral("something went wrong"), Ending::Failed);
        }
        return;
    }

    const QStringList addresses = extractorAddresses(extractOut);
    if (addresses.isEmpty()) {
        if (allowNoHlsRetry && !hlsRetried) {
            hlsRetried = true;
            appendLog(QStringLiteral("\nHLS gave no addresses. Retry without HLS.\n"));
            runExtractor(currentPageLink, false);
            return;
        }
        QString message = extractorErrorText(extractErr);
        if (message.isEmpty())
            message = QStringLiteral("nothing found");
        if (ytDlpIsOld(ytDlpAge)) {
            appendLog(ytDlpAgeAdvice);
            message = withYtDlpAgeCause(message, ytDlpAge);
        }
        endExtractionWithFailure(message);
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
    const QString quality = qualityLabel(currentJob().maxHeight);
    for (const QString &format : extractorFormatLines(extractOut))
        appendLog(QStringLiteral("using ") + quality + QStringLiteral(": ") + format + QLatin1Char('\n'));
    launchEngine(mediaAddress, videoAddress, audioAddress);
}

void RelaySession::setYtDlpAge(int ageDays, const QString &advice)
{
    ytDlpAge = ageDays;
    ytDlpAgeAdvice = advice;
}

void RelaySession::endExtractionWithFailure(const QString &message)
{
    if (!closing && !userStop && currentJob().alwaysOn) {
        scheduleAlwaysOnRestart(false);
    } else {
        userStop = false;
        setIdle(message, Ending::Failed);
    }
}

void RelaySession::onExtractorFailedToStart()
{
    if (closing)
        return;
    // No finished signal follows a failed start.
    userStop = false;
    setIdle(QStringLiteral("failed to start yt-dlp"), Ending::Failed);
    appendLog(extractProc->errorString() + QLatin1Char('\n'));
}

// ---- engine ----

void RelaySession::launchEngine(const QString &media, const QString &video, const QString &audio)
{
    // Copies first: the always-on restart passes these very members.
    const QString newMedia = media;
    const QString newVideo = video;
    const QString newAudio = audio;
    savedMedia = newMedia;
    savedVideo = newVideo;
    savedAudio = newAudio;

    const QString appDir = QCoreApplication::applicationDirPath();
    const QString program = engineProgram(appDir);
    if (!QFileInfo::exists(program)) {
        setIdle(QStringLiteral("kby_nuvix not found"), Ending::Failed);
        appendLog(program + QLatin1Char('\n'));
        return;
    }

    const QString folder = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        setIdle(QStringLiteral("cannot create ingest input folder"), Ending::Failed);
        return;
    }

    removeInputFile();
    const QString text = ingestFileText(currentPageLink, startSecondsFromLink(currentPageLink), newMedia,
                                        newVideo, newAudio, currentJob().srt.passphrase);
    QString path;
    if (!writeIngestFile(folder, QDateTime::currentMSecsSinceEpoch(), text, path)) {
        setIdle(QStringLiteral("cannot save ingest input"), Ending::Failed);
        return;
    }
    inputFile = path;

    if (!engineProc) {
        engineProc = new QProcess(this);
        connect(engineProc, &QProcess::readyReadStandardOutput, this, [this] {
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

    // Built again here: an editor's fields may have changed while yt-dlp ran.
    QString srtUrl;
    QString error;
    if (!buildSrtUrl(srtUrl, error)) {
        removeInputFile();
        setIdle(error, Ending::Failed);
        return;
    }

    engineOutBuf.clear();
    engineErr.clear();
    engineOutPending.clear();
    engineErrPending.clear();
    engineErrLine.clear();
    srtHint.clear();
    listenPort = currentJob().srt.port.trimmed();
    if (listenPort.isEmpty())
        listenPort = QString::fromLatin1(DEFAULT_SRT_PORT);
    userStop = false;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString libraryFolder = ffmpegLibraryFolder(appDir);
    appendLog(addLibraryFolder(environment, libraryFolder, QFileInfo(libraryFolder).isDir()));
    engineProc->setProcessEnvironment(environment);

    appendLog(QStringLiteral("\nStarting kby_nuvix\n") + srtUrl + QLatin1Char('\n'));
    setStatus(QStringLiteral("starting..."), Activity::Active);

    QStringList arguments{
        QStringLiteral("--input-file"), inputFile,
        QStringLiteral("--srt-url"), srtUrl,
        QStringLiteral("--line"), QStringLiteral("1"),
        QStringLiteral("--watch-pid"), QString::number(QCoreApplication::applicationPid()),
    };
    if (statsIntervalSeconds > 0)
        arguments << QStringLiteral("--stats-interval") << QString::number(statsIntervalSeconds);
    engineProc->start(program, arguments, QIODevice::ReadWrite);
}

void RelaySession::handleEngineOutput(const QString &chunk)
{
    for (const QString &line : takeEngineLines(engineOutBuf, chunk)) {
        const QString status = statusForEngineEvent(line);
        SrtStats stats;
        if (!status.isNull()) {
            setStatus(status, Activity::Active);
        } else if (parseSrtStatsEvent(line, stats)) {
            setStatus(srtStatsStatus(stats), Activity::Active);
            Q_EMIT statsChanged(stats);
        } else if (engineEventName(line) == QLatin1String("srt_listening")) {
            setStatus(srtListeningStatus(listenPort), Activity::Active);
        }
    }
}

void RelaySession::handleEngineStderr(const QString &chunk)
{
    if (chunk.isEmpty())
        return;
    engineErr += chunk;
    appendLog(chunk);
    // The engine's advice on a refused connection goes where the user looks.
    for (const QString &line : takeEngineLines(engineErrLine, chunk)) {
        const QString advice = srtHintAdvice(line);
        if (advice.isEmpty())
            continue;
        srtHint = advice;
        setStatus(advice, Activity::Active);
    }
}

void RelaySession::removeInputFile()
{
    if (inputFile.isEmpty())
        return;
    // The engine deletes it after reading; a file already gone is fine.
    QFile::remove(inputFile);
    inputFile.clear();
}

void RelaySession::stopEngine()
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
        // An owner going away must not leave the engine to be reaped while it is
        // being destroyed; the kill makes this wait short.
        if (closing && engineProc->state() != QProcess::NotRunning)
            engineProc->waitForFinished(3000);
        return;
    }
    removeInputFile();
    setIdle(QStringLiteral("stopped"), Ending::Stopped);
}

void RelaySession::onEngineFinished(int exitCode, QProcess::ExitStatus exitStatus)
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
        setIdle(stopped ? QStringLiteral("stopped") : QStringLiteral("disconnected"),
                stopped ? Ending::Stopped : Ending::Failed);
        return;
    }

    switch (classifyEngineExit(exitCode, exitStatus, engineErr)) {
    case EngineEnding::InputEnded:
        if (currentJob().alwaysOn) {
            scheduleAlwaysOnRestart(false);
        } else {
            userStop = false;
            setIdle(QStringLiteral("finished"), Ending::Finished);
        }
        return;
    case EngineEnding::LibraryMissing:
        userStop = false;
        setIdle(libraryMissingStatus(), Ending::Failed);
        return;
    case EngineEnding::Other:
        break;
    }

    // The status is the only holder of an "error" event's reason; keep it when
    // the engine logged nothing itself.
    if (!hasNonBlankLine(engineErr) && statusText.startsWith(QLatin1String("failed")))
        appendLog(statusText + QLatin1Char('\n'));
    if (currentJob().alwaysOn) {
        scheduleAlwaysOnRestart(haveSavedLinks() && !reusingLinks);
    } else {
        userStop = false;
        setIdle(srtHint.isEmpty() ? QStringLiteral("disconnected") : srtHint, Ending::Failed);
    }
}

void RelaySession::onEngineFailedToStart()
{
    removeInputFile();
    userStop = false;
    setIdle(QStringLiteral("failed to start kby_nuvix"), Ending::Failed);
}

bool RelaySession::haveSavedLinks() const
{
    return !savedMedia.isEmpty() || (!savedVideo.isEmpty() && !savedAudio.isEmpty());
}

void RelaySession::scheduleAlwaysOnRestart(bool sameLinks)
{
    const int token = ++restartToken;
    restartPending = true;
    // A refusal's advice stays in sight while the relay tries again.
    setStatus(srtHint.isEmpty() ? QStringLiteral("reconnecting")
                                : QStringLiteral("reconnecting: ") + srtHint,
              Activity::Active);
    appendLog(sameLinks ? QStringLiteral("\nalways on: same links\n")
                        : QStringLiteral("\nalways on: extracting again\n"));
    QTimer::singleShot(restartDelayMs, this,
                       [this, token, sameLinks] { onRestartTimer(token, sameLinks); });
}

void RelaySession::onRestartTimer(int token, bool sameLinks)
{
    if (closing || token != restartToken)
        return;
    restartPending = false;
    if (!userStop && currentJob().alwaysOn) {
        if (sameLinks && haveSavedLinks()) {
            reusingLinks = true;
            launchEngine(savedMedia, savedVideo, savedAudio);
        } else {
            startRun(false);
        }
        return;
    }
    const bool stopped = userStop;
    userStop = false;
    setIdle(stopped ? QStringLiteral("stopped") : QStringLiteral("disconnected"),
            stopped ? Ending::Stopped : Ending::Failed);
}
