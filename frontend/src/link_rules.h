#pragma once

#include <QString>

// Rules applied to the user's page link: which platform it belongs to and
// which start offset it carries. Hosts are expected in lower case, as
// hostOfLink returns them.

// The lower-cased, fully decoded host of a link parsed in tolerant mode.
QString hostOfLink(const QString &link);

// True if host is domain itself or any subdomain of it ("m.domain").
bool hostMatches(const QString &host, const QString &domain);

bool isYouTubeHost(const QString &host);

// YouTube, RuTube or VK.
bool isKnownPlatformHost(const QString &host);

// Start offset in seconds from the link's "t" or "start" query item or its
// "t=" fragment; 0 for other hosts, unreadable values and values too large
// for an int.
int startSecondsFromLink(const QString &link);

// The scanner behind startSecondsFromLink, on the raw value ("1h2m3s").
int startSecondsFromValue(const QString &value);
