#include "engine_events.h"
#include "engine_launch.h"
#include "engine_test_support.h"
#include "ingest_file.h"
#include "isolated_settings.h"
#include "nuvix_window.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>

// Engine supervision against the scriptable stand-in engine and the fake
// yt-dlp: launch, events, stop, exit handling and always-on.
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
    void eventLinesInTheWindow_data();
    void eventLinesInTheWindow();
    void stopHonoured();
    void stopIgnoredIsKilledAfterGrace();
    void noStopEventIsKilledAtOnce();
    void endings_data();
    void endings();
    void failedToStart();
    void alwaysOnReusesThenExtracts();
    void alwaysOnInputEndExtractsAgain();
    void buttonWhileReconnectingCancels();
    void untickWhileReconnecting();
    void stopWhileExtracting();
    void closeWhileExtractingKillsAndIgnores();
    void closeWhileEngineRuns();
    void destroyWhileEngineRuns();

private:
    // Fills the fields and the fake yt-dlp's answer for a start by the button.
    void prepareStart(const QStringList &ytDlpAddresses);
    QString ytDlpDir() const { return ytDlp->path(); }
    int ytDlpRuns() const;
    QString statusText() const { return window->lblStatus->text(); }
    bool buttonLooksRunning() const { return window->btnIngest->property("stop").toBool(); }
    void waitForRuns(int count, int timeoutMs = 10000);

    std::unique_ptr<IsolatedSettings> settings;
    std::unique_ptr<TempFolderFence> temp;
    std::unique_ptr<FakeEngine> engine;
    std::unique_ptr<QTemporaryDir> ytDlp;
    std::unique_ptr<NuvixWindow> window;
};

void SupervisionTest::init()
{
    settings = std::make_unique<IsolatedSettings>();
    QVERIFY(settings->isValid());
    ytDlp = std::make_unique<QTemporaryDir>();
    QVERIFY(ytDlp->isValid());
    qputenv("FAKE_YT_DLP_DIR", ytDlp->path().toLocal8Bit());
    {
        auto store = settings->store();
        store->setValue("YT_DLP_PATH", supportScript("fake_yt_dlp"));
        store->sync();
    }
    temp = std::make_unique<TempFolderFence>();
    QVERIFY(temp->isValid());
    engine = std::make_unique<FakeEngine>();
    QVERIFY(engine->isValid());

    window = std::make_unique<NuvixWindow>();
    window->restartDelayMs = 300;
    window->edtHost->setText("127.0.0.1");
    window->edtPort->setText("9001");
    window->edtStreamId->setText("cam 1");
}

void SupervisionTest::cleanup()
{
    if (window) {
        window->close();
        window.reset();
    }
    engine.reset();
    temp.reset();
    qunsetenv("FAKE_YT_DLP_DIR");
    ytDlp.reset();
    settings.reset();
}

void SupervisionTest::prepareStart(const QStringList &addresses)
{
    window->edtLink->setText("https://video.example/watch?v=abc&t=95");
    QFile out(ytDlpDir() + "/hls.out");
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write("format 96 1280x720 avc1 mp4a\n");
    for (const QString &address : addresses)
        out.write((address + "\n").toUtf8());
}

