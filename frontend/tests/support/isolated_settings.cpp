#include "isolated_settings.h"

#include <QDir>
#include <QFile>

#include <cstdlib>

namespace {

const char ORG[] = "Orvanta";

// A second fence around the user's real store: linking this file moves the
// per-user config folder into a temporary one before main() runs.
struct ConfigHomeFence
{
    QTemporaryDir home;
    ConfigHomeFence()
    {
        if (!home.isValid())
            qFatal("no temporary config home");
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    }
};
const ConfigHomeFence fence;

} // namespace

IsolatedSettings::IsolatedSettings()
{
    if (!dir.isValid())
        qFatal("no temporary folder for settings");
    const QString cfg = dir.filePath(QStringLiteral("config"));
    QDir().mkpath(cfg);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, cfg);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, cfg);

    ytDlpPath = dir.filePath(QStringLiteral("yt-dlp"));
    QFile script(ytDlpPath);
    if (!script.open(QIODevice::WriteOnly))
        qFatal("cannot write the fake yt-dlp");
    script.write("#!/bin/sh\necho 2099.01.01\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    store()->setValue(QStringLiteral("YT_DLP_PATH"), ytDlpPath);
}

IsolatedSettings::~IsolatedSettings() = default;

std::unique_ptr<QSettings> IsolatedSettings::store() const
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QString::fromLatin1(ORG), QStringLiteral("Nuvix"));
}

std::unique_ptr<QSettings> IsolatedSettings::siblingStore() const
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QString::fromLatin1(ORG), QStringLiteral("Kelbry"));
}

QStringList IsolatedSettings::storedKeys() const
{
    return store()->allKeys();
}

void IsolatedSettings::clearStore() const
{
    auto s = store();
    s->clear();
    s->sync();
}
