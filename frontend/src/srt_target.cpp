#include "srt_target.h"

#include <QSettings>
#include <QUrl>
#include <QUrlQuery>

bool buildSrtUrl(const QString &hostText, const QString &portText, const QString &streamIdText,
                 QString &url, QString &error)
{
    QString host = hostText.trimmed();
    QString port = portText.trimmed();
    if (host.isEmpty())
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

    const QString id = streamIdText.trimmed() + QString::fromLatin1(STREAM_ID_SUFFIX);
    url = QStringLiteral("srt://") + host + QLatin1Char(':') + QString::number(portNumber)
          + QStringLiteral("?streamid=") + QString::fromLatin1(QUrl::toPercentEncoding(id));
    return true;
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

bool parseSrtAddress(const QString &text, SrtAddressFields &fields, QString &error)
{
    const QString t = text.trimmed();
    if (!t.startsWith(QLatin1String("srt://"), Qt::CaseInsensitive)) {
        error = QStringLiteral("the SRT address must start with srt://");
        return false;
    }
    const QUrl u(t, QUrl::StrictMode);
    if (!u.isValid() || u.host().isEmpty() || u.port() < 1) {
        error = QStringLiteral("the SRT address needs a host and a port (srt://HOST:PORT?streamid=ID)");
        return false;
    }
    const QUrlQuery query(u);
    SrtAddressFields result;
    result.host = u.host(QUrl::FullyDecoded);
    result.port = QString::number(u.port());
    result.streamId = query.queryItemValue(QStringLiteral("streamid"), QUrl::FullyDecoded);
    fields = result;
    return true;
}
