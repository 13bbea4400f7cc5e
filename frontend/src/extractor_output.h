#pragma once

#include <QByteArray>
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

// Decodes pending + chunk as UTF-8 up to the last complete character and
// keeps an unfinished multi-byte sequence in pending for the next chunk, so a
// character split between two reads is not garbled.
QString takeUtf8(QByteArray &pending, const QByteArray &chunk);

// The first line of a program's trimmed output, trimmed; empty for no output.
QString firstOutputLine(const QString &text);
