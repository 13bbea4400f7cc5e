#include "engine_launch.h"
#include "engine_test_support.h"
#include "format_selector.h"
#include "isolated_settings.h"
#include "modal_driver.h"
#include "nuvix_window.h"
#include "relay_session.h"
#include "yt_dlp_setup.h"
#include "yt_dlp_version.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const char EXTRACTOR_USER_AGENT[] =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/18.6 Safari/605.1.15";
const char PORT_RANGE_NOTICE[] = "KBY port range is on. Using the base port.\n";
const char NO_YT_DLP[] = "yt-dlp not found. this program needs it on the computer";
const int WAIT_MS = 15000;

QString fakeYtDlpPath()
{
    return QStringLiteral(NUVIX_SOURCE_DIR "/frontend/tests/support/fake_yt_dlp");
}

// An isolated settings store that names the scripted fake yt-dlp, its control
// folder, and an engine path that does not exist, so a successful extraction
// ends in the launch with "kby_nuvix not found" after the addresses were taken.
struct Rig
{
    IsolatedSettings iso;
    QTemporaryDir control;
    QByteArray savedPath = qgetenv("PATH");

    Rig()
    {
        qputenv("FAKE_YT_DLP_DIR", control.path().toLocal8Bit());
        write("version.out", "2099.01.01\n");
        auto store = iso.store();
        store->setValue(QStringLiteral("YT_DLP_PATH"), fakeYtDlpPath());
        store->sync();
        setEngineProgramForTests(control.filePath(QStringLiteral("no-engine")));
    }
    ~Rig()
    {
        setEngineProgramForTests(QString());
        qputenv("PATH", savedPath);
        qunsetenv("FAKE_YT_DLP_DIR");
    }

    void write(const char *name, const QByteArray &content) const
    {
        QFile file(control.filePath(QString::fromLatin1(name)));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }
    void remove(const char *name) const { QFile::remove(control.filePath(QString::fromLatin1(name))); }

    // Argument lists of the extraction runs (not of --version calls), in order.
    QList<QStringList> runs() const
    {
        QFile file(control.filePath(QStringLiteral("calls")));
        QList<QStringList> result;
        if (!file.open(QIODevice::ReadOnly))
            return result;
        QStringList current;
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            if (line == QLatin1String("--end--")) {
                if (current.value(0) != QLatin1String("--version"))
                    result << current;
                current.clear();
            } else if (!line.isEmpty()) {
                current << line;
            }
        }
        return result;
    }
};

void selectQuality(QComboBox *combo, int height)
{
    combo->setCurrentIndex(combo->findData(height));
}

// Runs action on the Welcome Setup dialog once it is shown modally.
void whenSetupShows(std::function<void(WelcomeSetupDialog *)> action)
{
    whenModalShows("WelcomeSetupDialog",
                   [action](QWidget *widget) { action(static_cast<WelcomeSetupDialog *>(widget)); });
}

QPushButton *buttonWithText(QWidget *parent, const QString &text)
{
    const auto buttons = parent->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

// Runs one extraction step on a link the start checks would refuse.
class ExtractionStep : public RelaySession
{
public:
    void extract(const QString &link, bool retryWithoutHls)
    {
        currentPageLink = link;
        allowNoHlsRetry = retryWithoutHls;
        hlsRetried = false;
        runExtractor(link, true);
    }
};

} // namespace

