#include "nuvix_window.h"
#include "relay_session.h"
#include "relay_test_fixture.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QtTest>

#include <csignal>
#include <semaphore.h>
#include <memory>

// The window with the real engine: a fake yt-dlp names media served over
// loopback HTTP, and the TS goes to a loopback SRT listener.
class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startRunStop();
    void shortSourceFinishes_data();
    void shortSourceFinishes();
    void alwaysOnAfterDrops();
    void alwaysOnAfterInputEnd();
    void engineKilledFromOutside();

private:
    void startListener(const QStringList &extraArgs = {});
    void click() { QTest::mouseClick(window->btnIngest, Qt::LeftButton); }
    QString statusText() const { return window->lblStatus->text(); }
    int extractions() const { return rig.work->extractions(); }
    int engineStarts() const { return window->logText.count("\nStarting kby_nuvix\n"); }

    QString longMedia;
    QString shortMedia;
    QString shortVideo;
    QString shortAudio;

    RelayTestFixture rig;
    std::unique_ptr<NuvixWindow> window;
};

void EndToEndTest::initTestCase()
{
    QVERIFY2(QFileInfo(binDir() + "/kby_nuvix").isExecutable(), "the engine is not built");
    longMedia = generatedTs(40);
    shortMedia = generatedTs(2);
    shortVideo = generatedVideoOnlyTs(2);
    shortAudio = generatedAudioOnlyTs(2);
    QVERIFY(!longMedia.isEmpty() && !shortMedia.isEmpty() && !shortVideo.isEmpty()
            && !shortAudio.isEmpty());
}

void EndToEndTest::init()
{
    rig.setUp(longMedia);
    if (QTest::currentTestFailed())
        return;
    {
        auto store = rig.settings->store();
        store->setValue("YT_DLP_PATH", supportScript("fake_yt_dlp"));
        store->sync();
    }

    window = std::make_unique<NuvixWindow>();
    window->session->setRestartDelayMs(300);
    window->edtLink->setText("https://video.example/watch?v=e2e");
    window->edtStreamId->setText("e2e");
    window->edtHost->setText("127.0.0.1");
}

void EndToEndTest::cleanup()
{
    if (window) {
        window->close();
        window.reset();
    }
    rig.tearDown();
}

void EndToEndTest::startListener(const QStringList &extraArgs)
{
    QVERIFY(rig.startListener(extraArgs));
    window->edtPort->setText(QString::number(rig.listener->port()));
}

static bool looksLikeTs(const QByteArray &bytes)
{
    if (bytes.size() < 188 * 7)
        return false;
    for (int at = 0; at + 188 <= bytes.size(); at += 188) {
        if (bytes.at(at) != 0x47)
            return false;
    }
    return true;
}

void EndToEndTest::startRunStop()
{
    startListener();
    rig.answerWith({longMedia});
    StatusRecorder recorder(window->lblStatus);
    click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 20000);
    // "srt connected" and "running" are written back to back and usually come
    // in one read, so "srt connected" rarely lasts long enough to be seen here;
    // the stand-in engine tests pace them apart.
    QVERIFY2(recorder.sawInOrder({"extracting...", "starting...", "opening inputs...", "running"}),
             qPrintable(recorder.seen().join(" | ")));
    QVERIFY(rig.listener->waitForOutput("accepted streamid=e2e*lossless", 5000));
    QTRY_VERIFY_WITH_TIMEOUT(rig.received().size() > 188 * 7 * 20, 15000);
    QVERIFY(looksLikeTs(rig.received().left(188 * 7 * 20)));
    // The engine has read and removed its input file by now.
    QTRY_COMPARE_WITH_TIMEOUT(rig.temp->ingestFiles(), QStringList(), 5000);

    const qint64 pid = window->session->engineProcess()->processId();
    click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("stopped"), 5000);
    QVERIFY(window->logText.contains("stop: closing SRT\n"));
    QVERIFY(window->logText.contains("\nkby_nuvix exit 0\n"));
    QVERIFY(processGone(pid));
    QVERIFY(window->session->inputFilePath().isEmpty());
    QVERIFY(!recorder.seen().contains("finished"));
}

void EndToEndTest::shortSourceFinishes_data()
{
    QTest::addColumn<bool>("pair");
    QTest::newRow("one address") << false;
    QTest::newRow("video and audio pair") << true;
}

