#include "nuvix_window.h"

#include "yt_dlp_version.h"

#include <QCoreApplication>
#include <QDate>
#include <QProcess>
#include <QSettings>

void NuvixWindow::noteYtDlpVersion(const QString &version, const QString &path)
{
    ytDlpVersion = version;
    ytDlpInUse = path;
    ytDlpAge = ytDlpAgeDays(version, QDate::currentDate());
    if (!ytDlpIsOld(ytDlpAge) || ytDlpAgeNoted)
        return;
    ytDlpAgeNoted = true;
    const bool selfUpdate = ytDlpCanSelfUpdate(path);
    appendLog(ytDlpAgeAdvice(version, ytDlpAge, path, selfUpdate, QCoreApplication::applicationDirPath(),
                             settings->fileName()));
    // A start may already be under way; its own status wins.
    const bool busy = (extractProc && extractProc->state() != QProcess::NotRunning)
        || (engineProc && engineProc->state() != QProcess::NotRunning);
    if (!busy)
        setIdleStatus(ytDlpAgeStatus(ytDlpAge, selfUpdate));
}

QString NuvixWindow::extractionFailureMessage(const QString &message)
{
    if (!ytDlpIsOld(ytDlpAge))
        return message;
    appendLog(ytDlpAgeAdvice(ytDlpVersion, ytDlpAge, ytDlpInUse, ytDlpCanSelfUpdate(ytDlpInUse),
                             QCoreApplication::applicationDirPath(), settings->fileName()));
    return withYtDlpAgeCause(message, ytDlpAge);
}
