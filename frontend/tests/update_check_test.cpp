#include "update_check.h"

#include <QtTest>

// Pure rules of the update check; the window's side is in update_reply_test.
class UpdateCheckTest : public QObject
{
    Q_OBJECT

private slots:
    void requestAddress();
    void hostFromEnvironment();
    void replyParsing_data();
    void replyParsing();
    void offer_data();
    void offer();
    void text_data();
    void text();
};

void UpdateCheckTest::requestAddress()
{
    QCOMPARE(updateRequestPath(), QString("/check_update379/960/0/0/20/update.json"));
    QCOMPARE(updateRequestUrl("127.0.0.1:8080").toString(),
             QString("http://127.0.0.1:8080/check_update379/960/0/0/20/update.json"));
    QCOMPARE(updateRequestUrl("updates.example").toString(),
             QString("http://updates.example/check_update379/960/0/0/20/update.json"));
    QCOMPARE(updateRequestUrl("[::1]:99").toString(),
             QString("http://[::1]:99/check_update379/960/0/0/20/update.json"));
    QVERIFY(!updateRequestUrl("").isValid());
    QVERIFY(!updateRequestUrl("user@host").isValid());
    QVERIFY(!updateRequestUrl("host:notaport").isValid());
}

void UpdateCheckTest::hostFromEnvironment()
{
    const QByteArray saved = qgetenv("NUVIX_UPDATE_HOST");
    qunsetenv("NUVIX_UPDATE_HOST");
    QCOMPARE(updateEndpointHost(), QString(NUVIX_UPDATE_HOST_DEFAULT));
    qputenv("NUVIX_UPDATE_HOST", " 127.0.0.1:1234 ");
    QCOMPARE(updateEndpointHost(), QString("127.0.0.1:1234"));
    qputenv("NUVIX_UPDATE_HOST", "");
    QCOMPARE(updateEndpointHost(), QString(NUVIX_UPDATE_HOST_DEFAULT));
    if (saved.isNull())
        qunsetenv("NUVIX_UPDATE_HOST");
    else
        qputenv("NUVIX_UPDATE_HOST", saved);
}

void UpdateCheckTest::replyParsing_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("build");
    QTest::addColumn<QString>("msg");
    QTest::addColumn<QString>("url");

    QTest::newRow("all three") << QByteArray(R"({"build":21,"msg":"<b>new</b>","url":"http://h/d"})")
                               << 21 << "<b>new</b>" << "http://h/d";
    QTest::newRow("build as text") << QByteArray(R"({"build":"21","msg":"m"})") << 0 << "m" << "";
    QTest::newRow("fractional build") << QByteArray(R"({"build":21.5})") << 0 << "" << "";
    QTest::newRow("no build") << QByteArray(R"({"msg":"m","url":"u"})") << 0 << "m" << "u";
    QTest::newRow("wrong member types") << QByteArray(R"({"build":22,"msg":1,"url":[]})") << 22 << ""
                                        << "";
    QTest::newRow("not json") << QByteArray("<html>502</html>") << 0 << "" << "";
    QTest::newRow("array") << QByteArray("[21]") << 0 << "" << "";
    QTest::newRow("empty body") << QByteArray() << 0 << "" << "";
}

void UpdateCheckTest::replyParsing()
{
    QFETCH(QByteArray, body);
    QFETCH(int, build);
    QFETCH(QString, msg);
    QFETCH(QString, url);
    const UpdateInfo info = parseUpdateReply(body);
    QCOMPARE(info.build, build);
    QCOMPARE(info.msg, msg);
    QCOMPARE(info.url, url);
}

void UpdateCheckTest::offer_data()
{
    QTest::addColumn<int>("build");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<bool>("offered");
    QTest::newRow("same build") << 20 << 0 << false;
    QTest::newRow("older") << 3 << 0 << false;
    QTest::newRow("missing build") << 0 << 0 << false;
    QTest::newRow("newer") << 21 << 0 << true;
    QTest::newRow("newer, skipped") << 21 << 21 << false;
    QTest::newRow("newer than the skipped one") << 22 << 21 << true;
}

void UpdateCheckTest::offer()
{
    QFETCH(int, build);
    QFETCH(int, skipped);
    QFETCH(bool, offered);
    QCOMPARE(shouldOfferUpdate(build, skipped), offered);
}

void UpdateCheckTest::text_data()
{
    QTest::addColumn<QString>("msg");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");
    QTest::newRow("message and link")
        << "New build" << "http://h/d"
        << R"(New build    <a href="http://h/d" style="color:white;">Download</a>)";
    QTest::newRow("link only, no blanks")
        << "" << "http://h/d" << R"(<a href="http://h/d" style="color:white;">Download</a>)";
    QTest::newRow("message only") << "<b>x</b>" << "" << "<b>x</b>";
    QTest::newRow("escaped url")
        << "m" << R"(http://h/d?a=1&b="<2>")"
        << R"(m    <a href="http://h/d?a=1&amp;b=&quot;&lt;2&gt;&quot;" style="color:white;">Download</a>)";
    QTest::newRow("nothing") << "" << "" << "";
}

void UpdateCheckTest::text()
{
    QFETCH(QString, msg);
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QCOMPARE(composeUpdateText(msg, url), expected);
}

QTEST_GUILESS_MAIN(UpdateCheckTest)
#include "update_check_test.moc"