int SupervisionTest::ytDlpRuns() const
{
    // Extractions only: the version probe at start does not count.
    QFile calls(ytDlpDir() + "/calls");
    if (!calls.open(QIODevice::ReadOnly))
        return 0;
    int runs = 0;
    bool first = true;
    for (const QByteArray &line : calls.readAll().split('\n')) {
        if (first && !line.isEmpty() && line != "--version" && line != "--end--")
            ++runs;
        first = line == "--end--";
    }
    return runs;
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

    window->pageLink = page;
    window->launchEngine(media, video, audio);
    QCOMPARE(statusText(), QString("starting..."));
    QVERIFY(buttonLooksRunning());
    QVERIFY(window->btnIngest->isEnabled());
    const QString inputFile = window->inputFilePath;
    QVERIFY(inputFile.startsWith(QDir(temp->path()).absolutePath() + "/kby-nuvix-"));

    waitForRuns(1);
    const QJsonObject run = engine->runs().first();
    const QString srtUrl = "srt://127.0.0.1:9001?streamid=cam%201%2Alossless";
    QStringList args;
    for (const QJsonValue &v : run.value("args").toArray())
        args << v.toString();
    QCOMPARE(args, (QStringList{"--input-file", inputFile, "--srt-url", srtUrl, "--line", "1",
                                "--watch-pid", QString::number(QCoreApplication::applicationPid())}));
    QVERIFY(run.value("pid").toInt() != QCoreApplication::applicationPid());
    QCOMPARE(run.value("input_text").toString(),
             ingestFileText(page, startSeconds, media, video, audio));

    // The library folder two levels above the program does not exist here.
    QVERIFY(run.value("ld_library_path").isNull());
    const QString folder = QDir(QCoreApplication::applicationDirPath() + "/../../ffmpeg-lib/linux/lib")
                               .absolutePath();
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(window->logText.contains("FFmpeg DLL folder not found: " + folder + "\n"));
    QVERIFY(window->logText.contains("\nStarting kby_nuvix\n" + srtUrl + "\n"));

    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("finished"), 10000);
    QVERIFY(!buttonLooksRunning());
    QVERIFY(window->logText.contains("\nkby_nuvix exit 0\n"));
    QVERIFY(window->inputFilePath.isEmpty());
    QVERIFY(!QFileInfo::exists(inputFile));
    QCOMPARE(temp->ingestFiles(), QStringList());
    // The addresses stay for a restart.
    QCOMPARE(window->mediaUrl, media);
    QCOMPARE(window->videoUrl, video);
    QCOMPARE(window->audioUrl, audio);
}

void SupervisionTest::launchRefusals()
{
    // Engine missing: nothing written, the path logged, no restart either.
    window->chkAlwaysOn->setChecked(true);
    const QString missing = temp->path() + "/no_such_engine";
    setEngineProgramForTests(missing);
    window->launchEngine("http://h/m", QString(), QString());
    QCOMPARE(statusText(), QString("kby_nuvix not found"));
    QVERIFY(window->logText.endsWith(missing + "\n"));
    QCOMPARE(temp->ingestFiles(), QStringList());
    QVERIFY(!window->restartPending);
    QCOMPARE(window->mediaUrl, QString("http://h/m"));
    setEngineProgramForTests(engine->program());

    // A port changed to nonsense while yt-dlp ran: the written file goes again.
    window->edtPort->setText("70000");
    window->launchEngine(QString(), "http://h/v", "http://h/a");
    QCOMPARE(statusText(), QString("ip or port is invalid"));
    QVERIFY(!buttonLooksRunning());
    QVERIFY(window->inputFilePath.isEmpty());
    QCOMPARE(temp->ingestFiles(), QStringList());
    QVERIFY(!window->restartPending);
    QCOMPARE(window->videoUrl, QString("http://h/v"));

    // No usable temporary folder.
    qputenv("TMPDIR", (temp->path() + "/file-not-folder").toLocal8Bit());
    QFile blocker(temp->path() + "/file-not-folder");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    window->edtPort->setText("9001");
    window->launchEngine("http://h/m", QString(), QString());
    QCOMPARE(statusText(), QString("cannot create ingest input folder"));
    QVERIFY(engine->runs().isEmpty());
}

void SupervisionTest::eventsDriveTheStatus()
{
    engine->setSteps({"out {\"event\":\"opening_inputs\"}", "sleep 0.2",
                      "raw {\"event\":\"srt_con", "sleep 0.2", "raw nected\"}\\n", "sleep 0.2",
                      "out this is not an event", "out {\"event\":\"running\"}", "sleep 0.2",
                      "err engine log line", "out {\"event\":\"eof\"}", "sleep 0.2", "exit 0"});
    StatusRecorder recorder(window->lblStatus);
    window->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("finished"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!buttonLooksRunning(), 10000);
    QVERIFY2(recorder.sawInOrder({"starting...", "opening inputs...", "srt connected", "running",
                                  "finished"}),
             qPrintable(recorder.seen().join(" | ")));
    QVERIFY(!recorder.seen().contains("disconnected"));
    // Standard error is copied, event lines are not.
    QVERIFY(window->logText.contains("engine log line\n"));
    QVERIFY(!window->logText.contains("not an event"));
    QVERIFY(!window->logText.contains("\"event\""));
}

