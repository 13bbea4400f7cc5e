#include "link_rules.h"

#include <QUrl>
#include <QUrlQuery>

#include <climits>

namespace {

const char *const YOUTUBE_HOSTS[] = {"youtube.com", "youtu.be", "youtube-nocookie.com"};
const char *const RUTUBE_HOST = "rutube.ru";
const char *const VK_HOSTS[] = {"vk.com", "vk.ru", "vkvideo.ru"};

} // namespace

QString hostOfLink(const QString &link)
{
    const QUrl url(link, QUrl::TolerantMode);
    return url.host(QUrl::FullyDecoded).toLower();
}

bool hostMatches(const QString &host, const QString &domain)
{
    if (host == domain)
        return true;
    return host.endsWith(QLatin1Char('.') + domain);
}

bool isYouTubeHost(const QString &host)
{
    for (const char *domain : YOUTUBE_HOSTS) {
        if (hostMatches(host, QLatin1String(domain)))
            return true;
    }
    return false;
}

bool isKnownPlatformHost(const QString &host)
{
    if (isYouTubeHost(host) || hostMatches(host, QLatin1String(RUTUBE_HOST)))
        return true;
    for (const char *domain : VK_HOSTS) {
        if (hostMatches(host, QLatin1String(domain)))
            return true;
    }
    return false;
}

int startSecondsFromValue(const QString &value)
{
    const QString text = value.trimmed().toLower();
    // Wider than int so that an oversized offset is detected instead of
    // wrapping; such an offset is refused like any other unreadable value.
    qint64 total = 0;
    qint64 current = 0;
    bool haveDigits = false;
    for (const QChar c : text) {
        if (c.isDigit()) {
            current = current * 10 + c.digitValue();
            haveDigits = true;
        } else if (c == QLatin1Char('h') || c == QLatin1Char('m') || c == QLatin1Char('s')) {
            if (!haveDigits)
                return 0;
            const qint64 unit = c == QLatin1Char('h') ? 3600 : c == QLatin1Char('m') ? 60 : 1;
            total += current * unit;
            current = 0;
            haveDigits = false;
        } else {
            return 0;
        }
        if (current > INT_MAX || total > INT_MAX)
            return 0;
    }
    total += current;
    if (total > INT_MAX)
        return 0;
    return total > 0 ? static_cast<int>(total) : 0;
}

int startSecondsFromLink(const QString &link)
{
    const QUrl url(link, QUrl::TolerantMode);
    if (!isKnownPlatformHost(url.host(QUrl::FullyDecoded).toLower()))
        return 0;

    const QUrlQuery query(url);
    QString value = query.queryItemValue(QStringLiteral("t"), QUrl::FullyDecoded);
    if (value.isEmpty())
        value = query.queryItemValue(QStringLiteral("start"), QUrl::FullyDecoded);
    if (value.isEmpty()) {
        const QString fragment = url.fragment(QUrl::FullyDecoded);
        if (fragment.startsWith(QLatin1String("t="), Qt::CaseInsensitive))
            value = fragment.mid(2);
    }
    return startSecondsFromValue(value);
}