class ExtractionTest : public QObject
{
    Q_OBJECT

private:
    // The window of a rig, with its start-up check of yt-dlp done.
    static std::unique_ptr<NuvixWindow> openWindow()
    {
        auto w = std::make_unique<NuvixWindow>();
        if (!QTest::qWaitFor([&] { return w->probeProc && w->probeProc->state() == QProcess::NotRunning; }, WAIT_MS))
            QTest::qFail("the yt-dlp version probe did not finish", __FILE__, __LINE__);
        return w;
    }
    static void fill(NuvixWindow &w, const QString &link, const QString &streamId = QStringLiteral("cam"))
    {
        w.edtLink->setText(link);
        w.edtStreamId->setText(streamId);
    }
    static bool extracting(const NuvixWindow &w)
    {
        return w.session->extractorProcess() && w.session->extractorProcess()->state() != QProcess::NotRunning;
    }
    // Waits until the start has ended with a final status.
    static bool waitForEnd(const NuvixWindow &w, int timeoutMs = WAIT_MS)
    {
        return QTest::qWaitFor(
            [&] { return !extracting(w) && w.lblStatus->text() != QLatin1String("extracting..."); },
            timeoutMs);
    }
    static void close(std::unique_ptr<NuvixWindow> &w)
    {
        w->close();
        w.reset();
    }

private slots:
    void refusedStarts_data();
    void refusedStarts();
    void argumentListAndHandOver();
    void retryAndAddresses_data();
    void retryAndAddresses();
    void timeOutEndsTheStart();
    void staleTimeOutSparesLaterRun();
    void alwaysOnExtractionCanBeStopped();
    void alwaysOnFailuresScheduleRestart_data();
    void alwaysOnFailuresScheduleRestart();
    void logClearedOnlyByUserStart();
    void portRangeNotice_data();
    void portRangeNotice();
    void ytDlpThatCannotStart();
    void closingDuringExtraction();
    void destroyedWhileYtDlpRuns();
    void missingYtDlpOpensSetup();
    void realYtDlpOnLoopbackPages();
    void oldYtDlpNamedAsLikelyCause_data();
    void oldYtDlpNamedAsLikelyCause();
    // Exit quits the application's event loops; it stays the last test.
    void exitInSetupFromStartFlow();
};

void ExtractionTest::refusedStarts_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("status");

    const QString yt = QStringLiteral("https://www.youtube.com/watch?v=abc");
    QTest::newRow("empty link") << "" << "cam" << "9001" << "enter a URL";
    QTest::newRow("blank link") << "   " << "cam" << "9001" << "enter a URL";
    QTest::newRow("http") << "http://www.youtube.com/watch?v=abc" << "cam" << "9001" << "enter an https URL";
    QTest::newRow("no scheme") << "www.youtube.com/watch?v=abc" << "cam" << "9001" << "enter an https URL";
    QTest::newRow("other scheme") << "ftp://rutube.ru/x" << "cam" << "9001" << "enter an https URL";
    QTest::newRow("capital HTTPS passes, then no stream id")
        << "  HTTPS://www.youtube.com/watch?v=abc  " << "" << "9001" << "enter a stream id";
    QTest::newRow("blank stream id") << yt << "   " << "9001" << "enter a stream id";
    QTest::newRow("port too large") << yt << "cam" << "70000" << "ip or port is invalid";
    QTest::newRow("port with letters") << yt << "cam" << "90x1" << "ip or port is invalid";
}

void ExtractionTest::refusedStarts()
{
    QFETCH(QString, link);
    QFETCH(QString, streamId);
    QFETCH(QString, port);
    QFETCH(QString, status);

    Rig rig;
    auto w = openWindow();
    w->appendLog(QStringLiteral("earlier\n"));
    fill(*w, link, streamId);
    w->edtPort->setText(port);
    w->btnIngest->click();

    QCOMPARE(w->lblStatus->text(), status);
    QVERIFY(w->btnIngest->isEnabled());
    QCOMPARE(w->btnIngest->text(), QStringLiteral("Start"));
    QVERIFY(!w->session->extractorProcess());
    QVERIFY(rig.runs().isEmpty());
    // The fields were stored before the checks; a refused start keeps the log.
    QCOMPARE(rig.iso.store()->value(QStringLiteral("NUVIX_URL")).toString(), link.trimmed());
    QVERIFY(w->logText.contains(QLatin1String("earlier\n")));
    close(w);
}