void SupervisionTest::eventLinesInTheWindow_data()
{
    QTest::addColumn<QStringList>("chunks");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("running");
    QTest::newRow("two lines in one chunk, in order")
        << QStringList{"{\"event\":\"srt_connected\"}\n{\"event\":\"running\"}\n"} << "running" << true;
    QTest::newRow("split line handled once complete")
        << QStringList{"{\"event\":\"err", "or\",\"detail\":\"mux_open_failed\"}", "\r\n"}
        << "failed: mux_open_failed" << true;
    QTest::newRow("no line feed yet") << QStringList{"{\"event\":\"running\"}"} << "idle" << false;
    QTest::newRow("unknown event and plain text")
        << QStringList{"{\"event\":\"bitrate\"}\nhello\n\n"} << "idle" << false;
    QTest::newRow("padded line") << QStringList{"   {\"event\":\"eof\"}  \n"} << "finished" << true;
}

void SupervisionTest::eventLinesInTheWindow()
{
    QFETCH(QStringList, chunks);
    QFETCH(QString, status);
    QFETCH(bool, running);
    window->setIdleStatus("idle");
    const QString logBefore = window->logText;
    for (const QString &chunk : chunks)
        window->handleEngineOutput(chunk);
    QCOMPARE(statusText(), status);
    QCOMPARE(buttonLooksRunning(), running);
    QCOMPARE(window->logText, logBefore);

    window->handleEngineStderr(QString());
    QCOMPARE(window->logText, logBefore);
    window->handleEngineStderr("a\r\nb");
    QCOMPARE(window->logText, logBefore + "a\r\nb");
}

void SupervisionTest::stopHonoured()
{
    engine->setSteps({"out {\"event\":\"running\"}", "wait-stop 30", "exit 9"});
    window->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);
    const QString inputFile = window->inputFilePath;
    QVERIFY(QFileInfo::exists(inputFile));
    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QVERIFY(window->logText.contains("stop: closing SRT\n"));
    QVERIFY(window->logText.contains("stop seen\n"));
    QVERIFY(window->logText.contains("\nkby_nuvix exit 0\n"));
    QVERIFY(window->logText.indexOf("stop: closing SRT") < window->logText.indexOf("kby_nuvix exit 0"));
    QVERIFY(!buttonLooksRunning());
    QVERIFY(!window->userStop);
    QVERIFY(!QFileInfo::exists(inputFile));
}

void SupervisionTest::stopIgnoredIsKilledAfterGrace()
{
    window->chkAlwaysOn->setChecked(true);
    engine->setSteps({"stop-event", "out {\"event\":\"running\"}", "sleep 30"});
    window->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);
    const qint64 pid = window->engineProc->processId();
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    const qint64 spent = clock.elapsed();
    QVERIFY2(spent >= 700 && spent < 5000, qPrintable(QString::number(spent)));
    QVERIFY(window->logText.contains("stop: closing SRT\n"));
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 5000);
    // Always-on does not bring back what the user stopped.
    QTest::qWait(window->restartDelayMs + 300);
    QCOMPARE(statusText(), QString("stopped"));
    QCOMPARE(engine->runs().size(), 1);
    QCOMPARE(temp->ingestFiles(), QStringList());
}

