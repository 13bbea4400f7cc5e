#include "engine_events.h"

#include <QJsonDocument>
#include <QJsonObject>

QStringList takeEngineLines(QString &buffer, const QString &chunk)
{
    QStringList lines;
    if (chunk.isEmpty())
        return lines;
    buffer += chunk;
    int start = 0;
    int newline;
    while ((newline = buffer.indexOf(QLatin1Char('\n'), start)) >= 0) {
        lines << buffer.mid(start, newline - start).trimmed();
        start = newline + 1;
    }
    buffer.remove(0, start);
    return lines;
}

QString statusForEngineEvent(const QString &line)
{
    const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
    const QString event = object.value(QLatin1String("event")).toString();
    if (event == QLatin1String("opening_inputs"))
        return QStringLiteral("opening inputs...");
    if (event == QLatin1String("srt_connected"))
        return QStringLiteral("srt connected");
    if (event == QLatin1String("running"))
        return QStringLiteral("running");
    if (event == QLatin1String("eof"))
        return QStringLiteral("finished");
    if (event == QLatin1String("error")) {
        const QString detail = object.value(QLatin1String("detail")).toString();
        return detail.isEmpty() ? QStringLiteral("failed") : QStringLiteral("failed: ") + detail;
    }
    return QString();
}

QString engineExitLogText(int exitCode)
{
    return QStringLiteral("\nkby_nuvix exit %1\n").arg(static_cast<qint32>(exitCode));
}

#ifdef Q_OS_WIN
// The Windows loader's status for a missing DLL; Qt may report it as a crash.
static bool isLoaderFailure(int exitCode, QProcess::ExitStatus, const QString &)
{
    return static_cast<quint32>(exitCode) == 0xC0000135u;
}

QString libraryMissingStatus()
{
    return QStringLiteral("dll not found (0xC0000135). FFmpeg/libsrt are not next to kby_nuvix.exe");
}
#else
// The dynamic loader exits with 127 and says why on standard error; 127 alone
// could be anything.
static bool isLoaderFailure(int exitCode, QProcess::ExitStatus status, const QString &engineErr)
{
    return status == QProcess::NormalExit && exitCode == 127
        && engineErr.contains(QLatin1String("error while loading shared libraries"));
}

QString libraryMissingStatus()
{
    return QStringLiteral(
        "shared library not found (127). FFmpeg/libsrt are not installed or not on the library path");
}
#endif

EngineEnding classifyEngineExit(int exitCode, QProcess::ExitStatus status,
                                const QString &engineErr)
{
    if (status == QProcess::NormalExit && exitCode == 0)
        return EngineEnding::InputEnded;
    if (isLoaderFailure(exitCode, status, engineErr))
        return EngineEnding::LibraryMissing;
    return EngineEnding::Other;
}

bool hasNonBlankLine(const QString &text)
{
    // Trimming a whole text leaves something exactly when some line does.
    return !text.trimmed().isEmpty();
}

QString engineEventName(const QString &line)
{
    return QJsonDocument::fromJson(line.toUtf8()).object().value(QLatin1String("event")).toString();
}

bool parseSrtStatsEvent(const QString &line, SrtStats &stats)
{
    const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
    if (object.value(QLatin1String("event")).toString() != QLatin1String("srt_stats"))
        return false;
    auto count = [&object](const char *key) {
        return static_cast<qint64>(object.value(QLatin1String(key)).toDouble());
    };
    SrtStats result;
    result.mbps = object.value(QLatin1String("mbps")).toDouble();
    result.rttMs = object.value(QLatin1String("rtt_ms")).toDouble();
    result.sent = count("sent");
    result.lost = count("lost");
    result.retrans = count("retrans");
    result.bufferMs = count("buffer_ms");
    result.bytes = count("bytes");
    stats = result;
    return true;
}

QString srtStatsStatus(const SrtStats &stats)
{
    const double loss = stats.sent > 0 ? 100.0 * static_cast<double>(stats.lost) / static_cast<double>(stats.sent)
                                       : 0.0;
    return QStringLiteral("running  %1 Mb/s  RTT %2 ms  loss %3%")
        .arg(stats.mbps, 0, 'f', 1)
        .arg(stats.rttMs, 0, 'f', 0)
        .arg(loss, 0, 'f', 1);
}

QString srtListeningStatus(const QString &port)
{
    return QStringLiteral("waiting for a receiver on port ") + port;
}

QString srtHintAdvice(const QString &logLine)
{
    const QLatin1String prefix("SRT hint: ");
    const int at = logLine.indexOf(prefix);
    if (at < 0)
        return QString();
    return logLine.mid(at + prefix.size()).trimmed();
}
