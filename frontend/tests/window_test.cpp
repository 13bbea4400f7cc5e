#include "app_style.h"
#include "engine_test_support.h"
#include "isolated_settings.h"
#include "nuvix_window.h"
#include "relay_session.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaMethod>
#include <QProcess>
#include <QPushButton>
#include <QPlainTextEdit>
#include <QDialog>
#include <QtTest>

namespace {

int advance(const QFont &font, const char *text)
{
    return QFontMetrics(font).horizontalAdvance(QString::fromLatin1(text));
}

QColor pixelAt(QWidget *widget, QPoint p)
{
    return widget->grab().toImage().pixelColor(p);
}

bool isRed(const QColor &c)
{
    // The style shades the red a little; grey and white never pass.
    return c.red() > 180 && c.red() - c.green() > 100 && c.red() - c.blue() > 100;
}

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void identityAndSlots();
    void controls();
    void sizesMeasuredFromText();
    void qualityChoices();
    void imagesAndButtonSheets_data();
    void imagesAndButtonSheets();
    void layoutAndFocusOrder();
    void minimumSizeAndFreeHeight();
    void runningAndIdleLooks();
    void styleSheetColours();
    void closeCancelsPendingWork();
};

void WindowTest::initTestCase()
{
    qApp->setStyleSheet(appStyleSheet());
}

