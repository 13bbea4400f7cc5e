#pragma once

#include <QString>

// Address rules of the SRT target fields. Pure functions: no widgets, no settings.

constexpr const char DEFAULT_SRT_HOST[] = "127.0.0.1";
constexpr const char DEFAULT_SRT_PORT[] = "9001";
// Appended to every stream id the front-end sends.
constexpr const char STREAM_ID_SUFFIX[] = "*lossless";
constexpr const char SRT_TARGET_INVALID[] = "ip or port is invalid";

// Builds "srt://host:port?streamid=<percent-encoded id + suffix>" from the field
// texts. Empty host/port take the defaults. On failure sets error, leaves url alone
// and returns false.
bool buildSrtUrl(const QString &hostText, const QString &portText, const QString &streamIdText,
                 QString &url, QString &error);

struct SrtHostPort
{
    QString host;
    QString port;
};

// Host and port of an address of the older single-field form ("srt://h:p?...",
// or "h:p" without a scheme). Missing parts take the defaults.
SrtHostPort hostPortFromUrl(const QString &text);

// The sibling SRT server's "use_port_range" flag (read-only, false when missing).
bool readKbyPortRangeFlag();

// The parts of a full "srt://host:port?streamid=..." address that the target
// fields hold. The stream id is percent-decoded; a port is required.
struct SrtAddressFields
{
    QString host;
    QString port;
    QString streamId;
};

// Reads text as a full SRT address. On failure sets error (a sentence for the
// user) and returns false.
bool parseSrtAddress(const QString &text, SrtAddressFields &fields, QString &error);
