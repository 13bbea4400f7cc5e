#pragma once

#include <QList>
#include <QPair>
#include <QString>

// Address rules of the SRT target fields. Pure functions: no widgets, no settings.

constexpr const char DEFAULT_SRT_HOST[] = "127.0.0.1";
constexpr const char DEFAULT_SRT_PORT[] = "9001";
// Appended to every stream id the front-end sends.
constexpr const char STREAM_ID_SUFFIX[] = "*lossless";
constexpr const char SRT_TARGET_INVALID[] = "ip or port is invalid";
constexpr const char SRT_LATENCY_INVALID[] = "latency is invalid";

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

// The whole SRT target as the user gives it.
struct SrtTarget
{
    QString host;        // empty: the default host, or every address for a listener
    QString port;        // empty: the default port
    QString streamId;
    bool live = false;     // transtype=live; otherwise file mode, as always
    bool listener = false; // mode=listener: wait for the receiver to call in
    QString latency;       // milliseconds as typed; empty: libsrt's default
    // Never part of the address: it reaches the engine through the ingest input file.
    QString passphrase;
    // Other query keys of a typed address, passed on as they are, in order.
    QList<QPair<QString, QString>> extraQuery;
};

// The engine's --srt-url for target. File mode and caller, without latency or other
// keys, give exactly the address of the three-field form above. In file mode the
// stream id gets the suffix; in live mode it is sent as typed, and left out when
// empty. On failure sets error, leaves url alone and returns false.
bool buildSrtUrl(const SrtTarget &target, QString &url, QString &error);

// Reads a full address as receivers print it, e.g.
// "srt://10.0.0.5:8890?streamid=publish:cam1&transtype=live&latency=200": host, port,
// the stream id (decoded), mode, transfer type, latency and passphrase; any other key
// goes to extraQuery. On failure sets error (a sentence for the user) and returns false.
bool parseSrtAddress(const QString &text, SrtTarget &target, QString &error);

// The srt:// address an edit of the host field brought in, trimmed: the part the edit
// put in when that is one (e.g. an address pasted beside the host already there), else
// the whole new text when that is one; empty otherwise. cursor is the cursor position
// after the edit, which stands right behind the inserted text.
QString srtAddressFromHostEdit(const QString &before, const QString &after, int cursor);

// True for a whole number of milliseconds libsrt takes as a latency.
bool isValidSrtLatency(const QString &text);
