#pragma once

#include "engine_events.h"
#include "srt_target.h"

#include <QObject>
#include <QProcess>
#include <QString>

#include <functional>

// What one relay is asked to do; plain values, as the window's fields or the
// headless program's arguments give them.
struct RelayJob
{
    QString link;          // the page link
    SrtTarget srt;
    int maxHeight = 0;     // 0: no limit
    bool alwaysOn = false;
    QString ytDlpPath;     // the stored choice; the lookup rule applies
};

// One relay's run without widgets: yt-dlp with its retry and time-out, the
// ingest input file, the engine with its stop sequence, its events and exit,
// and always-on. Single-threaded; reports only through its signals.
class RelaySession : public QObject
{
    Q_OBJECT

public:
    // What a front-end offers while the status shows.
    enum class Activity {
        Idle,       // Start
        Extracting, // yt-dlp runs without always-on: the window offers no Stop (stop() still ends it)
        Active,     // Stop
    };
    // How a run that went idle ended.
    enum class Ending { Finished, Stopped, Failed };

    static constexpr int EXTRACT_TIMEOUT_MS = 20000;
    static constexpr int ALWAYS_ON_RESTART_DELAY_MS = 3000;
    static constexpr int STOP_GRACE_MS = 800;
    // How often the engine reports its SRT figures while running.
    static constexpr int STATS_INTERVAL_S = 1;

    explicit RelaySession(QObject *parent = nullptr);
    ~RelaySession() override;

    void setJob(const RelayJob &job);
    // For an editor whose fields may change during a run: the job is then read
    // from source at every point the run needs it, as the window always did.
    void setJobSource(std::function<RelayJob()> source);
    RelayJob job() const;
    // Asked when no yt-dlp is found at a start; true when one was set up (the
    // job is read again afterwards). Without it a start just fails.
    void setYtDlpSetup(std::function<bool()> setup);

    // A start by the user: checks the job, then extracts and relays.
    void start();
    // Cancels a pending always-on restart, stops the engine or ends yt-dlp.
    void stop();
    // True while yt-dlp or the engine runs or a restart is pending.
    bool isBusy() const;
    // The owner goes away: nothing is restarted, the engine is stopped and waited for.
    void shutdown();
    // Starts the engine on known media addresses without extracting: either
    // media is set, or video and audio are.
    void launchEngine(const QString &media, const QString &video, const QString &audio);

    QString status() const { return statusText; }
    bool isRestartPending() const { return restartPending; }
    bool isShutDown() const { return closing; }
    // The page link of the current start and the addresses kept for always-on.
    QString pageLink() const { return currentPageLink; }
    QString mediaUrl() const { return savedMedia; }
    QString videoUrl() const { return savedVideo; }
    QString audioUrl() const { return savedAudio; }
    // The ingest input file of the running engine; empty when there is none.
    QString inputFilePath() const { return inputFile; }
    // The child processes, null until first used; for inspection only.
    const QProcess *extractorProcess() const { return extractProc; }
    const QProcess *engineProcess() const { return engineProc; }

    // Timings; tests shorten them.
    void setExtractTimeoutMs(int ms) { extractTimeoutMs = ms; }
    int extractTimeout() const { return extractTimeoutMs; }
    void setRestartDelayMs(int ms) { restartDelayMs = ms; }
    int restartDelay() const { return restartDelayMs; }
    // The age in days of the yt-dlp in use (-1 unknown) and the advice for an old one;
    // a failed extraction then names the age as its likely cause.
    void setYtDlpAge(int ageDays, const QString &advice);

    // Seconds between the engine's figures; 0 asks for none.
    void setStatsInterval(int seconds) { statsIntervalSeconds = seconds; }

Q_SIGNALS:
    // Every status the run takes, also when the text repeats.
    void statusChanged(const QString &text);
    // Sent right after statusChanged.
    void activityChanged(RelaySession::Activity activity);
    void logAppended(const QString &text);
    // Every start, the user's or always-on's, before the job is checked.
    void aboutToStart();
    // A user start passed its checks: the log of the previous start is over.
    void logRestarted();
    // The run went idle for good (no restart follows).
    void ended(RelaySession::Ending ending);
    // The engine's SRT figures, once per interval while it runs; the status shows them too.
    void statsChanged(const SrtStats &stats);

protected:
    // Steps of a start, for subclasses that drive one of them.
    void startRun(bool userStart);
    void runExtractor(const QString &link, bool hls);
    QString currentPageLink;
    bool allowNoHlsRetry = false;
    bool hlsRetried = false;

private:
    const RelayJob &currentJob();
    void appendLog(const QString &text);
    void setStatus(const QString &text, Activity activity);
    void setIdle(const QString &text, Ending ending);
    bool buildSrtUrl(QString &url, QString &error);
    QString ytDlpProgram();

    void onExtractorFinished();
    void onExtractorFailedToStart();
    void onExtractTimeout(int generation);
    void endExtractionWithFailure(const QString &message);

    void handleEngineOutput(const QString &chunk);
    void handleEngineStderr(const QString &chunk);
    void onEngineFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onEngineFailedToStart();
    void stopEngine();
    void removeInputFile();
    void scheduleAlwaysOnRestart(bool sameLinks);
    void onRestartTimer(int token, bool sameLinks);
    bool haveSavedLinks() const;

    RelayJob jobValue;
    std::function<RelayJob()> jobSource;
    std::function<bool()> ytDlpSetup;

    QProcess *extractProc = nullptr;
    QProcess *engineProc = nullptr;

    QString statusText;
    bool closing = false;
    // Tokens of pending single-shot timers; a bump makes stale timers do nothing.
    int extractGeneration = 0;
    int restartToken = 0;
    bool restartPending = false;
    bool userStop = false;
    bool reusingLinks = false;

    // Extraction: both yt-dlp runs of one start share one time-out.
    QString extractOut;
    QString extractErr;
    // Bytes of a UTF-8 character split between two reads.
    QByteArray extractOutPending;
    QByteArray extractErrPending;
    bool timedOut = false;
    int extractTimeoutMs = EXTRACT_TIMEOUT_MS;

    // Engine: addresses of the current run, kept for an always-on restart.
    QString savedMedia;
    QString savedVideo;
    QString savedAudio;
    QString inputFile;
    QString engineOutBuf;
    QString engineErr;
    QByteArray engineOutPending;
    QByteArray engineErrPending;
    // Standard error of the run not yet ended by a line feed, read for advice lines.
    QString engineErrLine;
    // The advice of the run's last "SRT hint" line, kept for its end.
    QString srtHint;
    // The port a listener waits on, for its status.
    QString listenPort;
    int statsIntervalSeconds = STATS_INTERVAL_S;
    int ytDlpAge = -1;
    QString ytDlpAgeAdvice;
    // Kept past the engine's exit (QProcess forgets it) so a killed engine's
    // stop-event name can be removed.
    qint64 enginePid = 0;
    int restartDelayMs = ALWAYS_ON_RESTART_DELAY_MS;
};
