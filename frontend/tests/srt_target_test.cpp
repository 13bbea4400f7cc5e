#include "isolated_settings.h"
#include "nuvix_window.h"
#include "srt_target.h"

#include <QComboBox>
#include <QLabel>
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
    void buildsModeAddress_data();
    void buildsModeAddress();
    void readsFullAddress_data();
    void readsFullAddress();
    void refusesFullAddress_data();
    void refusesFullAddress();
    void pastedAddressFillsFields();
    void addressFromHostEdit_data();
    void addressFromHostEdit();
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

void SrtTargetTest::buildsModeAddress_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<bool>("live");
    QTest::addColumn<bool>("listener");
    QTest::addColumn<QString>("latency");
    QTest::addColumn<QString>("url");

    QTest::newRow("file caller: the address of old") << "10.0.0.5" << "cam 1" << false << false << ""
                                                     << "srt://10.0.0.5:9001?streamid=cam%201%2Alossless";
    QTest::newRow("live: stream id as typed, no suffix")
        << "10.0.0.5" << "publish:cam1" << true << false << "200"
        << "srt://10.0.0.5:9001?streamid=publish%3Acam1&transtype=live&latency=200";
    QTest::newRow("live without stream id") << "h" << "" << true << false << "" << "srt://h:9001?transtype=live";
    QTest::newRow("file with latency") << "h" << "x" << false << false << " 120 "
                                       << "srt://h:9001?streamid=x%2Alossless&latency=120";
    QTest::newRow("listener without host: every address")
        << "" << "" << true << true << "" << "srt://:9001?transtype=live&mode=listener";
    QTest::newRow("listener on one address") << "127.0.0.1" << "x" << false << true << ""
                                             << "srt://127.0.0.1:9001?streamid=x%2Alossless&mode=listener";
    QTest::newRow("caller without host: the default host") << "" << "x" << true << false << ""
                                                           << "srt://127.0.0.1:9001?streamid=x&transtype=live";
}

void SrtTargetTest::buildsModeAddress()
{
    QFETCH(QString, host);
    QFETCH(QString, streamId);
    QFETCH(bool, live);
    QFETCH(bool, listener);
    QFETCH(QString, latency);
    QFETCH(QString, url);
    SrtTarget target;
    target.host = host;
    target.streamId = streamId;
    target.live = live;
    target.listener = listener;
    target.latency = latency;
    target.passphrase = QStringLiteral("never in the address");
    QString got, error;
    QVERIFY2(buildSrtUrl(target, got, error), qPrintable(error));
    QCOMPARE(got, url);

    // The address the engine gets reads back to the same target (bar the suffix).
    SrtTarget back;
    QVERIFY2(parseSrtAddress(got, back, error), qPrintable(error));
    QCOMPARE(back.live, live);
    QCOMPARE(back.listener, listener);
    QCOMPARE(back.latency, latency.trimmed());
    QVERIFY(back.passphrase.isEmpty());
}

void SrtTargetTest::readsFullAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<bool>("live");
    QTest::addColumn<bool>("listener");
    QTest::addColumn<QString>("latency");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<QString>("extra");

    QTest::newRow("as a media server prints it")
        << "srt://10.0.0.5:8890?streamid=publish:cam1&transtype=live&latency=200" << "10.0.0.5" << "8890"
        << "publish:cam1" << true << false << "200" << "" << "";
    QTest::newRow("encoded stream id, passphrase, other keys kept in order")
        << " SRT://rx.example:7001?streamid=a%20b%2Ac&passphrase=very%20secret&pbkeylen=32&mode=caller&tlpktdrop=1 "
        << "rx.example" << "7001" << "a b*c" << false << false << "" << "very secret" << "pbkeylen=32&tlpktdrop=1";
    QTest::newRow("listener without host") << "srt://:9001?mode=listener" << "" << "9001" << "" << false << true << ""
                                           << "" << "";
    QTest::newRow("file named") << "srt://h:1?transtype=file&streamid=x" << "h" << "1" << "x" << false << false << ""
                                << "" << "";
}

void SrtTargetTest::readsFullAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, streamId);
    QFETCH(bool, live);
    QFETCH(bool, listener);
    QFETCH(QString, latency);
    QFETCH(QString, passphrase);
    QFETCH(QString, extra);
    SrtTarget t;
    QString error;
    QVERIFY2(parseSrtAddress(text, t, error), qPrintable(error));
    QCOMPARE(t.host, host);
    QCOMPARE(t.port, port);
    QCOMPARE(t.streamId, streamId);
    QCOMPARE(t.live, live);
    QCOMPARE(t.listener, listener);
    QCOMPARE(t.latency, latency);
    QCOMPARE(t.passphrase, passphrase);
    QStringList pairs;
    for (const auto &item : t.extraQuery)
        pairs << item.first + QLatin1Char('=') + item.second;
    QCOMPARE(pairs.join(QLatin1Char('&')), extra);
    // Other keys go on to the engine after the ones of the fields.
    if (!extra.isEmpty()) {
        QString url;
        QVERIFY(buildSrtUrl(t, url, error));
        QVERIFY2(url.endsWith(QLatin1Char('&') + extra), qPrintable(url));
        QVERIFY(!url.contains(QLatin1String("passphrase")));
    }
}

