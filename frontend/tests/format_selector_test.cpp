#include "format_selector.h"

#include <QtTest>

class FormatSelectorTest : public QObject
{
    Q_OBJECT

private slots:
    void selectors_data();
    void selectors();
    void formsDifferOnlyInHlsParts_data();
    void formsDifferOnlyInHlsParts();
};

void FormatSelectorTest::selectors_data()
{
    QTest::addColumn<bool>("hls");
    QTest::addColumn<int>("maxHeight");
    QTest::addColumn<QString>("selector");

    QTest::newRow("hls 1080")
        << true << 1080
        << R"x(bv*[height<=1080][protocol^=m3u8][vcodec~="^(avc|h264|hev|h265|hvc)"]+ba[protocol^=m3u8][acodec~=?"^(aac|mp4a|mp3|opus)"]/b[height<=1080][protocol^=m3u8][vcodec~="^(avc|h264|hev|h265|hvc)"][acodec~=?"^(aac|mp4a|mp3|opus)"])x";
    QTest::newRow("no hls, no limit")
        << false << 0
        << R"x(bv*[vcodec~="^(avc|h264|hev|h265|hvc)"]+ba[acodec~="^(aac|mp4a|mp3|opus)"]/b[vcodec~="^(avc|h264|hev|h265|hvc)"][acodec~="^(aac|mp4a|mp3|opus)"])x";
    QTest::newRow("hls, no limit")
        << true << 0
        << R"x(bv*[protocol^=m3u8][vcodec~="^(avc|h264|hev|h265|hvc)"]+ba[protocol^=m3u8][acodec~=?"^(aac|mp4a|mp3|opus)"]/b[protocol^=m3u8][vcodec~="^(avc|h264|hev|h265|hvc)"][acodec~=?"^(aac|mp4a|mp3|opus)"])x";
    QTest::newRow("no hls 2160")
        << false << 2160
        << R"x(bv*[height<=2160][vcodec~="^(avc|h264|hev|h265|hvc)"]+ba[acodec~="^(aac|mp4a|mp3|opus)"]/b[height<=2160][vcodec~="^(avc|h264|hev|h265|hvc)"][acodec~="^(aac|mp4a|mp3|opus)"])x";
    QTest::newRow("hls 720")
        << true << 720
        << R"x(bv*[height<=720][protocol^=m3u8][vcodec~="^(avc|h264|hev|h265|hvc)"]+ba[protocol^=m3u8][acodec~=?"^(aac|mp4a|mp3|opus)"]/b[height<=720][protocol^=m3u8][vcodec~="^(avc|h264|hev|h265|hvc)"][acodec~=?"^(aac|mp4a|mp3|opus)"])x";
    // A negative height is no limit, like 0.
    QTest::newRow("no hls, negative height")
        << false << -1
        << R"x(bv*[vcodec~="^(avc|h264|hev|h265|hvc)"]+ba[acodec~="^(aac|mp4a|mp3|opus)"]/b[vcodec~="^(avc|h264|hev|h265|hvc)"][acodec~="^(aac|mp4a|mp3|opus)"])x";
}

void FormatSelectorTest::selectors()
{
    QFETCH(bool, hls);
    QFETCH(int, maxHeight);
    QFETCH(QString, selector);
    QCOMPARE(buildFormatSelector(hls, maxHeight), selector);
}

void FormatSelectorTest::formsDifferOnlyInHlsParts_data()
{
    QTest::addColumn<int>("maxHeight");
    QTest::newRow("max") << 0;
    QTest::newRow("4K") << 2160;
    QTest::newRow("1080") << 1080;
    QTest::newRow("720") << 720;
}

void FormatSelectorTest::formsDifferOnlyInHlsParts()
{
    QFETCH(int, maxHeight);
    QString hls = buildFormatSelector(true, maxHeight);
    const QString plain = buildFormatSelector(false, maxHeight);

    QCOMPARE(hls.count(QStringLiteral("[height<=")), maxHeight > 0 ? 2 : 0);
    QCOMPARE(plain.count(QStringLiteral("[height<=")), maxHeight > 0 ? 2 : 0);
    if (maxHeight > 0)
        QVERIFY(plain.contains(QStringLiteral("[height<=%1]").arg(maxHeight)));

    QCOMPARE(hls.count(QStringLiteral("[protocol^=m3u8]")), 3);
    QVERIFY(!plain.contains(QStringLiteral("m3u8")));
    hls.remove(QStringLiteral("[protocol^=m3u8]"));
    hls.replace(QLatin1String(AUDIO_CODEC_FILTER_OPTIONAL), QLatin1String(AUDIO_CODEC_FILTER));
    QCOMPARE(hls, plain);
}

QTEST_GUILESS_MAIN(FormatSelectorTest)
#include "format_selector_test.moc"
