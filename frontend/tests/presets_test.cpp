#include "isolated_settings.h"
#include "nuvix_window.h"
#include "presets.h"

#include <QApplication>
#include <QComboBox>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

const QString KEY_PRESETS = QStringLiteral("NUVIX_PRESETS");

QStringList listTexts(const QListWidget *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

QListWidgetItem *itemNamed(const QListWidget *list, const QString &name)
{
    const auto found = list->findItems(name, Qt::MatchExactly);
    return found.isEmpty() ? nullptr : found.first();
}

void storePresetsText(const IsolatedSettings &iso, const QByteArray &text)
{
    auto s = iso.store();
    s->setValue(KEY_PRESETS, text);
    s->sync();
}

QByteArray storedPresetsText(const IsolatedSettings &iso)
{
    return iso.store()->value(KEY_PRESETS).toByteArray();
}

// Answers the next popup menu: chooses its only action, or dismisses it.
// Records the texts of the menu's actions; gives up after about two seconds.
struct PopupAnswer
{
    bool choose = false;
    QStringList seen;
    bool answered = false;

    void arm(int attemptsLeft = 100)
    {
        QTimer::singleShot(20, [this, attemptsLeft] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu) {
                if (attemptsLeft > 0)
                    arm(attemptsLeft - 1);
                return;
            }
            answered = true;
            for (QAction *a : menu->actions())
                seen << a->text();
            if (choose) {
                QTest::keyClick(menu, Qt::Key_Down);
                QTest::keyClick(menu, Qt::Key_Return);
            } else {
                QTest::keyClick(menu, Qt::Key_Escape);
            }
        });
    }
};

} // namespace

class PresetsTest : public QObject
{
    Q_OBJECT

private slots:
    void readsOnlyJsonObjects_data();
    void readsOnlyJsonObjects();
    void saveNeedsNameAndLink_data();
    void saveNeedsNameAndLink();
    void saveStoresTrimmedFields();
    void sameNameReplaces();
    void saveCarriesSrtMode();
    void listFollowsCodeUnitOrder();
    void placeholderIsInert();
    void applyFillsFields_data();
    void applyFillsFields();
    void applyIgnoresMissingItem();
    void deleteFromContextMenu();
};

void PresetsTest::readsOnlyJsonObjects_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("count");

    QTest::newRow("object") << QByteArray("{\"a\":{\"url\":\"x\"},\"b\":{}}") << 2;
    QTest::newRow("array") << QByteArray("[1,2]") << 0;
    QTest::newRow("garbage") << QByteArray("{not json") << 0;
    QTest::newRow("empty") << QByteArray() << 0;
}

void PresetsTest::readsOnlyJsonObjects()
{
    QFETCH(QByteArray, text);
    QFETCH(int, count);

    IsolatedSettings iso;
    QCOMPARE(readPresets(nullptr).size(), 0);
    auto s = iso.store();
    QCOMPARE(readPresets(s.get()).size(), 0);
    s->setValue(KEY_PRESETS, text);
    QCOMPARE(readPresets(s.get()).size(), count);
}

void PresetsTest::saveNeedsNameAndLink_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("link");

    QTest::newRow("empty name") << "" << "https://v.example/a";
    QTest::newRow("blank name") << "   " << "https://v.example/a";
    QTest::newRow("empty link") << "home" << "";
    QTest::newRow("blank link") << "home" << " \t ";
}

void PresetsTest::saveNeedsNameAndLink()
{
    QFETCH(QString, name);
    QFETCH(QString, link);

    IsolatedSettings iso;
    NuvixWindow w;
    w.edtPresetName->setText(name);
    w.edtLink->setText(link);
    const QStringList keysBefore = iso.storedKeys();
    QTest::mouseClick(w.btnSavePreset, Qt::LeftButton);

    QCOMPARE(iso.storedKeys(), keysBefore);
    QCOMPARE(w.edtPresetName->text(), name);
    QCOMPARE(listTexts(w.lstPresets), QStringList{QStringLiteral("No presets")});
}

