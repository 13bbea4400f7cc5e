#include "presets.h"
#include "relay_test_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <memory>

// nuvix-relay as a process on a machine without a display: the real engine, a
// fake yt-dlp naming media on loopback HTTP, a loopback SRT listener.
class RelayProgramTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void linksQtCoreOnly();
    void badArguments_data();
    void badArguments();
    void finishedRun();
    void failures_data();
    void failures();
    void signalWhileStreaming_data();
    void signalWhileStreaming();
    void alwaysOnThroughReceiverDrop();
    void oldYtDlpIsCalledOut();

private:
    bool startListener(int port = 0) { return rig.startListener({"--port", QString::number(port)}); }
    void startRelay(const QStringList &args);
    // Waits for the relay's exit; its code, or -1 when it did not end in time.
    int waitForExit(int timeoutMs);
    // Status texts printed so far, without their time stamps.
    QStringList statuses();
    QString relayErr();
    int extractions() const { return rig.work->calls(); }
    // The relay's child processes (yt-dlp or the engine) right now.
    QList<qint64> children() const { return childProcesses(relay->processId()); }

    QString longMedia;
    QString shortMedia;
    RelayTestFixture rig;
    std::unique_ptr<QProcess> relay;
    QString out;
    QString err;
};

void RelayProgramTest::initTestCase()
{
    QVERIFY2(QFileInfo(binDir() + "/nuvix-relay").isExecutable(), "nuvix-relay is not built");
    QVERIFY2(QFileInfo(binDir() + "/kby_nuvix").isExecutable(), "the engine is not built");
    longMedia = generatedTs(40);
    shortMedia = generatedTs(2);
    QVERIFY(!longMedia.isEmpty() && !shortMedia.isEmpty());
}

void RelayProgramTest::init()
{
    rig.setUp(longMedia);
    out.clear();
    err.clear();
}

void RelayProgramTest::cleanup()
{
    if (relay && relay->state() != QProcess::NotRunning) {
        relay->kill();
        relay->waitForFinished(5000);
    }
    relay.reset();
    rig.tearDown();
}

void RelayProgramTest::startRelay(const QStringList &args)
{
    relay = std::make_unique<QProcess>();
    // The program must not need a display.
    relay->setProcessEnvironment(rig.displaylessEnvironment());
    relay->start(binDir() + "/nuvix-relay", args);
    QVERIFY(relay->waitForStarted(5000));
}

int RelayProgramTest::waitForExit(int timeoutMs)
{
    if (!relay->waitForFinished(timeoutMs))
        return -1;
    out += QString::fromUtf8(relay->readAllStandardOutput());
    err += QString::fromUtf8(relay->readAllStandardError());
    return relay->exitStatus() == QProcess::NormalExit ? relay->exitCode() : -1;
}

QStringList RelayProgramTest::statuses()
{
    if (relay)
        out += QString::fromUtf8(relay->readAllStandardOutput());
    static const QRegularExpression stamped(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (.+)$)"));
    QStringList result;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = stamped.match(line);
        result << (m.hasMatch() ? m.captured(1) : QStringLiteral("UNSTAMPED ") + line);
    }
    return result;
}

QString RelayProgramTest::relayErr()
{
    if (relay)
        err += QString::fromUtf8(relay->readAllStandardError());
    return err;
}

void RelayProgramTest::linksQtCoreOnly()
{
    QProcess ldd;
    ldd.start("ldd", {binDir() + "/nuvix-relay"});
    QVERIFY(ldd.waitForFinished(10000));
    const QString libraries = QString::fromUtf8(ldd.readAllStandardOutput());
    QVERIFY2(libraries.contains("libQt5Core"), qPrintable(libraries));
    QVERIFY2(!libraries.contains("libQt5Gui") && !libraries.contains("libQt5Widgets")
                 && !libraries.contains("libQt5Network"),
             qPrintable(libraries));
}

