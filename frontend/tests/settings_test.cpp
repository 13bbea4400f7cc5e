#include "isolated_settings.h"
#include "nuvix_window.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

namespace {

const QString KEY_URL = QStringLiteral("NUVIX_URL");
const QString KEY_STREAMID = QStringLiteral("NUVIX_STREAMID");
const QString KEY_SRTHOST = QStringLiteral("NUVIX_SRTHOST");
const QString KEY_SRTPORT = QStringLiteral("NUVIX_SRTPORT");
const QString KEY_SRTURL = QStringLiteral("NUVIX_SRTURL");
const QString KEY_MAX_HEIGHT = QStringLiteral("NUVIX_MAX_HEIGHT");
const QString KEY_ALWAYS_ON = QStringLiteral("NUVIX_ALWAYS_ON");

const QStringList FIELD_KEYS = {KEY_URL, KEY_STREAMID, KEY_SRTHOST, KEY_SRTPORT, KEY_MAX_HEIGHT, KEY_ALWAYS_ON};

void putValues(const IsolatedSettings &iso, const QVariantMap &values)
{
    auto s = iso.store();
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        s->setValue(it.key(), it.value());
    s->sync();
}

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void firstStartShowsDefaults();
    void loadsStoredFields_data();
    void loadsStoredFields();
    void loadingWritesNothing();
    void savePoints_data();
    void savePoints();
    void emptyClipboardEmptiesLink();
    void olderAddressIsMigratedOnNextSave();
    void srtModeSavedAndRestored();
};

void SettingsTest::firstStartShowsDefaults()
{
    IsolatedSettings iso;
    NuvixWindow w;
    QCOMPARE(w.edtLink->text(), QString());
    QCOMPARE(w.edtStreamId->text(), QString());
    QCOMPARE(w.edtHost->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(w.edtPort->text(), QStringLiteral("9001"));
    QCOMPARE(w.cmbQuality->currentText(), QStringLiteral("max"));
    QCOMPARE(w.cmbQuality->currentData().toInt(), 0);
    QVERIFY(!w.chkAlwaysOn->isChecked());
}

void SettingsTest::loadsStoredFields_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("quality");
    QTest::addColumn<bool>("alwaysOn");

    QTest::newRow("all fields")
        << QVariantMap{{KEY_URL, "https://v.example/w"}, {KEY_STREAMID, "cam"}, {KEY_SRTHOST, "10.0.0.2"},
                       {KEY_SRTPORT, "7000"}, {KEY_MAX_HEIGHT, 1080}, {KEY_ALWAYS_ON, true}}
        << "https://v.example/w" << "cam" << "10.0.0.2" << "7000" << "1080" << true;
    QTest::newRow("link and id not trimmed on load, host and port trimmed")
        << QVariantMap{{KEY_URL, " l "}, {KEY_STREAMID, " s "}, {KEY_SRTHOST, " h "}, {KEY_SRTPORT, " 7 "}}
        << " l " << " s " << "h" << "7" << "max" << false;
    QTest::newRow("host without port")
        << QVariantMap{{KEY_SRTHOST, "relay.example"}} << "" << "" << "relay.example" << "9001" << "max" << false;
    QTest::newRow("port without host")
        << QVariantMap{{KEY_SRTHOST, ""}, {KEY_SRTPORT, "7000"}} << "" << "" << "127.0.0.1" << "7000" << "max" << false;
    QTest::newRow("older address only")
        << QVariantMap{{KEY_SRTURL, "srt://192.168.1.2:7000?streamid=old"}, {KEY_STREAMID, "new"}}
        << "" << "new" << "192.168.1.2" << "7000" << "max" << false;
    QTest::newRow("older address behind blank host and port")
        << QVariantMap{{KEY_SRTURL, "192.168.1.3:7100"}, {KEY_SRTHOST, " "}, {KEY_SRTPORT, ""}}
        << "" << "" << "192.168.1.3" << "7100" << "max" << false;
    QTest::newRow("older address ignored once a port is stored")
        << QVariantMap{{KEY_SRTURL, "srt://192.168.1.2:7000"}, {KEY_SRTPORT, "6000"}}
        << "" << "" << "127.0.0.1" << "6000" << "max" << false;
    QTest::newRow("4K") << QVariantMap{{KEY_MAX_HEIGHT, 2160}} << "" << "" << "127.0.0.1" << "9001" << "4K" << false;
    QTest::newRow("720") << QVariantMap{{KEY_MAX_HEIGHT, 720}} << "" << "" << "127.0.0.1" << "9001" << "720" << false;
    QTest::newRow("unknown height")
        << QVariantMap{{KEY_MAX_HEIGHT, 1440}} << "" << "" << "127.0.0.1" << "9001" << "max" << false;
    QTest::newRow("non-numeric height")
        << QVariantMap{{KEY_MAX_HEIGHT, "tall"}} << "" << "" << "127.0.0.1" << "9001" << "max" << false;
}

