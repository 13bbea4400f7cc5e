#include "nuvix_window.h"
#include "relay_session.h"
#include "relay_test_fixture.h"
#include "session_recorder.h"

#include <QClipboard>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <sys/stat.h>

// The SRT modes through the real front-end and the real engine into the receivers
// people already run, on loopback: srt-live-transmit and ffmpeg in their default live
// set-up, and srt-live-transmit calling in to a listening engine.

namespace {

const char PASSPHRASE[] = "e2e-secret-0123456789";
const char LIVE_HINT[] = "the receiver expects live mode; add transtype=live to the SRT address";

// The status while the engine reports its figures.
const QRegularExpression STATS_STATUS(QStringLiteral(R"(^running  \d+\.\d Mb/s  RTT \d+ ms  loss \d+\.\d%$)"));

bool isStatsStatus(const QString &text)
{
    return STATS_STATUS.match(text).hasMatch();
}

// True while some socket of this machine is bound to the UDP port.
bool udpPortBound(int port)
{
    const QString suffix = QStringLiteral(":%1").arg(port, 4, 16, QLatin1Char('0')).toUpper();
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 1 && QString::fromLatin1(fields.at(1)).endsWith(suffix))
                return true;
        }
    }
    return false;
}

// What ffprobe finds in a TS: packets per stream type, and the length.
struct ProbedTs
{
    QMap<QString, int> packets;
    double duration = 0;
};

ProbedTs probeTs(const QString &path)
{
    ProbedTs result;
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"), {"-v", "error", "-count_packets", "-of", "json", "-show_streams",
                                              "-show_format", path});
    if (!ffprobe.waitForFinished(20000)) {
        ffprobe.kill();
        ffprobe.waitForFinished(5000);
        return result;
    }
    const QJsonObject root = QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
    for (const QJsonValue &value : root.value("streams").toArray()) {
        const QJsonObject stream = value.toObject();
        result.packets[stream.value("codec_type").toString()] += stream.value("nb_read_packets").toString().toInt();
    }
    result.duration = root.value("format").toObject().value("duration").toString().toDouble();
    return result;
}

// The engine's command line, read while it runs.
QByteArray commandLineOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// A third-party program that receives SRT, its TS in a file (srt-live-transmit writes
// only to its standard output, so that goes to the file).
class Receiver
{
public:
    ~Receiver() { stop(); }

    bool start(const QString &program, const QStringList &arguments, const QString &stdoutFile,
               const QString &stderrFile)
    {
        process = std::make_unique<QProcess>();
        if (!stdoutFile.isEmpty())
            process->setStandardOutputFile(stdoutFile);
        else
            process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(stderrFile);
        errFile = stderrFile;
        process->start(program, arguments);
        return process->waitForStarted(10000);
    }

    bool waitListening(int port, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!udpPortBound(port)) {
            if (deadline.hasExpired() || process->state() != QProcess::Running)
                return false;
            QTest::qWait(20);
        }
        return true;
    }

    // The exit code of a process that ended by itself, or -1.
    int waitForExit(int timeoutMs)
    {
        if (!process)
            return -1;
        // A process that ended while the event loop turned is not waited for again.
        if (process->state() != QProcess::NotRunning && !process->waitForFinished(timeoutMs))
            return -1;
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    }

    bool isRunning() const { return process && process->state() != QProcess::NotRunning; }

    void stop()
    {
        if (process)
            endProcess(*process);
    }

    QString err() const
    {
        QFile file(errFile);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    std::unique_ptr<QProcess> process;
    QString errFile;
};

class SrtModesEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void liveCallerIntoReceiver_data();
    void liveCallerIntoReceiver();
    void listenerTakesACallerIn();
    void stopWhileListening();
    void fileModeIntoLiveReceiver_data();
    void fileModeIntoLiveReceiver();
    void passphraseStaysOffTheCommandLine();
    void windowWithPastedAddress();
    void headlessRelay_data();
    void headlessRelay();

