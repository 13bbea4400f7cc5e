#include "nuvix_window.h"

#include "app_style.h"
#include "help_page.h"
#include "presets.h"
#include "relay_session.h"
#include "srt_target.h"
#include "yt_dlp_lookup.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QVBoxLayout>

namespace {

const char KEY_URL[] = "NUVIX_URL";
const char KEY_STREAMID[] = "NUVIX_STREAMID";
const char KEY_SRTHOST[] = "NUVIX_SRTHOST";
const char KEY_SRTPORT[] = "NUVIX_SRTPORT";
const char KEY_SRTURL[] = "NUVIX_SRTURL";
const char KEY_MAX_HEIGHT[] = "NUVIX_MAX_HEIGHT";
const char KEY_ALWAYS_ON[] = "NUVIX_ALWAYS_ON";
// Stored only when they differ from file mode as a caller.
const char KEY_SRT_TRANSTYPE[] = "NUVIX_SRT_TRANSTYPE";
const char KEY_SRT_MODE[] = "NUVIX_SRT_MODE";
const char KEY_SRT_LATENCY[] = "NUVIX_SRT_LATENCY";
const char KEY_SRT_PASSPHRASE[] = "NUVIX_SRT_PASSPHRASE";

void setOrRemove(QSettings *settings, const char *key, bool keep, const QVariant &value)
{
    if (keep)
        settings->setValue(QLatin1String(key), value);
    else
        settings->remove(QLatin1String(key));
}

QString imageButtonSheet(const char *objectName, const char *image)
{
    const QString name = QString::fromLatin1(objectName);
    const QString img = QString::fromLatin1(image);
    return QStringLiteral("QPushButton#%1 {border:none; padding:0; margin:0; background-color:transparent;"
                          "image: url(:/%2); min-width:0; min-height:0; }"
                          "QPushButton#%1:hover { image: url(:/%2_HOVER); }")
        .arg(name, img);
}

QPushButton *makeImageButton(QWidget *parent, const char *objectName, const char *image,
                             const QString &toolTip)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setToolTip(toolTip);
    button->setFlat(true);
    button->setFixedSize(24, 24);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(imageButtonSheet(objectName, image));
    return button;
}

int textWidth(const QFont &font, const char *text)
{
    return QFontMetrics(font).horizontalAdvance(QString::fromLatin1(text));
}

} // namespace

NuvixWindow::NuvixWindow(QWidget *parent)
    : QMainWindow(parent)
{
    initAppResources();
    settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Orvanta"),
                             QStringLiteral("Nuvix"), this);
    session = new RelaySession(this);
    buildUi();
    connectSession();
    loadSettings();
    reloadPresets();
    // Connected only now, so restoring the stored state does not write it back.
    connect(chkAlwaysOn, &QCheckBox::toggled, this, [this] { saveSettings(); });
    checkYtDlpAtStart();
}

NuvixWindow::~NuvixWindow() = default;