void SettingsTest::loadsStoredFields()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QString, link);
    QFETCH(QString, streamId);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, quality);
    QFETCH(bool, alwaysOn);

    IsolatedSettings iso;
    putValues(iso, stored);
    NuvixWindow w;
    QCOMPARE(w.edtLink->text(), link);
    QCOMPARE(w.edtStreamId->text(), streamId);
    QCOMPARE(w.edtHost->text(), host);
    QCOMPARE(w.edtPort->text(), port);
    QCOMPARE(w.cmbQuality->currentText(), quality);
    QCOMPARE(w.chkAlwaysOn->isChecked(), alwaysOn);
}

void SettingsTest::loadingWritesNothing()
{
    // A stored "always on" is restored without being written back, and an older
    // address is not migrated until a save point.
    IsolatedSettings iso;
    putValues(iso, {{KEY_ALWAYS_ON, true}, {KEY_SRTURL, "srt://10.9.9.9:7000"}, {KEY_URL, " spaced "}});
    const QStringList before = iso.storedKeys();
    {
        NuvixWindow w;
        QVERIFY(w.chkAlwaysOn->isChecked());
        QCOMPARE(w.edtHost->text(), QStringLiteral("10.9.9.9"));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.close();
    }
    QCOMPARE(iso.storedKeys(), before);
    QCOMPARE(iso.store()->value(KEY_URL).toString(), QStringLiteral(" spaced "));
}

void SettingsTest::savePoints_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("saves");
    QTest::addColumn<QString>("storedLink");

    QTest::newRow("paste") << "paste" << true << "https://v.example/pasted";
    QTest::newRow("clear") << "clear" << true << "";
    QTest::newRow("tick always on") << "tick" << true << "https://v.example/typed";
    QTest::newRow("typing") << "type" << false << "";
    QTest::newRow("quality change") << "quality" << false << "";
    QTest::newRow("closing the window") << "close" << false << "";
}

void SettingsTest::savePoints()
{
    QFETCH(QString, action);
    QFETCH(bool, saves);
    QFETCH(QString, storedLink);

    IsolatedSettings iso;
    NuvixWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    w.edtLink->setText(QStringLiteral("  https://v.example/typed \t"));
    w.edtStreamId->setText(QStringLiteral(" cam 1 "));
    w.edtHost->setText(QStringLiteral(" 10.0.0.7 "));
    w.edtPort->setText(QStringLiteral(" 7000 "));
    w.cmbQuality->setCurrentIndex(w.cmbQuality->findText(QStringLiteral("1080")));
    QGuiApplication::clipboard()->setText(QStringLiteral("\n  https://v.example/pasted  \r\n"));

    if (action == QLatin1String("paste")) {
        QTest::mouseClick(w.btnPaste, Qt::LeftButton);
        QCOMPARE(w.edtLink->text(), QStringLiteral("https://v.example/pasted"));
        QCOMPARE(w.focusWidget(), static_cast<QWidget *>(w.edtLink));
    } else if (action == QLatin1String("clear")) {
        w.edtHost->setFocus();
        QTest::mouseClick(w.btnClear, Qt::LeftButton);
        QCOMPARE(w.edtLink->text(), QString());
        QCOMPARE(w.focusWidget(), static_cast<QWidget *>(w.edtLink));
    } else if (action == QLatin1String("tick")) {
        QTest::mouseClick(w.chkAlwaysOn, Qt::LeftButton);
        QVERIFY(w.chkAlwaysOn->isChecked());
    } else if (action == QLatin1String("type")) {
        w.edtStreamId->setFocus();
        QTest::keyClicks(w.edtStreamId, QStringLiteral("xyz"));
    } else if (action == QLatin1String("quality")) {
        w.cmbQuality->setCurrentIndex(w.cmbQuality->findText(QStringLiteral("720")));
    } else if (action == QLatin1String("close")) {
        w.close();
    }

    auto s = iso.store();
    if (!saves) {
        for (const QString &key : FIELD_KEYS)
            QVERIFY2(!s->contains(key), qPrintable(key));
        return;
    }
    QCOMPARE(s->value(KEY_URL).toString(), storedLink);
    QCOMPARE(s->value(KEY_STREAMID).toString(), QStringLiteral("cam 1"));
    QCOMPARE(s->value(KEY_SRTHOST).toString(), QStringLiteral("10.0.0.7"));
    QCOMPARE(s->value(KEY_SRTPORT).toString(), QStringLiteral("7000"));
    QCOMPARE(s->value(KEY_MAX_HEIGHT).toInt(), 1080);
    QCOMPARE(s->value(KEY_ALWAYS_ON).toBool(), action == QLatin1String("tick"));
    // Saving stores trimmed text but leaves the fields as typed.
    QCOMPARE(w.edtStreamId->text(), QStringLiteral(" cam 1 "));
    QCOMPARE(w.edtHost->text(), QStringLiteral(" 10.0.0.7 "));
    QCOMPARE(w.edtPort->text(), QStringLiteral(" 7000 "));

    if (action == QLatin1String("tick")) {
        QTest::mouseClick(w.chkAlwaysOn, Qt::LeftButton);
        QCOMPARE(iso.store()->value(KEY_ALWAYS_ON).toBool(), false);
    }
}

