#include "yt_dlp_lookup.h"

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

QString findYtDlp(const QString &storedPath, const QString &programDir)
{
    const QString stored = storedPath.trimmed();
    if (!stored.isEmpty() && QFileInfo::exists(stored))
        return stored;
    const QString besideProgram = QDir(programDir).filePath(ytDlpFileName());
    if (QFileInfo::exists(besideProgram))
        return besideProgram;
    return QStandardPaths::findExecutable(QStringLiteral("yt-dlp"));
}
