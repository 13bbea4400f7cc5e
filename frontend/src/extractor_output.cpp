#include "extractor_output.h"

namespace {

constexpr int ERROR_TEXT_MAX = 240;

// The first ERROR_TEXT_MAX units of a line, without half of a character that does
// not fit: a lone surrogate would show as garbage in the status and the log.
QString cutErrorLine(const QString &line)
{
    QString t = line.left(ERROR_TEXT_MAX);
    if (t.size() < line.size() && !t.isEmpty() && t.at(t.size() - 1).isHighSurrogate())
        t.chop(1);
    return t;
}

} // namespace

QStringList extractorAddresses(const QString &out)
{
    QStringList addresses;
    const QStringList lines = out.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString t = line.trimmed();
        if (t.startsWith(QLatin1String("http://")) || t.startsWith(QLatin1String("https://")))
            addresses << t;
    }
    return addresses;
}

QStringList extractorFormatLines(const QString &out)
{
    QStringList formats;
    const QStringList lines = out.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString t = line.trimmed();
        if (t.startsWith(QLatin1String("format ")))
            formats << t.mid(7);
    }
    return formats;
}

QString extractorErrorText(const QString &err)
{
    const QStringList lines = err.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString t = line.trimmed();
        if (!t.isEmpty() && !t.startsWith(QLatin1Char('[')))
            return cutErrorLine(t);
    }
    for (const QString &line : lines) {
        const QString t = line.trimmed();
        if (!t.isEmpty())
            return cutErrorLine(t);
    }
    return QString();
}

QString firstOutputLine(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return QString();
    return t.split(QLatin1Char('\n')).first().trimmed();
}

QString takeUtf8(QByteArray &pending, const QByteArray &chunk)
{
    pending += chunk;
    // Find where a trailing, not yet complete sequence starts: step back over
    // at most three continuation bytes to the lead byte and check its length.
    int keep = 0;
    const int size = pending.size();
    for (int back = 1; back <= 4 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(pending.at(size - back));
        if ((byte & 0xC0) == 0x80)
            continue; // continuation byte
        int length = 1;
        if ((byte & 0xE0) == 0xC0)
            length = 2;
        else if ((byte & 0xF0) == 0xE0)
            length = 3;
        else if ((byte & 0xF8) == 0xF0)
            length = 4;
        if (length > back)
            keep = back;
        break;
    }
    const QString text = QString::fromUtf8(pending.constData(), size - keep);
    pending = pending.right(keep);
    return text;
}