void ExtractionTest::argumentListAndHandOver()
{
    Rig rig;
    rig.write("hls.out", "format 96 1920x1080 avc1.640028 mp4a.40.2\n"
                         "https://cdn.example/master.m3u8?sig=1\n");
    auto w = openWindow();
    fill(*w, QStringLiteral("  https://www.youtube.com/watch?v=abc&t=5  "));
    selectQuality(w->cmbQuality, 1080);
    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));

    const QString selector = buildFormatSelector(true, 1080);
    const QList<QStringList> runs = rig.runs();
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.at(0), (QStringList{"-g", "-f", selector, "--no-playlist", "--print",
                                      "format %(format_id)s %(resolution)s %(vcodec)s %(acodec)s",
                                      "--user-agent", QString::fromLatin1(EXTRACTOR_USER_AGENT),
                                      "https://www.youtube.com/watch?v=abc&t=5"}));
    QCOMPARE(w->session->pageLink(), QStringLiteral("https://www.youtube.com/watch?v=abc&t=5"));
    QVERIFY(w->logText.contains(QStringLiteral("\nTry HLS\n$ yt-dlp -g -f ") + selector
                                + QStringLiteral(" --user-agent Safari/18.6\n")));
    QVERIFY(w->logText.contains(QLatin1String("using 1080: 96 1920x1080 avc1.640028 mp4a.40.2\n")));
    // yt-dlp's own output reaches the log.
    QVERIFY(w->logText.contains(QLatin1String("https://cdn.example/master.m3u8?sig=1\n")));
    QCOMPARE(w->session->mediaUrl(), QStringLiteral("https://cdn.example/master.m3u8?sig=1"));
    QCOMPARE(w->session->videoUrl(), QString());
    QCOMPARE(w->session->audioUrl(), QString());
    QCOMPARE(w->lblStatus->text(), QStringLiteral("kby_nuvix not found"));
    close(w);
}

void ExtractionTest::retryAndAddresses_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QByteArray>("hlsOut");
    QTest::addColumn<QByteArray>("hlsErr");
    QTest::addColumn<QByteArray>("plainOut");
    QTest::addColumn<QByteArray>("plainErr");
    QTest::addColumn<int>("runCount");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QStringList>("addresses"); // media, video, audio

    const QString launched = QStringLiteral("kby_nuvix not found");
    const QStringList none{"", "", ""};

    QTest::newRow("youtube without address: no second run, nothing found")
        << "https://www.youtube.com/watch?v=abc" << QByteArray("format 1 x avc1 none\n") << QByteArray()
        << QByteArray("https://cdn/never\n") << QByteArray() << 1 << "nothing found" << none;
    QTest::newRow("youtube short link: error line after progress lines")
        << "https://youtu.be/abc" << QByteArray()
        << QByteArray("[youtube] abc: Downloading webpage\nERROR: [youtube] abc: Private video\n")
        << QByteArray() << QByteArray() << 1 << "ERROR: [youtube] abc: Private video" << none;
    QTest::newRow("youtube pair over hls")
        << "https://m.youtube.com/watch?v=abc"
        << QByteArray("format 137+140 1920x1080 avc1 mp4a\nhttps://cdn/v.m3u8\nhttps://cdn/a.m3u8\n")
        << QByteArray() << QByteArray() << QByteArray() << 1 << launched
        << QStringList{"", "https://cdn/v.m3u8", "https://cdn/a.m3u8"};
    QTest::newRow("rutube: retry gives one combined address")
        << "https://rutube.ru/video/abc/" << QByteArray() << QByteArray("[rutube] abc: x\n")
        << QByteArray("format 1 640x360 avc1 mp4a\nhttps://cdn/media.mp4\n") << QByteArray() << 2
        << launched << QStringList{"https://cdn/media.mp4", "", ""};
    QTest::newRow("vk: retry gives video then audio")
        << "https://vk.com/video1_2" << QByteArray() << QByteArray()
        << QByteArray("https://cdn/v.mp4\n  https://cdn/a.m4a  \n") << QByteArray() << 2 << launched
        << QStringList{"", "https://cdn/v.mp4", "https://cdn/a.m4a"};
    QTest::newRow("vk: no address anywhere, only progress lines")
        << "https://vkvideo.ru/video1_2" << QByteArray() << QByteArray("[vk] hls: nothing\n")
        << QByteArray("format 1 x y z\nWARNING: none\n") << QByteArray("\n[vk] 1: Downloading\n[vk] 2\n")
        << 2 << "[vk] 1: Downloading" << none;
    QTest::newRow("unknown host retries too")
        << "https://video.example/page" << QByteArray() << QByteArray() << QByteArray()
        << QByteArray("ERROR: Unsupported URL: https://video.example/page\n") << 2
        << "ERROR: Unsupported URL: https://video.example/page" << none;
    QTest::newRow("three addresses")
        << "https://www.youtube.com/watch?v=abc" << QByteArray("https://a\nhttps://b\nhttps://c\n")
        << QByteArray() << QByteArray() << QByteArray() << 1
        << "extractor returned an unexpected address list" << none;
    QTest::newRow("three addresses on the retry")
        << "https://rutube.ru/video/abc/" << QByteArray() << QByteArray()
        << QByteArray("https://a\nhttps://b\nhttps://c\n") << QByteArray() << 2
        << "extractor returned an unexpected address list" << none;
}