void WindowTest::identityAndSlots()
{
    IsolatedSettings iso;
    NuvixWindow w;
    const QMetaObject *mo = w.metaObject();
    QCOMPARE(QString::fromLatin1(mo->className()), QStringLiteral("NuvixWindow"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Nuvix   ver 1.0 BETA"));

    const QList<QByteArray> expected = {"onConnectClicked()", "onSavePresetClicked()", "onShowLogsClicked()",
                                        "onPresetClicked(QListWidgetItem*)", "onPresetsContextMenu(QPoint)"};
    QList<QByteArray> own;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i)
        own << mo->method(i).methodSignature();
    QCOMPARE(own, expected);
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(mo->method(mo->methodOffset() + i).methodType(), QMetaMethod::Slot);

    QVERIFY(!w.closing);
    QVERIFY(!w.quitAtStart);
    QVERIFY(!w.quitAtStartRequested());
    QVERIFY(!w.logsDialog);
    QVERIFY(!w.logsView);
    // The run belongs to a session the window owns; nothing of it has started.
    QVERIFY(w.session);
    QCOMPARE(w.session->parent(), static_cast<QObject *>(&w));
    QVERIFY(!w.session->engineProcess());
    QVERIFY(!w.session->extractorProcess());
    QVERIFY(!w.session->isBusy());
    QVERIFY(!w.session->isShutDown());
    QCOMPARE(w.settings->parent(), static_cast<QObject *>(&w));
    QCOMPARE(w.settings->format(), QSettings::NativeFormat);
    QCOMPARE(w.settings->organizationName(), QStringLiteral("Orvanta"));
    QCOMPARE(w.settings->applicationName(), QStringLiteral("Nuvix"));
}

void WindowTest::controls()
{
    IsolatedSettings iso;
    NuvixWindow w;
    QWidget *central = w.centralWidget();
    QCOMPARE(central->objectName(), QStringLiteral("nuvixCentral"));
    QCOMPARE(QString::fromLatin1(central->metaObject()->className()), QStringLiteral("QWidget"));

    struct Row
    {
        QWidget *widget;
        const char *className;
        const char *objectName;
        const char *text;  // text, or placeholder of a line edit
        const char *toolTip;
    };
    const Row rows[] = {
        {w.edtHost, "QLineEdit", "", "IP", ""},
        {w.edtPort, "QLineEdit", "", "port", ""},
        {w.edtStreamId, "QLineEdit", "", "stream id", ""},
        {w.cmbSrtMode, "QComboBox", "cmbSrtMode", "caller",
         "caller: connect to the receiver\nlistener: wait on the port for the receiver to connect"},
        {w.cmbSrtTransfer, "QComboBox", "cmbSrtTransfer", "file",
         "file: reliable SRT file mode\nlive: SRT live mode, as most live receivers expect"},
        {w.edtLatency, "QLineEdit", "edtLatency", "latency ms", "SRT latency in milliseconds; empty: the default"},
        {w.edtPassphrase, "QLineEdit", "edtPassphrase", "passphrase",
         "SRT encryption passphrase (10 to 79 characters); empty: none"},
        {w.edtLink, "QLineEdit", "", "Paste a video platform link", ""},
        {w.btnPaste, "QPushButton", "btnPaste", "", "Clear the link and paste from the clipboard"},
        {w.btnClear, "QPushButton", "btnClear", "", "Clear the link"},
        {central->findChild<QLabel *>(QStringLiteral("lblQuality")), "QLabel", "lblQuality", "maximum quality", ""},
        {w.cmbQuality, "QComboBox", "cmbQuality", "max", "highest picture we will take"},
        {w.chkAlwaysOn, "QCheckBox", "chkAlwaysOn", "always on", "if the stream stops, start it again"},
        {w.btnIngest, "QPushButton", "btnIngest", "Start", ""},
        {w.lblStatus, "QLabel", "lblStatus", "", ""},
        {w.edtPresetName, "QLineEdit", "", "preset name", ""},
        {w.btnSavePreset, "QPushButton", "btnSavePreset", "", "Save as preset"},
        {w.lstPresets, "QListWidget", "", "", ""},
        {w.btnShowLogs, "QPushButton", "", "Show Logs", ""},
        {w.btnAbout, "QPushButton", "", "About", ""},
        {w.lblHelp, "QLabel", "", nullptr, ""},
    };
    for (const Row &row : rows) {
        QVERIFY2(row.widget, row.className);
        const QByteArray where = QByteArray(row.className) + " " + row.text;
        QCOMPARE(row.widget->parentWidget(), central);
        QVERIFY2(QString::fromLatin1(row.widget->metaObject()->className()) == QLatin1String(row.className),
                 where.constData());
        QVERIFY2(row.widget->objectName() == QLatin1String(row.objectName), where.constData());
        QVERIFY2(row.widget->toolTip() == QLatin1String(row.toolTip), where.constData());
        if (!row.text)
            continue;
        QString text;
        if (auto *edit = qobject_cast<QLineEdit *>(row.widget)) {
            text = edit->placeholderText();
            QVERIFY2(edit->text().isEmpty() || edit == w.edtHost || edit == w.edtPort, where.constData());
        } else if (auto *button = qobject_cast<QAbstractButton *>(row.widget)) {
            text = button->text();
        } else if (auto *label = qobject_cast<QLabel *>(row.widget)) {
            text = label->text();
        } else if (auto *combo = qobject_cast<QComboBox *>(row.widget)) {
            text = combo->currentText();
        }
        QVERIFY2(text == QLatin1String(row.text), where.constData());
    }

    QVERIFY(w.lblStatus->wordWrap());
    // Typed passphrases are not shown.
    QCOMPARE(w.edtPassphrase->echoMode(), QLineEdit::Password);
    QCOMPARE(w.cmbSrtMode->itemText(1), QStringLiteral("listener"));
    QCOMPARE(w.cmbSrtTransfer->itemText(1), QStringLiteral("live"));
    QCOMPARE(w.lstPresets->contextMenuPolicy(), Qt::CustomContextMenu);
    QVERIFY(w.btnAbout->isFlat());
    QCOMPARE(w.btnAbout->cursor().shape(), Qt::PointingHandCursor);

    QCOMPARE(w.lblHelp->textFormat(), Qt::RichText);
    QVERIFY(w.lblHelp->openExternalLinks());
    QCOMPARE(w.lblHelp->textInteractionFlags(),
             Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    QCOMPARE(w.lblHelp->cursor().shape(), Qt::PointingHandCursor);
    const QString prefix = QStringLiteral("<a style='color:white;text-decoration:none;' href='");
    const QString suffix = QStringLiteral("'>Help &raquo;</a>");
    QVERIFY(w.lblHelp->text().startsWith(prefix));
    QVERIFY(w.lblHelp->text().endsWith(suffix));
    // The help is the page built beside the programs, never an outside address.
    const QUrl help(w.lblHelp->text().mid(prefix.size(), w.lblHelp->text().size() - prefix.size() - suffix.size()));
    QVERIFY2(help.isLocalFile(), qPrintable(help.toString()));
    QCOMPARE(help.toLocalFile(), QDir::cleanPath(QStringLiteral(NUVIX_BIN_DIR "/../share/nuvix/nuvix-help.html")));
    QFile page(help.toLocalFile());
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QByteArray html = page.readAll();
    for (const char *section : {"id=\"the-desktop-program\"", "id=\"yt-dlp\"", "id=\"install\""})
        QVERIFY2(html.contains(section), section);

    auto *root = qobject_cast<QBoxLayout *>(central->layout());
    QVERIFY(root);
    QCOMPARE(root->direction(), QBoxLayout::TopToBottom);
    QCOMPARE(root->contentsMargins(), QMargins(12, 8, 12, 8));
    QCOMPARE(root->spacing(), 6);
}

void WindowTest::sizesMeasuredFromText()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // The fields are measured while being built, before the style sheet applies.
    const QLineEdit unpolished;
    struct Fixed
    {
        QWidget *widget;
        int width;
    };
    const Fixed fixed[] = {
        {w.edtHost, advance(unpolished.font(), "255.255.255.255") + 12},
        {w.edtPort, advance(unpolished.font(), "65535") + 12},
        {w.cmbQuality, advance(w.cmbQuality->font(), "1080") + 22},
    };
    for (const Fixed &f : fixed) {
        QCOMPARE(f.widget->minimumWidth(), f.width);
        QCOMPARE(f.widget->maximumWidth(), f.width);
        QCOMPARE(f.widget->width(), f.width);
    }
    // Measured with the font the field has when built; the text still fits in the
    // font the style sheet gives it.
    QVERIFY(w.edtHost->width() >= advance(w.edtHost->font(), "255.255.255.255") + 12);
    QVERIFY(w.edtPort->width() >= advance(w.edtPort->font(), "65535") + 12);
    QCOMPARE(w.cmbQuality->font().pixelSize(), 11);
    QCOMPARE(w.cmbQuality->height(), 20);
    QCOMPARE(w.cmbQuality->maximumHeight(), 20);
    // The host field is wide enough for a full dotted address.
    QVERIFY(w.edtHost->width() > w.edtPort->width());
}

void WindowTest::qualityChoices()
{
    IsolatedSettings iso;
    NuvixWindow w;
    const QStringList texts = {QStringLiteral("max"), QStringLiteral("4K"), QStringLiteral("1080"), QStringLiteral("720")};
    const QList<int> heights = {0, 2160, 1080, 720};
    QCOMPARE(w.cmbQuality->count(), texts.size());
    for (int i = 0; i < texts.size(); ++i) {
        QCOMPARE(w.cmbQuality->itemText(i), texts.at(i));
        const QVariant data = w.cmbQuality->itemData(i, Qt::UserRole);
        QCOMPARE(data.userType(), int(QMetaType::Int));
        QCOMPARE(data.toInt(), heights.at(i));
    }
}

void WindowTest::imagesAndButtonSheets_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<QSize>("size");

    QTest::newRow("app icon") << ":/APP_ICON" << QSize(126, 127);
    for (const char *name : {"PASTE", "CLEAR", "SAVE"}) {
        QTest::newRow(name) << QStringLiteral(":/%1").arg(QLatin1String(name)) << QSize(96, 96);
        QTest::newRow(QByteArray(name).append("_HOVER").constData())
            << QStringLiteral(":/%1_HOVER").arg(QLatin1String(name)) << QSize(96, 96);
    }
}

