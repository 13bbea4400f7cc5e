#include "engine_test_support.h"

#include "engine_launch.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLabel>
#include <QTcpServer>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <semaphore.h>

QString binDir()
{
    return QStringLiteral(NUVIX_BIN_DIR);
}

QString sourceDir()
{
    return QStringLiteral(NUVIX_SOURCE_DIR);
}

QString supportScript(const QString &name)
{
    return sourceDir() + QStringLiteral("/frontend/tests/support/") + name;
}

// ---- FakeEngine ----

FakeEngine::FakeEngine()
{
    qputenv("FAKE_ENGINE_DIR", dir.path().toLocal8Bit());
    setEngineProgramForTests(program());
}

FakeEngine::~FakeEngine()
{
    setEngineProgramForTests(QString());
    qunsetenv("FAKE_ENGINE_DIR");
    for (const QJsonObject &run : runs()) {
        const QByteArray name = "/kby_nuvix_stop_" + QByteArray::number(run.value("pid").toInt());
        sem_unlink(name.constData());
    }
}

QString FakeEngine::program() const
{
    return supportScript(QStringLiteral("fake_engine"));
}

static void writeLines(const QString &path, const QStringList &lines)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write((lines.join('\n') + '\n').toUtf8());
}

void FakeEngine::setSteps(const QStringList &steps) const
{
    writeLines(dir.filePath(QStringLiteral("steps")), steps);
}

void FakeEngine::setSteps(int run, const QStringList &steps) const
{
    writeLines(dir.filePath(QStringLiteral("steps.%1").arg(run)), steps);
}

QList<QJsonObject> FakeEngine::runs() const
{
    QList<QJsonObject> result;
    QFile file(dir.filePath(QStringLiteral("runs")));
    if (!file.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            result << QJsonDocument::fromJson(line).object();
    }
    return result;
}

// ---- StatusRecorder ----

StatusRecorder::StatusRecorder(QLabel *label)
    : label(label)
{
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, this, [this] { poll(); });
    timer.start();
    poll();
}

void StatusRecorder::poll()
{
    if (!label)
        return;
    const QString text = label->text();
    if (texts.isEmpty() || texts.last() != text)
        texts << text;
}

bool StatusRecorder::sawInOrder(const QStringList &wanted) const
{
    return containsInOrder(texts, wanted);
}

bool containsInOrder(const QStringList &seen, const QStringList &wanted)
{
    int at = 0;
    for (const QString &text : seen) {
        if (at < wanted.size() && text == wanted.at(at))
            ++at;
    }
    return at == wanted.size();
}

// ---- TempFolderFence ----

TempFolderFence::TempFolderFence()
{
    hadValue = qEnvironmentVariableIsSet("TMPDIR");
    saved = qgetenv("TMPDIR");
    qputenv("TMPDIR", dir.path().toLocal8Bit());
}

TempFolderFence::~TempFolderFence()
{
    if (hadValue)
        qputenv("TMPDIR", saved);
    else
        qunsetenv("TMPDIR");
}

QStringList TempFolderFence::ingestFiles() const
{
    return QDir(dir.path()).entryList({QStringLiteral("kby-nuvix-*")}, QDir::Files | QDir::System);
}

// ---- ServiceProcess ----

ServiceProcess::~ServiceProcess()
{
    stop();
}

bool ServiceProcess::start(const QString &program, const QStringList &arguments, int timeoutMs)
{
    process = std::make_unique<QProcess>();
    process->setProgram(program);
    process->setArguments(arguments);
    // Their diagnostics would drown the test output.
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start();
    if (!process->waitForStarted(timeoutMs))
        return false;
    if (!waitForOutput(QStringLiteral("listening "), timeoutMs))
        return false;
    for (const QString &line : out.split('\n')) {
        if (line.startsWith(QLatin1String("listening ")))
            listenPort = line.mid(10).trimmed().toInt();
    }
    return listenPort > 0;
}

QString ServiceProcess::output()
{
    if (process)
        out += QString::fromUtf8(process->readAllStandardOutput());
    return out;
}

