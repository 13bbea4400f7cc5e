#include "relay_test_fixture.h"

#include <QFile>
#include <QFileInfo>
#include <QtTest>

FakeYtDlpFolder::FakeYtDlpFolder()
{
    if (dir.isValid())
        qputenv("FAKE_YT_DLP_DIR", dir.path().toLocal8Bit());
}

FakeYtDlpFolder::~FakeYtDlpFolder()
{
    qunsetenv("FAKE_YT_DLP_DIR");
}

bool FakeYtDlpFolder::setAnswer(const QStringList &lines) const
{
    QFile out(dir.filePath(QStringLiteral("hls.out")));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (const QString &line : lines)
        out.write((line + QLatin1Char('\n')).toUtf8());
    return true;
}

int FakeYtDlpFolder::calls() const
{
    QFile log(dir.filePath(QStringLiteral("calls")));
    return log.open(QIODevice::ReadOnly) ? log.readAll().count("--end--") : 0;
}

int FakeYtDlpFolder::extractions() const
{
    QFile log(dir.filePath(QStringLiteral("calls")));
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    int runs = 0;
    bool first = true;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (first && !line.isEmpty() && line != "--version" && line != "--end--")
            ++runs;
        first = line == "--end--";
    }
    return runs;
}

void RelayTestFixture::setUp(const QString &media)
{
    settings = std::make_unique<IsolatedSettings>();
    QVERIFY(settings->isValid());
    work = std::make_unique<FakeYtDlpFolder>();
    QVERIFY(work->isValid());
    temp = std::make_unique<TempFolderFence>();
    http = std::make_unique<ServiceProcess>();
    QVERIFY(http->start("python3", {sourceDir() + "/engine/tests/support/http_server.py",
                                    QFileInfo(media).absolutePath(), "--max-seconds", "300"}));
}

void RelayTestFixture::tearDown()
{
    listener.reset();
    http.reset();
    temp.reset();
    work.reset();
    settings.reset();
}

void RelayTestFixture::answerWith(const QStringList &files) const
{
    QStringList addresses;
    for (const QString &file : files)
        addresses << QStringLiteral("http://127.0.0.1:%1/%2").arg(http->port()).arg(QFileInfo(file).fileName());
    QVERIFY(work->setAnswer(addresses));
}

bool RelayTestFixture::startListener(const QStringList &extraArgs)
{
    listener = std::make_unique<ServiceProcess>();
    return listener->start(binDir() + "/srt_test_listener",
                           QStringList{"--out", receivedPath(), "--accepts", "0", "--max-seconds", "300"}
                               + extraArgs);
}

QString RelayTestFixture::receivedPath() const
{
    return work->path() + QStringLiteral("/received.ts");
}

QByteArray RelayTestFixture::received() const
{
    QFile file(receivedPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QProcessEnvironment RelayTestFixture::displaylessEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("XDG_CONFIG_HOME", settings->configHome());
    env.insert("FAKE_YT_DLP_DIR", work->path());
    return env;
}
