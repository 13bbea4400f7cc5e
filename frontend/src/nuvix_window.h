#pragma once

#include <QMainWindow>
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
class RelaySession;
struct RelayJob;
class QPushButton;
class QSettings;

// The one main window: a view and editor over one relay session. It owns the
// controls, the settings store, presets, the logs window, About and the update
// check; the run itself (yt-dlp, the engine, always-on) belongs to the session.
// Single-threaded: everything runs on the GUI thread.
//
// Only the five slots below are slots, in this order (their meta-object index
// matters); connect functors or plain members for anything else.
class NuvixWindow : public QMainWindow
{
    Q_OBJECT

    friend class WindowTest;
    friend class SettingsTest;
    friend class SrtTargetTest;
    friend class PresetsTest;
    friend class LogTest;
    friend class ExtractionTest;
    friend class YtDlpSetupTest;
    friend class UpdateReplyTest;
    friend class EndToEndTest;
    friend class SrtModesEndToEndTest;

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

    // The run the window shows and edits.
    RelaySession *relaySession() const { return session; }

    // One request to the update endpoint per start, after the window is shown;
    // every failure is silent.
    void checkForUpdate();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onConnectClicked();
    void onSavePresetClicked();
    void onShowLogsClicked();
    void onPresetClicked(QListWidgetItem *item);
    void onPresetsContextMenu(const QPoint &pos);

private:
    void buildUi();
    void connectSession();
    void loadSettings();
    void saveSettings();
    void selectQuality(int height);
    // The job as the fields say now.
    RelayJob jobFromFields() const;

    // SRT target from the three fields; see srt_target.h for the pure rules.
    bool buildSrtUrl(QString &url, QString &error) const;
    void setHostPortFromUrl(const QString &text);
    // A full srt:// address typed or pasted into the host field fills every target field.
    void applySrtAddress(const QString &text);
    void setSrtModeFields(bool live, bool listener, const QString &latency, const QString &passphrase);

    void reloadPresets();
    void writePresetsAndReload(const QJsonObject &presets);

    void showLogs();
    void showAbout();

    // yt-dlp at start (nuvix_window_yt_dlp.cpp): the lookup, the setup dialog and
    // the version probe.
    QString findYtDlp() const;
    // Modal "Welcome Setup"; true when a checked yt-dlp was chosen.
    bool runWelcomeSetup();
    void checkYtDlpAtStart();
    void onProbeFinished(const QString &path, int exitCode);
    void onProbeFailedToStart(const QString &path);
    void noteProbeFailure(const QString &path, const QString &err);

    void onUpdateReply(QNetworkReply *reply);

    // yt-dlp age (nuvix_window_yt_dlp_age.cpp): takes the version the probe or the
    // setup dialog read; an old yt-dlp is said once, in the log and, when nothing
    // runs, in the status line, and the session names it when an extraction fails.
    void noteYtDlpVersion(const QString &version, const QString &path);

    QLineEdit *edtHost = nullptr;
    QLineEdit *edtPort = nullptr;
    QLineEdit *edtStreamId = nullptr;
    QComboBox *cmbSrtMode = nullptr;      // caller / listener
    QComboBox *cmbSrtTransfer = nullptr;  // file / live
    QLineEdit *edtLatency = nullptr;
    QLineEdit *edtPassphrase = nullptr;
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
    RelaySession *session = nullptr;
    // The yt-dlp version probe at start, null until used (owned through the parent chain).
    QProcess *probeProc = nullptr;

    QDialog *logsDialog = nullptr;
    QPlainTextEdit *logsView = nullptr;
    QString logText;

    bool closing = false;
    bool quitAtStart = false;
    bool updateCheckStarted = false;
    bool ytDlpAgeNoted = false;

    // The base destructor deletes the probe, and a process killed there still
    // emits finished; this member, destroyed first, cuts it off the
    // half-destroyed window.
    struct ProbeDetach
    {
        NuvixWindow *window;
        ~ProbeDetach();
    };
    ProbeDetach probeDetach{this};
};
