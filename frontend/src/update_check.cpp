#include "update_check.h"

#include <QJsonDocument>
#include <QJsonObject>

#ifndef NUVIX_UPDATE_HOST_DEFAULT
#define NUVIX_UPDATE_HOST_DEFAULT "nuvix-updates.invalid"
#endif

QString updateRequestPath()
{
    return QStringLiteral("/check_update379/%1/0/0/%2/update.json")
        .arg(UPDATE_PRODUCT_ID)
        .arg(BUILD_NUMBER);
}

QString updateEndpointHost()
{
    const QString fromEnvironment = qEnvironmentVariable("NUVIX_UPDATE_HOST").trimmed();
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QStringLiteral(NUVIX_UPDATE_HOST_DEFAULT);
}

QUrl updateRequestUrl(const QString &host)
{
    if (host.isEmpty())
        return QUrl();
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setAuthority(host, QUrl::StrictMode);
    url.setPath(updateRequestPath());
    // Only a bare host with an optional port: no user info, nothing else.
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return QUrl();
    return url;
}

UpdateInfo parseUpdateReply(const QByteArray &body)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    UpdateInfo info;
    info.build = object.value(QLatin1String("build")).toInt(0);
    info.msg = object.value(QLatin1String("msg")).toString();
    info.url = object.value(QLatin1String("url")).toString();
    return info;
}

bool shouldOfferUpdate(int build, int skippedBuild)
{
    return build > BUILD_NUMBER && build != skippedBuild;
}

QString composeUpdateText(const QString &msg, const QString &url)
{
    QString text = msg;
    if (!url.isEmpty()) {
        if (!text.isEmpty())
            text += QLatin1String("    ");
        // toHtmlEscaped replaces exactly &, <, > and the double quote.
        text += QLatin1String("<a href=\"") + url.toHtmlEscaped()
            + QLatin1String("\" style=\"color:white;\">Download</a>");
    }
    return text;
}
