// nuvix-relay: one relay without a display, for servers and service managers.
#include "extractor_output.h"
#include "presets.h"
#include "relay_options.h"
#include "relay_session.h"
#include "yt_dlp_lookup.h"
#include "yt_dlp_version.h"

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onStopSignal(int)
{
    stopRequested = 1;
}

void writeOut(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

int usageError(const QString &error)
{
    writeOut(stderr, QStringLiteral("nuvix-relay: ") + error + QStringLiteral("\n\n") + relayUsageText());
    return RELAY_EXIT_USAGE;
}

// Long enough for a cold start of the Python program; a yt-dlp that hangs here
// still gets its own time-out at the extraction.
constexpr int YT_DLP_PROBE_MS = 15000;

// Names the yt-dlp in use and, when it is old, says so with what to do, as the
// window does at start; the session then names the age when an extraction fails.
void noteYtDlpAtStart(RelaySession &session, const QString &storedPath, const QString &settingsFile)
{
    const QString programDir = QCoreApplication::applicationDirPath();
    const QString path = findYtDlp(storedPath, programDir);
    if (path.isEmpty())
        return; // the start reports a missing yt-dlp itself
    QProcess probe;
    probe.start(path, {QStringLiteral("--version")});
    if (!probe.waitForFinished(YT_DLP_PROBE_MS)) {
        probe.kill();
        probe.waitForFinished(1000);
        return;
    }
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        return;
    const QString version = firstOutputLine(QString::fromUtf8(probe.readAllStandardOutput()).trimmed());
    writeOut(stderr, QStringLiteral("yt-dlp ") + version + QLatin1Char('\n') + path + QLatin1Char('\n'));
    const int age = ytDlpAgeDays(version, QDate::currentDate());
    if (!ytDlpIsOld(age))
        return;
    const QString advice =
        ytDlpAgeAdvice(version, age, path, ytDlpCanSelfUpdate(path), programDir, settingsFile);
    writeOut(stderr, advice);
    session.setYtDlpAge(age, advice);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The window's store: its presets and its yt-dlp choice.
    QCoreApplication::setOrganizationName(QStringLiteral("Orvanta"));
    QCoreApplication::setApplicationName(QStringLiteral("Nuvix"));

    RelayArguments args = parseRelayArguments(QCoreApplication::arguments().mid(1));
    if (args.help) {
        writeOut(stdout, relayUsageText());
        return RELAY_EXIT_OK;
    }
    if (!args.error.isEmpty())
        return usageError(args.error);

    const QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Orvanta"),
                          QStringLiteral("Nuvix"));
    if (!args.preset.isEmpty()) {
        if (!applyRelayPreset(readPresets(&store), args))
            return usageError(args.error);
        const QString problem = relayJobProblem(args.job);
        if (!problem.isEmpty())
            return usageError(QStringLiteral("preset \"") + args.preset + QStringLiteral("\": ") + problem);
    }
    if (args.ytDlpGiven) {
        if (!QFileInfo(args.job.ytDlpPath).isFile())
            return usageError(QStringLiteral("--yt-dlp: no such file: ") + args.job.ytDlpPath);
    } else {
        args.job.ytDlpPath = store.value(QLatin1String(YT_DLP_PATH_KEY)).toString();
    }

    RelaySession session;
    session.setJob(args.job);
    session.setStatsInterval(args.statsIntervalSeconds);
    noteYtDlpAtStart(session, args.job.ytDlpPath, store.fileName());

    QString lastStatus;
    QObject::connect(&session, &RelaySession::statusChanged, &app, [&lastStatus](const QString &text) {
        if (text == lastStatus)
            return;
        lastStatus = text;
        writeOut(stdout, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + QLatin1Char(' ')
                             + text + QLatin1Char('\n'));
    });
    QObject::connect(&session, &RelaySession::logAppended, &app,
                     [](const QString &text) { writeOut(stderr, text); });
    QObject::connect(&session, &RelaySession::ended, &app, [](RelaySession::Ending ending) {
        QCoreApplication::exit(ending == RelaySession::Ending::Failed ? RELAY_EXIT_FAILED : RELAY_EXIT_OK);
    });

#ifdef SIGPIPE
    // A reader of our output that went away must not end the relay.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    // The handler only sets a flag; the stop sequence runs here, on the event loop.
    QTimer signalPoll;
    bool stopping = false;
    QObject::connect(&signalPoll, &QTimer::timeout, &app, [&session, &stopping] {
        if (!stopRequested || stopping)
            return;
        stopping = true;
        if (session.isBusy())
            session.stop();
        else
            QCoreApplication::exit(RELAY_EXIT_OK);
    });
    signalPoll.start(50);

    // Started from the event loop, so that a start refused at once still ends it.
    QTimer::singleShot(0, &session, [&session] { session.start(); });
    return app.exec();
}