void SettingsTest::emptyClipboardEmptiesLink()
{
    IsolatedSettings iso;
    putValues(iso, {{KEY_URL, "https://v.example/old"}});
    NuvixWindow w;
    QGuiApplication::clipboard()->clear();
    QTest::mouseClick(w.btnPaste, Qt::LeftButton);
    QCOMPARE(w.edtLink->text(), QString());
    QCOMPARE(iso.store()->value(KEY_URL).toString(), QString());
}

void SettingsTest::olderAddressIsMigratedOnNextSave()
{
    IsolatedSettings iso;
    putValues(iso, {{KEY_SRTURL, "srt://192.168.1.2:7000?streamid=x"}});
    {
        NuvixWindow w;
        QTest::mouseClick(w.btnClear, Qt::LeftButton);
    }
    auto s = iso.store();
    QCOMPARE(s->value(KEY_SRTHOST).toString(), QStringLiteral("192.168.1.2"));
    QCOMPARE(s->value(KEY_SRTPORT).toString(), QStringLiteral("7000"));
    QCOMPARE(s->value(KEY_SRTURL).toString(), QStringLiteral("srt://192.168.1.2:7000?streamid=x"));

    // From now on the older address is no longer consulted.
    s->setValue(KEY_SRTURL, QStringLiteral("srt://10.10.10.10:5555"));
    s->sync();
    NuvixWindow again;
    QCOMPARE(again.edtHost->text(), QStringLiteral("192.168.1.2"));
    QCOMPARE(again.edtPort->text(), QStringLiteral("7000"));
}


void SettingsTest::srtModeSavedAndRestored()
{
    IsolatedSettings iso;
    const QStringList modeKeys = {"NUVIX_SRT_TRANSTYPE", "NUVIX_SRT_MODE", "NUVIX_SRT_LATENCY", "NUVIX_SRT_PASSPHRASE"};
    {
        NuvixWindow w;
        // A store of old: file mode as a caller.
        QCOMPARE(w.cmbSrtTransfer->currentText(), QStringLiteral("file"));
        QCOMPARE(w.cmbSrtMode->currentText(), QStringLiteral("caller"));
        QCOMPARE(w.edtLatency->text(), QString());
        QCOMPARE(w.edtPassphrase->text(), QString());
        w.edtHost->setText(QString());
        w.edtPort->setText(QStringLiteral("9100"));
        w.cmbSrtTransfer->setCurrentIndex(1);
        w.cmbSrtMode->setCurrentIndex(1);
        w.edtLatency->setText(QStringLiteral("300"));
        w.edtPassphrase->setText(QStringLiteral("0123456789"));
        // A start is a save point, even one refused at once.
        w.btnIngest->click();
        QCOMPARE(w.lblStatus->text(), QStringLiteral("enter a URL"));
    }
    for (const QString &key : modeKeys)
        QVERIFY2(iso.storedKeys().contains(key), qPrintable(key));
    {
        NuvixWindow w;
        QCOMPARE(w.cmbSrtTransfer->currentText(), QStringLiteral("live"));
        QCOMPARE(w.cmbSrtMode->currentText(), QStringLiteral("listener"));
        QCOMPARE(w.edtLatency->text(), QStringLiteral("300"));
        QCOMPARE(w.edtPassphrase->text(), QStringLiteral("0123456789"));
        // A listener keeps its empty host: it waits on every address.
        QCOMPARE(w.edtHost->text(), QString());
        QCOMPARE(w.edtPort->text(), QStringLiteral("9100"));

        w.cmbSrtTransfer->setCurrentIndex(0);
        w.cmbSrtMode->setCurrentIndex(0);
        w.edtLatency->clear();
        w.edtPassphrase->clear();
        w.btnIngest->click();
    }
    // Back to the default mode: the store has no key of it, as before.
    for (const QString &key : modeKeys)
        QVERIFY2(!iso.storedKeys().contains(key), qPrintable(key));
}

QTEST_MAIN(SettingsTest)
#include "settings_test.moc"