void ExtractionTest::retryAndAddresses()
{
    QFETCH(QString, link);
    QFETCH(QByteArray, hlsOut);
    QFETCH(QByteArray, hlsErr);
    QFETCH(QByteArray, plainOut);
    QFETCH(QByteArray, plainErr);
    QFETCH(int, runCount);
    QFETCH(QString, status);
    QFETCH(QStringList, addresses);

    Rig rig;
    rig.write("hls.out", hlsOut);
    rig.write("hls.err", hlsErr);
    rig.write("plain.out", plainOut);
    rig.write("plain.err", plainErr);
    auto w = openWindow();
    fill(*w, link);
    selectQuality(w->cmbQuality, 720);
    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));

    const QList<QStringList> runs = rig.runs();
    QCOMPARE(runs.size(), runCount);
    QCOMPARE(runs.at(0).value(2), buildFormatSelector(true, 720));
    const QString retryNote = QStringLiteral("\nHLS gave no addresses. Retry without HLS.\n");
    if (runCount == 2) {
        QCOMPARE(runs.at(1).value(2), buildFormatSelector(false, 720));
        QCOMPARE(runs.at(1).value(8), link);
        QVERIFY(w->logText.contains(retryNote + QStringLiteral("\nTry without HLS\n")));
    } else {
        QVERIFY(!w->logText.contains(retryNote));
    }
    QCOMPARE(w->lblStatus->text(), status);
    QVERIFY(w->btnIngest->isEnabled());
    QCOMPARE(w->btnIngest->text(), QStringLiteral("Start"));
    QCOMPARE((QStringList{w->session->mediaUrl(), w->session->videoUrl(), w->session->audioUrl()}), addresses);
    close(w);
}

void ExtractionTest::timeOutEndsTheStart()
{
    Rig rig;
    // Prints a format line, then hangs; a non-YouTube link would normally get a retry.
    rig.write("hls.out", "format 1 x y z\n");
    rig.write("hls.sleep", "30");
    rig.write("plain.out", "https://cdn/never\n");
    auto w = openWindow();
    w->session->setExtractTimeoutMs(400);
    fill(*w, QStringLiteral("https://rutube.ru/video/abc/"));
    w->btnIngest->click();

    // While yt-dlp runs without always-on the button waits.
    QCOMPARE(w->lblStatus->text(), QStringLiteral("extracting..."));
    QVERIFY(!w->btnIngest->isEnabled());
    QCOMPARE(w->btnIngest->text(), QStringLiteral("Wait..."));

    QElapsedTimer clock;
    clock.start();
    QVERIFY(waitForEnd(*w));
    QVERIFY2(clock.elapsed() < 10000, "the time-out did not end the hanging run");
    QCOMPARE(w->lblStatus->text(), QStringLiteral("something went wrong"));
    QVERIFY(w->logText.contains(QLatin1String("\nTimed out\n")));
    QCOMPARE(rig.runs().size(), 1);
    QVERIFY(w->btnIngest->isEnabled());
    QCOMPARE(w->session->mediaUrl(), QString());

    // The time-out is over with that start: a quick next run is not taken for one.
    rig.remove("hls.sleep");
    rig.write("hls.out", "https://cdn/m.m3u8\n");
    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));
    QCOMPARE(w->lblStatus->text(), QStringLiteral("kby_nuvix not found"));
    QCOMPARE(w->session->mediaUrl(), QStringLiteral("https://cdn/m.m3u8"));
    close(w);
}