void WindowTest::imagesAndButtonSheets()
{
    QFETCH(QString, image);
    QFETCH(QSize, size);

    const QImage img(image);
    QVERIFY2(!img.isNull(), qPrintable(image));
    QCOMPARE(img.size(), size);
    QVERIFY(img.hasAlphaChannel());
    // Transparent around the drawing, something drawn in the middle area.
    QCOMPARE(qAlpha(img.pixel(0, 0)) < 255 || image == QLatin1String(":/APP_ICON"), true);
    bool drawn = false;
    for (int y = 0; y < img.height() && !drawn; ++y)
        for (int x = 0; x < img.width() && !drawn; ++x)
            drawn = qAlpha(img.pixel(x, y)) == 255;
    QVERIFY(drawn);

    if (image.endsWith(QLatin1String("_HOVER"))) {
        const QImage plain(image.chopped(6));
        QVERIFY(!plain.isNull());
        QVERIFY2(plain != img, "hover image must differ from the plain one");
    }

    if (image == QLatin1String(":/APP_ICON"))
        return;
    // The button that shows this image names it in its style sheet, with its hover twin.
    IsolatedSettings iso;
    NuvixWindow w;
    const QString base = image.mid(2).remove(QStringLiteral("_HOVER"));
    QPushButton *button = base == QLatin1String("PASTE") ? w.btnPaste
                          : base == QLatin1String("CLEAR") ? w.btnClear : w.btnSavePreset;
    const QString sheet = button->styleSheet();
    QVERIFY(sheet.contains(QStringLiteral("QPushButton#%1 {").arg(button->objectName())));
    QVERIFY(sheet.contains(QStringLiteral("image: url(:/%1);").arg(base)));
    QVERIFY(sheet.contains(QStringLiteral("QPushButton#%1:hover { image: url(:/%2_HOVER); }")
                               .arg(button->objectName(), base)));
    QVERIFY(button->isFlat());
    QCOMPARE(button->size(), QSize(24, 24));
    QCOMPARE(button->minimumSize(), QSize(24, 24));
    QCOMPARE(button->maximumSize(), QSize(24, 24));
    QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(button->text().isEmpty());
}

