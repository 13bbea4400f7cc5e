#include "engine_events.h"
#include "engine_launch.h"
#include "engine_test_support.h"
#include "ingest_file.h"
#include "isolated_settings.h"
#include "relay_session.h"
#include "relay_test_fixture.h"
#include "session_recorder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QtTest>

#include <memory>

namespace {

// The session with the page link of a start set directly, for launches on known addresses.
class TestSession : public RelaySession
{
public:
    void setPageLink(const QString &link) { currentPageLink = link; }
};

} // namespace

// Supervision of one relay session, without a window, against the scriptable
// stand-in engine and the fake yt-dlp: launch, events, stop, exit handling and
// always-on.
class SupervisionTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void launchPassesFileAndArguments_data();
    void launchPassesFileAndArguments();
    void launchRefusals();
    void eventsDriveTheStatus();
    void eventLinesInChunks_data();
    void eventLinesInChunks();
    void stopHonoured();
    void stopIgnoredIsKilledAfterGrace();
    void noStopEventIsKilledAtOnce();
    void endings_data();
    void endings();
    void failedToStart();
    void alwaysOnReusesThenExtracts();
    void alwaysOnInputEndExtractsAgain();
    void stopWhileReconnectingCancels();
    void alwaysOffWhileReconnecting();
    void stopWhileExtracting();
    void shutdownWhileExtractingKillsAndIgnores();
    void shutdownWhileEngineRuns();
    void destroyWhileEngineRuns();
    void srtModesReachTheEngine_data();
    void srtModesReachTheEngine();
    void statsAndListenerStatuses();
    void refusalAdviceInTheStatus_data();
    void refusalAdviceInTheStatus();

private:
    // The job and the fake yt-dlp's answer for a start.
    void prepareStart(const QStringList &ytDlpAddresses);
    QString ytDlpDir() const { return ytDlp->path(); }
    int ytDlpRuns() const { return ytDlp->extractions(); }
    void waitForRuns(int count, int timeoutMs = 10000);
    void setAlwaysOn(bool on)
    {
        job.alwaysOn = on;
        session->setJob(job);
    }
    void setPort(const QString &port)
    {
        job.srt.port = port;
        session->setJob(job);
    }
    // What the window's Start/Stop button does.
    void click()
    {
        if (session->isBusy())
            session->stop();
        else
            session->start();
    }
    QString statusText() const { return recorder->status(); }
    bool buttonLooksRunning() const { return recorder->activity == RelaySession::Activity::Active; }
    bool buttonEnabled() const { return recorder->activity != RelaySession::Activity::Extracting; }

    std::unique_ptr<IsolatedSettings> settings;
    std::unique_ptr<TempFolderFence> temp;
    std::unique_ptr<FakeEngine> engine;
    std::unique_ptr<FakeYtDlpFolder> ytDlp;
    std::unique_ptr<TestSession> session;
    std::unique_ptr<SessionRecorder> recorder;
    RelayJob job;
};

void SupervisionTest::init()
{
    settings = std::make_unique<IsolatedSettings>();
    QVERIFY(settings->isValid());
    ytDlp = std::make_unique<FakeYtDlpFolder>();
    QVERIFY(ytDlp->isValid());
    temp = std::make_unique<TempFolderFence>();
    QVERIFY(temp->isValid());
    engine = std::make_unique<FakeEngine>();
    QVERIFY(engine->isValid());

    session = std::make_unique<TestSession>();
    recorder = std::make_unique<SessionRecorder>(session.get());
    session->setRestartDelayMs(300);
    job = RelayJob();
    job.srt.host = "127.0.0.1";
    job.srt.port = "9001";
    job.srt.streamId = "cam 1";
    job.ytDlpPath = supportScript("fake_yt_dlp");
    session->setJob(job);
}

void SupervisionTest::cleanup()
{
    if (session) {
        session->shutdown();
        recorder.reset();
        session.reset();
    }
    engine.reset();
    temp.reset();
    ytDlp.reset();
    settings.reset();
}

void SupervisionTest::prepareStart(const QStringList &addresses)
{
    job.link = "https://video.example/watch?v=abc&t=95";
    session->setJob(job);
    QVERIFY(ytDlp->setAnswer(QStringList{"format 96 1280x720 avc1 mp4a"} + addresses));
}