void ExtractionTest::staleTimeOutSparesLaterRun()
{
    Rig rig;
    rig.write("hls.out", "https://cdn/first.m3u8\n");
    auto w = openWindow();
    fill(*w, QStringLiteral("https://www.youtube.com/watch?v=abc"));

    QElapsedTimer clock;
    clock.start();
    w->session->setExtractTimeoutMs(1500);
    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));
    QCOMPARE(w->session->mediaUrl(), QStringLiteral("https://cdn/first.m3u8"));

    // The second start's run outlives the first start's time-out.
    w->session->setExtractTimeoutMs(RelaySession::EXTRACT_TIMEOUT_MS);
    rig.write("hls.out", "https://cdn/second.m3u8\n");
    rig.write("hls.sleep", "3");
    w->btnIngest->click();
    QVERIFY2(clock.elapsed() < 1500, "the second start began after the first time-out");
    QVERIFY(extracting(*w));
    QVERIFY(waitForEnd(*w));
    QVERIFY(clock.elapsed() >= 2500);
    QVERIFY(!w->logText.contains(QLatin1String("Timed out")));
    QCOMPARE(w->lblStatus->text(), QStringLiteral("kby_nuvix not found"));
    QCOMPARE(w->session->mediaUrl(), QStringLiteral("https://cdn/second.m3u8"));
    close(w);
}

void ExtractionTest::alwaysOnExtractionCanBeStopped()
{
    Rig rig;
    rig.write("hls.sleep", "30");
    auto w = openWindow();
    w->chkAlwaysOn->setChecked(true);
    fill(*w, QStringLiteral("https://vk.com/video1_2"));
    w->btnIngest->click();

    QCOMPARE(w->lblStatus->text(), QStringLiteral("extracting..."));
    QVERIFY(w->btnIngest->isEnabled());
    QCOMPARE(w->btnIngest->text(), QStringLiteral("Stop"));
    QVERIFY(w->btnIngest->property("stop").toBool());
    QVERIFY(QTest::qWaitFor([&] { return w->session->extractorProcess()->state() == QProcess::Running; }, WAIT_MS));

    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));
    QCOMPARE(w->lblStatus->text(), QStringLiteral("stopped"));
    // A stopped HLS run is not followed by the run without HLS.
    QCOMPARE(rig.runs().size(), 1);
    QVERIFY(!w->session->isRestartPending());

    // The stop ended with that run: the next start's extraction is not taken for a stop.
    rig.remove("hls.sleep");
    rig.write("hls.out", "https://cdn/m.m3u8\n");
    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));
    QCOMPARE(w->lblStatus->text(), QStringLiteral("kby_nuvix not found"));
    close(w);
}

void ExtractionTest::alwaysOnFailuresScheduleRestart_data()
{
    QTest::addColumn<QByteArray>("hlsOut");
    QTest::addColumn<bool>("hang");

    QTest::newRow("three addresses") << QByteArray("https://a\nhttps://b\nhttps://c\n") << false;
    QTest::newRow("no address") << QByteArray("format 1 x y z\n") << false;
    QTest::newRow("time-out") << QByteArray() << true;
}

void ExtractionTest::alwaysOnFailuresScheduleRestart()
{
    QFETCH(QByteArray, hlsOut);
    QFETCH(bool, hang);

    Rig rig;
    rig.write("hls.out", hlsOut);
    if (hang)
        rig.write("hls.sleep", "30");
    auto w = openWindow();
    w->session->setExtractTimeoutMs(400);
    w->chkAlwaysOn->setChecked(true);
    fill(*w, QStringLiteral("https://www.youtube.com/watch?v=abc"));
    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));

    QCOMPARE(w->lblStatus->text(), QStringLiteral("reconnecting"));
    QVERIFY(w->session->isRestartPending());
    QVERIFY(w->logText.contains(QLatin1String("\nalways on: extracting again\n")));
    // Cancel the pending restart before it extracts again.
    w->btnIngest->click();
    QCOMPARE(w->lblStatus->text(), QStringLiteral("stopped"));
    close(w);
}

void ExtractionTest::logClearedOnlyByUserStart()
{
    Rig rig;
    rig.write("hls.out", "https://cdn/m.m3u8\n");
    auto w = openWindow();
    w->showLogs();
    fill(*w, QStringLiteral("https://www.youtube.com/watch?v=abc"));

    // An always-on start keeps the log: see the supervision test of the session.
    w->appendLog(QStringLiteral("earlier\n"));
    w->btnIngest->click();
    // Nothing of the earlier runs is left, in the log or in its window.
    QVERIFY(w->logText.startsWith(QLatin1String("\nTry HLS\n")));
    QVERIFY(!w->logsView->toPlainText().contains(QLatin1String("earlier")));
    QVERIFY(waitForEnd(*w));
    QCOMPARE(w->logText.count(QLatin1String("Try HLS")), 1);
    close(w);
}

