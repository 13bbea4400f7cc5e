#include "extractor_output.h"

namespace {

constexpr int ERROR_TEXT_MAX = 240;

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
            return t.left(ERROR_TEXT_MAX);
    }
    for (const QString &line : lines) {
        const QString t = line.trimmed();
        if (!t.isEmpty())
            return t.left(ERROR_TEXT_MAX);
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