void SupervisionTest::waitForRuns(int count, int timeoutMs)
{
    QTRY_COMPARE_WITH_TIMEOUT(engine->runs().size(), count, timeoutMs);
}

void SupervisionTest::launchPassesFileAndArguments_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("media");
    QTest::addColumn<QString>("video");
    QTest::addColumn<QString>("audio");
    QTest::addColumn<int>("startSeconds");
    QTest::newRow("media with offset")
        << "https://www.youtube.com/watch?v=abc&t=95" << "http://127.0.0.1:1/m\"x\\y.ts" << "" << ""
        << 95;
    QTest::newRow("pair")
        << "https://vk.com/video-1_2" << "" << "http://127.0.0.1:1/v" << "http://127.0.0.1:1/a" << 0;
}

void SupervisionTest::launchPassesFileAndArguments()
{
    QFETCH(QString, page);
    QFETCH(QString, media);
    QFETCH(QString, video);
    QFETCH(QString, audio);
    QFETCH(int, startSeconds);
    engine->setSteps({"exit 0"});
    qunsetenv("LD_LIBRARY_PATH");

    session->setPageLink(page);
    session->launchEngine(media, video, audio);
    QCOMPARE(statusText(), QString("starting..."));
    QVERIFY(buttonLooksRunning());
    QVERIFY(buttonEnabled());
    const QString inputFile = session->inputFilePath();
    QVERIFY(inputFile.startsWith(QDir(temp->path()).absolutePath() + "/kby-nuvix-"));

    waitForRuns(1);
    const QJsonObject run = engine->runs().first();
    const QString srtUrl = "srt://127.0.0.1:9001?streamid=cam%201%2Alossless";
    QStringList args;
    for (const QJsonValue &v : run.value("args").toArray())
        args << v.toString();
    QCOMPARE(args, (QStringList{"--input-file", inputFile, "--srt-url", srtUrl, "--line", "1",
                                "--watch-pid", QString::number(QCoreApplication::applicationPid()),
                                "--stats-interval", "1"}));
    QVERIFY(run.value("pid").toInt() != QCoreApplication::applicationPid());
    QCOMPARE(run.value("input_text").toString(),
             ingestFileText(page, startSeconds, media, video, audio));

    // The library folder two levels above the program does not exist here.
    QVERIFY(run.value("ld_library_path").isNull());
    const QString folder = QDir(QCoreApplication::applicationDirPath() + "/../../ffmpeg-lib/linux/lib")
                               .absolutePath();
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(recorder->log.contains("FFmpeg DLL folder not found: " + folder + "\n"));
    QVERIFY(recorder->log.contains("\nStarting kby_nuvix\n" + srtUrl + "\n"));

    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("finished"), 10000);
    QVERIFY(!buttonLooksRunning());
    QVERIFY(recorder->log.contains("\nkby_nuvix exit 0\n"));
    QVERIFY(session->inputFilePath().isEmpty());
    QVERIFY(!QFileInfo::exists(inputFile));
    QCOMPARE(temp->ingestFiles(), QStringList());
    // The addresses stay for a restart.
    QCOMPARE(session->mediaUrl(), media);
    QCOMPARE(session->videoUrl(), video);
    QCOMPARE(session->audioUrl(), audio);
}

void SupervisionTest::launchRefusals()
{
    // Engine missing: nothing written, the path logged, no restart either.
    setAlwaysOn(true);
    const QString missing = temp->path() + "/no_such_engine";
    setEngineProgramForTests(missing);
    session->launchEngine("http://h/m", QString(), QString());
    QCOMPARE(statusText(), QString("kby_nuvix not found"));
    QVERIFY(recorder->log.endsWith(missing + "\n"));
    QCOMPARE(temp->ingestFiles(), QStringList());
    QVERIFY(!session->isRestartPending());
    QCOMPARE(session->mediaUrl(), QString("http://h/m"));
    setEngineProgramForTests(engine->program());

    // A port changed to nonsense while yt-dlp ran: the written file goes again.
    setPort("70000");
    session->launchEngine(QString(), "http://h/v", "http://h/a");
    QCOMPARE(statusText(), QString("ip or port is invalid"));
    QVERIFY(!buttonLooksRunning());
    QVERIFY(session->inputFilePath().isEmpty());
    QCOMPARE(temp->ingestFiles(), QStringList());
    QVERIFY(!session->isRestartPending());
    QCOMPARE(session->videoUrl(), QString("http://h/v"));

    // No usable temporary folder.
    qputenv("TMPDIR", (temp->path() + "/file-not-folder").toLocal8Bit());
    QFile blocker(temp->path() + "/file-not-folder");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    setPort("9001");
    session->launchEngine("http://h/m", QString(), QString());
    QCOMPARE(statusText(), QString("cannot create ingest input folder"));
    QVERIFY(engine->runs().isEmpty());
}