void NuvixWindow::buildUi()
{
    setWindowTitle(QStringLiteral("Nuvix   ver 1.0 BETA"));
    setMinimumSize(460, 520);

    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("nuvixCentral"));
    setCentralWidget(central);

    auto *root = new QVBoxLayout(central);
    root->setContentsMargins(12, 8, 12, 8);
    root->setSpacing(6);

    // Row 1: SRT target.
    auto *rowTarget = new QHBoxLayout;
    edtHost = new QLineEdit(central);
    edtHost->setPlaceholderText(QStringLiteral("IP"));
    edtHost->setFixedWidth(textWidth(edtHost->font(), "255.255.255.255") + 12);
    edtPort = new QLineEdit(central);
    edtPort->setPlaceholderText(QStringLiteral("port"));
    edtPort->setFixedWidth(textWidth(edtPort->font(), "65535") + 12);
    edtStreamId = new QLineEdit(central);
    edtStreamId->setPlaceholderText(QStringLiteral("stream id"));
    rowTarget->addWidget(edtHost, 0);
    rowTarget->addWidget(edtPort, 0);
    rowTarget->addWidget(edtStreamId, 1);
    root->addLayout(rowTarget, 0);

    // Row 1b: how the SRT connection is made, in the small type of the quality row.
    auto *rowSrtMode = new QHBoxLayout;
    QFont modeFont = edtHost->font();
    modeFont.setPixelSize(11);
    cmbSrtMode = new QComboBox(central);
    cmbSrtMode->setObjectName(QStringLiteral("cmbSrtMode"));
    cmbSrtMode->addItem(QStringLiteral("caller"), false);
    cmbSrtMode->addItem(QStringLiteral("listener"), true);
    cmbSrtMode->setToolTip(QStringLiteral("caller: connect to the receiver\n"
                                          "listener: wait on the port for the receiver to connect"));
    cmbSrtMode->setFont(modeFont);
    cmbSrtMode->setFixedHeight(20);
    cmbSrtMode->setFixedWidth(textWidth(modeFont, "listener") + 28);
    cmbSrtTransfer = new QComboBox(central);
    cmbSrtTransfer->setObjectName(QStringLiteral("cmbSrtTransfer"));
    cmbSrtTransfer->addItem(QStringLiteral("file"), false);
    cmbSrtTransfer->addItem(QStringLiteral("live"), true);
    cmbSrtTransfer->setToolTip(QStringLiteral("file: reliable SRT file mode\n"
                                              "live: SRT live mode, as most live receivers expect"));
    cmbSrtTransfer->setFont(modeFont);
    cmbSrtTransfer->setFixedHeight(20);
    cmbSrtTransfer->setFixedWidth(textWidth(modeFont, "listener") + 28);
    edtLatency = new QLineEdit(central);
    edtLatency->setObjectName(QStringLiteral("edtLatency"));
    edtLatency->setPlaceholderText(QStringLiteral("latency ms"));
    edtLatency->setToolTip(QStringLiteral("SRT latency in milliseconds; empty: the default"));
    edtLatency->setFont(modeFont);
    edtLatency->setFixedHeight(20);
    edtLatency->setFixedWidth(textWidth(modeFont, "latency ms") + 16);
    edtPassphrase = new QLineEdit(central);
    edtPassphrase->setObjectName(QStringLiteral("edtPassphrase"));
    edtPassphrase->setPlaceholderText(QStringLiteral("passphrase"));
    edtPassphrase->setToolTip(QStringLiteral("SRT encryption passphrase (10 to 79 characters); empty: none"));
    edtPassphrase->setEchoMode(QLineEdit::Password);
    edtPassphrase->setFont(modeFont);
    edtPassphrase->setFixedHeight(20);
    rowSrtMode->addWidget(cmbSrtMode, 0);
    rowSrtMode->addWidget(cmbSrtTransfer, 0);
    rowSrtMode->addWidget(edtLatency, 0);
    rowSrtMode->addWidget(edtPassphrase, 1);
    root->addLayout(rowSrtMode, 0);

    // Row 2: link.
    auto *rowLink = new QHBoxLayout;
    edtLink = new QLineEdit(central);
    edtLink->setPlaceholderText(QStringLiteral("Paste a video platform link"));
    btnPaste = makeImageButton(central, "btnPaste", "PASTE",
                               QStringLiteral("Clear the link and paste from the clipboard"));
    btnClear = makeImageButton(central, "btnClear", "CLEAR", QStringLiteral("Clear the link"));
    rowLink->addWidget(edtLink, 1);
    rowLink->addWidget(btnPaste, 0);
    rowLink->addWidget(btnClear, 0);
    root->addLayout(rowLink, 0);

    // Row 3: options and Start.
    auto *rowOptions = new QHBoxLayout;
    auto *lblQuality = new QLabel(QStringLiteral("maximum quality"), central);
    lblQuality->setObjectName(QStringLiteral("lblQuality"));
    lblQuality->setStyleSheet(QStringLiteral("color:#EA700C; font-size:11px;"));
    cmbQuality = new QComboBox(central);
    cmbQuality->setObjectName(QStringLiteral("cmbQuality"));
    cmbQuality->addItem(QStringLiteral("max"), 0);
    cmbQuality->addItem(QStringLiteral("4K"), 2160);
    cmbQuality->addItem(QStringLiteral("1080"), 1080);
    cmbQuality->addItem(QStringLiteral("720"), 720);
    cmbQuality->setToolTip(QStringLiteral("highest picture we will take"));
    QFont smallFont = cmbQuality->font();
    smallFont.setPixelSize(11);
    cmbQuality->setFont(smallFont);
    cmbQuality->setFixedWidth(textWidth(smallFont, "1080") + 22);
    cmbQuality->setFixedHeight(20);
    chkAlwaysOn = new QCheckBox(QStringLiteral("always on"), central);
    chkAlwaysOn->setObjectName(QStringLiteral("chkAlwaysOn"));
    chkAlwaysOn->setToolTip(QStringLiteral("if the stream stops, start it again"));
    chkAlwaysOn->setStyleSheet(QStringLiteral("color: white; font-size: 13px; spacing: 6px;"));
    btnIngest = new QPushButton(QStringLiteral("Start"), central);
    btnIngest->setObjectName(QStringLiteral("btnIngest"));
    rowOptions->addWidget(lblQuality, 0);
    rowOptions->addWidget(cmbQuality, 0);
    rowOptions->addStretch(1);
    rowOptions->addWidget(chkAlwaysOn, 0);
    rowOptions->addWidget(btnIngest, 0);
    root->addLayout(rowOptions, 0);

    lblStatus = new QLabel(central);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setWordWrap(true);
    root->addWidget(lblStatus, 0);

    // Row 4: preset name.
    auto *rowPreset = new QHBoxLayout;
    edtPresetName = new QLineEdit(central);
    edtPresetName->setPlaceholderText(QStringLiteral("preset name"));
    btnSavePreset = makeImageButton(central, "btnSavePreset", "SAVE", QStringLiteral("Save as preset"));
    rowPreset->addWidget(edtPresetName, 1);
    rowPreset->addWidget(btnSavePreset, 0);
    root->addLayout(rowPreset, 0);

    lstPresets = new QListWidget(central);
    lstPresets->setContextMenuPolicy(Qt::CustomContextMenu);
    root->addWidget(lstPresets, 1);

    // Row 5: bottom bar.
    auto *rowBottom = new QHBoxLayout;
    btnShowLogs = new QPushButton(QStringLiteral("Show Logs"), central);
    btnAbout = new QPushButton(QStringLiteral("About"), central);
    btnAbout->setFlat(true);
    btnAbout->setCursor(Qt::PointingHandCursor);
    btnAbout->setStyleSheet(QStringLiteral(
        "QPushButton { border:none; background:transparent; color:white; font-size:14px; padding:0 8px; }"
        "QPushButton:hover { color:#EA700C; }"));
    lblHelp = new QLabel(central);
    lblHelp->setTextFormat(Qt::RichText);
    lblHelp->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse
                                     | Qt::LinksAccessibleByKeyboard);
    lblHelp->setOpenExternalLinks(true);
    lblHelp->setCursor(Qt::PointingHandCursor);
    lblHelp->setStyleSheet(QStringLiteral("color: white; font-size: 14px;"));
    lblHelp->setText(QStringLiteral("<a style='color:white;text-decoration:none;' href='")
                     + helpPageUrl(QCoreApplication::applicationDirPath()).toString(QUrl::FullyEncoded)
                     + QStringLiteral("'>Help &raquo;</a>"));
    rowBottom->addWidget(btnShowLogs, 0);
    rowBottom->addStretch(1);
    rowBottom->addWidget(btnAbout, 0);
    rowBottom->addWidget(lblHelp, 0);
    root->addLayout(rowBottom, 0);

    connect(btnPaste, &QPushButton::clicked, this, [this] {
        edtLink->setText(QGuiApplication::clipboard()->text(QClipboard::Clipboard).trimmed());
        edtLink->setFocus();
        saveSettings();
    });
    connect(btnClear, &QPushButton::clicked, this, [this] {
        edtLink->clear();
        edtLink->setFocus();
        saveSettings();
    });
    // A full address pasted into the host field fills the fields, also when pasted
    // beside the host the field already shows.
    connect(edtHost, &QLineEdit::textChanged, this, [this, before = edtHost->text()](const QString &text) mutable {
        const QString address = srtAddressFromHostEdit(before, text, edtHost->cursorPosition());
        before = text;
        if (!address.isEmpty())
            applySrtAddress(address);
    });
    connect(btnIngest, &QPushButton::clicked, this, &NuvixWindow::onConnectClicked);
    connect(btnSavePreset, &QPushButton::clicked, this, &NuvixWindow::onSavePresetClicked);
    connect(btnAbout, &QPushButton::clicked, this, [this] { showAbout(); });
    connect(btnShowLogs, &QPushButton::clicked, this, &NuvixWindow::onShowLogsClicked);
    connect(lstPresets, &QListWidget::itemClicked, this, &NuvixWindow::onPresetClicked);
    connect(lstPresets, &QListWidget::customContextMenuRequested, this, &NuvixWindow::onPresetsContextMenu);
}

