#pragma once

#include <QString>

// The ingest input file hands the media addresses of one run to the engine.

// Backslash escapes for tab, line feed, carriage return, double quote and
// backslash; other control characters below 32 are dropped; everything else,
// non-ASCII included, is kept as it is.
QString jsonEscape(const QString &text);

// The file's text, one member per line, two-space indent, each line ending in
// a line feed. page_url only for a known page link, start_sec only when above
// 0, then media_url alone when it is set, otherwise video_url and audio_url,
// and last srt_passphrase, only when there is one (it never goes on the engine's
// command line, where every local user can read it).
QString ingestFileText(const QString &pageLink, int startSeconds, const QString &mediaUrl,
                       const QString &videoUrl, const QString &audioUrl,
                       const QString &srtPassphrase = QString());

// Writes text as UTF-8 into a new file "kby-nuvix-<msecs>-<random>.json" in
// folder. The temporary folder is shared by every user, so the file is created
// exclusively (an existing file or link of the same name is never opened; the
// random part then picks another name) and readable by its owner only.
// On success sets path; on failure nothing is left behind.
bool writeIngestFile(const QString &folder, qint64 msecsSinceEpoch, const QString &text,
                     QString &path);
