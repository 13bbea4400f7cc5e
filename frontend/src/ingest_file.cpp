#include "ingest_file.h"

#include <QFile>
#include <QTemporaryFile>

QString jsonEscape(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case 9: out += QLatin1String("\\t"); break;
        case 10: out += QLatin1String("\\n"); break;
        case 13: out += QLatin1String("\\r"); break;
        case 34: out += QLatin1String("\\\""); break;
        case 92: out += QLatin1String("\\\\"); break;
        default:
            if (c.unicode() >= 32)
                out += c;
            break;
        }
    }
    return out;
}

static QString member(const char *key, const QString &value, bool comma)
{
    return QLatin1String("  \"") + QLatin1String(key) + QLatin1String("\": \"") + jsonEscape(value)
        + QLatin1Char('"') + (comma ? QLatin1String(",\n") : QLatin1String("\n"));
}

QString ingestFileText(const QString &pageLink, int startSeconds, const QString &mediaUrl,
                       const QString &videoUrl, const QString &audioUrl, const QString &srtPassphrase)
{
    const bool passphrase = !srtPassphrase.isEmpty();
    QString text = QStringLiteral("{\n");
    if (!pageLink.isEmpty())
        text += member("page_url", pageLink, true);
    if (startSeconds > 0)
        text += QStringLiteral("  \"start_sec\": %1,\n").arg(startSeconds);
    if (!mediaUrl.isEmpty()) {
        text += member("media_url", mediaUrl, passphrase);
    } else {
        text += member("video_url", videoUrl, true);
        text += member("audio_url", audioUrl, passphrase);
    }
    if (passphrase)
        text += member("srt_passphrase", srtPassphrase, false);
    text += QStringLiteral("}\n");
    return text;
}

bool writeIngestFile(const QString &folder, qint64 msecsSinceEpoch, const QString &text,
                     QString &path)
{
    // QTemporaryFile creates with O_EXCL and owner-only permissions and retries
    // with a new random part when a name is taken.
    QTemporaryFile file(folder + QStringLiteral("/kby-nuvix-%1-XXXXXX.json").arg(msecsSinceEpoch));
    file.setAutoRemove(false);
    if (!file.open())
        return false;
    const QString name = file.fileName();
    const QByteArray bytes = text.toUtf8();
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    if (!written) {
        QFile::remove(name);
        return false;
    }
    path = name;
    return true;
}
