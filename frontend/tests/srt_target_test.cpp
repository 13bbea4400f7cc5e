#include "isolated_settings.h"
#include "nuvix_window.h"
#include "srt_target.h"

#include <QLineEdit>
#include <QtTest>

class SrtTargetTest : public QObject
{
    Q_OBJECT

private slots:
    void buildsAddress_data();
    void buildsAddress();
    void refusesTarget_data();
    void refusesTarget();
    void hostPortFromOlderAddress_data();
    void hostPortFromOlderAddress();
    void windowFieldsFeedTheAddress();
    void olderAddressKeepsStreamIdField();
    void siblingPortRangeFlag();
};

void SrtTargetTest::buildsAddress_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<QString>("url");

    QTest::newRow("defaults") << "" << "" << "cam" << "srt://127.0.0.1:9001?streamid=cam%2Alossless";
    QTest::newRow("blank fields take defaults") << "   " << " \t" << "x"
                                                << "srt://127.0.0.1:9001?streamid=x%2Alossless";
    QTest::newRow("trailing blank host, blank in id") << "10.0.0.5 " << "" << "cam 1"
                                                      << "srt://10.0.0.5:9001?streamid=cam%201%2Alossless";
    QTest::newRow("lowest port") << "h" << "1" << "a" << "srt://h:1?streamid=a%2Alossless";
    QTest::newRow("highest port") << "h" << "65535" << "a" << "srt://h:65535?streamid=a%2Alossless";
    QTest::newRow("leading zero dropped") << "h" << "0900" << "a" << "srt://h:900?streamid=a%2Alossless";
    QTest::newRow("plus sign accepted") << "h" << "+77" << "a" << "srt://h:77?streamid=a%2Alossless";
    QTest::newRow("name with hyphen") << "srt-box.local" << "7000" << "a"
                                      << "srt://srt-box.local:7000?streamid=a%2Alossless";
    QTest::newRow("empty stream id") << "" << "" << "" << "srt://127.0.0.1:9001?streamid=%2Alossless";
    QTest::newRow("trimmed stream id") << "" << "" << "  live  " << "srt://127.0.0.1:9001?streamid=live%2Alossless";
    QTest::newRow("suffix added twice") << "" << "" << "a*lossless"
                                        << "srt://127.0.0.1:9001?streamid=a%2Alossless%2Alossless";
    QTest::newRow("unreserved kept, reserved encoded") << "" << "" << "A-z.0_9~#!?=&/:"
                                                       << "srt://127.0.0.1:9001?streamid=A-z.0_9~%23%21%3F%3D%26%2F%3A%2Alossless";
    QTest::newRow("utf-8 bytes in upper-case hex") << "" << "" << QString::fromUtf8("ü")
                                                   << "srt://127.0.0.1:9001?streamid=%C3%BC%2Alossless";
}

void SrtTargetTest::buildsAddress()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, streamId);
    QFETCH(QString, url);

    QString built = QStringLiteral("untouched");
    QString error;
    QVERIFY(buildSrtUrl(host, port, streamId, built, error));
    QCOMPARE(built, url);
    QVERIFY(error.isEmpty());
}

void SrtTargetTest::refusesTarget_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");

    QTest::newRow("port 0") << "" << "0";
    QTest::newRow("port 65536") << "" << "65536";
    QTest::newRow("negative port") << "" << "-5";
    QTest::newRow("letters") << "" << "abc";
    QTest::newRow("digits and letters") << "" << "90a";
    QTest::newRow("blank between digits") << "" << "1 2";
    QTest::newRow("huge number") << "" << "99999999999999999999";
    QTest::newRow("host with blank") << "my host" << "";
    QTest::newRow("host with slash") << "host/path" << "";
    QTest::newRow("ipv6 literal") << "::1" << "";
    QTest::newRow("host with port inside") << "10.0.0.1:9000" << "";
}

void SrtTargetTest::refusesTarget()
{
    QFETCH(QString, host);
    QFETCH(QString, port);

    QString url = QStringLiteral("previous");
    QString error;
    QVERIFY(!buildSrtUrl(host, port, QStringLiteral("id"), url, error));
    QCOMPARE(error, QStringLiteral("ip or port is invalid"));
    QCOMPARE(url, QStringLiteral("previous"));
}