void ExtractionTest::portRangeNotice_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("flag");
    QTest::addColumn<bool>("notice");

    QTest::newRow("defaults, flag on") << "" << "  " << true << true;
    QTest::newRow("defaults, flag off") << "" << "" << false << false;
    QTest::newRow("host typed, flag on") << "127.0.0.1" << "" << true << false;
    QTest::newRow("port typed, flag on") << "" << "9001" << true << false;
}

void ExtractionTest::portRangeNotice()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(bool, flag);
    QFETCH(bool, notice);

    Rig rig;
    rig.write("hls.out", "https://cdn/m.m3u8\n");
    auto sibling = rig.iso.siblingStore();
    sibling->setValue(QStringLiteral("use_port_range"), flag);
    sibling->sync();
    auto w = openWindow();
    fill(*w, QStringLiteral("https://www.youtube.com/watch?v=abc"));
    w->edtHost->setText(host);
    w->edtPort->setText(port);
    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));

    QCOMPARE(w->logText.count(QLatin1String(PORT_RANGE_NOTICE)), notice ? 1 : 0);
    if (notice)
        QVERIFY(w->logText.startsWith(QLatin1String(PORT_RANGE_NOTICE)));
    QVERIFY(!w->lblStatus->text().contains(QLatin1String("port range")));
    close(w);
}

void ExtractionTest::ytDlpThatCannotStart()
{
    Rig rig;
    // Exists, so it is chosen, but is not executable.
    const QString notProgram = rig.control.filePath(QStringLiteral("yt-dlp-text"));
    rig.write("yt-dlp-text", "not a program\n");
    auto store = rig.iso.store();
    store->setValue(QStringLiteral("YT_DLP_PATH"), notProgram);
    store->sync();

    NuvixWindow w;
    QTRY_COMPARE_WITH_TIMEOUT(w.lblStatus->text(), QStringLiteral("yt-dlp did not start"), WAIT_MS);
    fill(w, QStringLiteral("https://rutube.ru/video/abc/"));
    w.btnIngest->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.lblStatus->text(), QStringLiteral("failed to start yt-dlp"), WAIT_MS);
    QVERIFY(!w.session->extractorProcess()->errorString().isEmpty());
    QVERIFY(w.logText.endsWith(w.session->extractorProcess()->errorString() + QLatin1Char('\n')));
    QVERIFY(w.btnIngest->isEnabled());
    QCOMPARE(w.btnIngest->text(), QStringLiteral("Start"));
    // A failed start is not retried without HLS.
    QTest::qWait(200);
    QCOMPARE(w.lblStatus->text(), QStringLiteral("failed to start yt-dlp"));
    QCOMPARE(w.logText.count(QLatin1String("\nTry ")), 1);
    w.close();
}

void ExtractionTest::closingDuringExtraction()
{
    Rig rig;
    rig.write("hls.sleep", "30");
    auto w = openWindow();
    w->session->setExtractTimeoutMs(300);
    fill(*w, QStringLiteral("https://rutube.ru/video/abc/"));
    w->btnIngest->click();
    QVERIFY(QTest::qWaitFor([&] { return w->session->extractorProcess()->state() == QProcess::Running; }, WAIT_MS));

    w->close();
    const QString statusAtClose = w->lblStatus->text();
    QVERIFY(QTest::qWaitFor([&] { return !extracting(*w); }, WAIT_MS));
    // The kill, the pending time-out and the retry are all ignored.
    QTest::qWait(600);
    QCOMPARE(w->lblStatus->text(), statusAtClose);
    QVERIFY(!w->logText.contains(QLatin1String("Retry without HLS")));
    QCOMPARE(rig.runs().size(), 1);
    QVERIFY(!w->logText.contains(QLatin1String("Timed out")));
    w.reset();
}

void ExtractionTest::destroyedWhileYtDlpRuns()
{
    Rig rig;
    rig.write("hls.sleep", "30");
    auto w = openWindow();
    fill(*w, QStringLiteral("https://rutube.ru/video/abc/"));
    w->btnIngest->click();
    QVERIFY(QTest::qWaitFor([&] { return w->session->extractorProcess()->state() == QProcess::Running; }, WAIT_MS));
    // A version probe that is still running as well.
    rig.write("version.sleep", "30");
    w->probeProc->start(fakeYtDlpPath(), {QStringLiteral("--version")});
    QVERIFY(w->probeProc->waitForStarted(WAIT_MS));
    const qint64 extractPid = w->session->extractorProcess()->processId();
    const qint64 probePid = w->probeProc->processId();

    // Destroyed without a close: the processes die with it and their last
    // signals must not reach the half-destroyed window.
    w.reset();
    QVERIFY(QTest::qWaitFor([&] { return processGone(extractPid) && processGone(probePid); }, WAIT_MS));
}

