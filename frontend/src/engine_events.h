#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// Reading the engine: its event lines on standard output and its exit.

// Appends chunk to buffer and takes out every line that is complete (ended by a
// line feed), trimmed, in order. Text after the last line feed stays in buffer.
QStringList takeEngineLines(QString &buffer, const QString &chunk);

// The status text one event line asks for, or a null QString when the line
// changes nothing (not JSON, no "event", or an event the window does not show).
QString statusForEngineEvent(const QString &line);

// "\nkby_nuvix exit <code>\n", the code as a signed 32-bit number.
QString engineExitLogText(int exitCode);

enum class EngineEnding {
    InputEnded,     // exit code 0, normal exit
    LibraryMissing, // the loader could not start it: never restart
    Other,          // a failure, a crash or a dropped connection
};

// engineErr is all standard error of the run: on Linux the loader's exit code
// 127 counts only together with its message.
EngineEnding classifyEngineExit(int exitCode, QProcess::ExitStatus status,
                                const QString &engineErr);

// Status line for EngineEnding::LibraryMissing.
QString libraryMissingStatus();

// True when some line of text is non-empty after trimming.
bool hasNonBlankLine(const QString &text);

// Figures of one "srt_stats" event: rates over the last interval, counts since the start.
struct SrtStats
{
    double mbps = 0;      // send rate, Mbit/s
    double rttMs = 0;     // round-trip time
    qint64 sent = 0;      // packets
    qint64 lost = 0;      // packets the receiver reported lost
    qint64 retrans = 0;   // packets sent again
    qint64 bufferMs = 0;  // send buffer
    qint64 bytes = 0;     // payload bytes
};

// The name of the event on one line, or an empty string when it is none.
QString engineEventName(const QString &line);

// Reads an "srt_stats" event line; false for any other line.
bool parseSrtStatsEvent(const QString &line, SrtStats &stats);

// "running  6.2 Mb/s  RTT 3 ms  loss 0.0%": the status while figures arrive; loss is
// the share of sent packets the receiver reported lost.
QString srtStatsStatus(const SrtStats &stats);

// "waiting for a receiver on port 9001": the status of a listener before a receiver is in.
QString srtListeningStatus(const QString &port);

// The advice of an "SRT hint: ..." log line (after that prefix, trimmed), or a null
// QString for any other line.
QString srtHintAdvice(const QString &logLine);
