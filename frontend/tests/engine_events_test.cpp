#include "engine_events.h"
#include "engine_launch.h"

#include <QtTest>

class EngineEventsTest : public QObject
{
    Q_OBJECT

private slots:
    void lineBuffering();
    void eventStatus_data();
    void eventStatus();
    void exitLogText();
    void exitClassification_data();
    void exitClassification();
    void blankStderr_data();
    void blankStderr();
    void libraryFolder();
    void srtStats_data();
    void srtStats();
    void listeningAndHints_data();
    void listeningAndHints();
};

void EngineEventsTest::lineBuffering()
{
    QString buffer;
    QCOMPARE(takeEngineLines(buffer, ""), QStringList());
    QCOMPARE(buffer, QString());

    // A line split over chunks comes out once, when its line feed arrives.
    QCOMPARE(takeEngineLines(buffer, "{\"event\":\"run"), QStringList());
    QCOMPARE(buffer, QString("{\"event\":\"run"));
    QCOMPARE(takeEngineLines(buffer, "ning\"}"), QStringList());
    QCOMPARE(takeEngineLines(buffer, "\n"), QStringList{"{\"event\":\"running\"}"});
    QCOMPARE(buffer, QString());

    // Two lines and the start of a third; carriage returns and blanks trimmed.
    QCOMPARE(takeEngineLines(buffer, "  {\"event\":\"eof\"}\r\n\n{\"a\":1}\r\n{\"ev"),
             (QStringList{"{\"event\":\"eof\"}", "", "{\"a\":1}"}));
    QCOMPARE(buffer, QString("{\"ev"));
}

void EngineEventsTest::eventStatus_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("status"); // null: nothing changes

    QTest::newRow("opening") << "{\"event\":\"opening_inputs\"}" << "opening inputs...";
    QTest::newRow("connected") << "{\"event\":\"srt_connected\"}" << "srt connected";
    QTest::newRow("running") << "{\"event\":\"running\"}" << "running";
    QTest::newRow("eof") << "{\"event\":\"eof\"}" << "finished";
    QTest::newRow("error with detail") << "{\"event\":\"error\",\"detail\":\"mux_open_failed\"}"
                                       << "failed: mux_open_failed";
    QTest::newRow("error, empty detail") << "{\"event\":\"error\",\"detail\":\"\"}" << "failed";
    QTest::newRow("error, no detail") << "{\"event\":\"error\"}" << "failed";
    QTest::newRow("error, detail not a string") << "{\"event\":\"error\",\"detail\":5}" << "failed";
    QTest::newRow("blanks inside") << "{ \"event\" : \"running\" }" << "running";
    QTest::newRow("unknown event") << "{\"event\":\"bitrate\"}" << QString();
    QTest::newRow("case matters") << "{\"event\":\"Running\"}" << QString();
    QTest::newRow("empty event") << "{\"event\":\"\"}" << QString();
    QTest::newRow("no event key") << "{\"detail\":\"x\"}" << QString();
    QTest::newRow("event not a string") << "{\"event\":1}" << QString();
    QTest::newRow("plain text") << "running" << QString();
    QTest::newRow("array") << "[\"running\"]" << QString();
    QTest::newRow("partial json") << "{\"event\":\"running\"" << QString();
    QTest::newRow("empty line") << "" << QString();
}

void EngineEventsTest::eventStatus()
{
    QFETCH(QString, line);
    QFETCH(QString, status);
    const QString got = statusForEngineEvent(line);
    QCOMPARE(got.isNull(), status.isNull());
    QCOMPARE(got, status);
}

void EngineEventsTest::exitLogText()
{
    QCOMPARE(engineExitLogText(0), QString("\nkby_nuvix exit 0\n"));
    QCOMPARE(engineExitLogText(3), QString("\nkby_nuvix exit 3\n"));
    QCOMPARE(engineExitLogText(static_cast<int>(0xC0000135u)), QString("\nkby_nuvix exit -1073741515\n"));
}

void EngineEventsTest::exitClassification_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<QString>("stderrText");
    QTest::addColumn<int>("ending");

    const QString loader = "kby_nuvix: error while loading shared libraries: libsrt.so.1.5: "
                           "cannot open shared object file: No such file or directory\n";
    QTest::newRow("input ended") << 0 << false << "" << int(EngineEnding::InputEnded);
    QTest::newRow("zero after a crash") << 0 << true << "" << int(EngineEnding::Other);
    QTest::newRow("mux failed") << 3 << false << "" << int(EngineEnding::Other);
    QTest::newRow("loader") << 127 << false << loader << int(EngineEnding::LibraryMissing);
    QTest::newRow("127 without the loader's words") << 127 << false << "boom\n" << int(EngineEnding::Other);
    QTest::newRow("loader words with another code") << 2 << false << loader << int(EngineEnding::Other);
}

void EngineEventsTest::exitClassification()
{
    QFETCH(int, code);
    QFETCH(bool, crashed);
    QFETCH(QString, stderrText);
    QFETCH(int, ending);
    QCOMPARE(int(classifyEngineExit(code, crashed ? QProcess::CrashExit : QProcess::NormalExit,
                                    stderrText)),
             ending);
}