void ExtractionTest::missingYtDlpOpensSetup()
{
    Rig rig;
    rig.write("hls.out", "https://cdn/m.m3u8\n");
    auto w = openWindow();
    fill(*w, QStringLiteral("https://www.youtube.com/watch?v=abc"));
    // Nothing stored, nothing beside the program, nothing on the search path.
    QTemporaryDir emptyBin;
    qputenv("PATH", emptyBin.path().toLocal8Bit());
    w->settings->remove(QStringLiteral("YT_DLP_PATH"));
    QCOMPARE(w->findYtDlp(), QString());

    ModalWatchdog watchdog;
    // Closed without a choice: the start ends.
    whenSetupShows([](WelcomeSetupDialog *dialog) { dialog->reject(); });
    w->btnIngest->click();
    QCOMPARE(w->lblStatus->text(), QString::fromLatin1(NO_YT_DLP));
    QVERIFY(w->logText.endsWith(QString::fromLatin1(NO_YT_DLP) + QLatin1Char('\n')));
    QVERIFY(!w->quitAtStart);
    QVERIFY(rig.runs().isEmpty());

    // A checked choice is stored and the start goes on with it.
    whenSetupShows([](WelcomeSetupDialog *dialog) {
        dialog->checkFile(fakeYtDlpPath());
        buttonWithText(dialog, QStringLiteral("Continue \u00bb"))->click();
    });
    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));
    QCOMPARE(w->settings->value(QStringLiteral("YT_DLP_PATH")).toString(), fakeYtDlpPath());
    QCOMPARE(rig.runs().size(), 1);
    QCOMPARE(w->session->mediaUrl(), QStringLiteral("https://cdn/m.m3u8"));
    close(w);
}

void ExtractionTest::realYtDlpOnLoopbackPages()
{
    const QString ytDlp = QStandardPaths::findExecutable(QStringLiteral("yt-dlp"));
    if (ytDlp.isEmpty())
        QSKIP("yt-dlp is not installed (scripts/install-deps.sh installs it)");
    const QString ts = generatedTs(2);
    QVERIFY(!ts.isEmpty());

    // An HLS page: a master playlist that names its codecs, over one TS segment.
    QTemporaryDir site;
    QVERIFY(QFile::copy(ts, site.filePath(QStringLiteral("seg0.ts"))));
    auto writeSite = [&](const char *name, const QByteArray &text) {
        QFile file(site.filePath(QString::fromLatin1(name)));
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    QVERIFY(writeSite("index.m3u8", "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n"
                                    "#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n"
                                    "#EXTINF:2.0,\nseg0.ts\n#EXT-X-ENDLIST\n"));
    QVERIFY(writeSite("master.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=500000,RESOLUTION=320x240,"
                                     "CODECS=\"avc1.42c01e,mp4a.40.2\"\nindex.m3u8\n"));
    ServiceProcess http;
    QVERIFY(http.start(QStringLiteral("python3"),
                       {sourceDir() + QStringLiteral("/engine/tests/support/http_server.py"), site.path(),
                        QStringLiteral("--max-seconds"), QStringLiteral("120")}));
    const QString base = QStringLiteral("http://127.0.0.1:%1/").arg(http.port());

    Rig rig;
    auto store = rig.iso.store();
    store->setValue(QStringLiteral("YT_DLP_PATH"), ytDlp);
    store->sync();
    auto w = openWindow();
    QVERIFY(w->logText.startsWith(QStringLiteral("yt-dlp ")));
    QVERIFY(w->logText.contains(QLatin1Char('\n') + ytDlp + QLatin1Char('\n')));

    close(w);

    // The start flow insists on https; one extraction step takes any link.
    ExtractionStep session;
    RelayJob job;
    job.ytDlpPath = ytDlp;
    session.setJob(job);
    QString log;
    QString status;
    connect(&session, &RelaySession::logAppended, &session, [&log](const QString &text) { log += text; });
    connect(&session, &RelaySession::statusChanged, &session, [&status](const QString &text) { status = text; });
    auto extractionEnded = [&] {
        return QTest::qWaitFor([&] {
            return session.extractorProcess()->state() == QProcess::NotRunning
                   && status != QLatin1String("extracting...");
        }, 60000);
    };
    session.extract(base + QStringLiteral("master.m3u8"), false);
    QVERIFY(extractionEnded());
    QCOMPARE(session.mediaUrl(), base + QStringLiteral("index.m3u8"));
    QVERIFY2(log.contains(QLatin1String("using max: ")) && log.contains(QLatin1String("avc1.42c01e mp4a.40.2\n")),
             qPrintable(log));

    // A bare TS has no codec information: both runs fail and yt-dlp's own
    // error line, not its bracketed progress, becomes the status.
    session.extract(base + QStringLiteral("seg0.ts"), true);
    QVERIFY(extractionEnded());
    QCOMPARE(log.count(QLatin1String("\nTry without HLS\n")), 1);
    QVERIFY2(status.startsWith(QLatin1String("ERROR: ")), qPrintable(status));
    QVERIFY(status.contains(QLatin1String("Requested format is not available")));
}

void ExtractionTest::oldYtDlpNamedAsLikelyCause_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<bool>("old");
    QTest::newRow("old yt-dlp") << QByteArray("2020.01.01\n") << true;
    QTest::newRow("current yt-dlp") << QByteArray("2099.01.01\n") << false;
    QTest::newRow("version without a date") << QByteArray("1.2.3\n") << false;
}