void SupervisionTest::eventsDriveTheStatus()
{
    engine->setSteps({"out {\"event\":\"opening_inputs\"}", "sleep 0.2",
                      "raw {\"event\":\"srt_con", "sleep 0.2", "raw nected\"}\\n", "sleep 0.2",
                      "out this is not an event", "out {\"event\":\"running\"}", "sleep 0.2",
                      "err engine log line", "out {\"event\":\"eof\"}", "sleep 0.2", "exit 0"});
    session->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("finished"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!buttonLooksRunning(), 10000);
    QVERIFY2(recorder->sawInOrder({"starting...", "opening inputs...", "srt connected", "running", "finished"}),
             qPrintable(recorder->statuses.join(" | ")));
    QVERIFY(!recorder->statuses.contains("disconnected"));
    // Standard error is copied, event lines are not.
    QVERIFY(recorder->log.contains("engine log line\n"));
    QVERIFY(!recorder->log.contains("not an event"));
    QVERIFY(!recorder->log.contains("\"event\""));
}

void SupervisionTest::eventLinesInChunks_data()
{
    QTest::addColumn<QStringList>("chunks");
    QTest::addColumn<QString>("status");
    QTest::newRow("two lines in one chunk, in order")
        << QStringList{"{\"event\":\"srt_connected\"}\\n{\"event\":\"running\"}\\n"} << "running";
    QTest::newRow("split line handled once complete")
        << QStringList{"{\"event\":\"err", "or\",\"detail\":\"mux_open_failed\"}", "\\r\\n"}
        << "failed: mux_open_failed";
    QTest::newRow("no line feed yet") << QStringList{"{\"event\":\"running\"}"} << "starting...";
    QTest::newRow("unknown event and plain text")
        << QStringList{"{\"event\":\"bitrate\"}\\nhello\\n\\n"} << "starting...";
    QTest::newRow("padded line") << QStringList{"   {\"event\":\"eof\"}  \\n"} << "finished";
}

void SupervisionTest::eventLinesInChunks()
{
    QFETCH(QStringList, chunks);
    QFETCH(QString, status);
    // Each chunk in a write of its own, then a mark on standard error once all are out.
    QStringList steps;
    for (const QString &chunk : chunks)
        steps << "raw " + chunk << "sleep 0.1";
    steps << "sleep 0.2" << "rawerr a\\r\\nb" << "err done" << "wait-stop 30";
    engine->setSteps(steps);
    session->launchEngine("http://h/m", QString(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(recorder->log.contains("done\n"), 10000);
    QCOMPARE(statusText(), status);
    QVERIFY(buttonLooksRunning());
    // Standard error is copied as it is; event lines and plain output are not.
    QVERIFY(recorder->log.contains("a\r\nbdone\n"));
    QVERIFY(!recorder->log.contains("event"));
    QVERIFY(!recorder->log.contains("hello"));
    click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
}

void SupervisionTest::stopHonoured()
{
    engine->setSteps({"out {\"event\":\"running\"}", "wait-stop 30", "exit 9"});
    session->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);
    const QString inputFile = session->inputFilePath();
    QVERIFY(QFileInfo::exists(inputFile));
    click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QVERIFY(recorder->log.contains("stop: closing SRT\n"));
    QVERIFY(recorder->log.contains("stop seen\n"));
    QVERIFY(recorder->log.contains("\nkby_nuvix exit 0\n"));
    QVERIFY(recorder->log.indexOf("stop: closing SRT") < recorder->log.indexOf("kby_nuvix exit 0"));
    QVERIFY(!buttonLooksRunning());
    QVERIFY(!QFileInfo::exists(inputFile));

    // The stop ended with that run: the next run's end is its own.
    engine->setSteps(2, {"out {\"event\":\"eof\"}", "exit 0"});
    session->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("finished"), 10000);
}

