#include "relay_options.h"

#include <QJsonDocument>
#include <QtTest>

// The headless relay's command line: what becomes the job and what is refused.
class RelayOptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void help();
    void presets_data();
    void presets();
    void missingPreset();
    void srtKeysPassThrough();
};

namespace {
const QString LINK = QStringLiteral("https://video.example/watch?v=1");
}

void RelayOptionsTest::accepted_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<int>("maxHeight");
    QTest::addColumn<bool>("alwaysOn");
    QTest::addColumn<QString>("ytDlp");

    QTest::newRow("plain") << QStringList{"--link", LINK, "--srt-url", "srt://10.0.0.5:8890?streamid=cam1"}
                           << "10.0.0.5" << "8890" << "cam1" << 0 << false << "";
    QTest::newRow("every option, values after =")
        << QStringList{"--always-on", "--link=" + LINK, "--srt-url=srt://h.example:9001?streamid=a%20b",
                       "--max-height=720", "--yt-dlp=/opt/yt-dlp"}
        << "h.example" << "9001" << "a b" << 720 << true << "/opt/yt-dlp";
    QTest::newRow("stream id with a colon, as receivers print it")
        << QStringList{"--link", LINK, "--srt-url", "srt://127.0.0.1:8890?streamid=publish:cam1&latency=200"}
        << "127.0.0.1" << "8890" << "publish:cam1" << 0 << false << "";
}

void RelayOptionsTest::accepted()
{
    QFETCH(QStringList, args);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, streamId);
    QFETCH(int, maxHeight);
    QFETCH(bool, alwaysOn);
    QFETCH(QString, ytDlp);

    const RelayArguments a = parseRelayArguments(args);
    QVERIFY2(a.error.isEmpty(), qPrintable(a.error));
    QVERIFY(!a.help);
    QCOMPARE(a.job.link, LINK);
    QCOMPARE(a.job.srt.host, host);
    QCOMPARE(a.job.srt.port, port);
    QCOMPARE(a.job.srt.streamId, streamId);
    QCOMPARE(a.job.maxHeight, maxHeight);
    QCOMPARE(a.job.alwaysOn, alwaysOn);
    QCOMPARE(a.job.ytDlpPath, ytDlp);
    QCOMPARE(a.ytDlpGiven, !ytDlp.isEmpty());
}

void RelayOptionsTest::refused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");

    const QString srt = QStringLiteral("srt://127.0.0.1:9001?streamid=cam");
    QTest::newRow("nothing") << QStringList{} << "give --link and --srt-url, or --preset";
    QTest::newRow("link only") << QStringList{"--link", LINK} << "give --link and --srt-url, or --preset";
    QTest::newRow("value missing at the end") << QStringList{"--srt-url", srt, "--link"} << "--link needs a value";
    QTest::newRow("unknown option") << QStringList{"--link", LINK, "--srt-url", srt, "--port", "1"}
                                    << "unknown option --port";
    QTest::newRow("stray word") << QStringList{"--link", LINK, "--srt-url", srt, "now"}
                                << "unexpected argument now";
    QTest::newRow("twice") << QStringList{"--link", LINK, "--link", LINK} << "--link is given twice";
    QTest::newRow("preset with link") << QStringList{"--preset", "news", "--link", LINK}
                                      << "--preset takes the link and the receiver from the preset; "
                                         "leave out --link and --srt-url";
    QTest::newRow("empty preset name") << QStringList{"--preset", " "} << "--preset needs a name";
    QTest::newRow("http link") << QStringList{"--link", "http://video.example/x", "--srt-url", srt}
                               << "the link must be an https page link";
    QTest::newRow("address without scheme") << QStringList{"--link", LINK, "--srt-url", "127.0.0.1:9001"}
                                            << "the SRT address must start with srt://";
    QTest::newRow("address without port")
        << QStringList{"--link", LINK, "--srt-url", "srt://127.0.0.1?streamid=cam"}
        << "the SRT address needs a host and a port (srt://HOST:PORT?streamid=ID)";
    QTest::newRow("address without stream id") << QStringList{"--link", LINK, "--srt-url", "srt://127.0.0.1:9001"}
                                                << "the SRT address needs a stream id (?streamid=ID)";
    // The target fields take no IPv6 address either.
    QTest::newRow("IPv6 host") << QStringList{"--link", LINK, "--srt-url", "srt://[::1]:9001?streamid=x"}
                               << "the SRT host or port is invalid";
    QTest::newRow("port out of range") << QStringList{"--link", LINK, "--srt-url", "srt://h:70000?streamid=x"}
                                       << "the SRT address needs a host and a port (srt://HOST:PORT?streamid=ID)";
    QTest::newRow("negative height") << QStringList{"--link", LINK, "--srt-url", srt, "--max-height", "-1"}
                                     << "--max-height must be a whole number of lines (0: no limit)";
    QTest::newRow("height in words") << QStringList{"--link", LINK, "--srt-url", srt, "--max-height", "hd"}
                                     << "--max-height must be a whole number of lines (0: no limit)";
    QTest::newRow("empty yt-dlp") << QStringList{"--link", LINK, "--srt-url", srt, "--yt-dlp="}
                                  << "--yt-dlp needs a path";
}