void ExtractionTest::oldYtDlpNamedAsLikelyCause()
{
    QFETCH(QByteArray, version);
    QFETCH(bool, old);

    Rig rig;
    rig.write("version.out", version);
    rig.write("hls.err", "[youtube] abc: Downloading webpage\nERROR: [youtube] abc: Unable to extract player\n");
    auto w = openWindow();
    fill(*w, QStringLiteral("https://www.youtube.com/watch?v=abc"));
    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));

    const QString error = QStringLiteral("ERROR: [youtube] abc: Unable to extract player");
    const int days = ytDlpAgeDays(QString::fromUtf8(version), QDate::currentDate());
    if (!old) {
        QCOMPARE(w->lblStatus->text(), error);
        QVERIFY(!w->logText.contains(QLatin1String("days old")));
        close(w);
        return;
    }
    QCOMPARE(w->lblStatus->text(), error + QStringLiteral(" (likely cause: yt-dlp is %1 days old)").arg(days));
    // The start cleared the log; the failure explains the age again, once.
    const QString advice = ytDlpAgeAdvice(QStringLiteral("2020.01.01"), days, fakeYtDlpPath(),
                                          ytDlpCanSelfUpdate(fakeYtDlpPath()), QCoreApplication::applicationDirPath(),
                                          w->settings->fileName());
    QCOMPARE(w->logText.count(advice), 1);
    QVERIFY(w->logText.indexOf(error) < w->logText.indexOf(advice));

    // Other failures are not blamed on the age.
    rig.write("hls.out", "https://a\nhttps://b\nhttps://c\n");
    w->btnIngest->click();
    QVERIFY(waitForEnd(*w));
    QCOMPARE(w->lblStatus->text(), QStringLiteral("extractor returned an unexpected address list"));
    close(w);
}

void ExtractionTest::exitInSetupFromStartFlow()
{
    Rig rig;
    auto w = openWindow();
    fill(*w, QStringLiteral("https://www.youtube.com/watch?v=abc"));
    QTemporaryDir emptyBin;
    qputenv("PATH", emptyBin.path().toLocal8Bit());
    w->settings->remove(QStringLiteral("YT_DLP_PATH"));

    ModalWatchdog watchdog;
    whenSetupShows([](WelcomeSetupDialog *dialog) {
        buttonWithText(dialog, QStringLiteral("Exit"))->click();
    });
    w->btnIngest->click();
    QVERIFY(w->quitAtStart);
    QCOMPARE(w->lblStatus->text(), QString::fromLatin1(NO_YT_DLP));
    QVERIFY(rig.runs().isEmpty());
    close(w);
}

QTEST_MAIN(ExtractionTest)
#include "extraction_test.moc"
