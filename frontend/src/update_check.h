#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// The maker's update endpoint and the reading of its answer.

constexpr int UPDATE_PRODUCT_ID = 960;
// This front-end's build; a build above it counts as newer.
constexpr int BUILD_NUMBER = 20;

// "/check_update379/960/0/0/20/update.json"
QString updateRequestPath();

// Host (or host:port) of the endpoint: the environment variable
// NUVIX_UPDATE_HOST when set, otherwise the one chosen when building.
QString updateEndpointHost();

// Plain HTTP address of the request on host; an invalid QUrl when host is not
// usable.
QUrl updateRequestUrl(const QString &host);

struct UpdateInfo {
    int build = 0; // 0 when missing or not an integer
    QString msg;
    QString url;
};

// Reads "build", "msg" and "url" from a reply body; anything unusable gives
// the defaults.
UpdateInfo parseUpdateReply(const QByteArray &body);

// True when build is newer than this one and not the build the user skipped.
bool shouldOfferUpdate(int build, int skippedBuild);

// The message box text: msg, then (four blanks apart when both exist) a
// Download link to url with the url HTML-escaped.
QString composeUpdateText(const QString &msg, const QString &url);
