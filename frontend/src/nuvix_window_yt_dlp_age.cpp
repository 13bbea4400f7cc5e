#include "nuvix_window.h"

#include "relay_session.h"
#include "yt_dlp_version.h"

#include <QCoreApplication>
#include <QDate>
#include <QSettings>

void NuvixWindow::noteYtDlpVersion(const QString &version, const QString &path)
{
    const int age = ytDlpAgeDays(version, QDate::currentDate());
    if (!ytDlpIsOld(age)) {
        session->setYtDlpAge(age, QString());
        return;
    }
    const bool selfUpdate = ytDlpCanSelfUpdate(path);
    const QString advice = ytDlpAgeAdvice(version, age, path, selfUpdate,
                                          QCoreApplication::applicationDirPath(), settings->fileName());
    session->setYtDlpAge(age, advice);
    if (ytDlpAgeNoted)
        return;
    ytDlpAgeNoted = true;
    appendLog(advice);
    // A start may already be under way; its own status wins.
    if (!session->isBusy())
        setIdleStatus(ytDlpAgeStatus(age, selfUpdate));
}
