#include "srt_target.h"

#include <QSettings>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

bool buildSrtUrl(const QString &hostText, const QString &portText, const QString &streamIdText,
                 QString &url, QString &error)
{
    SrtTarget target;
    target.host = hostText;
    target.port = portText;
    target.streamId = streamIdText;
    return buildSrtUrl(target, url, error);
}

SrtHostPort hostPortFromUrl(const QString &text)
{
    SrtHostPort result{QString::fromLatin1(DEFAULT_SRT_HOST), QString::fromLatin1(DEFAULT_SRT_PORT)};
    QString t = text.trimmed();
    if (t.isEmpty())
        return result;
    if (!t.contains(QStringLiteral("://")))
        t.prepend(QStringLiteral("srt://"));
    const QUrl u(t, QUrl::TolerantMode);
    // An address that does not parse keeps both defaults, even where Qt kept a host.
    if (!u.isValid())
        return result;
    const QString host = u.host(QUrl::FullyDecoded);
    if (!host.isEmpty())
        result.host = host;
    if (u.port() > 0)
        result.port = QString::number(u.port());
    return result;
}

bool readKbyPortRangeFlag()
{
    QSettings kby(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orvanta"),
                  QStringLiteral("Kelbry"));
    return kby.value(QStringLiteral("use_port_range"), false).toBool();
}

QString srtAddressFromHostEdit(const QString &before, const QString &after, int cursor)
{
    // An edit leaves the cursor behind what it put in, which starts where the texts part.
    const int end = qBound(0, cursor, after.size());
    int start = 0;
    while (start < end && start < before.size() && before.at(start) == after.at(start))
        ++start;
    const QLatin1String scheme("srt://");
    const QString inserted = after.mid(start, end - start).trimmed();
    if (inserted.startsWith(scheme, Qt::CaseInsensitive))
        return inserted;
    const QString whole = after.trimmed();
    return whole.startsWith(scheme, Qt::CaseInsensitive) ? whole : QString();
}

bool isValidSrtLatency(const QString &text)
{
    bool ok = false;
    const int ms = text.trimmed().toInt(&ok, 10);
    return ok && ms >= 0 && ms <= 60000;
}

bool buildSrtUrl(const SrtTarget &target, QString &url, QString &error)
{
    QString host = target.host.trimmed();
    QString port = target.port.trimmed();
    // A listener with no host binds every address.
    if (host.isEmpty() && !target.listener)
        host = QString::fromLatin1(DEFAULT_SRT_HOST);
    if (port.isEmpty())
        port = QString::fromLatin1(DEFAULT_SRT_PORT);

    bool ok = false;
    const int portNumber = port.toInt(&ok, 10);
    const bool hostOk = !host.contains(QLatin1Char(' ')) && !host.contains(QLatin1Char('/'))
                        && !host.contains(QLatin1Char(':'));
    if (!ok || portNumber < 1 || portNumber > 65535 || !hostOk) {
        error = QString::fromLatin1(SRT_TARGET_INVALID);
        return false;
    }
    const QString latency = target.latency.trimmed();
    if (!latency.isEmpty() && !isValidSrtLatency(latency)) {
        error = QString::fromLatin1(SRT_LATENCY_INVALID);
        return false;
    }

    QStringList query;
    const QString id = target.live ? target.streamId.trimmed()
                                   : target.streamId.trimmed() + QString::fromLatin1(STREAM_ID_SUFFIX);
    if (!id.isEmpty())
        query << QStringLiteral("streamid=") + QString::fromLatin1(QUrl::toPercentEncoding(id));
    if (target.live)
        query << QStringLiteral("transtype=live");
    if (target.listener)
        query << QStringLiteral("mode=listener");
    if (!latency.isEmpty())
        query << QStringLiteral("latency=") + QString::number(latency.toInt());
    for (const auto &item : target.extraQuery)
        query << QString::fromLatin1(QUrl::toPercentEncoding(item.first)) + QLatin1Char('=')
                     + QString::fromLatin1(QUrl::toPercentEncoding(item.second));

    QString result = QStringLiteral("srt://") + host + QLatin1Char(':') + QString::number(portNumber);
    if (!query.isEmpty())
        result += QLatin1Char('?') + query.join(QLatin1Char('&'));
    url = result;
    return true;
}

bool parseSrtAddress(const QString &text, SrtTarget &target, QString &error)
{
    const QString t = text.trimmed();
    const QLatin1String scheme("srt://");
    if (!t.startsWith(scheme, Qt::CaseInsensitive)) {
        error = QStringLiteral("the SRT address must start with srt://");
        return false;
    }
    // "srt://:9001?mode=listener" has no host; QUrl wants one to read the port.
    const bool noHost = t.midRef(scheme.size()).startsWith(QLatin1Char(':'));
    const QUrl u(noHost ? QStringLiteral("srt://0.0.0.0") + t.mid(scheme.size()) : t, QUrl::StrictMode);
    if (!u.isValid() || u.host().isEmpty() || u.port() < 1) {
        error = QStringLiteral("the SRT address needs a host and a port (srt://HOST:PORT?streamid=ID)");
        return false;
    }

    SrtTarget result;
    result.host = noHost ? QString() : u.host(QUrl::FullyDecoded);
    result.port = QString::number(u.port());
    const QUrlQuery query(u);
    for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
        const QString key = item.first.toLower();
        const QString value = item.second;
        if (key == QLatin1String("streamid")) {
            result.streamId = value;
        } else if (key == QLatin1String("transtype")) {
            if (value != QLatin1String("live") && value != QLatin1String("file")) {
                error = QStringLiteral("transtype must be live or file");
                return false;
            }
            result.live = value == QLatin1String("live");
        } else if (key == QLatin1String("mode")) {
            if (value != QLatin1String("caller") && value != QLatin1String("listener")) {
                error = QStringLiteral("mode must be caller or listener");
                return false;
            }
            result.listener = value == QLatin1String("listener");
        } else if (key == QLatin1String("latency")) {
            if (!isValidSrtLatency(value)) {
                error = QStringLiteral("latency must be a whole number of milliseconds");
                return false;
            }
            result.latency = value.trimmed();
        } else if (key == QLatin1String("passphrase")) {
            result.passphrase = value;
        } else {
            result.extraQuery << item;
        }
    }
    if (noHost && !result.listener) {
        error = QStringLiteral("the SRT address needs a host and a port (srt://HOST:PORT?streamid=ID)");
        return false;
    }
    target = result;
    return true;
}