void NuvixWindow::connectSession()
{
    // The fields are read at every point the run needs them: edits during a run
    // reach it as they always did.
    session->setJobSource([this] { return jobFromFields(); });
    session->setYtDlpSetup([this] { return runWelcomeSetup(); });
    // Stored at every start, even when a check refuses it.
    connect(session, &RelaySession::aboutToStart, this, [this] { saveSettings(); });
    connect(session, &RelaySession::logRestarted, this, [this] {
        logText.clear();
        if (logsView)
            logsView->clear();
    });
    connect(session, &RelaySession::logAppended, this, [this](const QString &text) { appendLog(text); });
    connect(session, &RelaySession::statusChanged, this,
            [this](const QString &text) { lblStatus->setText(text); });
    connect(session, &RelaySession::activityChanged, this, [this](RelaySession::Activity activity) {
        switch (activity) {
        case RelaySession::Activity::Idle:
            btnIngest->setEnabled(true);
            setRunningLook(false);
            break;
        case RelaySession::Activity::Extracting:
            btnIngest->setEnabled(false);
            btnIngest->setText(QStringLiteral("Wait..."));
            break;
        case RelaySession::Activity::Active:
            btnIngest->setEnabled(true);
            setRunningLook(true);
            break;
        }
    });
}

RelayJob NuvixWindow::jobFromFields() const
{
    RelayJob job;
    job.link = edtLink->text();
    job.srt.host = edtHost->text();
    job.srt.port = edtPort->text();
    job.srt.streamId = edtStreamId->text();
    job.srt.live = cmbSrtTransfer->currentData().toBool();
    job.srt.listener = cmbSrtMode->currentData().toBool();
    job.srt.latency = edtLatency->text();
    job.srt.passphrase = edtPassphrase->text();
    job.maxHeight = cmbQuality->currentData(Qt::UserRole).toInt();
    job.alwaysOn = chkAlwaysOn->isChecked();
    job.ytDlpPath = settings->value(QString::fromLatin1(YT_DLP_PATH_KEY)).toString();
    return job;
}

