#include "relay_session.h"
#include "relay_test_fixture.h"
#include "session_recorder.h"

#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <memory>

// One relay session with the real engine and no window: a fake yt-dlp names
// media served over loopback HTTP, and the TS goes to a loopback SRT listener.
class SessionEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void statusesInOrderThenStop();
    void alwaysOnReusesThenExtractsAgain();
    void stopDuringExtraction();

private:
    void startListener(const QStringList &extraArgs = {});
    int extractions() const { return rig.work->calls(); }
    int engineStarts() const { return recorder->log.count("\nStarting kby_nuvix\n"); }

    QString longMedia;
    RelayTestFixture rig;
    std::unique_ptr<RelaySession> session;
    std::unique_ptr<SessionRecorder> recorder;
    RelayJob job;
};

void SessionEndToEndTest::initTestCase()
{
    QVERIFY2(QFileInfo(binDir() + "/kby_nuvix").isExecutable(), "the engine is not built");
    longMedia = generatedTs(40);
    QVERIFY(!longMedia.isEmpty());
}

void SessionEndToEndTest::init()
{
    rig.setUp(longMedia);
    if (QTest::currentTestFailed())
        return;

    session = std::make_unique<RelaySession>();
    recorder = std::make_unique<SessionRecorder>(session.get());
    session->setRestartDelayMs(300);
    job = RelayJob();
    job.link = "https://video.example/watch?v=session";
    job.srt.host = "127.0.0.1";
    job.srt.streamId = "e2e";
    job.ytDlpPath = supportScript("fake_yt_dlp");
}

void SessionEndToEndTest::cleanup()
{
    if (session)
        session->shutdown();
    recorder.reset();
    session.reset();
    rig.tearDown();
}

void SessionEndToEndTest::startListener(const QStringList &extraArgs)
{
    QVERIFY(rig.startListener(extraArgs));
    job.srt.port = QString::number(rig.listener->port());
}

void SessionEndToEndTest::statusesInOrderThenStop()
{
    startListener();
    rig.answerWith({longMedia});
    session->setJob(job);
    session->start();
    QTRY_COMPARE_WITH_TIMEOUT(recorder->status(), QString("running"), 20000);
    // Every status arrives as a signal, so none is missed between two reads.
    QCOMPARE(recorder->statuses, (QStringList{"extracting...", "starting...", "opening inputs...",
                                              "srt connected", "running"}));
    QCOMPARE(recorder->activity, RelaySession::Activity::Active);
    QVERIFY(rig.listener->waitForOutput("accepted streamid=e2e*lossless", 5000));
    QTRY_VERIFY_WITH_TIMEOUT(rig.received().size() > 188 * 7 * 20, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.temp->ingestFiles(), QStringList(), 5000);

    const qint64 pid = session->engineProcess()->processId();
    session->stop();
    QTRY_COMPARE_WITH_TIMEOUT(recorder->status(), QString("stopped"), 5000);
    QCOMPARE(recorder->activity, RelaySession::Activity::Idle);
    QCOMPARE(recorder->endings, QList<RelaySession::Ending>{RelaySession::Ending::Stopped});
    QVERIFY(recorder->log.contains("stop: closing SRT\n"));
    QVERIFY(recorder->log.contains("\nkby_nuvix exit 0\n"));
    QVERIFY(processGone(pid));
    QVERIFY(!QFile::exists("/dev/shm/sem.kby_nuvix_stop_" + QString::number(pid)));
    QVERIFY(session->inputFilePath().isEmpty());
    QVERIFY(!session->isBusy());
}

void SessionEndToEndTest::alwaysOnReusesThenExtractsAgain()
{
    // The listener closes every connection after a little TS: each engine run drops.
    startListener({"--mode", "close-after-bytes=40000"});
    rig.answerWith({longMedia});
    job.alwaysOn = true;
    session->setJob(job);
    session->start();

    // Run 1 after extraction, run 2 with the same addresses, run 3 after a new extraction.
    QTRY_VERIFY_WITH_TIMEOUT(engineStarts() >= 3, 90000);
    const QString log = recorder->log;
    const int same = log.indexOf("\nalways on: same links\n");
    const int again = log.indexOf("\nalways on: extracting again\n");
    QVERIFY2(same >= 0 && again > same, qPrintable(log));
    QVERIFY(extractions() >= 2);
    QVERIFY(recorder->sawInOrder({"extracting...", "starting...", "running", "reconnecting", "starting...",
                                  "reconnecting", "extracting...", "starting..."}));
    // Nothing went idle on the way.
    QVERIFY(recorder->endings.isEmpty());

    session->stop();
    QTRY_COMPARE_WITH_TIMEOUT(recorder->status(), QString("stopped"), 10000);
    const int starts = engineStarts();
    QTest::qWait(session->restartDelay() + 700);
    QCOMPARE(engineStarts(), starts);
    QCOMPARE(recorder->endings, QList<RelaySession::Ending>{RelaySession::Ending::Stopped});
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
}

void SessionEndToEndTest::stopDuringExtraction()
{
    startListener();
    rig.answerWith({longMedia});
    QFile sleep(rig.work->path() + "/hls.sleep");
    QVERIFY(sleep.open(QIODevice::WriteOnly));
    sleep.write("30\n");
    sleep.close();
    job.alwaysOn = true;
    session->setJob(job);
    session->start();
    QTRY_VERIFY_WITH_TIMEOUT(session->extractorProcess()
                                 && session->extractorProcess()->state() == QProcess::Running, 5000);
    QVERIFY(session->isBusy());
    session->stop();
    QTRY_COMPARE_WITH_TIMEOUT(recorder->status(), QString("stopped"), 5000);
    QTest::qWait(session->restartDelay() + 300);
    QCOMPARE(recorder->statuses, (QStringList{"extracting...", "stopped"}));
    QCOMPARE(engineStarts(), 0);
    QVERIFY(!session->isBusy());
}

QTEST_GUILESS_MAIN(SessionEndToEndTest)
#include "session_end_to_end_test.moc"