void SupervisionTest::stopIgnoredIsKilledAfterGrace()
{
    setAlwaysOn(true);
    engine->setSteps({"stop-event", "out {\"event\":\"running\"}", "sleep 30"});
    session->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);
    const qint64 pid = session->engineProcess()->processId();
    QElapsedTimer clock;
    clock.start();
    click();
    const qint64 spent = clock.elapsed();
    QVERIFY2(spent >= 700 && spent < 5000, qPrintable(QString::number(spent)));
    QVERIFY(recorder->log.contains("stop: closing SRT\n"));
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 5000);
    // Always-on does not bring back what the user stopped.
    QTest::qWait(session->restartDelay() + 300);
    QCOMPARE(statusText(), QString("stopped"));
    QCOMPARE(engine->runs().size(), 1);
    QCOMPARE(temp->ingestFiles(), QStringList());
}

void SupervisionTest::noStopEventIsKilledAtOnce()
{
    engine->setSteps({"out {\"event\":\"running\"}", "sleep 30"});
    session->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);
    QElapsedTimer clock;
    clock.start();
    click();
    QVERIFY2(clock.elapsed() < 700, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QVERIFY(!recorder->log.contains("stop: closing SRT"));
    QCOMPARE(temp->ingestFiles(), QStringList());
}

void SupervisionTest::endings_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("alwaysOn");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("logged");    // must be in the log
    QTest::addColumn<QString>("notLogged"); // must not be in the log

    const QString loader = "err kby_nuvix: error while loading shared libraries: libsrt.so.1.5: "
                           "cannot open shared object file: No such file or directory";
    QTest::newRow("libraries missing, always on")
        << QStringList{loader, "exit 127"} << true << libraryMissingStatus()
        << "\nkby_nuvix exit 127\n" << "always on";
    QTest::newRow("error event without engine log")
        << QStringList{"out {\"event\":\"error\",\"detail\":\"mux_open_failed\"}", "exit 3"} << false
        << "disconnected" << "\nkby_nuvix exit 3\nfailed: mux_open_failed\n" << "always on";
    QTest::newRow("error event with engine log")
        << QStringList{"err cannot connect", "out {\"event\":\"error\",\"detail\":\"mux_open_failed\"}",
                       "exit 3"}
        << false << "disconnected" << "cannot connect\n" << "failed: mux_open_failed\n";
    QTest::newRow("crash")
        << QStringList{"out {\"event\":\"running\"}", "sleep 0.2", "crash"} << false << "disconnected"
        << "\nkby_nuvix exit" << "always on";
    QTest::newRow("input ended") << QStringList{"out {\"event\":\"eof\"}", "exit 0"} << false
                                 << "finished" << "\nkby_nuvix exit 0\n" << "always on";
    QTest::newRow("last event without line feed is never read")
        << QStringList{"out {\"event\":\"running\"}", "raw {\"event\":\"eof\"}", "exit 4"} << false
        << "disconnected" << "\nkby_nuvix exit 4\n" << "finished";
}

void SupervisionTest::endings()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, alwaysOn);
    QFETCH(QString, status);
    QFETCH(QString, logged);
    QFETCH(QString, notLogged);
    setAlwaysOn(alwaysOn);
    engine->setSteps(steps);
    session->launchEngine("http://h/m", QString(), QString());
    // An "eof" event shows "finished" before the exit: wait for the exit itself.
    QTRY_VERIFY_WITH_TIMEOUT(recorder->log.contains("\nkby_nuvix exit"), 10000);
    QCOMPARE(statusText(), status);
    QVERIFY(!buttonLooksRunning());
    QVERIFY2(recorder->log.contains(logged), qPrintable(recorder->log));
    QVERIFY2(!recorder->log.contains(notLogged), qPrintable(recorder->log));
    QCOMPARE(temp->ingestFiles(), QStringList());
    // Nothing restarts behind the final message.
    QTest::qWait(session->restartDelay() + 300);
    QCOMPARE(statusText(), status);
    QCOMPARE(engine->runs().size(), 1);
    QVERIFY(!recorder->statuses.contains("reconnecting"));
}

void SupervisionTest::failedToStart()
{
    setAlwaysOn(true);
    const QString notRunnable = temp->path() + "/engine-without-exec-bit";
    QFile file(notRunnable);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    setEngineProgramForTests(notRunnable);

    session->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("failed to start kby_nuvix"), 10000);
    QVERIFY(!buttonLooksRunning());
    QVERIFY(session->inputFilePath().isEmpty());
    QCOMPARE(temp->ingestFiles(), QStringList());
    QTest::qWait(session->restartDelay() + 300);
    QCOMPARE(statusText(), QString("failed to start kby_nuvix"));
    QVERIFY(!session->isRestartPending());
}

