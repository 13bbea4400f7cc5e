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