void PresetsTest::saveStoresTrimmedFields()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.edtPresetName->setText(QStringLiteral("  Home  "));
    w.edtLink->setText(QStringLiteral(" https://v.example/live "));
    w.edtStreamId->setText(QStringLiteral(" cam 1 "));
    w.edtHost->setText(QStringLiteral(" "));
    w.edtPort->setText(QStringLiteral(" 70000 "));
    w.cmbQuality->setCurrentIndex(w.cmbQuality->findText(QStringLiteral("1080")));

    QTest::mouseClick(w.btnSavePreset, Qt::LeftButton);

    // Compact JSON with members in name order; host and port as typed, not defaulted.
    QCOMPARE(storedPresetsText(iso),
             QByteArray("{\"Home\":{\"maxheight\":1080,\"srthost\":\"\",\"srtport\":\"70000\",\"streamid\":\"cam 1\","
                        "\"url\":\"https://v.example/live\"}}"));
    QCOMPARE(listTexts(w.lstPresets), QStringList{QStringLiteral("Home")});
    QCOMPARE(w.edtPresetName->text(), QString());
    // Saving a preset is also a save point of the fields.
    QCOMPARE(iso.store()->value(QStringLiteral("NUVIX_URL")).toString(), QStringLiteral("https://v.example/live"));
    QCOMPARE(iso.store()->value(QStringLiteral("NUVIX_SRTPORT")).toString(), QStringLiteral("70000"));

    // Non-object text under the key is replaced by the next save.
    storePresetsText(iso, "[\"junk\"]");
    w.reloadPresets();
    QCOMPARE(listTexts(w.lstPresets), QStringList{QStringLiteral("No presets")});
    w.edtPresetName->setText(QStringLiteral("Next"));
    QTest::mouseClick(w.btnSavePreset, Qt::LeftButton);
    QCOMPARE(readPresets(iso.store().get()).keys(), QStringList{QStringLiteral("Next")});
}

void PresetsTest::saveCarriesSrtMode()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.edtPresetName->setText(QStringLiteral("Stage"));
    w.edtLink->setText(QStringLiteral("https://v.example/live"));
    w.edtHost->setText(QString());
    w.edtPort->setText(QStringLiteral("9100"));
    w.cmbSrtMode->setCurrentIndex(w.cmbSrtMode->findText(QStringLiteral("listener")));
    w.cmbSrtTransfer->setCurrentIndex(w.cmbSrtTransfer->findText(QStringLiteral("live")));
    w.edtLatency->setText(QStringLiteral(" 250 "));
    w.edtPassphrase->setText(QStringLiteral("p w 0123456"));
    QTest::mouseClick(w.btnSavePreset, Qt::LeftButton);
    QCOMPARE(storedPresetsText(iso),
             QByteArray("{\"Stage\":{\"maxheight\":0,\"srthost\":\"\",\"srtlatency\":\"250\",\"srtmode\":\"listener\","
                        "\"srtpassphrase\":\"p w 0123456\",\"srtport\":\"9100\",\"srttranstype\":\"live\","
                        "\"streamid\":\"\",\"url\":\"https://v.example/live\"}}"));

    // Back to file mode as a caller: the preset has its older form again.
    w.cmbSrtMode->setCurrentIndex(0);
    w.cmbSrtTransfer->setCurrentIndex(0);
    w.edtLatency->clear();
    w.edtPassphrase->clear();
    w.edtPresetName->setText(QStringLiteral("Stage"));
    QTest::mouseClick(w.btnSavePreset, Qt::LeftButton);
    QCOMPARE(storedPresetsText(iso),
             QByteArray("{\"Stage\":{\"maxheight\":0,\"srthost\":\"\",\"srtport\":\"9100\",\"streamid\":\"\","
                        "\"url\":\"https://v.example/live\"}}"));
}

void PresetsTest::sameNameReplaces()
{
    IsolatedSettings iso;
    NuvixWindow w;
    for (const char *link : {"https://v.example/one", "https://v.example/two"}) {
        w.edtPresetName->setText(QStringLiteral("show"));
        w.edtLink->setText(QString::fromLatin1(link));
        QTest::mouseClick(w.btnSavePreset, Qt::LeftButton);
    }
    QCOMPARE(listTexts(w.lstPresets), QStringList{QStringLiteral("show")});
    const QJsonObject presets = readPresets(iso.store().get());
    QCOMPARE(presets.value(QStringLiteral("show")).toObject().value(QStringLiteral("url")).toString(),
             QStringLiteral("https://v.example/two"));
}

void PresetsTest::listFollowsCodeUnitOrder()
{
    IsolatedSettings iso;
    NuvixWindow w;
    const QStringList names = {QStringLiteral("beta"), QString::fromUtf8("\u03a9mega"), QStringLiteral("alpha"),
                               QStringLiteral("Zed"), QString::fromUtf8("\u00e9t\u00e9"), QStringLiteral("Alpha"),
                               QStringLiteral("10")};
    w.edtLink->setText(QStringLiteral("https://v.example/x"));
    for (const QString &name : names) {
        w.edtPresetName->setText(name);
        QTest::mouseClick(w.btnSavePreset, Qt::LeftButton);
    }
    QStringList expected = names;
    std::sort(expected.begin(), expected.end(),
              [](const QString &a, const QString &b) { return QString::compare(a, b, Qt::CaseSensitive) < 0; });
    QCOMPARE(expected.first(), QStringLiteral("10"));
    QCOMPARE(listTexts(w.lstPresets), expected);

    // The list is rebuilt from the store, so a new window shows the same order.
    NuvixWindow again;
    QCOMPARE(listTexts(again.lstPresets), expected);
}

