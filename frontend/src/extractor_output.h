#pragma once

#include <QString>
#include <QStringList>

// Reading what yt-dlp prints.

// Trimmed lines of standard output that begin with "http://" or "https://",
// in output order.
QStringList extractorAddresses(const QString &out);

// For every line that begins with "format " (after trimming): the rest of
// the trimmed line.
QStringList extractorFormatLines(const QString &out);

// The line worth showing from standard error: the first non-empty line that
// is not a bracketed progress line, else the first non-empty line, cut to
// 240 characters; empty when there is none.
QString extractorErrorText(const QString &err);

// The first line of a program's trimmed output, trimmed; empty for no output.
QString firstOutputLine(const QString &text);