private:
    // srt-live-transmit in its default live set-up, as a listener on a free port.
    void startLiveTransmitListener(const QString &extraQuery = QString());
    void startSession(const RelayJob &job);
    // The TS a receiver wrote, once it has ended, holds the programme.
    void verifyReceived(const QString &path);
    QString outPath() const { return rig.receivedPath(); }
    QString errPath() const { return rig.work->path() + QStringLiteral("/receiver.err"); }

    QString media;
    ProbedTs source;
    int port = 0;
    RelayTestFixture rig;
    std::unique_ptr<Receiver> receiver;
    std::unique_ptr<RelaySession> session;
    std::unique_ptr<SessionRecorder> recorder;
    QList<SrtStats> stats;
    RelayJob job;
};

void SrtModesEndToEndTest::initTestCase()
{
    QVERIFY2(QFileInfo(binDir() + "/kby_nuvix").isExecutable(), "the engine is not built");
    QVERIFY2(QFileInfo(binDir() + "/nuvix-relay").isExecutable(), "nuvix-relay is not built");
    QVERIFY2(!QStandardPaths::findExecutable("srt-live-transmit").isEmpty(),
             "srt-live-transmit (srt-tools) is not installed");
    QVERIFY2(!QStandardPaths::findExecutable("ffprobe").isEmpty(), "ffprobe is not installed");
    // Long enough for a few of the engine's one-second figures.
    media = generatedTs(4);
    QVERIFY(!media.isEmpty());
    source = probeTs(media);
    QCOMPARE(source.packets.keys(), (QList<QString>{"audio", "video"}));
}

void SrtModesEndToEndTest::init()
{
    rig.setUp(media);
    if (QTest::currentTestFailed())
        return;
    rig.answerWith({media});
    port = closedLoopbackPort();
    QVERIFY(port > 0);
    receiver = std::make_unique<Receiver>();

    stats.clear();
    job = RelayJob();
    job.link = "https://video.example/watch?v=srt-modes";
    job.srt.host = "127.0.0.1";
    job.srt.port = QString::number(port);
    job.ytDlpPath = supportScript("fake_yt_dlp");
}

void SrtModesEndToEndTest::cleanup()
{
    if (session)
        session->shutdown();
    recorder.reset();
    session.reset();
    receiver.reset();
    rig.tearDown();
}

void SrtModesEndToEndTest::startLiveTransmitListener(const QString &extraQuery)
{
    QVERIFY(receiver->start("srt-live-transmit",
                            {QStringLiteral("srt://:%1?mode=listener").arg(port) + extraQuery, "file://con"},
                            outPath(), errPath()));
    QVERIFY2(receiver->waitListening(port, 10000), qPrintable(receiver->err()));
}

void SrtModesEndToEndTest::startSession(const RelayJob &relayJob)
{
    session = std::make_unique<RelaySession>();
    recorder = std::make_unique<SessionRecorder>(session.get());
    connect(session.get(), &RelaySession::statsChanged, this, [this](const SrtStats &s) { stats << s; });
    session->setRestartDelayMs(300);
    session->setJob(relayJob);
    session->start();
}

void SrtModesEndToEndTest::verifyReceived(const QString &path)
{
    QVERIFY2(QFileInfo(path).size() > 188 * 100, qPrintable(receiver->err()));
    const ProbedTs probed = probeTs(path);
    QCOMPARE(probed.packets.keys(), (QList<QString>{"audio", "video"}));
    // The whole programme: live mode may drop a late packet on a busy machine, no more.
    for (const QString &type : source.packets.keys()) {
        QVERIFY2(probed.packets.value(type) >= source.packets.value(type) * 95 / 100,
                 qPrintable(QStringLiteral("%1: %2 of %3 packets")
                                .arg(type)
                                .arg(probed.packets.value(type))
                                .arg(source.packets.value(type))));
    }
    QVERIFY2(probed.duration > source.duration - 0.5,
             qPrintable(QStringLiteral("%1 s of %2 s").arg(probed.duration).arg(source.duration)));
}