void WindowTest::layoutAndFocusOrder()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // Rows from top to bottom.
    const QList<QWidget *> column = {w.edtHost, w.cmbSrtMode, w.edtLink, w.btnIngest, w.lblStatus, w.edtPresetName,
                                     w.lstPresets, w.btnShowLogs};
    for (int i = 1; i < column.size(); ++i)
        QVERIFY2(column.at(i - 1)->geometry().bottom() < column.at(i)->geometry().top(),
                 qPrintable(QString::number(i)));
    // Left to right within each row.
    const QList<QList<QWidget *>> rows = {
        {w.edtHost, w.edtPort, w.edtStreamId},
        {w.cmbSrtMode, w.cmbSrtTransfer, w.edtLatency, w.edtPassphrase},
        {w.edtLink, w.btnPaste, w.btnClear},
        {w.centralWidget()->findChild<QLabel *>(QStringLiteral("lblQuality")), w.cmbQuality, w.chkAlwaysOn,
         w.btnIngest},
        {w.edtPresetName, w.btnSavePreset},
        {w.btnShowLogs, w.btnAbout, w.lblHelp},
    };
    for (const auto &row : rows)
        for (int i = 1; i < row.size(); ++i)
            QVERIFY(row.at(i - 1)->geometry().right() < row.at(i)->geometry().left());
    // The stretch in row 3 pushes "always on" and Start to the right edge.
    QCOMPARE(w.btnIngest->geometry().right(), w.edtStreamId->geometry().right());
    QCOMPARE(w.edtPassphrase->geometry().right(), w.edtStreamId->geometry().right());
    QVERIFY(w.chkAlwaysOn->geometry().left() - w.cmbQuality->geometry().right() > 40);

    // Keyboard focus follows the order of creation.
    const QList<QWidget *> focusOrder = {w.edtHost, w.edtPort, w.edtStreamId, w.edtLink, w.btnPaste,
                                         w.btnClear, w.cmbQuality, w.chkAlwaysOn, w.btnIngest,
                                         w.edtPresetName, w.btnSavePreset, w.lstPresets, w.btnShowLogs,
                                         w.btnAbout};
    QList<QWidget *> chain;
    QWidget *next = w.edtHost;
    for (int guard = 0; guard < 200 && chain.size() < focusOrder.size(); ++guard) {
        if (focusOrder.contains(next) && !chain.contains(next))
            chain << next;
        next = next->nextInFocusChain();
    }
    QCOMPARE(chain, focusOrder);
}

void WindowTest::minimumSizeAndFreeHeight()
{
    IsolatedSettings iso;
    NuvixWindow w;
    QCOMPARE(w.minimumSize(), QSize(460, 520));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.resize(200, 200);
    QTRY_COMPARE(w.size(), QSize(460, 520));

    const QList<QWidget *> others = {w.edtHost, w.edtLink, w.btnIngest, w.lblStatus, w.edtPresetName,
                                     w.btnShowLogs};
    QList<int> heights;
    for (QWidget *o : others)
        heights << o->height();
    const int listHeight = w.lstPresets->height();
    const int bottomGap = w.height() - w.btnShowLogs->mapTo(&w, QPoint(0, w.btnShowLogs->height())).y();

    w.resize(460, 800);
    QTRY_COMPARE(w.height(), 800);
    QTRY_COMPARE(w.lstPresets->height(), listHeight + 280);
    for (int i = 0; i < others.size(); ++i)
        QCOMPARE(others.at(i)->height(), heights.at(i));
    // The bottom bar stays at the bottom.
    QCOMPARE(w.height() - w.btnShowLogs->mapTo(&w, QPoint(0, w.btnShowLogs->height())).y(), bottomGap);
}