void PresetsTest::placeholderIsInert()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.lstPresets->count(), 1);
    QListWidgetItem *placeholder = w.lstPresets->item(0);
    QCOMPARE(placeholder->text(), QStringLiteral("No presets"));
    QVERIFY(!(placeholder->flags() & Qt::ItemIsSelectable));
    QVERIFY(!(placeholder->flags() & Qt::ItemIsEnabled));

    w.edtLink->setText(QStringLiteral("typed"));
    const QStringList keysBefore = iso.storedKeys();
    w.onPresetClicked(placeholder);
    QCOMPARE(w.edtLink->text(), QStringLiteral("typed"));
    QCOMPARE(w.edtPresetName->text(), QString());

    PopupAnswer answer;
    answer.arm(10);
    w.onPresetsContextMenu(w.lstPresets->visualItemRect(placeholder).center());
    QTest::qWait(300);
    QVERIFY(!answer.answered);
    QCOMPARE(iso.storedKeys(), keysBefore);
    QCOMPARE(listTexts(w.lstPresets), QStringList{QStringLiteral("No presets")});
}

void PresetsTest::applyFillsFields_data()
{
    QTest::addColumn<QByteArray>("preset");
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("quality");
    QTest::addColumn<QString>("srtMode"); // transfer, mode, latency, passphrase

    // The fields start as: link "old", stream id "oldid", host "1.1.1.1", port "1111", quality "720".
    QTest::newRow("full preset")
        << QByteArray("{\"maxheight\":2160,\"srthost\":\"10.0.0.2\",\"srtport\":\"7000\",\"streamid\":\"s\",\"url\":\"u\"}")
        << "u" << "s" << "10.0.0.2" << "7000" << "4K" << "file caller  ";
    QTest::newRow("port only") << QByteArray("{\"srtport\":\" 7000 \",\"url\":\"u\"}")
                               << "u" << "" << "127.0.0.1" << "7000" << "720" << "file caller  ";
    QTest::newRow("host only, blank port") << QByteArray("{\"srthost\":\" h \",\"srtport\":\"  \"}")
                                           << "" << "" << "h" << "9001" << "720" << "file caller  ";
    QTest::newRow("older address only")
        << QByteArray("{\"srturl\":\"srt://192.168.1.2:7000?streamid=old\",\"streamid\":\"new\",\"url\":\"u\"}")
        << "u" << "new" << "192.168.1.2" << "7000" << "720" << "file caller  ";
    QTest::newRow("host and port win over older address")
        << QByteArray("{\"srthost\":\"10.0.0.3\",\"srturl\":\"srt://192.168.1.2:7000\"}")
        << "" << "" << "10.0.0.3" << "9001" << "720" << "file caller  ";
    QTest::newRow("numeric port reads as empty") << QByteArray("{\"srthost\":\"h\",\"srtport\":7000}")
                                                 << "" << "" << "h" << "9001" << "720" << "file caller  ";
    QTest::newRow("no target keeps host and port") << QByteArray("{\"url\":\"u\",\"streamid\":\"s\",\"maxheight\":0}")
                                                   << "u" << "s" << "1.1.1.1" << "1111" << "max" << "file caller  ";
    QTest::newRow("unknown height selects max") << QByteArray("{\"maxheight\":1440}")
                                                << "" << "" << "1.1.1.1" << "1111" << "max" << "file caller  ";
    QTest::newRow("non-string link and id") << QByteArray("{\"url\":5,\"streamid\":true}")
                                            << "" << "" << "1.1.1.1" << "1111" << "720" << "file caller  ";
    QTest::newRow("live listener with latency and passphrase")
        << QByteArray("{\"srthost\":\"\",\"srtlatency\":\"250\",\"srtmode\":\"listener\",\"srtpassphrase\":\"p w\","
                      "\"srtport\":\"9100\",\"srttranstype\":\"live\",\"url\":\"u\"}")
        << "u" << "" << "" << "9100" << "720" << "live listener 250 p w";
    QTest::newRow("preset that is not an object") << QByteArray("\"just text\"")
                                                  << "" << "" << "1.1.1.1" << "1111" << "720" << "file caller  ";
}

