#pragma once

#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// Points every per-user settings store (the native one and INI files, so also the
// sibling server's store) at a fresh temporary folder for as long as it lives, and
// puts a fake yt-dlp there so a window never opens its setup dialog. Create one per
// test, before the window; the user's real store is never touched.
class IsolatedSettings
{
public:
    IsolatedSettings();
    ~IsolatedSettings();

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    // The per-user config folder of the stores: XDG_CONFIG_HOME for a child program.
    QString configHome() const { return dir.filePath(QStringLiteral("config")); }

    // The window's store ("Orvanta"/"Nuvix"), read fresh from disk.
    std::unique_ptr<QSettings> store() const;
    // The sibling server's INI store ("Orvanta"/"Kelbry").
    std::unique_ptr<QSettings> siblingStore() const;

    // Keys of the window's store as they are on disk right now.
    QStringList storedKeys() const;

    // Path of the fake yt-dlp written into the store as "YT_DLP_PATH".
    QString fakeYtDlp() const { return ytDlpPath; }
    // Removes every key of the window's store (the fake yt-dlp path included).
    void clearStore() const;

private:
    QTemporaryDir dir;
    QString ytDlpPath;
};