void NuvixWindow::onConnectClicked()
{
    if (session->isBusy())
        session->stop();
    else
        session->start();
}

void NuvixWindow::setRunningLook(bool running)
{
    btnIngest->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
    btnIngest->setProperty("stop", running);
    // Property selectors are evaluated at polish time only.
    btnIngest->style()->unpolish(btnIngest);
    btnIngest->style()->polish(btnIngest);
    btnIngest->update();
}

void NuvixWindow::setIdleStatus(const QString &text)
{
    lblStatus->setText(text);
    btnIngest->setEnabled(true);
    setRunningLook(false);
}

void NuvixWindow::closeEvent(QCloseEvent *event)
{
    closing = true;
    session->shutdown();
    event->accept();
}

// ---- settings ----

void NuvixWindow::selectQuality(int height)
{
    const int index = cmbQuality->findData(height);
    cmbQuality->setCurrentIndex(index < 0 ? 0 : index);
}

void NuvixWindow::loadSettings()
{
    edtLink->setText(settings->value(QLatin1String(KEY_URL)).toString());
    edtStreamId->setText(settings->value(QLatin1String(KEY_STREAMID)).toString());

    const QString host = settings->value(QLatin1String(KEY_SRTHOST)).toString().trimmed();
    const QString port = settings->value(QLatin1String(KEY_SRTPORT)).toString().trimmed();
    const bool listener = settings->value(QLatin1String(KEY_SRT_MODE)).toString() == QLatin1String("listener");
    if (host.isEmpty() && port.isEmpty() && !listener) {
        // First start, or a store that only knows the older single address.
        setHostPortFromUrl(settings->value(QLatin1String(KEY_SRTURL)).toString());
    } else {
        // A listener without a host waits on every address.
        edtHost->setText(host.isEmpty() && !listener ? QString::fromLatin1(DEFAULT_SRT_HOST) : host);
        edtPort->setText(port.isEmpty() ? QString::fromLatin1(DEFAULT_SRT_PORT) : port);
    }

    selectQuality(settings->value(QLatin1String(KEY_MAX_HEIGHT), 0).toInt());
    chkAlwaysOn->setChecked(settings->value(QLatin1String(KEY_ALWAYS_ON), false).toBool());
    setSrtModeFields(settings->value(QLatin1String(KEY_SRT_TRANSTYPE)).toString() == QLatin1String("live"),
                     settings->value(QLatin1String(KEY_SRT_MODE)).toString() == QLatin1String("listener"),
                     settings->value(QLatin1String(KEY_SRT_LATENCY)).toString(),
                     settings->value(QLatin1String(KEY_SRT_PASSPHRASE)).toString());
}