void SupervisionTest::noStopEventIsKilledAtOnce()
{
    engine->setSteps({"out {\"event\":\"running\"}", "sleep 30"});
    window->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    QVERIFY2(clock.elapsed() < 700, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QVERIFY(!window->logText.contains("stop: closing SRT"));
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
    window->chkAlwaysOn->setChecked(alwaysOn);
    engine->setSteps(steps);
    StatusRecorder recorder(window->lblStatus);
    window->launchEngine("http://h/m", QString(), QString());
    // An "eof" event shows "finished" before the exit: wait for the exit itself.
    QTRY_VERIFY_WITH_TIMEOUT(window->logText.contains("\nkby_nuvix exit"), 10000);
    QCOMPARE(statusText(), status);
    QVERIFY(!buttonLooksRunning());
    QVERIFY2(window->logText.contains(logged), qPrintable(window->logText));
    QVERIFY2(!window->logText.contains(notLogged), qPrintable(window->logText));
    QCOMPARE(temp->ingestFiles(), QStringList());
    // Nothing restarts behind the final message.
    QTest::qWait(window->restartDelayMs + 300);
    QCOMPARE(statusText(), status);
    QCOMPARE(engine->runs().size(), 1);
    QVERIFY(!recorder.seen().contains("reconnecting"));
}

void SupervisionTest::failedToStart()
{
    window->chkAlwaysOn->setChecked(true);
    const QString notRunnable = temp->path() + "/engine-without-exec-bit";
    QFile file(notRunnable);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    setEngineProgramForTests(notRunnable);

    window->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("failed to start kby_nuvix"), 10000);
    QVERIFY(!buttonLooksRunning());
    QVERIFY(window->inputFilePath.isEmpty());
    QCOMPARE(temp->ingestFiles(), QStringList());
    QTest::qWait(window->restartDelayMs + 300);
    QCOMPARE(statusText(), QString("failed to start kby_nuvix"));
    QVERIFY(!window->restartPending);
}

void SupervisionTest::alwaysOnReusesThenExtracts()
{
    window->chkAlwaysOn->setChecked(true);
    prepareStart({"http://127.0.0.1:1/only.m3u8"});
    // Every run drops its connection after a moment.
    engine->setSteps({"out {\"event\":\"running\"}", "sleep 0.1", "err connection lost", "exit 4"});
    // The fifth run keeps going until it is stopped.
    engine->setSteps(5, {"out {\"event\":\"running\"}", "wait-stop 30"});
    StatusRecorder recorder(window->lblStatus);

    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
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
    const QString log = window->logText;
    QCOMPARE(log.count("\nalways on: same links\n"), 2);
    QCOMPARE(log.count("\nalways on: extracting again\n"), 2);
    QVERIFY(log.indexOf("same links") < log.indexOf("extracting again"));
    QVERIFY(recorder.sawInOrder({"extracting...", "starting...", "running", "reconnecting",
                                 "starting...", "running", "reconnecting", "extracting..."}));
    // An always-on restart keeps the log of the start.
    QVERIFY(log.contains("\nkby_nuvix exit 4\n"));

    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QCOMPARE(temp->ingestFiles(), QStringList());
}

void SupervisionTest::alwaysOnInputEndExtractsAgain()
{
    window->chkAlwaysOn->setChecked(true);
    prepareStart({"http://127.0.0.1:1/v", "http://127.0.0.1:1/a"});
    engine->setSteps({"out {\"event\":\"eof\"}", "exit 0"});
    engine->setSteps(3, {"wait-stop 30"});
    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    waitForRuns(3, 20000);
    QCOMPARE(ytDlpRuns(), 3);
    QCOMPARE(window->logText.count("\nalways on: extracting again\n"), 2);
    QVERIFY(!window->logText.contains("same links"));
    QCOMPARE(window->videoUrl, QString("http://127.0.0.1:1/v"));
    QCOMPARE(window->audioUrl, QString("http://127.0.0.1:1/a"));
    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
}

void SupervisionTest::buttonWhileReconnectingCancels()
{
    window->chkAlwaysOn->setChecked(true);
    window->restartDelayMs = 1500;
    prepareStart({"http://127.0.0.1:1/m"});
    engine->setSteps({"exit 4"});
    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("reconnecting"), 10000);
    QVERIFY(buttonLooksRunning());
    QVERIFY(window->btnIngest->isEnabled());
    const int extractions = ytDlpRuns();

    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    QCOMPARE(statusText(), QString("stopped"));
    QVERIFY(!buttonLooksRunning());
    QTest::qWait(window->restartDelayMs + 500);
    QCOMPARE(statusText(), QString("stopped"));
    QCOMPARE(engine->runs().size(), 1);
    QCOMPARE(ytDlpRuns(), extractions);
}

