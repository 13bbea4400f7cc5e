#pragma once

#include "engine_test_support.h"
#include "isolated_settings.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A folder the fake yt-dlp (tests/support/fake_yt_dlp) reads its answers from and
// logs its calls to; FAKE_YT_DLP_DIR names it for as long as it lives.
class FakeYtDlpFolder
{
public:
    FakeYtDlpFolder();
    ~FakeYtDlpFolder();

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    // What the next extraction prints, one line each, instead of any earlier answer.
    bool setAnswer(const QStringList &lines) const;
    // Every call so far, "--version" included.
    int calls() const;
    // Extractions only: calls other than "--version".
    int extractions() const;

private:
    QTemporaryDir dir;
};

// What an end-to-end test of the front-end runs around the relay: isolated
// settings, a fenced temporary folder, a work folder the fake yt-dlp reads, and a
// loopback HTTP server for the generated media. setUp() belongs in init(),
// tearDown() in cleanup() once the session, window or relay process is gone.
class RelayTestFixture
{
public:
    // Serves the folder that holds media. Fails the current test on any error.
    void setUp(const QString &media);
    void tearDown();

    // The fake yt-dlp's answer: one served address per file name.
    void answerWith(const QStringList &files) const;
    // srt_test_listener taking any number of callers, writing to receivedPath().
    bool startListener(const QStringList &extraArgs = {});
    QString receivedPath() const;
    QByteArray received() const;
    // For nuvix-relay as a child: no display of any kind, these settings, this fake yt-dlp.
    QProcessEnvironment displaylessEnvironment() const;

    std::unique_ptr<IsolatedSettings> settings;
    std::unique_ptr<TempFolderFence> temp;
    std::unique_ptr<FakeYtDlpFolder> work;
    std::unique_ptr<ServiceProcess> http;
    std::unique_ptr<ServiceProcess> listener;
};
