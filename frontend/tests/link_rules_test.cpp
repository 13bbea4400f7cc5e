#include "link_rules.h"

#include <QtTest>

class LinkRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void hostMatchesRule_data();
    void hostMatchesRule();
    void platformHosts_data();
    void platformHosts();
    void hostOfLinkLowerCases();
    void offsetValues_data();
    void offsetValues();
    void offsetFromLink_data();
    void offsetFromLink();
};

void LinkRulesTest::hostMatchesRule_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<bool>("matches");

    QTest::newRow("equal") << "youtube.com" << "youtube.com" << true;
    QTest::newRow("one label in front") << "m.youtube.com" << "youtube.com" << true;
    QTest::newRow("several labels in front") << "a.b.vk.com" << "vk.com" << true;
    QTest::newRow("same letters, no dot") << "notyoutube.com" << "youtube.com" << false;
    QTest::newRow("domain is a suffix of a label") << "myvk.com" << "vk.com" << false;
    QTest::newRow("domain longer than host") << "vk.com" << "m.vk.com" << false;
    QTest::newRow("different") << "example.org" << "vk.com" << false;
    QTest::newRow("case-sensitive") << "YouTube.com" << "youtube.com" << false;
    QTest::newRow("empty host") << "" << "vk.com" << false;
}

void LinkRulesTest::hostMatchesRule()
{
    QFETCH(QString, host);
    QFETCH(QString, domain);
    QFETCH(bool, matches);
    QCOMPARE(hostMatches(host, domain), matches);
}

void LinkRulesTest::platformHosts_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("youtube");
    QTest::addColumn<bool>("known");

    QTest::newRow("youtube main") << "youtube.com" << true << true;
    QTest::newRow("youtube www") << "www.youtube.com" << true << true;
    QTest::newRow("youtube mobile") << "m.youtube.com" << true << true;
    QTest::newRow("youtube short links") << "youtu.be" << true << true;
    QTest::newRow("youtube embed") << "www.youtube-nocookie.com" << true << true;
    QTest::newRow("rutube") << "rutube.ru" << false << true;
    QTest::newRow("vk") << "vk.com" << false << true;
    QTest::newRow("vk mobile") << "m.vk.com" << false << true;
    QTest::newRow("vk ru") << "vk.ru" << false << true;
    QTest::newRow("vk video") << "vkvideo.ru" << false << true;
    QTest::newRow("lookalike") << "fakeyoutube.com" << false << false;
    QTest::newRow("other") << "example.com" << false << false;
    QTest::newRow("empty") << "" << false << false;
}

void LinkRulesTest::platformHosts()
{
    QFETCH(QString, host);
    QFETCH(bool, youtube);
    QFETCH(bool, known);
    QCOMPARE(isYouTubeHost(host), youtube);
    QCOMPARE(isKnownPlatformHost(host), known);
}

void LinkRulesTest::hostOfLinkLowerCases()
{
    QCOMPARE(hostOfLink(QStringLiteral("https://WWW.YouTube.COM/watch?v=x")),
             QStringLiteral("www.youtube.com"));
    QCOMPARE(hostOfLink(QStringLiteral("not a link")), QString());
}

void LinkRulesTest::offsetValues_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("seconds");

    QTest::newRow("plain seconds") << "90" << 90;
    QTest::newRow("minutes and seconds") << "1m30s" << 90;
    QTest::newRow("trailing digits are seconds") << "1m30" << 90;
    QTest::newRow("all units") << "1h2m3s" << 3723;
    QTest::newRow("upper case unit") << "2H" << 7200;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("unknown unit") << "1x" << 0;
    QTest::newRow("unit without digits") << "m30" << 0;
    QTest::newRow("blanks around") << " 45 " << 45;
    QTest::newRow("blank inside") << "1m 30s" << 0;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("sign") << "-5" << 0;
    QTest::newRow("repeated unit adds") << "1m1m" << 120;
    QTest::newRow("largest int") << "2147483647" << 2147483647;
    // Values beyond int would wrap; they are refused instead.
    QTest::newRow("digits beyond int") << "2147483648" << 0;
    QTest::newRow("hours beyond int") << "596524h" << 0;
    QTest::newRow("sum beyond int") << "596523h14m8s1" << 0;
    QTest::newRow("very long number") << "99999999999999999999999" << 0;
}

void LinkRulesTest::offsetValues()
{
    QFETCH(QString, value);
    QFETCH(int, seconds);
    QCOMPARE(startSecondsFromValue(value), seconds);
}

void LinkRulesTest::offsetFromLink_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<int>("seconds");

    QTest::newRow("t query") << "https://www.youtube.com/watch?v=abc&t=90" << 90;
    QTest::newRow("start query") << "https://www.youtube.com/watch?v=abc&start=1m30s" << 90;
    QTest::newRow("t over start") << "https://youtu.be/abc?start=50&t=20" << 20;
    QTest::newRow("t over fragment") << "https://youtu.be/abc?t=20#t=10" << 20;
    QTest::newRow("start over fragment") << "https://rutube.ru/video/x/?start=30#t=10" << 30;
    QTest::newRow("fragment") << "https://vk.com/video1_2#t=1h" << 3600;
    QTest::newRow("capital fragment") << "https://vkvideo.ru/video1_2#T=10" << 10;
    QTest::newRow("other fragment") << "https://vk.com/video1_2#x=10" << 0;
    QTest::newRow("encoded value") << "https://www.youtube.com/watch?v=abc&t=%2045%20" << 45;
    QTest::newRow("empty t falls to start") << "https://www.youtube.com/watch?t=&start=7" << 7;
    QTest::newRow("unknown host") << "https://example.com/watch?t=90" << 0;
    QTest::newRow("lookalike host") << "https://notyoutube.com/watch?t=90" << 0;
    QTest::newRow("upper case host") << "https://WWW.YOUTUBE.COM/watch?t=90" << 90;
    QTest::newRow("no offset") << "https://www.youtube.com/watch?v=abc" << 0;
    QTest::newRow("bad value") << "https://www.youtube.com/watch?v=abc&t=abc" << 0;
}

void LinkRulesTest::offsetFromLink()
{
    QFETCH(QString, link);
    QFETCH(int, seconds);
    QCOMPARE(startSecondsFromLink(link), seconds);
}

QTEST_GUILESS_MAIN(LinkRulesTest)
#include "link_rules_test.moc"
