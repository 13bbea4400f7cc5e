#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

class QLabel;

// Helpers for front-end tests that run the engine, a stand-in for it, and the
// loopback services around it. Every wait is bounded.

// The scriptable stand-in engine (tests/support/fake_engine) in a folder of its
// own. While it lives, the window runs the stand-in instead of the engine next to
// the program; the destructor restores that and removes stop events left behind
// by runs that were killed.
class FakeEngine
{
public:
    FakeEngine();
    ~FakeEngine();

    bool isValid() const { return dir.isValid(); }
    QString program() const;
    // Steps for every run, or for run n (1-based) only; see the script.
    void setSteps(const QStringList &steps) const;
    void setSteps(int run, const QStringList &steps) const;
    // One object per run so far: "args", "pid", "ld_library_path", "input_text".
    QList<QJsonObject> runs() const;

private:
    QTemporaryDir dir;
};

// Records every distinct text a label shows, polling between events so that a
// status which stays for at least one turn of the event loop is seen.
class StatusRecorder : public QObject
{
public:
    explicit StatusRecorder(QLabel *label);
    QStringList seen() const { return texts; }
    // True when wanted appear in this order (other texts may stand between).
    bool sawInOrder(const QStringList &wanted) const;

private:
    void poll();
    QPointer<QLabel> label;
    QStringList texts;
    QTimer timer;
};

// True when wanted appear in seen in this order (other texts may stand between).
bool containsInOrder(const QStringList &seen, const QStringList &wanted);

// Points the system temporary folder (where the ingest input file goes) at a
// fresh folder for as long as it lives.
class TempFolderFence
{
public:
    TempFolderFence();
    ~TempFolderFence();
    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    // Names of the ingest input files in the folder now.
    QStringList ingestFiles() const;

private:
    QTemporaryDir dir;
    QByteArray saved;
    bool hadValue = false;
};

// A helper program run for the length of a test, reading its standard output.
class ServiceProcess
{
public:
    ServiceProcess() = default;
    ~ServiceProcess();
    // Starts program and waits for a line "listening <port>".
    bool start(const QString &program, const QStringList &arguments, int timeoutMs = 15000);
    int port() const { return listenPort; }
    // Waits until the output so far contains text.
    bool waitForOutput(const QString &text, int timeoutMs);
    QString output();
    void stop();

private:
    std::unique_ptr<QProcess> process;
    QString out;
    int listenPort = 0;
};

// Asks a running process to end, and kills it when it has not within 5 s.
void endProcess(QProcess &process);

// A TCP port on 127.0.0.1 that nobody listens on (free a moment ago).
int closedLoopbackPort();

// Paths of the build and the sources.
QString binDir();
QString sourceDir();
QString supportScript(const QString &name);

// Small media made with the ffmpeg tool on first use and cached in the test-data
// folder: H.264 + AAC in MPEG-TS of the given length. Empty on failure.
QString generatedTs(double seconds);
// Video-only H.264 and audio-only AAC in MPEG-TS.
QString generatedVideoOnlyTs(double seconds);
QString generatedAudioOnlyTs(double seconds);

// True when no process with this id exists any more (a zombie counts as gone).
bool processGone(qint64 pid);

// The child processes of a process right now (of its main thread).
QList<qint64> childProcesses(qint64 pid);
