#include "format_selector.h"

QString buildFormatSelector(bool hls, int maxHeight)
{
    const QString heightFilter =
        maxHeight > 0 ? QStringLiteral("[height<=%1]").arg(maxHeight) : QString();
    const QLatin1String video(VIDEO_CODEC_FILTER);

    if (hls) {
        const QLatin1String hlsOnly("[protocol^=m3u8]");
        const QLatin1String audio(AUDIO_CODEC_FILTER_OPTIONAL);
        return QLatin1String("bv*") + heightFilter + hlsOnly + video + QLatin1String("+ba")
            + hlsOnly + audio + QLatin1String("/b") + heightFilter + hlsOnly + video + audio;
    }
    const QLatin1String audio(AUDIO_CODEC_FILTER);
    return QLatin1String("bv*") + heightFilter + video + QLatin1String("+ba") + audio
        + QLatin1String("/b") + heightFilter + video + audio;
}

QString qualityLabel(int maxHeight)
{
    if (maxHeight <= 0)
        return QStringLiteral("max");
    if (maxHeight == 2160)
        return QStringLiteral("4K");
    return QString::number(maxHeight);
}
