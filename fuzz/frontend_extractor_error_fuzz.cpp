// extractorErrorText on arbitrary standard error text of the extractor.

#include "extractor_output.h"
#include "fuzz_check.h"

#include <QString>
#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString err = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QString text = extractorErrorText(err);

    FUZZ_CHECK(text.size() <= 240, "error text longer than 240 characters");
    FUZZ_CHECK(!text.contains(QLatin1Char('\n')), "error text spans lines");
    // Trimmed before the cut, so only a cut line may end in a blank.
    FUZZ_CHECK(text.isEmpty() || !text.at(0).isSpace(), "error text starts with a blank");
    if (text.size() < 239)
        FUZZ_CHECK(text == text.trimmed(), "short error text not trimmed");
    // Cutting must not split a character: the text stays valid UTF-16.
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate())
            FUZZ_CHECK(i + 1 < text.size() && text.at(i + 1).isLowSurrogate(),
                       "error text ends in half a character");
        if (c.isLowSurrogate())
            FUZZ_CHECK(i > 0 && text.at(i - 1).isHighSurrogate(), "error text holds half a character");
    }

    bool any = false;
    bool plain = false;
    for (const QString &line : err.split(QLatin1Char('\n'))) {
        const QString t = line.trimmed();
        any = any || !t.isEmpty();
        plain = plain || (!t.isEmpty() && !t.startsWith(QLatin1Char('[')));
    }
    FUZZ_CHECK(text.isEmpty() == !any, "empty text for output with a line, or the reverse");
    if (plain)
        FUZZ_CHECK(!text.startsWith(QLatin1Char('[')), "a bracketed line chosen over a plain one");
    if (!text.isEmpty())
        FUZZ_CHECK(err.contains(text.left(text.size() - 1)), "error text not taken from the output");
    return 0;
}
