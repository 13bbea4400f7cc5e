#pragma once

#include <QJsonObject>
#include <QString>

class QSettings;

// Presets live in one settings key as compact JSON text of one object:
// preset name -> {"maxheight", "srthost", "srtport", "streamid", "url"}
// (older presets may carry "srturl" instead of host and port), plus, only where they
// differ from file mode as a caller, "srttranstype" ("live"), "srtmode" ("listener"),
// "srtlatency" and "srtpassphrase".
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
    QString host;    // Target::HostPort: already defaulted (a listener's may stay empty)
    QString port;    // Target::HostPort: already defaulted
    QString srtUrl;  // Target::OlderUrl
    bool hasMaxHeight = false;
    int maxHeight = 0;
    // Always applied: a preset without them is file mode as a caller.
    bool live = false;
    bool listener = false;
    QString latency;
    QString passphrase;
};

PresetFields presetFields(const QJsonObject &preset);

// Adds the SRT mode members that differ from file mode as a caller, so that a
// preset of the default mode keeps its older form.
void putSrtModeMembers(QJsonObject &preset, bool live, bool listener, const QString &latency,
                       const QString &passphrase);