void SrtTargetTest::refusesFullAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    QTest::newRow("no scheme") << "10.0.0.5:8890" << "the SRT address must start with srt://";
    QTest::newRow("no port") << "srt://10.0.0.5?streamid=x"
                             << "the SRT address needs a host and a port (srt://HOST:PORT?streamid=ID)";
    QTest::newRow("caller without host") << "srt://:9001"
                                         << "the SRT address needs a host and a port (srt://HOST:PORT?streamid=ID)";
    QTest::newRow("rendezvous") << "srt://h:1?mode=rendezvous" << "mode must be caller or listener";
    QTest::newRow("unknown transfer type") << "srt://h:1?transtype=fast" << "transtype must be live or file";
    QTest::newRow("latency in words") << "srt://h:1?latency=low" << "latency must be a whole number of milliseconds";
    QTest::newRow("negative latency") << "srt://h:1?latency=-5" << "latency must be a whole number of milliseconds";
}

void SrtTargetTest::refusesFullAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    SrtTarget t;
    t.host = QStringLiteral("kept");
    QString got;
    QVERIFY(!parseSrtAddress(text, t, got));
    QCOMPARE(got, error);
    QCOMPARE(t.host, QStringLiteral("kept"));

    SrtTarget bad;
    bad.latency = QStringLiteral("soon");
    QString url = QStringLiteral("kept");
    QVERIFY(!buildSrtUrl(bad, url, got));
    QCOMPARE(got, QStringLiteral("latency is invalid"));
    QCOMPARE(url, QStringLiteral("kept"));
}

void SrtTargetTest::pastedAddressFillsFields()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.edtHost->setText(QStringLiteral("srt://10.0.0.5:8890?streamid=publish:cam1&transtype=live&latency=200"
                                      "&passphrase=secretsecret"));
    QCOMPARE(w.edtHost->text(), QStringLiteral("10.0.0.5"));
    QCOMPARE(w.edtPort->text(), QStringLiteral("8890"));
    QCOMPARE(w.edtStreamId->text(), QStringLiteral("publish:cam1"));
    QCOMPARE(w.cmbSrtTransfer->currentText(), QStringLiteral("live"));
    QCOMPARE(w.cmbSrtMode->currentText(), QStringLiteral("caller"));
    QCOMPARE(w.edtLatency->text(), QStringLiteral("200"));
    QCOMPARE(w.edtPassphrase->text(), QStringLiteral("secretsecret"));
    QString url, error;
    QVERIFY(w.buildSrtUrl(url, error));
    QCOMPARE(url, QStringLiteral("srt://10.0.0.5:8890?streamid=publish%3Acam1&transtype=live&latency=200"));

    // A listener address empties the host: it waits on every address.
    w.edtHost->setText(QStringLiteral("srt://:9100?mode=listener"));
    QCOMPARE(w.edtHost->text(), QString());
    QCOMPARE(w.edtPort->text(), QStringLiteral("9100"));
    QCOMPARE(w.cmbSrtMode->currentText(), QStringLiteral("listener"));
    QCOMPARE(w.cmbSrtTransfer->currentText(), QStringLiteral("file"));
    QCOMPARE(w.edtLatency->text(), QString());
    QCOMPARE(w.edtPassphrase->text(), QString());

    // An address that cannot be read says why and leaves the other fields alone.
    w.edtHost->setText(QStringLiteral("srt://h:1?mode=rendezvous"));
    QCOMPARE(w.lblStatus->text(), QStringLiteral("mode must be caller or listener"));
    QCOMPARE(w.edtPort->text(), QStringLiteral("9100"));

    // Pasted behind the host the field shows, as a click into it and a paste do.
    w.edtHost->setText(QStringLiteral("127.0.0.1"));
    w.edtHost->end(false);
    w.edtHost->insert(QStringLiteral("srt://10.0.0.6:8891?streamid=cam2&transtype=live"));
    QCOMPARE(w.edtHost->text(), QStringLiteral("10.0.0.6"));
    QCOMPARE(w.edtPort->text(), QStringLiteral("8891"));
    QCOMPARE(w.edtStreamId->text(), QStringLiteral("cam2"));
    QCOMPARE(w.cmbSrtTransfer->currentText(), QStringLiteral("live"));
}

void SrtTargetTest::addressFromHostEdit_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<QString>("address");
    const QString a = QStringLiteral("srt://10.0.0.5:8890?streamid=cam1");
    const int n = a.size();
    QTest::newRow("whole field replaced") << "127.0.0.1" << a << n << a;
    QTest::newRow("into an empty field, blanks around") << "" << " " + a + "\n" << n + 2 << a;
    QTest::newRow("upper-case scheme") << "" << "SRT://h:1" << 9 << "SRT://h:1";
    QTest::newRow("behind the host there") << "127.0.0.1" << "127.0.0.1" + a << 9 + n << a;
    QTest::newRow("before the host there") << "127.0.0.1" << a + "127.0.0.1" << n << a;
    QTest::newRow("inside the host there") << "127.0.0.1" << "127.0" + a + ".0.1" << 5 + n << a;
    // The ends of the old text and the address are alike.
    QTest::newRow("selected part replaced") << "127.0.0.1" << "127.0." + a << 6 + n << a;
    QTest::newRow("address begins like the old text") << "srt://h:1?mode=rendezvous" << a << n << a;
    QTest::newRow("address typed into an empty field") << "srt://h:" << "srt://h:1" << 9 << "srt://h:1";
    QTest::newRow("host typed") << "10.0.0." << "10.0.0.5" << 8 << "";
    QTest::newRow("text cut") << "127.0.0.1srt://h:1" << "127.0.0.1" << 9 << "";
    QTest::newRow("address typed behind a host") << "127.0.0.1srt://h:" << "127.0.0.1srt://h:1" << 18 << "";
    QTest::newRow("cursor out of range") << "" << a << n + 5 << a;
}

void SrtTargetTest::addressFromHostEdit()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(int, cursor);
    QFETCH(QString, address);
    QCOMPARE(srtAddressFromHostEdit(before, after, cursor), address);
}

QTEST_MAIN(SrtTargetTest)
#include "srt_target_test.moc"
