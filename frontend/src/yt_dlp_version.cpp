#include "yt_dlp_version.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

QDate ytDlpReleaseDate(const QString &version)
{
    // A build suffix follows the date after a separator; a longer number is no date.
    static const QRegularExpression datePattern(
        QStringLiteral("^(\\d{4})\\.(\\d{1,2})\\.(\\d{1,2})(?:$|[^0-9])"));
    const QRegularExpressionMatch match = datePattern.match(version.trimmed());
    if (!match.hasMatch())
        return QDate();
    return QDate(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
}

int ytDlpAgeDays(const QString &version, const QDate &today)
{
    const QDate released = ytDlpReleaseDate(version);
    if (!released.isValid() || !today.isValid() || released > today)
        return -1;
    return int(released.daysTo(today));
}

bool ytDlpIsOld(int ageDays)
{
    return ageDays > YT_DLP_MAX_AGE_DAYS;
}

bool ytDlpCanSelfUpdate(const QString &canonicalPath, bool fileWritable, bool folderWritable)
{
    if (canonicalPath.isEmpty() || !fileWritable || !folderWritable)
        return false;
    const bool packaged = canonicalPath.startsWith(QLatin1String("/usr/"))
        && !canonicalPath.startsWith(QLatin1String("/usr/local/"));
    return !packaged;
}

bool ytDlpCanSelfUpdate(const QString &path)
{
    const QFileInfo file(path);
    const QString canonical = file.canonicalFilePath();
    const QFileInfo folder(QFileInfo(canonical).absolutePath());
    return ytDlpCanSelfUpdate(canonical, file.isWritable(), folder.isWritable());
}

QString ytDlpAgeStatus(int ageDays, bool canSelfUpdate)
{
    return QStringLiteral("yt-dlp is %1 days old: %2")
        .arg(ageDays)
        .arg(canSelfUpdate ? QStringLiteral("update it (yt-dlp -U)")
                           : QStringLiteral("get a current release (see logs)"));
}

QString ytDlpAgeAdvice(const QString &version, int ageDays, const QString &path, bool canSelfUpdate,
                       const QString &programDir, const QString &settingsFile)
{
    QString text = QStringLiteral("yt-dlp %1 is %2 days old; video sites change every few weeks and an "
                                  "old yt-dlp fails on them.\n")
                       .arg(version)
                       .arg(ageDays);
    if (canSelfUpdate) {
        text += QStringLiteral("Update it: %1 -U\n").arg(path);
        return text;
    }
    const QString release = QString::fromLatin1(YT_DLP_RELEASE_FILE);
    text += QStringLiteral("Get a current release: download %1 from %2, make it executable "
                           "(chmod +x %1) and put it next to nuvix in %3, or write its path as "
                           "YT_DLP_PATH=<path> into %4.\n")
                .arg(release, QString::fromLatin1(YT_DLP_RELEASES_PAGE), QDir::toNativeSeparators(programDir),
                     QDir::toNativeSeparators(settingsFile));
    return text;
}

QString withYtDlpAgeCause(const QString &message, int ageDays)
{
    if (!ytDlpIsOld(ageDays))
        return message;
    return message + QStringLiteral(" (likely cause: yt-dlp is %1 days old)").arg(ageDays);
}
