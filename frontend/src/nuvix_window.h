#pragma once

#include <QMainWindow>
#include <QProcess>
#include <QString>

class QCheckBox;
class QCloseEvent;
class QComboBox;
class QDialog;
class QJsonObject;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QNetworkReply;
class QPlainTextEdit;
class QPoint;
class QProcess;
class QPushButton;
class QSettings;

// The one main window. It owns every control, the settings store, the child
// processes and all run state. Single-threaded: everything runs on the GUI thread.
//
// Rules for everyone adding to this class:
// - Only the five slots below are slots, in this order (their meta-object index
//   matters). Add no further slots or signals; connect functors or plain members.
// - Every pointer member starts null, every string empty, every counter 0 and
//   every flag false (use default member initialisers).
// - Tests reach private members through the friend test classes listed here;
//   add your own test class as a friend in your block.
class NuvixWindow : public QMainWindow
{
    Q_OBJECT

    friend class WindowTest;
    friend class SettingsTest;
    friend class SrtTargetTest;
    friend class PresetsTest;
    friend class LogTest;

public:
    explicit NuvixWindow(QWidget *parent = nullptr);
    ~NuvixWindow() override;

    // Set only by the exit choice of the extractor setup dialog during construction;
    // main() then ends at once without showing the window.
    bool quitAtStartRequested() const { return quitAtStart; }

    // The only way to add text to the log.
    void appendLog(const QString &text);
    // Final message: status text, Start enabled, idle look.
    void setIdleStatus(const QString &text);
    // Start/Stop look of btnIngest (dynamic property "stop", re-polished).
    void setRunningLook(bool running);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onConnectClicked();                          // defined in nuvix_window_engine.cpp
    void onSavePresetClicked();
    void onShowLogsClicked();
    void onPresetClicked(QListWidgetItem *item);
    void onPresetsContextMenu(const QPoint &pos);

private:
    void buildUi();
    void loadSettings();
    void saveSettings();
    void selectQuality(int height);

    // SRT target from the three fields; see srt_target.h for the pure rules.
    bool buildSrtUrl(QString &url, QString &error) const;
    void setHostPortFromUrl(const QString &text);
    bool isKbyPortRangeOn() const;

    void reloadPresets();
    void writePresetsAndReload(const QJsonObject &presets);

    void showLogs();
    void showAbout();

    // Called from the constructor / closeEvent, defined by the extraction and
    // engine code (nuvix_window_extraction.cpp, nuvix_window_engine.cpp).
    void checkYtDlpAtStart();
    void stopEngine();

    QLineEdit *edtHost = nullptr;
    QLineEdit *edtPort = nullptr;
    QLineEdit *edtStreamId = nullptr;
    QLineEdit *edtLink = nullptr;
    QPushButton *btnPaste = nullptr;
    QPushButton *btnClear = nullptr;
    QComboBox *cmbQuality = nullptr;
    QCheckBox *chkAlwaysOn = nullptr;
    QPushButton *btnIngest = nullptr;
    QLabel *lblStatus = nullptr;
    QLineEdit *edtPresetName = nullptr;
    QPushButton *btnSavePreset = nullptr;
    QListWidget *lstPresets = nullptr;
    QPushButton *btnShowLogs = nullptr;
    QPushButton *btnAbout = nullptr;
    QLabel *lblHelp = nullptr;

    QSettings *settings = nullptr;

    // Child processes, null until first used (owned through the parent chain).
    QProcess *probeProc = nullptr;
    QProcess *extractProc = nullptr;
    QProcess *engineProc = nullptr;

    QDialog *logsDialog = nullptr;
    QPlainTextEdit *logsView = nullptr;
    QString logText;

    bool closing = false;
    bool quitAtStart = false;

    // Tokens of pending single-shot timers; closeEvent bumps them so stale timers
    // do nothing. Declared here because closeEvent needs them; used by the
    // extraction and engine code, which must not declare them again.
    int extractGeneration = 0;
    int restartToken = 0;
    bool restartPending = false;

    // ---- link extraction (nuvix_window_extraction.cpp) ----
    friend class ExtractionTest;
    friend class YtDlpSetupTest;

    // Covers both yt-dlp runs of one start; tests may shorten extractTimeoutMs.
    static constexpr int EXTRACT_TIMEOUT_MS = 20000;

