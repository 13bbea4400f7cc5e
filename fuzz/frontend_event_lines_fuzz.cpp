// The front-end's reading of engine standard output on arbitrary bytes cut into
// arbitrary chunks: UTF-8 decoding across reads, line splitting, and the status each
// line asks for.

#include "engine_events.h"
#include "extractor_output.h"
#include "fuzz_check.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <string>

namespace {

// The status a well-formed engine event line must give.
QString expected_status(const QString &name, const QString &detail)
{
    if (name == QLatin1String("opening_inputs"))
        return QStringLiteral("opening inputs...");
    if (name == QLatin1String("srt_connected"))
        return QStringLiteral("srt connected");
    if (name == QLatin1String("running"))
        return QStringLiteral("running");
    if (name == QLatin1String("eof"))
        return QStringLiteral("finished");
    if (name == QLatin1String("error"))
        return detail.isEmpty() ? QStringLiteral("failed") : QStringLiteral("failed: ") + detail;
    return QString();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the chunk sizes, the rest is the output.
    const unsigned pattern = data[0];
    const QByteArray whole(reinterpret_cast<const char *>(data + 1), static_cast<int>(size - 1));

    QByteArray pending;
    QString decoded;
    QString buffer;
    QStringList lines;
    int at = 0;
    unsigned step = 0;
    while (at < whole.size()) {
        const int length = 1 + static_cast<int>((pattern >> (step++ % 8)) * 7 % 13);
        const QByteArray chunk = whole.mid(at, length);
        at += chunk.size();
        const QString text = takeUtf8(pending, chunk);
        decoded += text;
        lines += takeEngineLines(buffer, text);
    }
    FUZZ_CHECK(pending.size() <= 3, "more than one unfinished character kept");

    const QString once = QString::fromUtf8(whole.constData(), whole.size());
    if (once.toUtf8() == whole) {
        // Valid UTF-8: cutting it into reads must change nothing.
        FUZZ_CHECK(pending.isEmpty(), "bytes of valid text held back");
        FUZZ_CHECK(decoded == once, "text decoded in pieces differs from the whole");
        QString single;
        const QStringList at_once = takeEngineLines(single, once);
        FUZZ_CHECK(lines == at_once, "lines differ when the output comes in pieces");
        FUZZ_CHECK(buffer == single, "unfinished line differs");
    }
    FUZZ_CHECK(!buffer.contains(QLatin1Char('\n')), "a complete line stayed in the buffer");

    static const QRegularExpression engine_line(
        QStringLiteral("^\\{\"event\":\"([a-z_]+)\"(?:,\"detail\":\"([a-z_]+)\")?\\}$"));
    for (const QString &line : lines) {
        FUZZ_CHECK(!line.contains(QLatin1Char('\n')), "a line holds a line feed");
        const QString status = statusForEngineEvent(line);
        const QRegularExpressionMatch m = engine_line.match(line);
        if (m.hasMatch())
            FUZZ_CHECK(status == expected_status(m.captured(1), m.captured(2)),
                       "an engine event line gave the wrong status");
    }
    return 0;
}
