#include "presets.h"

#include "srt_target.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QSettings>

QJsonObject readPresets(const QSettings *settings)
{
    if (!settings)
        return {};
    const QVariant raw = settings->value(QLatin1String(PRESETS_KEY));
    if (!raw.isValid())
        return {};
    const QJsonDocument doc = QJsonDocument::fromJson(raw.toByteArray());
    return doc.isObject() ? doc.object() : QJsonObject();
}

void writePresets(QSettings *settings, const QJsonObject &presets)
{
    settings->setValue(QLatin1String(PRESETS_KEY), QJsonDocument(presets).toJson(QJsonDocument::Compact));
    settings->sync();
}

PresetFields presetFields(const QJsonObject &preset)
{
    PresetFields f;
    // Only strings are read: a number under "srtport" counts as empty.
    f.url = preset.value(QLatin1String("url")).toString();
    f.live = preset.value(QLatin1String("srttranstype")).toString() == QLatin1String("live");
    f.listener = preset.value(QLatin1String("srtmode")).toString() == QLatin1String("listener");
    f.latency = preset.value(QLatin1String("srtlatency")).toString().trimmed();
    f.passphrase = preset.value(QLatin1String("srtpassphrase")).toString();
    f.streamId = preset.value(QLatin1String("streamid")).toString();
    if (preset.contains(QLatin1String("srthost")) || preset.contains(QLatin1String("srtport"))) {
        f.target = PresetFields::Target::HostPort;
        f.host = preset.value(QLatin1String("srthost")).toString().trimmed();
        f.port = preset.value(QLatin1String("srtport")).toString().trimmed();
        // A listener without a host waits on every address.
        if (f.host.isEmpty() && !f.listener)
            f.host = QString::fromLatin1(DEFAULT_SRT_HOST);
        if (f.port.isEmpty())
            f.port = QString::fromLatin1(DEFAULT_SRT_PORT);
    } else if (preset.contains(QLatin1String("srturl"))) {
        f.target = PresetFields::Target::OlderUrl;
        f.srtUrl = preset.value(QLatin1String("srturl")).toString();
    }
    if (preset.contains(QLatin1String("maxheight"))) {
        f.hasMaxHeight = true;
        f.maxHeight = preset.value(QLatin1String("maxheight")).toInt(0);
    }
    return f;
}

void putSrtModeMembers(QJsonObject &preset, bool live, bool listener, const QString &latency,
                       const QString &passphrase)
{
    if (live)
        preset.insert(QStringLiteral("srttranstype"), QStringLiteral("live"));
    if (listener)
        preset.insert(QStringLiteral("srtmode"), QStringLiteral("listener"));
    if (!latency.trimmed().isEmpty())
        preset.insert(QStringLiteral("srtlatency"), latency.trimmed());
    if (!passphrase.isEmpty())
        preset.insert(QStringLiteral("srtpassphrase"), passphrase);
}
