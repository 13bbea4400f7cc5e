#pragma once

#include <QDate>
#include <QtGlobal>
#include <QString>

// yt-dlp names its releases after their date ("2023.03.04", nightly builds add a
// suffix: "2024.04.09.232843"). Video sites change their pages every few weeks,
// so an extractor a few months old routinely fails on them.

// The file the yt-dlp project publishes for this system.
#if defined(Q_OS_WIN)
constexpr const char YT_DLP_RELEASE_FILE[] = "yt-dlp.exe";
#elif defined(Q_OS_MACOS)
constexpr const char YT_DLP_RELEASE_FILE[] = "yt-dlp_macos";
#else
constexpr const char YT_DLP_RELEASE_FILE[] = "yt-dlp_linux";
#endif

// Older than this, yt-dlp is called out as the likely cause of failures.
constexpr int YT_DLP_MAX_AGE_DAYS = 90;

// Where users get the current release; named in advice, never fetched.
constexpr const char YT_DLP_RELEASES_PAGE[] = "https://github.com/yt-dlp/yt-dlp/releases/latest";

// The release date in a version text (first line of "yt-dlp --version");
// invalid when the text does not start with a real date.
QDate ytDlpReleaseDate(const QString &version);

// Days from the release to today; -1 (unknown) when the version has no date or
// its date lies after today.
int ytDlpAgeDays(const QString &version, const QDate &today);

// True when the age is known and above YT_DLP_MAX_AGE_DAYS.
bool ytDlpIsOld(int ageDays);

// "yt-dlp -U" replaces the program file in place: it works for the project's own
// release files the user may write, not for a distribution's package (a file
// under /usr outside /usr/local), nor where file or folder are read-only.
bool ytDlpCanSelfUpdate(const QString &canonicalPath, bool fileWritable, bool folderWritable);

// The same decision for a file on disk.
bool ytDlpCanSelfUpdate(const QString &path);

// Short status text for an old yt-dlp, lower case like the window's other statuses.
QString ytDlpAgeStatus(int ageDays, bool canSelfUpdate);

// Log lines that explain the age and how to get a current release; programDir
// is the front-end's folder and settingsFile the settings store, both named as
// places the user can put the release.
QString ytDlpAgeAdvice(const QString &version, int ageDays, const QString &path, bool canSelfUpdate,
                       const QString &programDir, const QString &settingsFile);

// An extraction failure message with the age named as its likely cause; the
// message unchanged when yt-dlp is not old.
QString withYtDlpAgeCause(const QString &message, int ageDays);
