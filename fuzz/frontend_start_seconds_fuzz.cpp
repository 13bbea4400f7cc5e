// startSecondsFromLink and its value scanner on arbitrary text, against a plain
// reference of the scanning rules and against links built around the value.

#include "fuzz_check.h"
#include "link_rules.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <climits>
#include <cstdint>

namespace {

// The scanning rules for ASCII text: -1 when the text is not ASCII.
int64_t reference_seconds(const QByteArray &ascii)
{
    int64_t total = 0, current = 0;
    bool digits = false;
    for (char raw : ascii) {
        if (static_cast<unsigned char>(raw) >= 0x80)
            return -1;
        const char c = (raw >= 'A' && raw <= 'Z') ? static_cast<char>(raw - 'A' + 'a') : raw;
        if (c >= '0' && c <= '9') {
            current = current * 10 + (c - '0');
            digits = true;
        } else if (c == 'h' || c == 'm' || c == 's') {
            if (!digits)
                return 0;
            total += current * (c == 'h' ? 3600 : c == 'm' ? 60 : 1);
            current = 0;
            digits = false;
        } else {
            return 0;
        }
        if (current > INT_MAX || total > INT_MAX)
            return 0;  // too large for a start offset: refused
    }
    total += current;
    return total > INT_MAX ? 0 : total;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QString value = QString::fromUtf8(bytes);

    const int seconds = startSecondsFromValue(value);
    FUZZ_CHECK(seconds >= 0, "negative start offset");
    const QString trimmed = value.trimmed();
    const int64_t expected = reference_seconds(trimmed.toUtf8());
    if (expected >= 0)
        FUZZ_CHECK(seconds == expected, "scanner differs from the rules");

    FUZZ_CHECK(startSecondsFromLink(value) >= 0, "negative start offset from a link");

    // The same value carried by a link: in the query, in "start", in the fragment.
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(value));
    const QString base = QStringLiteral("https://www.youtube.com/watch?v=abc");
    FUZZ_CHECK(startSecondsFromLink(base + QStringLiteral("&t=") + encoded) == seconds,
               "t query item read differently");
    FUZZ_CHECK(startSecondsFromLink(base + QStringLiteral("&start=") + encoded) == seconds,
               "start query item read differently");
    FUZZ_CHECK(startSecondsFromLink(base + QStringLiteral("#t=") + encoded) == seconds,
               "t fragment read differently");
    FUZZ_CHECK(startSecondsFromLink(QStringLiteral("https://example.com/v?t=") + encoded) == 0,
               "start offset on an unknown host");
    return 0;
}