void SrtModesEndToEndTest::liveCallerIntoReceiver_data()
{
    QTest::addColumn<bool>("ffmpeg");
    QTest::newRow("srt-live-transmit") << false;
    QTest::newRow("ffmpeg") << true;
}

void SrtModesEndToEndTest::liveCallerIntoReceiver()
{
    QFETCH(bool, ffmpeg);
    if (ffmpeg) {
        QVERIFY(receiver->start("ffmpeg",
                                {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i",
                                 QStringLiteral("srt://127.0.0.1:%1?mode=listener").arg(port), "-c", "copy", "-f",
                                 "mpegts", outPath()},
                                QString(), errPath()));
        QVERIFY2(receiver->waitListening(port, 10000), qPrintable(receiver->err()));
    } else {
        startLiveTransmitListener();
    }

    job.srt.live = true;
    job.srt.streamId = "publish:cam1";
    startSession(job);
    QTRY_VERIFY_WITH_TIMEOUT(!recorder->endings.isEmpty(), 30000);
    QCOMPARE(recorder->endings, QList<RelaySession::Ending>{RelaySession::Ending::Finished});
    QVERIFY2(recorder->log.contains("?streamid=publish%3Acam1&transtype=live\n"), qPrintable(recorder->log));
    QVERIFY2(recorder->log.contains("\nkby_nuvix exit 0\n"), qPrintable(recorder->log));

    // Every status arrives as a signal: the whole sequence is known.
    const QStringList seen = recorder->statuses;
    QVERIFY2(seen.size() > 6, qPrintable(seen.join(" | ")));
    QCOMPARE(seen.mid(0, 5), (QStringList{"extracting...", "starting...", "opening inputs...", "srt connected",
                                          "running"}));
    QCOMPARE(seen.last(), QString("finished"));
    // Between "running" and the end only the figures.
    int figures = 0;
    for (const QString &status : seen.mid(5)) {
        if (status == QLatin1String("finished"))
            continue;
        QVERIFY2(isStatsStatus(status), qPrintable(seen.join(" | ")));
        ++figures;
    }
    QVERIFY2(figures >= 2, qPrintable(seen.join(" | ")));
    QCOMPARE(stats.size(), figures);
    QVERIFY(stats.last().bytes > 0 && stats.last().sent > 0);
    QVERIFY(std::any_of(stats.begin(), stats.end(), [](const SrtStats &s) { return s.mbps > 0; }));
    QCOMPARE(rig.temp->ingestFiles(), QStringList());

    if (ffmpeg) {
        // ffmpeg ends with the stream.
        QCOMPARE(receiver->waitForExit(15000), 0);
    } else {
        // srt-live-transmit waits for the next sender until it is told to end.
        QVERIFY(receiver->isRunning());
        receiver->stop();
    }
    verifyReceived(outPath());
}

void SrtModesEndToEndTest::listenerTakesACallerIn()
{
    job.srt.live = true;
    job.srt.listener = true;
    startSession(job);
    const QString waiting = QStringLiteral("waiting for a receiver on port %1").arg(port);
    QTRY_COMPARE_WITH_TIMEOUT(recorder->status(), waiting, 20000);
    QVERIFY2(recorder->log.contains(QStringLiteral("srt://127.0.0.1:%1?transtype=live&mode=listener\n").arg(port)),
             qPrintable(recorder->log));
    QVERIFY(udpPortBound(port));

    QVERIFY(receiver->start("srt-live-transmit",
                            {QStringLiteral("srt://127.0.0.1:%1?mode=caller").arg(port), "file://con"}, outPath(),
                            errPath()));
    QTRY_VERIFY_WITH_TIMEOUT(!recorder->endings.isEmpty(), 30000);
    QCOMPARE(recorder->endings, QList<RelaySession::Ending>{RelaySession::Ending::Finished});
    QVERIFY2(recorder->sawInOrder({"starting...", waiting, "srt connected", "running", "finished"}),
             qPrintable(recorder->statuses.join(" | ")));
    QVERIFY2(std::any_of(recorder->statuses.begin(), recorder->statuses.end(), isStatsStatus),
             qPrintable(recorder->statuses.join(" | ")));
    receiver->stop();
    verifyReceived(outPath());
}