void SupervisionTest::alwaysOnReusesThenExtracts()
{
    setAlwaysOn(true);
    prepareStart({"http://127.0.0.1:1/only.m3u8"});
    // Every run drops its connection after a moment.
    engine->setSteps({"out {\"event\":\"running\"}", "sleep 0.1", "err connection lost", "exit 4"});
    // The fifth run keeps going until it is stopped.
    engine->setSteps(5, {"out {\"event\":\"running\"}", "wait-stop 30"});

    click();
    waitForRuns(5, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);

    // Run 1 after extraction, run 2 the same links, run 3 after a new
    // extraction, run 4 the same links again, run 5 after extraction.
    QCOMPARE(ytDlpRuns(), 3);
    const QList<QJsonObject> runs = engine->runs();
    for (const QJsonObject &run : runs) {
        QCOMPARE(run.value("input_text").toString(),
                 ingestFileText("https://video.example/watch?v=abc&t=95", 0,
                                "http://127.0.0.1:1/only.m3u8", QString(), QString()));
    }
    QCOMPARE(recorder->log.count("\nalways on: same links\n"), 2);
    QCOMPARE(recorder->log.count("\nalways on: extracting again\n"), 2);
    QVERIFY(recorder->log.indexOf("same links") < recorder->log.indexOf("extracting again"));
    QVERIFY(recorder->sawInOrder({"extracting...", "starting...", "running", "reconnecting", "starting...",
                        "running", "reconnecting", "extracting..."}));
    // An always-on restart keeps the log of the start; only the user's start began it afresh.
    QVERIFY(recorder->log.contains("\nkby_nuvix exit 4\n"));
    QCOMPARE(recorder->logRestarts, 1);

    click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QCOMPARE(temp->ingestFiles(), QStringList());
}

void SupervisionTest::alwaysOnInputEndExtractsAgain()
{
    setAlwaysOn(true);
    prepareStart({"http://127.0.0.1:1/v", "http://127.0.0.1:1/a"});
    engine->setSteps({"out {\"event\":\"eof\"}", "exit 0"});
    engine->setSteps(3, {"wait-stop 30"});
    click();
    waitForRuns(3, 20000);
    QCOMPARE(ytDlpRuns(), 3);
    QCOMPARE(recorder->log.count("\nalways on: extracting again\n"), 2);
    QVERIFY(!recorder->log.contains("same links"));
    QCOMPARE(session->videoUrl(), QString("http://127.0.0.1:1/v"));
    QCOMPARE(session->audioUrl(), QString("http://127.0.0.1:1/a"));
    click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
}

void SupervisionTest::stopWhileReconnectingCancels()
{
    setAlwaysOn(true);
    session->setRestartDelayMs(1500);
    prepareStart({"http://127.0.0.1:1/m"});
    engine->setSteps({"exit 4"});
    click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("reconnecting"), 10000);
    QVERIFY(buttonLooksRunning());
    QVERIFY(buttonEnabled());
    const int extractions = ytDlpRuns();

    click();
    QCOMPARE(statusText(), QString("stopped"));
    QVERIFY(!buttonLooksRunning());
    QTest::qWait(session->restartDelay() + 500);
    QCOMPARE(statusText(), QString("stopped"));
    QCOMPARE(engine->runs().size(), 1);
    QCOMPARE(ytDlpRuns(), extractions);
}

void SupervisionTest::alwaysOffWhileReconnecting()
{
    setAlwaysOn(true);
    session->setRestartDelayMs(800);
    prepareStart({"http://127.0.0.1:1/m"});
    engine->setSteps({"exit 0"});
    click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("reconnecting"), 10000);
    const int extractions = ytDlpRuns();
    setAlwaysOn(false);
    QCOMPARE(statusText(), QString("reconnecting"));
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("disconnected"), 5000);
    QVERIFY(!buttonLooksRunning());
    QCOMPARE(engine->runs().size(), 1);
    QCOMPARE(ytDlpRuns(), extractions);
}

