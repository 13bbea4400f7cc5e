#include "yt_dlp_lookup.h"

#include "yt_dlp_version.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

#ifdef Q_OS_WIN
const char YT_DLP_FILE[] = "yt-dlp.exe";
#else
const char YT_DLP_FILE[] = "yt-dlp";
#endif

} // namespace

QString ytDlpFileName()
{
    return QString::fromLatin1(YT_DLP_FILE);
}

QStringList ytDlpLookupNames()
{
    const QString release = QString::fromLatin1(YT_DLP_RELEASE_FILE);
    if (release == ytDlpFileName())
        return {release};
    return {release, ytDlpFileName()};
}

QString findYtDlp(const QString &storedPath, const QString &programDir)
{
    const QString stored = storedPath.trimmed();
    if (!stored.isEmpty() && QFileInfo::exists(stored))
        return stored;
    // The project's release file wins over a plain yt-dlp, which is mostly the
    // distribution's old package (in /usr/bin, next to an installed nuvix too);
    // for each name the program folder comes before the search path.
    const QStringList names = ytDlpLookupNames();
    for (const QString &name : names) {
        const QString besideProgram = QDir(programDir).filePath(name);
        if (QFileInfo::exists(besideProgram))
            return besideProgram;
        const QString onPath = QStandardPaths::findExecutable(name);
        if (!onPath.isEmpty())
            return onPath;
    }
    return QString();
}