void EndToEndTest::shortSourceFinishes()
{
    QFETCH(bool, pair);
    startListener();
    rig.answerWith(pair ? QStringList{shortVideo, shortAudio} : QStringList{shortMedia});
    click();
    QTRY_VERIFY_WITH_TIMEOUT(window->logText.contains("\nkby_nuvix exit"), 30000);
    QCOMPARE(statusText(), QString("finished"));
    QVERIFY2(window->logText.contains("\nkby_nuvix exit 0\n"), qPrintable(window->logText));
    QVERIFY(window->logText.contains(pair ? "start line=1 split" : "start line=1 combined"));
    QVERIFY(!window->btnIngest->property("stop").toBool());
    QVERIFY(looksLikeTs(rig.received()));
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
    QCOMPARE(extractions(), 1);
}

void EndToEndTest::alwaysOnAfterDrops()
{
    // The listener closes every connection after a little TS: each engine run drops.
    startListener({"--mode", "close-after-bytes=40000"});
    rig.answerWith({longMedia});
    window->chkAlwaysOn->setChecked(true);
    click();

    // Run 1 after extraction, run 2 with the same addresses, run 3 after a new
    // extraction, run 4 with the same addresses again.
    QTRY_VERIFY_WITH_TIMEOUT(engineStarts() >= 4, 90000);
    const QString log = window->logText;
    QCOMPARE(extractions(), 2);
    const int same1 = log.indexOf("\nalways on: same links\n");
    const int again = log.indexOf("\nalways on: extracting again\n");
    const int same2 = log.indexOf("\nalways on: same links\n", same1 + 1);
    QVERIFY2(same1 >= 0 && again > same1 && same2 > again, qPrintable(log));
    QVERIFY(!log.contains("\nkby_nuvix exit 0\n"));
    QVERIFY(rig.listener->output().count("accepted streamid=e2e*lossless") >= 3);

    // Stop while reconnecting: nothing starts afterwards.
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("reconnecting"), 30000);
    const int starts = engineStarts();
    const int extracted = extractions();
    click();
    QCOMPARE(statusText(), QString("stopped"));
    QTest::qWait(window->session->restartDelay() + 700);
    QCOMPARE(statusText(), QString("stopped"));
    QCOMPARE(engineStarts(), starts);
    QCOMPARE(extractions(), extracted);
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
}

void EndToEndTest::alwaysOnAfterInputEnd()
{
    startListener();
    rig.answerWith({shortMedia});
    window->chkAlwaysOn->setChecked(true);
    click();
    QTRY_VERIFY_WITH_TIMEOUT(window->logText.contains("\nkby_nuvix exit 0\n"), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(extractions(), 2, 10000);
    QVERIFY(window->logText.contains("\nalways on: extracting again\n"));
    QVERIFY(!window->logText.contains("same links"));
    QTRY_VERIFY_WITH_TIMEOUT(engineStarts() == 2, 10000);
    // Unticking always-on lets the second run end for good.
    window->chkAlwaysOn->setChecked(false);
    QTRY_COMPARE_WITH_TIMEOUT(window->logText.count("\nkby_nuvix exit 0\n"), 2, 30000);
    QCOMPARE(statusText(), QString("finished"));
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
}

void EndToEndTest::engineKilledFromOutside()
{
    startListener();
    rig.answerWith({longMedia});
    click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("running"), 20000);
    const qint64 pid = window->session->engineProcess()->processId();
    QCOMPARE(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
    // A killed engine cannot remove its stop event's name: the window does it.
    const QByteArray stopName = "/kby_nuvix_stop_" + QByteArray::number(pid);
    auto removeName = qScopeGuard([&] { sem_unlink(stopName.constData()); });
    QVERIFY(QFile::exists("/dev/shm/sem.kby_nuvix_stop_" + QString::number(pid)));
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("disconnected"), 10000);
    QVERIFY(!QFile::exists("/dev/shm/sem.kby_nuvix_stop_" + QString::number(pid)));
    QVERIFY(window->logText.contains("\nkby_nuvix exit"));
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
    QVERIFY(window->session->inputFilePath().isEmpty());
}

QTEST_MAIN(EndToEndTest)
#include "end_to_end_test.moc"