void WindowTest::runningAndIdleLooks()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QPoint inside(3, w.btnIngest->height() / 2);
    QVERIFY(!isRed(pixelAt(w.btnIngest, inside)));

    w.setRunningLook(true);
    QCOMPARE(w.btnIngest->text(), QStringLiteral("Stop"));
    QCOMPARE(w.btnIngest->property("stop").toBool(), true);
    QVERIFY(isRed(pixelAt(w.btnIngest, inside)));
    QCOMPARE(w.btnIngest->palette().color(QPalette::ButtonText), QColor(Qt::white));

    w.btnIngest->setEnabled(false);
    w.setIdleStatus(QStringLiteral("disconnected"));
    QCOMPARE(w.lblStatus->text(), QStringLiteral("disconnected"));
    QVERIFY(w.btnIngest->isEnabled());
    QCOMPARE(w.btnIngest->text(), QStringLiteral("Start"));
    QCOMPARE(w.btnIngest->property("stop").toBool(), false);
    QVERIFY(!isRed(pixelAt(w.btnIngest, inside)));

    // The running look does not touch the status line or the enabled state.
    w.btnIngest->setEnabled(false);
    w.setRunningLook(true);
    QVERIFY(!w.btnIngest->isEnabled());
    QCOMPARE(w.lblStatus->text(), QStringLiteral("disconnected"));
}

void WindowTest::styleSheetColours()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    const QImage shot = w.grab().toImage();
    QCOMPARE(shot.pixelColor(2, 2), QColor(0x05, 0x0F, 0x15));
    const QPoint inList = w.lstPresets->mapTo(&w, QPoint(w.lstPresets->width() / 2, w.lstPresets->height() - 5));
    QCOMPARE(shot.pixelColor(inList), QColor(0x0E, 0x2B, 0x47));
    const QPoint inField = w.edtStreamId->mapTo(&w, QPoint(w.edtStreamId->width() - 3, w.edtStreamId->height() / 2));
    QCOMPARE(shot.pixelColor(inField), QColor(0x26, 0x26, 0x26));

    QCOMPARE(w.lblStatus->palette().color(QPalette::WindowText), QColor(Qt::white));
    QCOMPARE(w.edtLink->palette().color(QPalette::Text), QColor(0xEA, 0x70, 0x0C));
    auto *lblQuality = w.centralWidget()->findChild<QLabel *>(QStringLiteral("lblQuality"));
    QCOMPARE(lblQuality->palette().color(QPalette::WindowText), QColor(0xEA, 0x70, 0x0C));

    // The logs window takes its look from the same sheet.
    w.showLogs();
    QVERIFY(QTest::qWaitForWindowExposed(w.logsDialog));
    const QImage logs = w.logsDialog->grab().toImage();
    QCOMPARE(logs.pixelColor(6, 6), QColor(0x05, 0x0F, 0x15));
    const QPoint inView = w.logsView->mapTo(w.logsDialog, QPoint(w.logsView->width() / 2, w.logsView->height() / 2));
    QCOMPARE(logs.pixelColor(inView), QColor(0x26, 0x26, 0x26));
    QCOMPARE(w.logsView->palette().color(QPalette::Text), QColor(0xEA, 0x70, 0x0C));
}

void WindowTest::closeCancelsPendingWork()
{
    IsolatedSettings iso;
    NuvixWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // An always-on start whose yt-dlp hangs.
    QTemporaryDir control;
    qputenv("FAKE_YT_DLP_DIR", control.path().toLocal8Bit());
    auto unsetControl = qScopeGuard([] { qunsetenv("FAKE_YT_DLP_DIR"); });
    QFile sleep(control.filePath(QStringLiteral("hls.sleep")));
    QVERIFY(sleep.open(QIODevice::WriteOnly));
    sleep.write("30\n");
    sleep.close();
    w.settings->setValue(QStringLiteral("YT_DLP_PATH"), supportScript(QStringLiteral("fake_yt_dlp")));
    w.session->setExtractTimeoutMs(300);
    w.session->setRestartDelayMs(300);
    w.edtLink->setText(QStringLiteral("https://video.example/watch?v=1"));
    w.edtStreamId->setText(QStringLiteral("cam"));
    w.chkAlwaysOn->setChecked(true);
    w.btnIngest->click();
    QTRY_VERIFY_WITH_TIMEOUT(w.session->extractorProcess()
                                 && w.session->extractorProcess()->state() == QProcess::Running, 5000);

    QVERIFY(w.close());
    const QString status = w.lblStatus->text();
    QVERIFY(w.closing);
    QVERIFY(w.session->isShutDown());
    QVERIFY(!w.session->isRestartPending());
    QTRY_COMPARE_WITH_TIMEOUT(w.session->extractorProcess()->state(), QProcess::NotRunning, 5000);
    QCOMPARE(w.session->extractorProcess()->exitStatus(), QProcess::CrashExit);
    // Neither the time-out nor always-on acts after the close.
    QTest::qWait(800);
    QCOMPARE(w.lblStatus->text(), status);
    QVERIFY(!w.session->isBusy());
    QVERIFY(!w.isVisible());
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