void PresetsTest::applyFillsFields()
{
    QFETCH(QString, srtMode);
    QFETCH(QByteArray, preset);
    QFETCH(QString, link);
    QFETCH(QString, streamId);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, quality);

    IsolatedSettings iso;
    storePresetsText(iso, QByteArray("{\"other\":{},\"p 1\":") + preset + "}");
    NuvixWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.edtLink->setText(QStringLiteral("old"));
    w.edtStreamId->setText(QStringLiteral("oldid"));
    w.edtHost->setText(QStringLiteral("1.1.1.1"));
    w.edtPort->setText(QStringLiteral("1111"));
    w.cmbQuality->setCurrentIndex(w.cmbQuality->findText(QStringLiteral("720")));
    // A mode left over from before: applying a preset always sets it.
    w.cmbSrtTransfer->setCurrentIndex(1);
    w.edtLatency->setText(QStringLiteral("999"));

    QListWidgetItem *item = itemNamed(w.lstPresets, QStringLiteral("p 1"));
    QVERIFY(item);
    QTest::mouseClick(w.lstPresets->viewport(), Qt::LeftButton, {}, w.lstPresets->visualItemRect(item).center());

    QCOMPARE(w.edtLink->text(), link);
    QCOMPARE(w.edtStreamId->text(), streamId);
    QCOMPARE(w.edtHost->text(), host);
    QCOMPARE(w.edtPort->text(), port);
    QCOMPARE(w.cmbQuality->currentText(), quality);
    // Older presets carry no SRT mode: they are file mode as a caller, as they always were.
    QCOMPARE(QStringList({w.cmbSrtTransfer->currentText(), w.cmbSrtMode->currentText(), w.edtLatency->text(),
                          w.edtPassphrase->text()})
                 .join(QLatin1Char(' ')),
             srtMode);
    QCOMPARE(w.edtPresetName->text(), QStringLiteral("p 1"));
    // Applying is a save point.
    auto s = iso.store();
    QCOMPARE(s->value(QStringLiteral("NUVIX_URL")).toString(), link);
    QCOMPARE(s->value(QStringLiteral("NUVIX_SRTHOST")).toString(), host);
    QCOMPARE(s->value(QStringLiteral("NUVIX_SRTPORT")).toString(), port);
    QCOMPARE(s->value(QStringLiteral("NUVIX_MAX_HEIGHT")).toInt(), w.cmbQuality->currentData().toInt());
}

void PresetsTest::applyIgnoresMissingItem()
{
    IsolatedSettings iso;
    storePresetsText(iso, "{\"gone\":{\"url\":\"u\"}}");
    NuvixWindow w;
    w.edtLink->setText(QStringLiteral("typed"));
    QListWidgetItem *item = itemNamed(w.lstPresets, QStringLiteral("gone"));
    QVERIFY(item);
    // Removed from the store behind the list's back.
    storePresetsText(iso, "{\"else\":{\"url\":\"e\"}}");
    const QStringList keysBefore = iso.storedKeys();
    w.onPresetClicked(item);
    w.onPresetClicked(nullptr);
    QCOMPARE(w.edtLink->text(), QStringLiteral("typed"));
    QCOMPARE(w.edtPresetName->text(), QString());
    QCOMPARE(iso.storedKeys(), keysBefore);
}

void PresetsTest::deleteFromContextMenu()
{
    IsolatedSettings iso;
    storePresetsText(iso, "{\"a\":{\"url\":\"ua\"},\"b\":{\"url\":\"ub\"}}");
    NuvixWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.edtLink->setText(QStringLiteral("typed"));

    auto rightClick = [&w](const QString &name) {
        QListWidgetItem *item = itemNamed(w.lstPresets, name);
        QVERIFY(item);
        w.onPresetsContextMenu(w.lstPresets->visualItemRect(item).center());
    };

    // Dismissing the menu keeps the preset.
    PopupAnswer dismiss;
    dismiss.arm();
    rightClick(QStringLiteral("a"));
    QVERIFY(dismiss.answered);
    QCOMPARE(dismiss.seen, QStringList{QStringLiteral("Delete")});
    QCOMPARE(listTexts(w.lstPresets), (QStringList{QStringLiteral("a"), QStringLiteral("b")}));

    PopupAnswer choose;
    choose.choose = true;
    choose.arm();
    rightClick(QStringLiteral("a"));
    QVERIFY(choose.answered);
    QCOMPARE(listTexts(w.lstPresets), QStringList{QStringLiteral("b")});
    QCOMPARE(storedPresetsText(iso), QByteArray("{\"b\":{\"url\":\"ub\"}}"));

    PopupAnswer last;
    last.choose = true;
    last.arm();
    rightClick(QStringLiteral("b"));
    QVERIFY(last.answered);
    QCOMPARE(listTexts(w.lstPresets), QStringList{QStringLiteral("No presets")});
    QCOMPARE(storedPresetsText(iso), QByteArray("{}"));

    // Deleting neither saves nor touches the fields.
    QCOMPARE(w.edtLink->text(), QStringLiteral("typed"));
    QVERIFY(!iso.store()->contains(QStringLiteral("NUVIX_URL")));
}

QTEST_MAIN(PresetsTest)
#include "presets_test.moc"
