// yt-dlp at start: the lookup, the setup dialog and the version probe.
#include "nuvix_window.h"

#include "extractor_output.h"
#include "yt_dlp_setup.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSettings>

namespace {

const char NO_YT_DLP[] = "yt-dlp not found. this program needs it on the computer";
const char PROBE_FAILED[] = "yt-dlp did not start";

} // namespace

NuvixWindow::ProbeDetach::~ProbeDetach()
{
    QProcess *proc = window->probeProc;
    if (!proc)
        return;
    QObject::disconnect(proc, nullptr, window, nullptr);
    if (proc->state() != QProcess::NotRunning) {
        proc->kill();
        proc->waitForFinished(1000);
    }
}

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
    noteProbeFailure(path, err);
}

void NuvixWindow::onProbeFailedToStart(const QString &path)
{
    if (closing)
        return;
    noteProbeFailure(path, QString());
}

void NuvixWindow::noteProbeFailure(const QString &path, const QString &err)
{
    // Both failure handlers may see the same failure; report it once.
    if (probeProc->property("noted").toBool())
        return;
    probeProc->setProperty("noted", true);
    setIdleStatus(QString::fromLatin1(PROBE_FAILED));
    appendLog(QString::fromLatin1(PROBE_FAILED) + QStringLiteral(": ") + path + QLatin1Char('\n'));
    if (!err.isEmpty())
        appendLog(err + QLatin1Char('\n'));
}