bool ServiceProcess::waitForOutput(const QString &text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!output().contains(text)) {
        if (deadline.hasExpired() || !process || process->state() == QProcess::NotRunning)
            return output().contains(text);
        // Keep the caller's event loop turning while waiting.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        process->waitForReadyRead(20);
    }
    return true;
}

void ServiceProcess::stop()
{
    if (!process)
        return;
    endProcess(*process);
    output();
    process.reset();
}

void endProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

int closedLoopbackPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const int port = server.serverPort();
    server.close();
    return port;
}

// ---- generated media ----

static QString testDataDir()
{
    const QString dir = QStringLiteral(NUVIX_TEST_DATA_DIR);
    QDir().mkpath(dir);
    return dir;
}

// Makes name with ffmpeg once; a private temporary name and a rename keep
// parallel test programs from seeing half a file.
static QString cachedMedia(const QString &name, const QStringList &arguments)
{
    const QString path = testDataDir() + QLatin1Char('/') + name;
    if (QFileInfo::exists(path))
        return path;
    const QString partial = path + QStringLiteral(".part%1.ts").arg(QCoreApplication::applicationPid());
    QProcess ffmpeg;
    QStringList args{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                     QStringLiteral("-y")};
    args << arguments << partial;
    ffmpeg.start(QStringLiteral("ffmpeg"), args);
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitStatus() != QProcess::NormalExit
        || ffmpeg.exitCode() != 0) {
        qWarning("ffmpeg failed: %s", ffmpeg.readAllStandardError().constData());
        ffmpeg.kill();
        ffmpeg.waitForFinished(5000);
        QFile::remove(partial);
        return QString();
    }
    QFile::remove(path);
    if (!QFile::rename(partial, path) && !QFileInfo::exists(path)) {
        QFile::remove(partial);
        return QString();
    }
    QFile::remove(partial);
    return path;
}

static QStringList videoSource(double seconds)
{
    return {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
            QStringLiteral("testsrc=size=320x240:rate=25:duration=%1").arg(seconds)};
}

static QStringList audioSource(double seconds)
{
    return {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
            QStringLiteral("sine=frequency=440:sample_rate=44100:duration=%1").arg(seconds)};
}

static const QStringList VIDEO_CODEC{QStringLiteral("-c:v"), QStringLiteral("libx264"),
                                     QStringLiteral("-preset"), QStringLiteral("ultrafast"),
                                     QStringLiteral("-g"), QStringLiteral("25"),
                                     QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p")};
static const QStringList AUDIO_CODEC{QStringLiteral("-c:a"), QStringLiteral("aac"),
                                     QStringLiteral("-b:a"), QStringLiteral("64k")};

QString generatedTs(double seconds)
{
    return cachedMedia(QStringLiteral("fe_av_%1s.ts").arg(seconds),
                       videoSource(seconds) + audioSource(seconds) + VIDEO_CODEC + AUDIO_CODEC
                           + QStringList{QStringLiteral("-f"), QStringLiteral("mpegts")});
}

QString generatedVideoOnlyTs(double seconds)
{
    return cachedMedia(QStringLiteral("fe_v_%1s.ts").arg(seconds),
                       videoSource(seconds) + VIDEO_CODEC
                           + QStringList{QStringLiteral("-f"), QStringLiteral("mpegts")});
}

QString generatedAudioOnlyTs(double seconds)
{
    return cachedMedia(QStringLiteral("fe_a_%1s.ts").arg(seconds),
                       audioSource(seconds) + AUDIO_CODEC
                           + QStringList{QStringLiteral("-f"), QStringLiteral("mpegts")});
}

bool processGone(qint64 pid)
{
    if (pid <= 0)
        return true;
    if (::kill(static_cast<pid_t>(pid), 0) != 0)
        return errno == ESRCH;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close >= 0 && text.mid(close + 2, 1) == "Z";
}

QList<qint64> childProcesses(qint64 pid)
{
    QList<qint64> pids;
    const QString id = QString::number(pid);
    QFile file(QStringLiteral("/proc/") + id + QStringLiteral("/task/") + id + QStringLiteral("/children"));
    if (!file.open(QIODevice::ReadOnly))
        return pids;
    for (const QByteArray &word : file.readAll().simplified().split(' ')) {
        if (!word.isEmpty())
            pids << word.toLongLong();
    }
    return pids;
}
