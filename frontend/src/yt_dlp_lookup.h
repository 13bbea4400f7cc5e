#pragma once

#include <QString>
#include <QStringList>

// Where yt-dlp is found. No widgets: the window and the headless relay share it.

// Settings key of the yt-dlp path the user chose in the setup dialog.
constexpr const char YT_DLP_PATH_KEY[] = "YT_DLP_PATH";

// The yt-dlp program's file name next to the front-end.
QString ytDlpFileName();

// Names yt-dlp is looked for under, best first: the file the yt-dlp project
// publishes for this system, then the plain program name.
QStringList ytDlpLookupNames();

// Where yt-dlp is run from: storedPath (trimmed) if it exists, else for each of
// ytDlpLookupNames() in turn the file in programDir, then one on the search
// path; empty when none is found.
QString findYtDlp(const QString &storedPath, const QString &programDir);
