#pragma once

#include <QString>

// Where yt-dlp is found. No widgets: the window and the headless relay share it.

// Settings key of the yt-dlp path the user chose in the setup dialog.
constexpr const char YT_DLP_PATH_KEY[] = "YT_DLP_PATH";

// The yt-dlp program's file name next to the front-end.
QString ytDlpFileName();

// Where yt-dlp is run from: storedPath (trimmed) if it exists, else yt-dlp in
// programDir, else yt-dlp on the search path; empty when none is found.
QString findYtDlp(const QString &storedPath, const QString &programDir);