void RelayOptionsTest::refused()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    QCOMPARE(parseRelayArguments(args).error, error);
}

void RelayOptionsTest::help()
{
    const RelayArguments a = parseRelayArguments({"--link", LINK, "--help"});
    QVERIFY(a.help);
    QVERIFY(a.error.isEmpty());
    const QString usage = relayUsageText();
    QVERIFY(usage.startsWith("usage: nuvix-relay --link URL --srt-url ADDRESS [--max-height N] [--always-on] "
                             "[--yt-dlp PATH]\n       nuvix-relay --preset NAME"));
    QVERIFY(usage.contains("Exit codes: 0 finished or stopped, 1 could not start or failed"));
}

void RelayOptionsTest::presets_data()
{
    QTest::addColumn<QByteArray>("preset");
    QTest::addColumn<QStringList>("extraArgs");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("maxHeight");

    QTest::newRow("host and port")
        << QByteArray(R"({"url":"https://v.example/1","streamid":"cam","srthost":"10.1.1.1","srtport":"7000","maxheight":720})")
        << QStringList{} << "10.1.1.1" << "7000" << 720;
    QTest::newRow("empty host and port take the defaults")
        << QByteArray(R"({"url":"https://v.example/1","streamid":"cam","srthost":"","srtport":""})")
        << QStringList{} << "127.0.0.1" << "9001" << 0;
    QTest::newRow("older single address")
        << QByteArray(R"({"url":"https://v.example/1","streamid":"cam","srturl":"srt://10.2.2.2:7001?x=1"})")
        << QStringList{} << "10.2.2.2" << "7001" << 0;
    QTest::newRow("no target at all: the defaults")
        << QByteArray(R"({"url":"https://v.example/1","streamid":"cam"})") << QStringList{} << "" << "" << 0;
    QTest::newRow("live listener: an empty host waits on every address")
        << QByteArray(R"({"url":"https://v.example/1","streamid":"cam","srthost":"","srtport":"9100","srtmode":"listener","srttranstype":"live","srtlatency":"250","srtpassphrase":"p"})")
        << QStringList{} << "" << "9100" << 0;
    QTest::newRow("the command line's height wins")
        << QByteArray(R"({"url":"https://v.example/1","streamid":"cam","maxheight":2160})")
        << QStringList{"--max-height", "480"} << "" << "" << 480;
}

void RelayOptionsTest::presets()
{
    QFETCH(QByteArray, preset);
    QFETCH(QStringList, extraArgs);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(int, maxHeight);

    QJsonObject presets;
    presets.insert("evening news", QJsonDocument::fromJson(preset).object());
    RelayArguments a = parseRelayArguments(QStringList{"--preset", "evening news", "--always-on"} + extraArgs);
    QVERIFY2(a.error.isEmpty(), qPrintable(a.error));
    QVERIFY(applyRelayPreset(presets, a));
    QCOMPARE(a.job.link, QString("https://v.example/1"));
    QCOMPARE(a.job.srt.streamId, QString("cam"));
    QCOMPARE(a.job.srt.host, host);
    QCOMPARE(a.job.srt.port, port);
    QCOMPARE(a.job.maxHeight, maxHeight);
    QVERIFY(a.job.alwaysOn);
    QCOMPARE(relayJobProblem(a.job), QString());
    // Older presets are file mode as a caller.
    const bool modes = preset.contains("srtmode");
    QCOMPARE(a.job.srt.listener, modes);
    QCOMPARE(a.job.srt.live, modes);
    QCOMPARE(a.job.srt.latency, modes ? QString("250") : QString());
    QCOMPARE(a.job.srt.passphrase, modes ? QString("p") : QString());
}

void RelayOptionsTest::missingPreset()
{
    RelayArguments a = parseRelayArguments({"--preset", "late"});
    QVERIFY(a.error.isEmpty());
    QVERIFY(!applyRelayPreset(QJsonObject{{"early", QJsonObject{}}}, a));
    QCOMPARE(a.error, QString("no preset named \"late\""));

    // A preset the window saved without a stream id cannot run.
    a = parseRelayArguments({"--preset", "early"});
    QVERIFY(applyRelayPreset(QJsonObject{{"early", QJsonObject{{"url", LINK}}}}, a));
    QCOMPARE(relayJobProblem(a.job), QString("the SRT address needs a stream id (?streamid=ID)"));
}

void RelayOptionsTest::srtKeysPassThrough()
{
    const RelayArguments a = parseRelayArguments(
        {"--link", LINK, "--srt-url",
         "srt://10.0.0.5:8890?streamid=publish:cam1&transtype=live&latency=200&passphrase=secret%20words&pbkeylen=32",
         "--stats-interval", "0"});
    QVERIFY2(a.error.isEmpty(), qPrintable(a.error));
    QCOMPARE(a.statsIntervalSeconds, 0);
    QVERIFY(a.job.srt.live);
    QVERIFY(!a.job.srt.listener);
    QCOMPARE(a.job.srt.latency, QString("200"));
    // The passphrase is taken out of the address: the engine gets it in its input file.
    QCOMPARE(a.job.srt.passphrase, QString("secret words"));
    QString url, error;
    QVERIFY(buildSrtUrl(a.job.srt, url, error));
    QCOMPARE(url, QString("srt://10.0.0.5:8890?streamid=publish%3Acam1&transtype=live&latency=200&pbkeylen=32"));

    // A listener needs no host; live mode needs no stream id.
    const RelayArguments listener =
        parseRelayArguments({"--link", LINK, "--srt-url", "srt://:9001?mode=listener&transtype=live"});
    QVERIFY2(listener.error.isEmpty(), qPrintable(listener.error));
    QVERIFY(listener.job.srt.listener);
    QCOMPARE(parseRelayArguments({"--link", LINK}).statsIntervalSeconds, RELAY_STATS_INTERVAL_S);

    const QStringList refusals[] = {
        {"--link", LINK, "--srt-url", "srt://h:1?streamid=x&mode=rendezvous"},
        {"--link", LINK, "--srt-url", "srt://h:1?streamid=x&latency=soon"},
        {"--link", LINK, "--srt-url", "srt://:1?streamid=x"},
        {"--link", LINK, "--srt-url", "srt://h:1?streamid=x", "--stats-interval", "-1"},
    };
    const QString errors[] = {
        "mode must be caller or listener",
        "latency must be a whole number of milliseconds",
        "the SRT address needs a host and a port (srt://HOST:PORT?streamid=ID)",
        "--stats-interval must be a whole number of seconds (0: none)",
    };
    for (int i = 0; i < 4; ++i)
        QCOMPARE(parseRelayArguments(refusals[i]).error, errors[i]);
}

QTEST_GUILESS_MAIN(RelayOptionsTest)
#include "relay_options_test.moc"