void SupervisionTest::untickWhileReconnecting()
{
    window->chkAlwaysOn->setChecked(true);
    window->restartDelayMs = 800;
    prepareStart({"http://127.0.0.1:1/m"});
    engine->setSteps({"exit 0"});
    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("reconnecting"), 10000);
    const int extractions = ytDlpRuns();
    window->chkAlwaysOn->setChecked(false);
    QCOMPARE(statusText(), QString("reconnecting"));
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("disconnected"), 5000);
    QVERIFY(!buttonLooksRunning());
    QCOMPARE(engine->runs().size(), 1);
    QCOMPARE(ytDlpRuns(), extractions);
}

void SupervisionTest::stopWhileExtracting()
{
    window->chkAlwaysOn->setChecked(true);
    prepareStart({"http://127.0.0.1:1/m"});
    QFile sleep(ytDlpDir() + "/hls.sleep");
    QVERIFY(sleep.open(QIODevice::WriteOnly));
    sleep.write("30\n");
    sleep.close();
    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    QCOMPARE(statusText(), QString("extracting..."));
    QTRY_VERIFY_WITH_TIMEOUT(ytDlpRuns() == 1, 5000);
    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QTest::qWait(window->restartDelayMs + 300);
    QCOMPARE(statusText(), QString("stopped"));
    QVERIFY(engine->runs().isEmpty());
}

void SupervisionTest::closeWhileExtractingKillsAndIgnores()
{
    window->chkAlwaysOn->setChecked(true);
    window->extractTimeoutMs = 600;
    prepareStart({"http://127.0.0.1:1/m"});
    QFile sleep(ytDlpDir() + "/hls.sleep");
    QVERIFY(sleep.open(QIODevice::WriteOnly));
    sleep.write("30\n");
    sleep.close();
    QTest::mouseClick(window->btnIngest, Qt::LeftButton);
    // Everything yt-dlp prints has reached the log; then it only sleeps.
    QTRY_VERIFY_WITH_TIMEOUT(window->logText.contains("http://127.0.0.1:1/m\n"), 5000);
    QVERIFY(window->extractProc->state() == QProcess::Running);
    const qint64 pid = window->extractProc->processId();
    window->close();
    QVERIFY(window->closing);
    QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 5000);
    const QString status = statusText();
    const QString log = window->logText;
    // Past the extraction time-out and a restart delay: nothing acts any more.
    QTest::qWait(window->extractTimeoutMs + window->restartDelayMs + 500);
    QCOMPARE(statusText(), status);
    QVERIFY2(window->logText == log, qPrintable(window->logText.mid(log.size() - 40)));
    QVERIFY(!log.contains("Timed out"));
    QVERIFY(engine->runs().isEmpty());
    QCOMPARE(ytDlpRuns(), 1);
}

void SupervisionTest::closeWhileEngineRuns()
{
    window->chkAlwaysOn->setChecked(true);
    engine->setSteps({"out {\"event\":\"running\"}", "wait-stop 30"});
    window->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);
    const qint64 pid = window->engineProc->processId();
    window->close();
    // The close waits for the engine, so it is gone and its file removed now.
    QVERIFY(processGone(pid));
    QCOMPARE(temp->ingestFiles(), QStringList());
    QVERIFY(window->logText.contains("stop: closing SRT\n"));
    QTest::qWait(window->restartDelayMs + 300);
    QCOMPARE(engine->runs().size(), 1);
    QVERIFY(!window->restartPending);
}

void SupervisionTest::destroyWhileEngineRuns()
{
    engine->setSteps({"out {\"event\":\"running\"}", "sleep 30"});
    window->launchEngine("http://h/m", QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 10000);
    const qint64 pid = window->engineProc->processId();
    // Without a close first: the dying process must not reach the dying window.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Destroyed while process"));
    window.reset();
    QVERIFY(processGone(pid));
}

QTEST_MAIN(SupervisionTest)
#include "supervision_test.moc"
