#pragma once

#include <QJsonObject>
#include <QString>

class QSettings;

// Presets live in one settings key as compact JSON text of one object:
// preset name -> {"maxheight", "srthost", "srtport", "streamid", "url"}
// (older presets may carry "srturl" instead of host and port).
constexpr const char PRESETS_KEY[] = "NUVIX_PRESETS";
constexpr const char NO_PRESETS_TEXT[] = "No presets";

// Empty object when settings is null, the key is missing or its text is not a JSON object.
QJsonObject readPresets(const QSettings *settings);
// Writes the object as compact JSON and flushes the store.
void writePresets(QSettings *settings, const QJsonObject &presets);

// What applying one preset does to the fields; unset parts leave a field alone.
struct PresetFields
{
    QString url;
    QString streamId;
    enum class Target { Keep, HostPort, OlderUrl } target = Target::Keep;
    QString host;    // Target::HostPort: already defaulted
    QString port;    // Target::HostPort: already defaulted
    QString srtUrl;  // Target::OlderUrl
    bool hasMaxHeight = false;
    int maxHeight = 0;
};

PresetFields presetFields(const QJsonObject &preset);