void NuvixWindow::saveSettings()
{
    settings->setValue(QLatin1String(KEY_URL), edtLink->text().trimmed());
    settings->setValue(QLatin1String(KEY_STREAMID), edtStreamId->text().trimmed());
    settings->setValue(QLatin1String(KEY_SRTHOST), edtHost->text().trimmed());
    settings->setValue(QLatin1String(KEY_SRTPORT), edtPort->text().trimmed());
    settings->setValue(QLatin1String(KEY_MAX_HEIGHT), cmbQuality->currentData().toInt());
    settings->setValue(QLatin1String(KEY_ALWAYS_ON), chkAlwaysOn->isChecked());
    const bool live = cmbSrtTransfer->currentData().toBool();
    const bool listener = cmbSrtMode->currentData().toBool();
    const QString latency = edtLatency->text().trimmed();
    setOrRemove(settings, KEY_SRT_TRANSTYPE, live, QStringLiteral("live"));
    setOrRemove(settings, KEY_SRT_MODE, listener, QStringLiteral("listener"));
    setOrRemove(settings, KEY_SRT_LATENCY, !latency.isEmpty(), latency);
    setOrRemove(settings, KEY_SRT_PASSPHRASE, !edtPassphrase->text().isEmpty(), edtPassphrase->text());
    settings->sync();
}

// ---- SRT target ----

bool NuvixWindow::buildSrtUrl(QString &url, QString &error) const
{
    return ::buildSrtUrl(jobFromFields().srt, url, error);
}

void NuvixWindow::setSrtModeFields(bool live, bool listener, const QString &latency, const QString &passphrase)
{
    cmbSrtTransfer->setCurrentIndex(live ? 1 : 0);
    cmbSrtMode->setCurrentIndex(listener ? 1 : 0);
    edtLatency->setText(latency);
    edtPassphrase->setText(passphrase);
}