void EngineEventsTest::blankStderr_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("hasText");
    QTest::newRow("empty") << "" << false;
    QTest::newRow("blank lines") << " \n\t\r\n  \n" << false;
    QTest::newRow("one word") << "\n  x \n" << true;
}

void EngineEventsTest::blankStderr()
{
    QFETCH(QString, text);
    QFETCH(bool, hasText);
    QCOMPARE(hasNonBlankLine(text), hasText);
}

void EngineEventsTest::libraryFolder()
{
    QCOMPARE(ffmpegLibraryFolder("/opt/nuvix/app/bin"), QString("/opt/nuvix/ffmpeg-lib/linux/lib"));
    QCOMPARE(engineProgram("/opt/nuvix/app/bin"), QString("/opt/nuvix/app/bin/kby_nuvix"));
    setEngineProgramForTests("/x/fake");
    QCOMPARE(engineProgram("/opt/nuvix/app/bin"), QString("/x/fake"));
    setEngineProgramForTests(QString());
    QCOMPARE(engineProgram("/opt/nuvix/app/bin"), QString("/opt/nuvix/app/bin/kby_nuvix"));

    QProcessEnvironment env;
    env.insert("LD_LIBRARY_PATH", "/usr/local/lib");
    QCOMPARE(addLibraryFolder(env, "/f/lib", false), QString("FFmpeg DLL folder not found: /f/lib\n"));
    QCOMPARE(env.value("LD_LIBRARY_PATH"), QString("/usr/local/lib"));
    QCOMPARE(addLibraryFolder(env, "/f/lib", true), QString("DLL path: /f/lib\n"));
    QCOMPARE(env.value("LD_LIBRARY_PATH"), QString("/f/lib:/usr/local/lib"));

    // No previous value: no empty entry, which would mean the working folder.
    QProcessEnvironment bare;
    addLibraryFolder(bare, "/f/lib", true);
    QCOMPARE(bare.value("LD_LIBRARY_PATH"), QString("/f/lib"));
}

void EngineEventsTest::srtStats_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("isStats");
    QTest::addColumn<QString>("status");
    QTest::newRow("as the engine writes it")
        << R"({"event":"srt_stats","mbps":6.21,"rtt_ms":3.1,"sent":12345,"lost":0,"retrans":2,"buffer_ms":14,"bytes":1234567})"
        << true << "running  6.2 Mb/s  RTT 3 ms  loss 0.0%";
    QTest::newRow("loss as a share of sent packets")
        << R"({"event":"srt_stats","mbps":0.46,"rtt_ms":120.6,"sent":1000,"lost":25,"retrans":30,"buffer_ms":0,"bytes":5})"
        << true << "running  0.5 Mb/s  RTT 121 ms  loss 2.5%";
    QTest::newRow("nothing sent yet")
        << R"({"event":"srt_stats","mbps":0,"rtt_ms":0,"sent":0,"lost":0,"retrans":0,"buffer_ms":0,"bytes":0})"
        << true << "running  0.0 Mb/s  RTT 0 ms  loss 0.0%";
    QTest::newRow("another event") << R"({"event":"running"})" << false << "";
    QTest::newRow("not JSON") << "srt_stats" << false << "";
}

void EngineEventsTest::srtStats()
{
    QFETCH(QString, line);
    QFETCH(bool, isStats);
    QFETCH(QString, status);
    SrtStats stats;
    stats.bytes = -1;
    QCOMPARE(parseSrtStatsEvent(line, stats), isStats);
    // Figures are not a status of their own: the session makes them one.
    QVERIFY(statusForEngineEvent(line).isNull() || !isStats);
    if (!isStats) {
        QCOMPARE(stats.bytes, qint64(-1));
        return;
    }
    QCOMPARE(srtStatsStatus(stats), status);
    QCOMPARE(engineEventName(line), QString("srt_stats"));
}

void EngineEventsTest::listeningAndHints_data()
{
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("advice");
    QTest::newRow("live expected")
        << "2026-01-31 18:05:09  SRT hint: the receiver expects live mode; add transtype=live to the SRT address"
        << "the receiver expects live mode; add transtype=live to the SRT address";
    QTest::newRow("file expected")
        << "2026-01-31 18:05:09  SRT hint: the receiver expects file mode; remove transtype=live from the SRT address  "
        << "the receiver expects file mode; remove transtype=live from the SRT address";
    QTest::newRow("the failure before it") << "2026-01-31 18:05:09  SRT connect failed: rejected" << QString();
    QTest::newRow("the end summary")
        << "2026-01-31 18:05:09  SRT stats: 10 bytes in 1 packets, lost 0, retransmitted 0, RTT 1.0 ms" << QString();
}

void EngineEventsTest::listeningAndHints()
{
    QFETCH(QString, logLine);
    QFETCH(QString, advice);
    QCOMPARE(srtHintAdvice(logLine), advice);
    QCOMPARE(srtHintAdvice(logLine).isNull(), advice.isNull());

    QCOMPARE(engineEventName(R"({"event":"srt_listening"})"), QString("srt_listening"));
    QVERIFY(statusForEngineEvent(R"({"event":"srt_listening"})").isNull());
    QCOMPARE(srtListeningStatus("9001"), QString("waiting for a receiver on port 9001"));
}

QTEST_GUILESS_MAIN(EngineEventsTest)
#include "engine_events_test.moc"