void SrtModesEndToEndTest::stopWhileListening()
{
    job.srt.live = true;
    job.srt.listener = true;
    startSession(job);
    QTRY_COMPARE_WITH_TIMEOUT(recorder->status(), QStringLiteral("waiting for a receiver on port %1").arg(port),
                              20000);
    QVERIFY(session->engineProcess());
    const qint64 pid = session->engineProcess()->processId();
    QVERIFY(pid > 0);

    session->stop();
    QTRY_COMPARE_WITH_TIMEOUT(recorder->status(), QString("stopped"), 5000);
    QCOMPARE(recorder->endings, QList<RelaySession::Ending>{RelaySession::Ending::Stopped});
    QCOMPARE(recorder->activity, RelaySession::Activity::Idle);
    // The engine heard the stop while it waited: it ended by itself, not by a kill.
    QVERIFY2(recorder->log.contains("stop: closing SRT\n"), qPrintable(recorder->log));
    QVERIFY2(recorder->log.contains("\nkby_nuvix exit 0\n"), qPrintable(recorder->log));
    QVERIFY(processGone(pid));
    QVERIFY(!QFile::exists("/dev/shm/sem.kby_nuvix_stop_" + QString::number(pid)));
    QVERIFY(session->inputFilePath().isEmpty());
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
    QVERIFY(!session->isBusy());
    QTRY_VERIFY_WITH_TIMEOUT(!udpPortBound(port), 5000);
}

void SrtModesEndToEndTest::fileModeIntoLiveReceiver_data()
{
    QTest::addColumn<bool>("alwaysOn");
    QTest::newRow("once") << false;
    QTest::newRow("always on") << true;
}

void SrtModesEndToEndTest::fileModeIntoLiveReceiver()
{
    QFETCH(bool, alwaysOn);
    startLiveTransmitListener();
    // Today's default: file mode, caller, a stream id.
    job.srt.streamId = "e2e";
    job.alwaysOn = alwaysOn;
    startSession(job);
    const QString advice = QString::fromLatin1(LIVE_HINT);
    if (!alwaysOn) {
        QTRY_VERIFY_WITH_TIMEOUT(!recorder->endings.isEmpty(), 30000);
        QCOMPARE(recorder->endings, QList<RelaySession::Ending>{RelaySession::Ending::Failed});
        QCOMPARE(recorder->status(), advice);
        QVERIFY2(recorder->log.contains("SRT hint: " + advice), qPrintable(recorder->log));
        QVERIFY(recorder->log.contains("\nkby_nuvix exit 3\n"));
        QCOMPARE(recorder->activity, RelaySession::Activity::Idle);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(recorder->status(), "reconnecting: " + advice, 30000);
        QVERIFY(recorder->endings.isEmpty());
        session->stop();
        QTRY_COMPARE_WITH_TIMEOUT(recorder->status(), QString("stopped"), 5000);
        QCOMPARE(recorder->endings, QList<RelaySession::Ending>{RelaySession::Ending::Stopped});
    }
    QVERIFY(!recorder->statuses.contains("running"));
    QVERIFY(!session->isBusy());
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
    // The receiver took nothing and is still there for the next try.
    QVERIFY(receiver->isRunning());
    QCOMPARE(QFileInfo(outPath()).size(), 0);
}