void SupervisionTest::stopWhileExtracting()
{
    setAlwaysOn(true);
    prepareStart({"http://127.0.0.1:1/m"});
    QFile sleep(ytDlpDir() + "/hls.sleep");
    QVERIFY(sleep.open(QIODevice::WriteOnly));
    sleep.write("30\n");
    sleep.close();
    click();
    QCOMPARE(statusText(), QString("extracting..."));
    QTRY_VERIFY_WITH_TIMEOUT(ytDlpRuns() == 1, 5000);
    click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QTest::qWait(session->restartDelay() + 300);
    QCOMPARE(statusText(), QString("stopped"));
    QVERIFY(engine->runs().isEmpty());
}

void SupervisionTest::shutdownWhileExtractingKillsAndIgnores()
{
    setAlwaysOn(true);
    session->setExtractTimeoutMs(600);
    prepareStart({"http://127.0.0.1:1/m"});
    QFile sleep(ytDlpDir() + "/hls.sleep");
    QVERIFY(sleep.open(QIODevice::WriteOnly));
    sleep.write("30\n");
    sleep.close();
    click();
    // Everything yt-dlp prints has reached the log; then it only sleeps.
    QTRY_VERIFY_WITH_TIMEOUT(recorder->log.contains("http://127.0.0.1:1/m\n"), 5000);
    QVERIFY(session->extractorProcess()->state() == QProcess::Running);
    const qint64 pid = session->extractorProcess()->processId();
    session->shutdown();
    QVERIFY(session->isShutDown());
    QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 5000);
    const QString status = statusText();
    const QString logAtShutdown = recorder->log;
    // Past the extraction time-out and a restart delay: nothing acts any more.
    QTest::qWait(session->extractTimeout() + session->restartDelay() + 500);
    QCOMPARE(statusText(), status);
    QVERIFY2(recorder->log == logAtShutdown, qPrintable(recorder->log.mid(logAtShutdown.size())));
    QVERIFY(!recorder->log.contains("Timed out"));
    QVERIFY(engine->runs().isEmpty());
    QCOMPARE(ytDlpRuns(), 1);
}

void SupervisionTest::shutdownWhileEngineRuns()
{
    setAlwaysOn(true);
    engine->setSteps({"out {\"event\":\"running\"}", "wait-stop 30"});
    session->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);
    const qint64 pid = session->engineProcess()->processId();
    session->shutdown();
    // The close waits for the engine, so it is gone and its file removed now.
    QVERIFY(processGone(pid));
    QCOMPARE(temp->ingestFiles(), QStringList());
    QVERIFY(recorder->log.contains("stop: closing SRT\n"));
    QTest::qWait(session->restartDelay() + 300);
    QCOMPARE(engine->runs().size(), 1);
    QVERIFY(!session->isRestartPending());
}

void SupervisionTest::destroyWhileEngineRuns()
{
    engine->setSteps({"out {\"event\":\"running\"}", "sleep 30"});
    session->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);
    const qint64 pid = session->engineProcess()->processId();
    // Without a shutdown first: the dying process must not reach the dying session.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Destroyed while process"));
    session.reset();
    QVERIFY(processGone(pid));
}

void SupervisionTest::srtModesReachTheEngine_data()
{
    QTest::addColumn<bool>("live");
    QTest::addColumn<bool>("listener");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("latency");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<QString>("srtUrl");
    QTest::addColumn<int>("statsInterval");

    QTest::newRow("file caller with passphrase: the address of old")
        << false << false << "127.0.0.1" << "" << "pass phrase \"10\"" << "srt://127.0.0.1:9001?streamid=cam%201%2Alossless"
        << 1;
    QTest::newRow("live listener on every address, latency")
        << true << true << "" << "200" << "" << "srt://:9001?streamid=cam%201&transtype=live&mode=listener&latency=200"
        << 5;
    QTest::newRow("file with latency, no figures") << false << false << "10.0.0.5" << "120" << "secretsecret"
                                                   << "srt://10.0.0.5:9001?streamid=cam%201%2Alossless&latency=120"
                                                   << 0;
}

