#pragma once

#include "yt_dlp_lookup.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>

class QLabel;
class QPushButton;
class QSettings;


// The modal "Welcome Setup" dialog that asks for the downloaded yt-dlp. A file
// is only accepted after it ran with --version and exited with 0; Continue then
// stores its path under YT_DLP_PATH and logs it.
class WelcomeSetupDialog : public QDialog
{
    Q_OBJECT

public:
    // Time limits of the file check; it blocks the GUI thread meanwhile.
    static constexpr int START_WAIT_MS = 3000;
    static constexpr int FINISH_WAIT_MS = 15000;

    WelcomeSetupDialog(QSettings *settings, std::function<void(const QString &)> appendLog,
                       QWidget *parent);

    // Runs file with --version and takes it when it exits with 0. The user's own
    // file without the execute bit gets it first; every refusal says why.
    void checkFile(const QString &file);

    QString chosenPath() const { return chosenFile; }
    QString chosenVersion() const { return chosenFileVersion; }
    // The check gave the chosen file its execute bit.
    bool madeChosenExecutable() const { return madeExecutable; }

Q_SIGNALS:
    // Exit was pressed; emitted before the dialog is rejected.
    void exitChosen();

private:
    void chooseFile();
    void acceptChoice();
    void exitSetup();
    void failCheck(const QString &message);
    // Why file cannot run, or empty; sets the execute bit of the user's own file.
    static QString prepareToRun(const QString &file, bool &setExecuteBit);

    QSettings *settings;
    std::function<void(const QString &)> appendLog;

    QLabel *lblPath = nullptr;
    QLabel *lblOk = nullptr;
    QLabel *lblError = nullptr;
    QPushButton *btnContinue = nullptr;

    QString chosenFile;
    QString chosenFileVersion;
    bool madeExecutable = false;
};