void SrtModesEndToEndTest::passphraseStaysOffTheCommandLine()
{
    startLiveTransmitListener(QStringLiteral("&passphrase=") + QString::fromLatin1(PASSPHRASE));
    job.srt.live = true;
    job.srt.passphrase = QString::fromLatin1(PASSPHRASE);
    startSession(job);

    // The input file is written before the engine starts and removed by it once read.
    int inputMode = -1;
    QByteArray inputText;
    const QMetaObject::Connection look = connect(session.get(), &RelaySession::statusChanged, this,
                                                 [&](const QString &status) {
        if (status != QLatin1String("starting...") || inputMode >= 0)
            return;
        const QByteArray path = QFile::encodeName(session->inputFilePath());
        struct stat info {};
        if (::stat(path.constData(), &info) == 0)
            inputMode = static_cast<int>(info.st_mode & 0777);
        QFile file(session->inputFilePath());
        if (file.open(QIODevice::ReadOnly))
            inputText = file.readAll();
    });
    const auto forget = qScopeGuard([look] { QObject::disconnect(look); });
    QTRY_COMPARE_WITH_TIMEOUT(recorder->status(), QString("running"), 20000);
    const QByteArray commandLine = commandLineOf(session->engineProcess()->processId());
    QVERIFY(commandLine.contains("--srt-url"));
    QVERIFY2(!commandLine.contains(PASSPHRASE), commandLine.constData());
    QCOMPARE(inputMode, 0600);
    QVERIFY2(inputText.contains(QByteArray("\"srt_passphrase\": \"") + PASSPHRASE + '"')
                 || inputText.contains(QByteArray("\"srt_passphrase\":\"") + PASSPHRASE + '"'),
             inputText.constData());

    QTRY_VERIFY_WITH_TIMEOUT(!recorder->endings.isEmpty(), 30000);
    QCOMPARE(recorder->endings, QList<RelaySession::Ending>{RelaySession::Ending::Finished});
    QVERIFY(!recorder->log.contains(QString::fromLatin1(PASSPHRASE)));
    receiver->stop();
    verifyReceived(outPath());
}