void RelayProgramTest::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");
    const QString link = "https://video.example/watch?v=1";
    const QString srt = "srt://127.0.0.1:9001?streamid=cam";
    QTest::newRow("none") << QStringList{} << "give --link and --srt-url, or --preset";
    QTest::newRow("unknown option") << QStringList{"--link", link, "--srt-url", srt, "--fast"}
                                    << "unknown option --fast";
    QTest::newRow("bad address") << QStringList{"--link", link, "--srt-url", "udp://127.0.0.1:9001"}
                                 << "the SRT address must start with srt://";
    QTest::newRow("unknown preset") << QStringList{"--preset", "nope"} << "no preset named \"nope\"";
    QTest::newRow("preset without stream id") << QStringList{"--preset", "no-id"}
                                              << "preset \"no-id\": the SRT address needs a stream id (?streamid=ID)";
    QTest::newRow("yt-dlp missing") << QStringList{"--link", link, "--srt-url", srt, "--yt-dlp", "/no/such/yt-dlp"}
                                    << "--yt-dlp: no such file: /no/such/yt-dlp";
}

void RelayProgramTest::badArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    QJsonObject presets;
    presets.insert("no-id", QJsonObject{{"url", "https://video.example/1"}, {"srtport", "9001"}});
    writePresets(rig.settings->store().get(), presets);

    startRelay(args);
    QCOMPARE(waitForExit(10000), 2);
    QCOMPARE(out, QString());
    QVERIFY2(err.startsWith("nuvix-relay: " + error + "\n\nusage: nuvix-relay --link URL"), qPrintable(err));
    // Nothing was started.
    QCOMPARE(extractions(), 0);
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
}

void RelayProgramTest::finishedRun()
{
    QVERIFY(startListener());
    rig.answerWith({shortMedia});
    startRelay({"--link", "https://video.example/watch?v=short", "--srt-url",
                QStringLiteral("srt://127.0.0.1:%1?streamid=headless").arg(rig.listener->port()), "--max-height", "720",
                "--yt-dlp", supportScript("fake_yt_dlp")});
    QCOMPARE(waitForExit(60000), 0);
    const QStringList seen = statuses();
    QCOMPARE(seen.first(), QString("extracting..."));
    QCOMPARE(seen.last(), QString("finished"));
    QVERIFY2(seen.contains("running"), qPrintable(seen.join(" | ")));
    // One line per change: no status twice in a row.
    for (int i = 1; i < seen.size(); ++i)
        QVERIFY2(seen.at(i) != seen.at(i - 1), qPrintable(seen.join(" | ")));
    // The log goes to standard error: yt-dlp's lines and the engine's.
    QVERIFY(err.contains("\nTry HLS\n$ yt-dlp -g -f bv*[height<=720]"));
    QVERIFY(err.contains("\nkby_nuvix exit 0\n"));
    QVERIFY(!out.contains("kby_nuvix"));
    QVERIFY(rig.listener->waitForOutput("accepted streamid=headless*lossless", 5000));
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
}

void RelayProgramTest::failures_data()
{
    QTest::addColumn<bool>("addresses");
    QTest::addColumn<QString>("status");
    QTest::newRow("nothing extracted") << false << "nothing found";
    QTest::newRow("no receiver") << true << "disconnected";
}

void RelayProgramTest::failures()
{
    QFETCH(bool, addresses);
    QFETCH(QString, status);
    rig.answerWith(addresses ? QStringList{longMedia} : QStringList{});
    // yt-dlp from the store the window uses.
    {
        auto store = rig.settings->store();
        store->setValue("YT_DLP_PATH", supportScript("fake_yt_dlp"));
        store->sync();
    }
    startRelay({"--link", "https://www.youtube.com/watch?v=x", "--srt-url",
                QStringLiteral("srt://127.0.0.1:%1?streamid=x").arg(closedLoopbackPort())});
    QCOMPARE(waitForExit(60000), 1);
    QCOMPARE(statuses().last(), status);
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
}