void SrtTargetTest::hostPortFromOlderAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");

    QTest::newRow("empty") << "" << "127.0.0.1" << "9001";
    QTest::newRow("blank") << "   " << "127.0.0.1" << "9001";
    QTest::newRow("full srt address") << "srt://192.168.1.2:7000?streamid=abc&latency=200" << "192.168.1.2" << "7000";
    QTest::newRow("no scheme") << "192.168.1.2:7000" << "192.168.1.2" << "7000";
    QTest::newRow("no port") << "srt://relay.example" << "relay.example" << "9001";
    QTest::newRow("surrounding blanks") << "  srt://h:5000  " << "h" << "5000";
    QTest::newRow("port 0 keeps default") << "srt://h:0" << "h" << "9001";
    QTest::newRow("no host") << "srt://:7000" << "127.0.0.1" << "7000";
    QTest::newRow("ipv6 host") << "srt://[::1]:6000" << "::1" << "6000";
    QTest::newRow("unparsable port") << "srt://h:notaport" << "127.0.0.1" << "9001";
}

void SrtTargetTest::hostPortFromOlderAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(QString, port);

    const SrtHostPort got = hostPortFromUrl(text);
    QCOMPARE(got.host, host);
    QCOMPARE(got.port, port);
}

void SrtTargetTest::windowFieldsFeedTheAddress()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.edtHost->setText(QStringLiteral(" 10.0.0.5 "));
    w.edtPort->setText(QString());
    w.edtStreamId->setText(QStringLiteral("cam 1"));

    QString url, error;
    QVERIFY(w.buildSrtUrl(url, error));
    QCOMPARE(url, QStringLiteral("srt://10.0.0.5:9001?streamid=cam%201%2Alossless"));
    // Building reads the fields only.
    QCOMPARE(w.edtHost->text(), QStringLiteral(" 10.0.0.5 "));
    QCOMPARE(w.edtPort->text(), QString());

    w.edtPort->setText(QStringLiteral("70000"));
    QString kept = QStringLiteral("kept");
    QVERIFY(!w.buildSrtUrl(kept, error));
    QCOMPARE(kept, QStringLiteral("kept"));
    QCOMPARE(error, QStringLiteral("ip or port is invalid"));
}

void SrtTargetTest::olderAddressKeepsStreamIdField()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.edtStreamId->setText(QStringLiteral("mine"));
    w.setHostPortFromUrl(QStringLiteral("srt://10.1.1.1:6000?streamid=theirs"));
    QCOMPARE(w.edtHost->text(), QStringLiteral("10.1.1.1"));
    QCOMPARE(w.edtPort->text(), QStringLiteral("6000"));
    QCOMPARE(w.edtStreamId->text(), QStringLiteral("mine"));

    w.setHostPortFromUrl(QString());
    QCOMPARE(w.edtHost->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(w.edtPort->text(), QStringLiteral("9001"));
}

void SrtTargetTest::siblingPortRangeFlag()
{
    IsolatedSettings iso;
    // No sibling store at all.
    QVERIFY(!readKbyPortRangeFlag());

    // Read fresh on every call, and only read.
    {
        auto kby = iso.siblingStore();
        kby->setValue(QStringLiteral("use_port_range"), true);
        kby->sync();
    }
    QVERIFY(readKbyPortRangeFlag());
    {
        auto kby = iso.siblingStore();
        kby->setValue(QStringLiteral("use_port_range"), false);
        kby->sync();
    }
    QVERIFY(!readKbyPortRangeFlag());
    {
        auto kby = iso.siblingStore();
        kby->remove(QStringLiteral("use_port_range"));
        kby->setValue(QStringLiteral("other"), 1);
        kby->sync();
    }
    QVERIFY(!readKbyPortRangeFlag());
    QCOMPARE(iso.siblingStore()->allKeys(), QStringList{QStringLiteral("other")});
}

QTEST_MAIN(SrtTargetTest)
#include "srt_target_test.moc"