void SrtModesEndToEndTest::windowWithPastedAddress()
{
    {
        auto store = rig.settings->store();
        store->setValue("YT_DLP_PATH", supportScript("fake_yt_dlp"));
        store->sync();
    }
    startLiveTransmitListener();
    QList<RelaySession::Ending> endings;
    NuvixWindow window;
    window.edtLink->setText(job.link);
    // The field holds the default host; the address goes in with the cursor behind it.
    QCOMPARE(window.edtHost->text(), QString("127.0.0.1"));
    window.edtHost->setFocus();
    window.edtHost->end(false);
    QGuiApplication::clipboard()->setText(
        QStringLiteral("srt://127.0.0.1:%1?transtype=live&latency=200&streamid=publish:cam1").arg(port));
    QTest::keyClick(window.edtHost, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(window.edtHost->text(), QString("127.0.0.1"));
    QCOMPARE(window.edtPort->text(), QString::number(port));
    QCOMPARE(window.edtStreamId->text(), QString("publish:cam1"));
    QCOMPARE(window.cmbSrtTransfer->currentText(), QString("live"));
    QCOMPARE(window.cmbSrtMode->currentText(), QString("caller"));
    QCOMPARE(window.edtLatency->text(), QString("200"));

    connect(window.session, &RelaySession::ended, this,
            [&endings](RelaySession::Ending ending) { endings << ending; });
    StatusRecorder statusLine(window.lblStatus);
    QTest::mouseClick(window.btnIngest, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!endings.isEmpty(), 30000);
    QCOMPARE(endings, QList<RelaySession::Ending>{RelaySession::Ending::Finished});
    QVERIFY2(window.logText.contains(
                 QStringLiteral("srt://127.0.0.1:%1?streamid=publish%3Acam1&transtype=live&latency=200\n").arg(port)),
             qPrintable(window.logText));
    const QStringList seen = statusLine.seen();
    QVERIFY2(statusLine.sawInOrder({"extracting...", "starting...", "running"}), qPrintable(seen.join(" | ")));
    QVERIFY2(std::any_of(seen.begin(), seen.end(), isStatsStatus), qPrintable(seen.join(" | ")));
    QCOMPARE(window.lblStatus->text(), QString("finished"));
    QCOMPARE(window.btnIngest->text(), QString("Start"));
    window.close();
    receiver->stop();
    verifyReceived(outPath());
}

void SrtModesEndToEndTest::headlessRelay_data()
{
    QTest::addColumn<bool>("encrypted");
    QTest::newRow("live") << false;
    QTest::newRow("live with a passphrase in the address") << true;
}

void SrtModesEndToEndTest::headlessRelay()
{
    QFETCH(bool, encrypted);
    const QString passphrase = QString::fromLatin1(PASSPHRASE);
    startLiveTransmitListener(encrypted ? QStringLiteral("&passphrase=") + passphrase : QString());
    QString srtUrl = QStringLiteral("srt://127.0.0.1:%1?transtype=live").arg(port);
    if (encrypted)
        srtUrl += QStringLiteral("&passphrase=") + passphrase;

    QProcess relay;
    relay.setProcessEnvironment(rig.displaylessEnvironment());
    relay.start(binDir() + "/nuvix-relay", {"--link", job.link, "--srt-url", srtUrl, "--stats-interval", "1",
                                            "--yt-dlp", supportScript("fake_yt_dlp")});
    QVERIFY(relay.waitForStarted(5000));
    const auto ending = qScopeGuard([&relay] {
        if (relay.state() != QProcess::NotRunning) {
            relay.kill();
            relay.waitForFinished(5000);
        }
    });

    // The engine, once the relay has started it: its command line holds no passphrase.
    QByteArray engineCommandLine;
    QDeadlineTimer deadline(20000);
    while (engineCommandLine.isEmpty() && !deadline.hasExpired() && relay.state() == QProcess::Running) {
        for (const qint64 child : childProcesses(relay.processId())) {
            const QByteArray commandLine = commandLineOf(child);
            if (commandLine.contains("kby_nuvix"))
                engineCommandLine = commandLine;
        }
        QTest::qWait(20);
    }
    QVERIFY2(engineCommandLine.contains("--srt-url"), qPrintable(QString::fromUtf8(relay.readAllStandardError())));
    QVERIFY2(!engineCommandLine.contains(PASSPHRASE), engineCommandLine.constData());

    const bool ended = relay.waitForFinished(30000);
    const QString out = QString::fromUtf8(relay.readAllStandardOutput());
    const QString err = QString::fromUtf8(relay.readAllStandardError());
    QVERIFY2(ended, qPrintable(out + err));
    QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
    QVERIFY2(relay.exitCode() == 0, qPrintable(out + err));

    static const QRegularExpression stamped(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (.+)$)"));
    QStringList seen;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = stamped.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        seen << m.captured(1);
    }
    QVERIFY2(seen.size() > 2 && seen.first() == "extracting..." && seen.last() == "finished",
             qPrintable(seen.join(" | ")));
    QVERIFY2(seen.contains("running"), qPrintable(seen.join(" | ")));
    QVERIFY2(std::any_of(seen.begin(), seen.end(), isStatsStatus), qPrintable(seen.join(" | ")));
    QVERIFY2(err.contains("\nkby_nuvix exit 0\n"), qPrintable(err));
    QVERIFY(!(out + err).contains(passphrase));
    QCOMPARE(rig.temp->ingestFiles(), QStringList());
    receiver->stop();
    verifyReceived(outPath());
}

QTEST_MAIN(SrtModesEndToEndTest)
#include "srt_modes_end_to_end_test.moc"