void SupervisionTest::srtModesReachTheEngine()
{
    QFETCH(bool, live);
    QFETCH(bool, listener);
    QFETCH(QString, host);
    QFETCH(QString, latency);
    QFETCH(QString, passphrase);
    QFETCH(QString, srtUrl);
    QFETCH(int, statsInterval);
    job.srt.host = host;
    job.srt.live = live;
    job.srt.listener = listener;
    job.srt.latency = latency;
    job.srt.passphrase = passphrase;
    session->setJob(job);
    session->setStatsInterval(statsInterval);
    session->setPageLink("https://video.example/p");
    engine->setSteps({"exit 0"});
    session->launchEngine("http://h/m", QString(), QString());
    waitForRuns(1);
    const QJsonObject run = engine->runs().first();
    QStringList args;
    for (const QJsonValue &v : run.value("args").toArray())
        args << v.toString();
    QCOMPARE(args.mid(2, 2), (QStringList{"--srt-url", srtUrl}));
    QCOMPARE(args.contains("--stats-interval"), statsInterval > 0);
    if (statsInterval > 0)
        QCOMPARE(args.last(), QString::number(statsInterval));
    // The passphrase goes through the owner-only input file, never the command line.
    QCOMPARE(run.value("input_text").toString(),
             ingestFileText("https://video.example/p", 0, "http://h/m", QString(), QString(), passphrase));
    if (!passphrase.isEmpty()) {
        for (const QString &arg : args)
            QVERIFY2(!arg.contains("pass"), qPrintable(arg));
        QVERIFY(!recorder->log.contains(passphrase));
    }
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("finished"), 10000);
}

void SupervisionTest::statsAndListenerStatuses()
{
    job.srt.listener = true;
    job.srt.port = "9301";
    session->setJob(job);
    QList<SrtStats> figures;
    connect(session.get(), &RelaySession::statsChanged, this, [&figures](const SrtStats &s) { figures << s; });
    engine->setSteps({"out {\"event\":\"opening_inputs\"}", "out {\"event\":\"srt_listening\"}", "sleep 0.2",
                      "out {\"event\":\"srt_connected\"}", "out {\"event\":\"running\"}", "sleep 0.2",
                      "out {\"event\":\"srt_stats\",\"mbps\":6.21,\"rtt_ms\":3.1,\"sent\":2000,\"lost\":3,"
                      "\"retrans\":2,\"buffer_ms\":14,\"bytes\":1234567}",
                      "err SRT stats: 1234567 bytes in 2000 packets, lost 3, retransmitted 2, RTT 3.1 ms",
                      "out {\"event\":\"eof\"}", "exit 0"});
    session->launchEngine("http://h/m", QString(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(recorder->log.contains("\nkby_nuvix exit 0\n"), 10000);
    QCOMPARE(recorder->statuses, (QStringList{"starting...", "opening inputs...", "waiting for a receiver on port 9301",
                                    "srt connected", "running", "running  6.2 Mb/s  RTT 3 ms  loss 0.1%",
                                    "finished", "finished"}));
    QCOMPARE(figures.size(), 1);
    QCOMPARE(figures.first().bytes, 1234567);
    QCOMPARE(figures.first().retrans, 2);
    // The end summary is the engine's log line, copied like any other.
    QVERIFY(recorder->log.contains("SRT stats: 1234567 bytes in 2000 packets, lost 3, retransmitted 2, RTT 3.1 ms\n"));
}

void SupervisionTest::refusalAdviceInTheStatus_data()
{
    QTest::addColumn<bool>("alwaysOn");
    QTest::addColumn<QString>("status");
    const QString advice = "the receiver expects live mode; add transtype=live to the SRT address";
    QTest::newRow("once") << false << advice;
    QTest::newRow("always on") << true << "reconnecting: " + advice;
}

void SupervisionTest::refusalAdviceInTheStatus()
{
    QFETCH(bool, alwaysOn);
    QFETCH(QString, status);
    setAlwaysOn(alwaysOn);
    session->setRestartDelayMs(5000);
    engine->setSteps({"err 2026-01-31 18:05:09  SRT connect failed: Connection setup failure: connection rejected",
                      "err 2026-01-31 18:05:09  SRT hint: the receiver expects live mode; add transtype=live to "
                      "the SRT address",
                      "sleep 0.2", "out {\"event\":\"error\",\"detail\":\"mux_open_failed\"}", "exit 3"});
    session->launchEngine("http://h/m", QString(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(recorder->log.contains("\nkby_nuvix exit 3\n"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), status, 5000);
    QVERIFY(recorder->sawInOrder({"the receiver expects live mode; add transtype=live to the SRT address", status}));
    QCOMPARE(session->isRestartPending(), alwaysOn);
}

QTEST_GUILESS_MAIN(SupervisionTest)
#include "supervision_test.moc"