void NuvixWindow::applySrtAddress(const QString &text)
{
    SrtTarget target;
    QString error;
    if (!parseSrtAddress(text, target, error)) {
        lblStatus->setText(error);
        return;
    }
    // Other keys of the address have no field; the engine's defaults apply.
    edtHost->setText(target.host);
    edtPort->setText(target.port);
    edtStreamId->setText(target.streamId);
    setSrtModeFields(target.live, target.listener, target.latency, target.passphrase);
}

void NuvixWindow::setHostPortFromUrl(const QString &text)
{
    const SrtHostPort target = hostPortFromUrl(text);
    edtHost->setText(target.host);
    edtPort->setText(target.port);
}

// ---- presets ----

void NuvixWindow::reloadPresets()
{
    lstPresets->clear();
    const QJsonObject presets = readPresets(settings);
    if (presets.isEmpty()) {
        auto *placeholder = new QListWidgetItem(QString::fromLatin1(NO_PRESETS_TEXT), lstPresets);
        placeholder->setFlags(placeholder->flags() & ~(Qt::ItemIsSelectable | Qt::ItemIsEnabled));
        return;
    }
    for (auto it = presets.constBegin(); it != presets.constEnd(); ++it)
        lstPresets->addItem(it.key());
}

void NuvixWindow::writePresetsAndReload(const QJsonObject &presets)
{
    writePresets(settings, presets);
    reloadPresets();
}

void NuvixWindow::onSavePresetClicked()
{
    const QString name = edtPresetName->text().trimmed();
    const QString link = edtLink->text().trimmed();
    if (name.isEmpty() || link.isEmpty())
        return;

    QJsonObject presets = readPresets(settings);
    QJsonObject preset;
    preset.insert(QStringLiteral("url"), link);
    preset.insert(QStringLiteral("streamid"), edtStreamId->text().trimmed());
    preset.insert(QStringLiteral("srthost"), edtHost->text().trimmed());
    preset.insert(QStringLiteral("srtport"), edtPort->text().trimmed());
    preset.insert(QStringLiteral("maxheight"), cmbQuality->currentData().toInt());
    putSrtModeMembers(preset, cmbSrtTransfer->currentData().toBool(), cmbSrtMode->currentData().toBool(),
                      edtLatency->text(), edtPassphrase->text());
    presets.insert(name, preset);
    writePresets(settings, presets);
    saveSettings();
    reloadPresets();
    edtPresetName->clear();
}

void NuvixWindow::onPresetClicked(QListWidgetItem *item)
{
    if (!item)
        return;
    const QJsonObject presets = readPresets(settings);
    const auto found = presets.constFind(item->text());
    if (found == presets.constEnd())
        return;

    const PresetFields f = presetFields(found.value().toObject());
    edtLink->setText(f.url);
    edtStreamId->setText(f.streamId);
    switch (f.target) {
    case PresetFields::Target::HostPort:
        edtHost->setText(f.host);
        edtPort->setText(f.port);
        break;
    case PresetFields::Target::OlderUrl:
        setHostPortFromUrl(f.srtUrl);
        break;
    case PresetFields::Target::Keep:
        break;
    }
    if (f.hasMaxHeight)
        selectQuality(f.maxHeight);
    setSrtModeFields(f.live, f.listener, f.latency, f.passphrase);
    edtPresetName->setText(item->text());
    saveSettings();
}

void NuvixWindow::onPresetsContextMenu(const QPoint &pos)
{
    QListWidgetItem *item = lstPresets->itemAt(pos);
    if (!item || !(item->flags() & Qt::ItemIsEnabled))
        return;
    const QString name = item->text();

    QMenu menu(this);
    QAction *deleteAction = menu.addAction(QStringLiteral("Delete"));
    if (menu.exec(lstPresets->viewport()->mapToGlobal(pos)) != deleteAction)
        return;

    QJsonObject presets = readPresets(settings);
    presets.remove(name);
    writePresetsAndReload(presets);
}