    // yt-dlp from the stored path, the program folder or the search path.
    QString findYtDlp() const;
    // Modal "Welcome Setup"; true when a checked yt-dlp was chosen.
    bool runWelcomeSetup();
    void onProbeFinished(const QString &path, int exitCode);
    void onProbeFailedToStart(const QString &path);

    // Start flow: checks, then yt-dlp. userStart (the button) clears the log;
    // the always-on restart passes false and keeps it.
    void startIngest(bool userStart);
    void runExtractor(const QString &link, bool hls);
    void onExtractorFinished();
    void onExtractorFailedToStart();
    void onExtractTimeout(int generation);
    void endExtractionWithFailure(const QString &message);

    QString extractOut;
    QString extractErr;
    // Bytes of a UTF-8 character split between two reads of yt-dlp's output.
    QByteArray extractOutPending;
    QByteArray extractErrPending;
    QString pageLink;
    bool allowNoHlsRetry = false;
    bool hlsRetried = false;
    bool timedOut = false;
    int extractTimeoutMs = EXTRACT_TIMEOUT_MS;
    // userStop and reusingLinks are declared in the engine supervision block.

    // The base destructor deletes the yt-dlp processes, and a process killed
    // there still emits finished; this member, destroyed first, cuts them off
    // the half-destroyed window.
    struct YtDlpProcessesDetach
    {
        NuvixWindow *window;
        ~YtDlpProcessesDetach();
    };
    YtDlpProcessesDetach ytDlpDetach{this};

    // ---- end of link extraction ----

    // ---- yt-dlp age (nuvix_window_yt_dlp_age.cpp) ----
    // Takes the version the probe or the setup dialog read; an old yt-dlp is said
    // once, in the log and, when nothing runs, in the status line.
    void noteYtDlpVersion(const QString &version, const QString &path);
    // A failed extraction's message, with the age as its likely cause when
    // yt-dlp is old (the advice then goes to the log too).
    QString extractionFailureMessage(const QString &message);

    QString ytDlpVersion;
    QString ytDlpInUse;
    int ytDlpAge = -1;
    bool ytDlpAgeNoted = false;
    // ---- end of yt-dlp age ----

    // ---- engine supervision and update check (nuvix_window_engine.cpp, nuvix_window_update.cpp) ----
    friend class SupervisionTest;
    friend class UpdateReplyTest;
    friend class EndToEndTest;

public:
    // One request to the update endpoint per start, after the window is shown;
    // every failure is silent.
    void checkForUpdate();

private:
    // Tests may shorten restartDelayMs.
    static constexpr int ALWAYS_ON_RESTART_DELAY_MS = 3000;
    static constexpr int STOP_GRACE_MS = 800;

    // Writes the ingest input file and starts the engine; either media is set,
    // or video and audio are.
    void launchEngine(const QString &media, const QString &video, const QString &audio);
    void handleEngineOutput(const QString &chunk);
    void handleEngineStderr(const QString &chunk);
    void onEngineFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onEngineFailedToStart();
    void removeInputFile();
    void scheduleAlwaysOnRestart(bool sameLinks);
    void onRestartTimer(int token, bool sameLinks);
    bool haveSavedLinks() const;
    void onUpdateReply(QNetworkReply *reply);

    // Addresses of the current run, kept for an always-on restart.
    QString mediaUrl;
    QString videoUrl;
    QString audioUrl;
    // Ingest input file of the current engine run; empty when there is none.
    QString inputFilePath;
    QString engineOutBuf;
    QString engineErr;
    // Undecoded tails of multi-byte characters split between two reads.
    QByteArray engineOutPending;
    QByteArray engineErrPending;
    bool userStop = false;
    bool reusingLinks = false;
    // Process id of the running engine, kept past its exit (QProcess forgets it) so a
    // killed engine's stop-event name can be removed.
    qint64 enginePid = 0;
    bool updateCheckStarted = false;
    int restartDelayMs = ALWAYS_ON_RESTART_DELAY_MS;

    // Same guard as for yt-dlp: the engine process, killed by the base
    // destructor, must not report to the half-destroyed window.
    struct EngineProcessDetach
    {
        NuvixWindow *window;
        ~EngineProcessDetach();
    };
    EngineProcessDetach engineDetach{this};

    // ---- end of engine supervision and update check ----
};