void RelayProgramTest::signalWhileStreaming_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void RelayProgramTest::signalWhileStreaming()
{
    QFETCH(int, signalNumber);
    QVERIFY(startListener());
    rig.answerWith({longMedia});
    // From a preset the window saved.
    QJsonObject presets;
    presets.insert("evening-news", QJsonObject{{"url", "https://video.example/watch?v=long"},
                                               {"streamid", "news"},
                                               {"srthost", "127.0.0.1"},
                                               {"srtport", QString::number(rig.listener->port())}});
    writePresets(rig.settings->store().get(), presets);
    startRelay({"--preset", "evening-news", "--yt-dlp", supportScript("fake_yt_dlp")});
    QTRY_VERIFY_WITH_TIMEOUT(statuses().contains("running"), 30000);
    QVERIFY(rig.listener->waitForOutput("accepted streamid=news*lossless", 5000));
    const QList<qint64> engines = children();
    QCOMPARE(engines.size(), 1);
    const qint64 engine = engines.first();

    QCOMPARE(::kill(static_cast<pid_t>(relay->processId()), signalNumber), 0);
    QCOMPARE(waitForExit(15000), 0);
    QCOMPARE(statuses().last(), QString("stopped"));
    // The engine was stopped through its stop event, not killed.
    QVERIFY(err.contains("stop: closing SRT\n"));
    QVERIFY(err.contains("\nkby_nuvix exit 0\n"));
    QVERIFY(processGone(engine));
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
    QVERIFY(!QFile::exists("/dev/shm/sem.kby_nuvix_stop_" + QString::number(engine)));
}

void RelayProgramTest::alwaysOnThroughReceiverDrop()
{
    QVERIFY(startListener());
    const int port = rig.listener->port();
    rig.answerWith({longMedia});
    startRelay({"--link", "https://video.example/watch?v=long", "--srt-url",
                QStringLiteral("srt://127.0.0.1:%1?streamid=keep").arg(port), "--always-on", "--yt-dlp",
                supportScript("fake_yt_dlp")});
    QTRY_VERIFY_WITH_TIMEOUT(statuses().contains("running"), 30000);

    // The receiver goes away: the relay keeps trying and stays up.
    rig.listener.reset();
    QTRY_VERIFY_WITH_TIMEOUT(statuses().contains("reconnecting"), 30000);
    QTest::qWait(1000);
    QCOMPARE(relay->state(), QProcess::Running);

    // It comes back on the same port: the stream is sent again.
    QVERIFY(startListener(port));
    QVERIFY(rig.listener->waitForOutput("accepted streamid=keep*lossless", 60000));
    const int reconnectAt = statuses().lastIndexOf("reconnecting");
    QTRY_VERIFY_WITH_TIMEOUT(statuses().mid(reconnectAt).contains("running"), 30000);

    QCOMPARE(::kill(static_cast<pid_t>(relay->processId()), SIGTERM), 0);
    QCOMPARE(waitForExit(15000), 0);
    QCOMPARE(statuses().last(), QString("stopped"));
    QVERIFY(relayErr().contains("\nalways on: "));
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
}


// A headless relay has nobody looking at a window: an old yt-dlp is named at start,
// with what to do, and again as the likely cause when the extraction fails.
void RelayProgramTest::oldYtDlpIsCalledOut()
{
    {
        QFile version(rig.work->path() + "/version.out");
        QVERIFY(version.open(QIODevice::WriteOnly));
        version.write("2020.01.01\n");
    }
    rig.answerWith({});
    startRelay({"--link", "https://www.youtube.com/watch?v=x", "--srt-url",
                QStringLiteral("srt://127.0.0.1:%1?streamid=x").arg(closedLoopbackPort()), "--yt-dlp",
                supportScript("fake_yt_dlp")});
    QCOMPARE(waitForExit(60000), 1);
    const QString log = relayErr();
    QVERIFY2(log.contains("\nyt-dlp 2020.01.01\n") || log.startsWith("yt-dlp 2020.01.01\n"), qPrintable(log));
    QVERIFY2(log.contains("yt-dlp 2020.01.01 is ") && log.contains(" days old;"), qPrintable(log));
    const QString last = statuses().last();
    QVERIFY2(last.startsWith("nothing found (likely cause: yt-dlp is ") && last.endsWith(" days old)"),
             qPrintable(last));
}

QTEST_GUILESS_MAIN(RelayProgramTest)
#include "relay_program_test.moc"
